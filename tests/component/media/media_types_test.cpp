#include <gtest/gtest.h>

#include "platform/media/fake/fake_media.h"
#include "platform/media/media_foundation.h"

namespace kalto::media {
namespace {

TEST(Guid, PlatformValuesAndByteRoundTrip) {
  // The encoder cache file stores these bytes: NV12 must be exactly this.
  const std::array<uint8_t, 16> nv12{0x4E, 0x56, 0x31, 0x32, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
  EXPECT_EQ(nv12, MFVideoFormat_NV12.ToBytes());
  EXPECT_EQ("{3231564E-0000-0010-8000-00AA00389B71}", MFVideoFormat_NV12.ToString());
  EXPECT_EQ("{34363248-0000-0010-8000-00AA00389B71}", MFVideoFormat_H264.ToString());
  EXPECT_EQ("{00001610-0000-0010-8000-00AA00389B71}", MFAudioFormat_AAC.ToString());
  EXPECT_EQ("{73646976-0000-0010-8000-00AA00389B71}", MFMediaType_Video.ToString());
  EXPECT_EQ(MF_MT_FRAME_SIZE, Guid::FromBytes(MF_MT_FRAME_SIZE.ToBytes().data()));
  EXPECT_EQ("YV12", SubtypeName(MFVideoFormat_YV12));
}

TEST(Subtypes, SixAcceptedAndTheirFrameSizes) {
  for (const Guid& g : {MFVideoFormat_NV12, MFVideoFormat_IYUV, MFVideoFormat_YV12, MFVideoFormat_YUY2, MFVideoFormat_RGB32,
                        MFVideoFormat_ARGB32}) {
    EXPECT_TRUE(IsAcceptedVideoInputSubtype(g)) << SubtypeName(g);
  }
  EXPECT_FALSE(IsAcceptedVideoInputSubtype(MFVideoFormat_H264));
  EXPECT_FALSE(IsAcceptedVideoInputSubtype(GUID_NULL));
  EXPECT_EQ(1920u * 1088 * 3 / 2, VideoFrameBytes(MFVideoFormat_NV12, 1920, 1088));
  EXPECT_EQ(1920u * 1088 * 3 / 2, VideoFrameBytes(MFVideoFormat_YV12, 1920, 1088));
  EXPECT_EQ(1920u * 1088 * 2, VideoFrameBytes(MFVideoFormat_YUY2, 1920, 1088));
  EXPECT_EQ(1920u * 1088 * 4, VideoFrameBytes(MFVideoFormat_ARGB32, 1920, 1088));
  EXPECT_EQ(0u, VideoFrameBytes(MFVideoFormat_H264, 16, 16));
}

TEST(Attributes, TypedValuesMissingKeysAndTypeMismatch) {
  MediaType type;
  EXPECT_EQ(S_OK, type.SetUINT32(MF_MT_AVG_BITRATE, 4'000'000));
  EXPECT_EQ(S_OK, type.SetGUID(MF_MT_SUBTYPE, MFVideoFormat_H264));
  EXPECT_EQ(S_OK, type.SetString(MFT_FRIENDLY_NAME_Attribute, L"name"));
  uint32_t u32 = 0;
  uint64_t u64 = 0;
  Guid g;
  std::wstring text;
  EXPECT_EQ(MF_E_INVALIDTYPE, type.GetUINT64(MF_MT_AVG_BITRATE, &u64));
  EXPECT_EQ(MF_E_ATTRIBUTENOTFOUND, type.GetUINT32(MF_MT_INTERLACE_MODE, &u32));
  EXPECT_EQ(S_OK, type.GetGUID(MF_MT_SUBTYPE, &g));
  EXPECT_EQ(MFVideoFormat_H264, g);
  EXPECT_EQ(S_OK, type.GetString(MFT_FRIENDLY_NAME_Attribute, &text));
  EXPECT_EQ(L"name", text);
  // Setting a key again replaces the value, whatever its type was.
  EXPECT_EQ(S_OK, type.SetUINT64(MF_MT_AVG_BITRATE, 7));
  EXPECT_EQ(3u, type.GetCount());
  EXPECT_EQ(S_OK, type.GetUINT64(MF_MT_AVG_BITRATE, &u64));
  EXPECT_EQ(7u, u64);
  EXPECT_EQ(S_OK, type.DeleteItem(MF_MT_AVG_BITRATE));
  EXPECT_FALSE(type.HasKey(MF_MT_AVG_BITRATE));
  EXPECT_EQ(E_POINTER, type.GetUINT32(MF_MT_SUBTYPE, nullptr));
  // Equality ignores the order of the items, not their values.
  MediaType a, b;
  a.SetUINT32(MF_MT_AVG_BITRATE, 1);
  a.SetGUID(MF_MT_SUBTYPE, MFVideoFormat_NV12);
  b.SetGUID(MF_MT_SUBTYPE, MFVideoFormat_NV12);
  b.SetUINT32(MF_MT_AVG_BITRATE, 1);
  EXPECT_TRUE(a.Equals(b));
  b.SetUINT32(MF_MT_AVG_BITRATE, 2);
  EXPECT_FALSE(a.Equals(b));
}

TEST(Attributes, PackedSizeAndRatio) {
  MediaType type;
  ASSERT_EQ(S_OK, SetAttributeSize(&type, MF_MT_FRAME_SIZE, 1920, 1088));
  ASSERT_EQ(S_OK, SetAttributeRatio(&type, MF_MT_FRAME_RATE, 30000, 1001));
  uint64_t packed = 0;
  ASSERT_EQ(S_OK, type.GetUINT64(MF_MT_FRAME_SIZE, &packed));
  EXPECT_EQ((uint64_t{1920} << 32) | 1088, packed);
  uint32_t a = 0, b = 0;
  ASSERT_EQ(S_OK, GetAttributeRatio(type, MF_MT_FRAME_RATE, &a, &b));
  EXPECT_EQ(30000u, a);
  EXPECT_EQ(1001u, b);
  EXPECT_EQ(MF_E_ATTRIBUTENOTFOUND, GetAttributeSize(type, MF_MT_PIXEL_ASPECT_RATIO, &a, &b));
}

TEST(Samples, BuffersLengthsAndTimes) {
  std::shared_ptr<MediaBuffer> first, second;
  ASSERT_EQ(S_OK, CreateMemoryBuffer(4, &first));
  ASSERT_EQ(S_OK, CreateMemoryBuffer(4, &second));
  uint8_t* data = nullptr;
  uint32_t max = 0;
  ASSERT_EQ(S_OK, first->Lock(&data, &max, nullptr));
  EXPECT_EQ(4u, max);
  data[0] = 1;
  data[1] = 2;
  first->Unlock();
  EXPECT_EQ(E_INVALIDARG, first->SetCurrentLength(5));
  first->SetCurrentLength(2);
  second->Lock(&data, nullptr, nullptr);
  data[0] = 3;
  second->Unlock();
  second->SetCurrentLength(1);
  std::shared_ptr<Sample> sample;
  ASSERT_EQ(S_OK, CreateSample(&sample));
  int64_t time = 0;
  EXPECT_EQ(MF_E_NO_SAMPLE_TIMESTAMP, sample->GetSampleTime(&time));
  EXPECT_EQ(MF_E_NO_SAMPLE_DURATION, sample->GetSampleDuration(&time));
  sample->AddBuffer(first);
  sample->AddBuffer(second);
  sample->SetSampleTime(-5);
  EXPECT_EQ(S_OK, sample->GetSampleTime(&time));
  EXPECT_EQ(-5, time);
  EXPECT_EQ(3u, sample->GetTotalLength());
  EXPECT_EQ((std::vector<uint8_t>{1, 2, 3}), sample->ContiguousBytes());
}

// Start-up is counted: the backend starts on the first call and stops on the last.
class StartupTest : public ::testing::Test {
 protected:
  void SetUp() override { m_previous = SetMediaPlatform(m_fake); }
  void TearDown() override {
    while (IsMediaStarted()) MediaShutdown();
    SetMediaPlatform(nullptr);
  }
  std::shared_ptr<fake::FakeMediaPlatform> m_fake = std::make_shared<fake::FakeMediaPlatform>();
  std::shared_ptr<MediaPlatform> m_previous;
};

TEST_F(StartupTest, ReferenceCountedAndFailuresDoNotCount) {
  EXPECT_EQ(MF_E_BAD_STARTUP_VERSION, MediaStartup(0x10070));
  m_fake->SetStartupResult(E_OUTOFMEMORY);
  EXPECT_EQ(E_OUTOFMEMORY, MediaStartup());
  EXPECT_FALSE(IsMediaStarted());
  m_fake->SetStartupResult(S_OK);
  ASSERT_EQ(S_OK, MediaStartup());
  {
    MediaPlatformScope scope;
    EXPECT_EQ(S_OK, scope.result());
  }
  EXPECT_TRUE(IsMediaStarted());
  EXPECT_EQ(2, m_fake->StartupCount());  // the failed attempt, then one for both successful starts
  EXPECT_EQ(0, m_fake->ShutdownCount());
  EXPECT_EQ(S_OK, MediaShutdown());
  EXPECT_FALSE(IsMediaStarted());
  EXPECT_EQ(1, m_fake->ShutdownCount());
  EXPECT_EQ(MF_E_NOT_INITIALIZED, MediaShutdown());
}

TEST_F(StartupTest, SinkWriterNeedsStartup) {
  std::shared_ptr<SinkWriter> writer;
  EXPECT_EQ(MF_E_PLATFORM_NOT_INITIALIZED, CreateSinkWriterFromUrl(L"/tmp/x.mp4", nullptr, &writer));
  MediaPlatformScope scope;
  EXPECT_EQ(S_OK, CreateSinkWriterFromUrl(L"/tmp/x.mp4", nullptr, &writer));
  EXPECT_EQ(1u, m_fake->Writers().size());
}

TEST_F(StartupTest, SetMediaPlatformReturnsThePreviousAndNullRestoresTheDefault) {
  auto other = std::make_shared<fake::FakeMediaPlatform>();
  EXPECT_EQ(m_fake, SetMediaPlatform(other));
  EXPECT_EQ(other, CurrentMediaPlatform());
  SetMediaPlatform(nullptr);
  EXPECT_NE(nullptr, CurrentMediaPlatform());
  EXPECT_NE(other, CurrentMediaPlatform());
  EXPECT_NE(m_fake, CurrentMediaPlatform());
}

}  // namespace
}  // namespace kalto::media
