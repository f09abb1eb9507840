#include <gtest/gtest.h>

#include "platform/media/fake/fake_media.h"

namespace kalto::media::fake {
namespace {

std::shared_ptr<MediaType> H264Type(uint32_t width, uint32_t height) {
  auto type = std::make_shared<MediaType>();
  type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
  type->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_H264);
  SetAttributeSize(type.get(), MF_MT_FRAME_SIZE, width, height);
  SetAttributeRatio(type.get(), MF_MT_FRAME_RATE, 30, 1);
  return type;
}

class FakePlatformTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake = std::make_shared<FakeMediaPlatform>();
    SetMediaPlatform(fake);
  }
  void TearDown() override {
    while (IsMediaStarted()) MediaShutdown();
    SetMediaPlatform(nullptr);
  }
  std::shared_ptr<FakeMediaPlatform> fake;
};

TEST_F(FakePlatformTest, ScriptedEncodersInScriptOrderFilteredByFlagsAndFailingOnDemand) {
  std::vector<std::shared_ptr<Activate>> list;
  EXPECT_EQ(S_OK, EnumVideoEncoders(0x47, &list));
  EXPECT_TRUE(list.empty());
  FakeEncoderScript hw;
  hw.friendlyName = L"HW";
  hw.hardware = true;
  hw.d3d11Aware = true;
  FakeEncoderScript sw;
  sw.friendlyName = L"SW";
  FakeEncoderScript nameless;
  nameless.hasFriendlyName = false;
  fake->SetEncoders({sw, hw, nameless});
  ASSERT_EQ(S_OK, EnumVideoEncoders(0x47, &list));
  ASSERT_EQ(3u, list.size());
  EXPECT_EQ(L"SW", list[0]->FriendlyName());
  EXPECT_EQ(L"HW", list[1]->FriendlyName());
  EXPECT_TRUE(list[1]->IsHardware());
  EXPECT_TRUE(list[1]->IsD3D11Aware());
  std::wstring name;
  EXPECT_EQ(MF_E_ATTRIBUTENOTFOUND, list[2]->GetString(MFT_FRIENDLY_NAME_Attribute, &name));
  ASSERT_EQ(S_OK, EnumVideoEncoders(MFT_ENUM_FLAG_HARDWARE | MFT_ENUM_FLAG_SORTANDFILTER, &list));
  ASSERT_EQ(1u, list.size());
  EXPECT_EQ(L"HW", list[0]->FriendlyName());
  const auto calls = fake->EnumCalls();
  EXPECT_EQ(MFT_CATEGORY_VIDEO_ENCODER, calls[0].category);
  EXPECT_FALSE(calls[0].inputType.has_value());
  ASSERT_TRUE(calls[0].outputType.has_value());
  EXPECT_EQ(MFVideoFormat_H264, calls[0].outputType->subtype);
  fake->SetEnumResult(E_OUTOFMEMORY);
  EXPECT_EQ(E_OUTOFMEMORY, EnumVideoEncoders(0x47, &list));
  EXPECT_TRUE(list.empty());
}

TEST_F(FakePlatformTest, ActivationAndOutputTypeFailures) {
  FakeEncoderScript broken;
  broken.activateResult = E_ACCESSDENIED;
  FakeEncoderScript picky;
  picky.outputTypeCheck = [](const MediaType& t) {
    uint32_t w = 0, h = 0;
    GetAttributeSize(t, MF_MT_FRAME_SIZE, &w, &h);
    return w > 1920 ? MF_E_INVALIDMEDIATYPE : S_OK;
  };
  FakeEncoderScript refusing;
  refusing.setOutputTypeResult = MF_E_INVALIDMEDIATYPE;
  fake->SetEncoders({broken, picky, refusing});
  std::vector<std::shared_ptr<Activate>> list;
  ASSERT_EQ(S_OK, EnumVideoEncoders(0x47, &list));
  std::shared_ptr<Transform> t;
  EXPECT_EQ(E_ACCESSDENIED, list[0]->ActivateObject(&t));
  ASSERT_EQ(S_OK, list[1]->ActivateObject(&t));
  EXPECT_EQ(MF_E_INVALIDMEDIATYPE, t->SetOutputType(0, H264Type(2560, 1440).get(), 0));
  EXPECT_EQ(S_OK, t->SetOutputType(0, H264Type(1920, 1088).get(), 0));
  std::shared_ptr<Transform> t2;
  ASSERT_EQ(S_OK, list[2]->ActivateObject(&t2));
  EXPECT_EQ(MF_E_INVALIDMEDIATYPE, t2->SetOutputType(0, H264Type(640, 480).get(), 0));
  EXPECT_EQ((std::vector<size_t>{0, 1, 2}), fake->ActivationAttempts());
  const auto transforms = fake->Transforms();
  ASSERT_EQ(2u, transforms.size());
  EXPECT_EQ(1u, transforms[0].first);
  EXPECT_EQ(2u, transforms[0].second->OutputTypesTried().size());
}

TEST_F(FakePlatformTest, InputTypesInAnyScriptedOrder) {
  FakeEncoderScript script;
  script.inputSubtypes = {MFVideoFormat_YUY2, MFVideoFormat_H264, MFVideoFormat_NV12};
  fake->SetEncoders({script});
  std::vector<std::shared_ptr<Activate>> list;
  ASSERT_EQ(S_OK, EnumVideoEncoders(0x47, &list));
  std::shared_ptr<Transform> t;
  ASSERT_EQ(S_OK, list[0]->ActivateObject(&t));
  std::shared_ptr<MediaType> type;
  EXPECT_EQ(MF_E_TRANSFORM_TYPE_NOT_SET, t->GetInputAvailableType(0, 0, &type));
  ASSERT_EQ(S_OK, t->SetOutputType(0, H264Type(1280, 720).get(), 0));
  std::vector<Guid> seen;
  for (uint32_t i = 0; Succeeded(t->GetInputAvailableType(0, i, &type)); ++i) {
    Guid g;
    type->GetGUID(MF_MT_SUBTYPE, &g);
    seen.push_back(g);
  }
  EXPECT_EQ(script.inputSubtypes, seen);
  EXPECT_EQ(MF_E_NO_MORE_TYPES, t->GetInputAvailableType(0, 3, &type));
}

TEST_F(FakePlatformTest, ActivationOutlivingThePlatformFailsCleanly) {
  fake->SetEncoders({FakeEncoderScript{}});
  std::vector<std::shared_ptr<Activate>> list;
  ASSERT_EQ(S_OK, EnumVideoEncoders(0x47, &list));
  SetMediaPlatform(nullptr);
  fake.reset();
  std::shared_ptr<Transform> t;
  EXPECT_EQ(E_UNEXPECTED, list[0]->ActivateObject(&t));
}

class FakeWriterTest : public FakePlatformTest {
 protected:
  std::shared_ptr<SinkWriter> Create() {
    std::shared_ptr<Attributes> attributes;
    CreateAttributes(&attributes, 4);
    attributes->SetUINT32(MF_SINK_WRITER_DISABLE_THROTTLING, 1);
    std::shared_ptr<SinkWriter> writer;
    EXPECT_EQ(S_OK, CreateSinkWriterFromUrl(L"/tmp/fake.mp4", attributes.get(), &writer));
    return writer;
  }
  std::shared_ptr<Sample> SampleOf(std::vector<uint8_t> bytes, int64_t time) {
    std::shared_ptr<MediaBuffer> buffer;
    CreateMemoryBuffer(static_cast<uint32_t>(bytes.size()), &buffer);
    uint8_t* data = nullptr;
    buffer->Lock(&data, nullptr, nullptr);
    std::copy(bytes.begin(), bytes.end(), data);
    buffer->Unlock();
    buffer->SetCurrentLength(static_cast<uint32_t>(bytes.size()));
    auto sample = std::make_shared<Sample>();
    sample->AddBuffer(buffer);
    sample->SetSampleTime(time);
    sample->SetSampleDuration(333333);
    return sample;
  }
  MediaPlatformScope scope;
};

TEST_F(FakeWriterTest, RecordsEveryCallTypeSettingAndSample) {
  auto writer = Create();
  auto recorded = fake->Writers().at(0);
  EXPECT_EQ(L"/tmp/fake.mp4", recorded->Url());
  EXPECT_TRUE(recorded->CreationAttributes().HasKey(MF_SINK_WRITER_DISABLE_THROTTLING));
  uint32_t stream = 99;
  ASSERT_EQ(S_OK, writer->AddStream(*H264Type(64, 32), &stream));
  EXPECT_EQ(0u, stream);
  std::shared_ptr<CodecApi> codec;
  ASSERT_EQ(S_OK, writer->GetCodecApi(stream, &codec));
  codec->SetValue(CODECAPI_AVEncCommonQualityVsSpeed, 70);
  codec->SetValue(CODECAPI_AVEncMPVGOPSize, 60);
  std::shared_ptr<PropertyStore> store;
  ASSERT_EQ(S_OK, writer->GetMediaSinkPropertyStore(&store));
  EXPECT_EQ(S_OK, store->SetValue(PKEY_Media_EncodedBy, L"Kalto"));
  MediaType input;
  input.SetGUID(MF_MT_SUBTYPE, MFVideoFormat_NV12);
  ASSERT_EQ(S_OK, writer->SetInputMediaType(stream, input, nullptr));
  EXPECT_EQ(MF_E_INVALIDREQUEST, writer->WriteSample(stream, *SampleOf({1}, 0)));
  ASSERT_EQ(S_OK, writer->BeginWriting());
  ASSERT_EQ(S_OK, writer->WriteSample(stream, *SampleOf({1, 2, 3}, 500)));
  ASSERT_EQ(S_OK, writer->Finalize());
  EXPECT_EQ(MF_E_INVALIDREQUEST, writer->Finalize());

  EXPECT_EQ((std::vector<std::pair<Guid, uint32_t>>{{CODECAPI_AVEncCommonQualityVsSpeed, 70}, {CODECAPI_AVEncMPVGOPSize, 60}}),
            recorded->CodecValues());
  EXPECT_EQ(L"Kalto", recorded->Properties().at(36));
  EXPECT_TRUE(recorded->InputTypes().at(0).Equals(input));
  const auto samples = recorded->Samples();
  ASSERT_EQ(2u, samples.size());
  EXPECT_EQ(MF_E_INVALIDREQUEST, samples[0].result);
  EXPECT_EQ(S_OK, samples[1].result);
  EXPECT_EQ(500, samples[1].time);
  EXPECT_EQ((std::vector<uint8_t>{1, 2, 3}), samples[1].bytes);
  EXPECT_TRUE(recorded->Finalized());
  const auto log = recorded->CallLog();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ("AddStream -> 0x00000000", log.front());
  EXPECT_EQ("Finalize -> 0xC00D36B2", log.back());
}

// A failure switch skips some calls, then fails a number of them; a failed call changes nothing.
TEST_F(FakeWriterTest, FailsCallsOnDemandAfterSkipsForACount) {
  auto writer = Create();
  auto recorded = fake->Writers().at(0);
  recorded->FailCall(WriterCall::WriteSample, MF_E_NOTACCEPTING, 1, 2);
  recorded->FailCall(WriterCall::CodecApiSetValue, E_INVALIDARG, 0, 1);
  uint32_t stream = 0;
  writer->AddStream(*H264Type(64, 32), &stream);
  std::shared_ptr<CodecApi> codec;
  ASSERT_EQ(S_OK, writer->GetCodecApi(stream, &codec));
  EXPECT_EQ(E_INVALIDARG, codec->SetValue(CODECAPI_AVEncH264CABACEnable, 1));
  EXPECT_EQ(S_OK, codec->SetValue(CODECAPI_AVEncMPVDefaultBPictureCount, 2));
  EXPECT_EQ((std::vector<std::pair<Guid, uint32_t>>{{CODECAPI_AVEncMPVDefaultBPictureCount, 2}}), recorded->CodecValues());
  writer->BeginWriting();
  std::vector<HRESULT> results;
  for (int i = 0; i < 5; ++i) results.push_back(writer->WriteSample(stream, *SampleOf({0}, i)));
  EXPECT_EQ((std::vector<HRESULT>{S_OK, MF_E_NOTACCEPTING, MF_E_NOTACCEPTING, S_OK, S_OK}), results);
  EXPECT_EQ(5, recorded->CallCount(WriterCall::WriteSample));
  recorded->FailCall(WriterCall::Finalize, E_FAIL);
  EXPECT_EQ(E_FAIL, writer->Finalize());
  EXPECT_FALSE(recorded->Finalized());
  recorded->ClearFailures();
  EXPECT_EQ(S_OK, writer->Finalize());
}

TEST_F(FakeWriterTest, EveryCallCanFailIncludingServicesAndCreation) {
  fake->SetWriterSetup([](FakeSinkWriter& w) {
    w.FailCall(WriterCall::GetCodecApi, E_NOINTERFACE);
    w.FailCall(WriterCall::GetPropertyStore, E_NOINTERFACE);
    w.FailCall(WriterCall::SetInputMediaType, MF_E_INVALIDMEDIATYPE);
    w.FailCall(WriterCall::BeginWriting, E_FAIL);
    w.SetAddStreamCheck([](const MediaType& t) {
      uint32_t profile = 0;
      return Succeeded(t.GetUINT32(MF_MT_MPEG2_PROFILE, &profile)) && profile == eAVEncH264VProfile_High ? MF_E_INVALIDMEDIATYPE : S_OK;
    });
  });
  auto writer = Create();
  auto high = H264Type(64, 32);
  high->SetUINT32(MF_MT_MPEG2_PROFILE, eAVEncH264VProfile_High);
  uint32_t stream = 0;
  EXPECT_EQ(MF_E_INVALIDMEDIATYPE, writer->AddStream(*high, &stream));
  high->SetUINT32(MF_MT_MPEG2_PROFILE, eAVEncH264VProfile_Main);
  EXPECT_EQ(S_OK, writer->AddStream(*high, &stream));
  std::shared_ptr<CodecApi> codec;
  EXPECT_EQ(E_NOINTERFACE, writer->GetCodecApi(stream, &codec));
  std::shared_ptr<PropertyStore> store;
  EXPECT_EQ(E_NOINTERFACE, writer->GetMediaSinkPropertyStore(&store));
  EXPECT_EQ(MF_E_INVALIDMEDIATYPE, writer->SetInputMediaType(stream, MediaType{}, nullptr));
  EXPECT_EQ(E_FAIL, writer->BeginWriting());
  EXPECT_EQ(1u, fake->Writers().at(0)->OutputTypes().size());

  fake->SetCreateWriterResult(E_ACCESSDENIED);
  std::shared_ptr<SinkWriter> none;
  EXPECT_EQ(E_ACCESSDENIED, CreateSinkWriterFromUrl(L"/tmp/fake2.mp4", nullptr, &none));
  EXPECT_EQ(nullptr, none);
}

}  // namespace
}  // namespace kalto::media::fake
