#include <gtest/gtest.h>

#include <algorithm>

#include "platform/media/ffmpeg/ffmpeg_codecs.h"
#include "common/debug_output.h"
#include "platform/media/media_foundation.h"

namespace kalto::media {
namespace {

std::wstring CodecName(const Activate& activate) {
  std::wstring name;
  activate.GetString(KALTO_MFT_CODEC_NAME, &name);
  return name;
}

std::shared_ptr<MediaType> H264Type(uint32_t width, uint32_t height, uint32_t fps) {
  auto type = std::make_shared<MediaType>();
  type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
  type->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_H264);
  SetAttributeSize(type.get(), MF_MT_FRAME_SIZE, width, height);
  SetAttributeRatio(type.get(), MF_MT_FRAME_RATE, fps, 1);
  type->SetUINT32(MF_MT_AVG_BITRATE, fps * 8'000'000 / 30);
  type->SetUINT32(MF_MT_INTERLACE_MODE, MFVideoInterlace_Progressive);
  return type;
}

class FfmpegEncoders : public ::testing::Test {
 protected:
  void SetUp() override {
    SetMediaPlatform(nullptr);
    ASSERT_EQ(S_OK, EnumVideoEncoders(0x47, &m_all));
  }
  std::shared_ptr<Activate> Find(const std::wstring& name) {
    for (auto& a : m_all) {
      if (CodecName(*a) == name) return a;
    }
    return nullptr;
  }
  std::shared_ptr<Transform> ActivatedX264() {
    auto x264 = Find(L"libx264");
    std::shared_ptr<Transform> transform;
    if (x264) {
      EXPECT_EQ(S_OK, x264->ActivateObject(&transform));
    }
    return transform;
  }
  std::vector<std::shared_ptr<Activate>> m_all;
};

// Hardware first, in preference order (with their device-surface flags), then x264.
TEST_F(FfmpegEncoders, HardwareFirstInPreferenceOrderThenX264) {
  ASSERT_FALSE(m_all.empty());
  auto firstSoftware = std::find_if(m_all.begin(), m_all.end(), [](auto& a) { return !a->IsHardware(); });
  EXPECT_TRUE(std::all_of(firstSoftware, m_all.end(), [](auto& a) { return !a->IsHardware(); })) << "hardware after software";
  ASSERT_NE(firstSoftware, m_all.end());
  EXPECT_EQ(L"libx264", CodecName(**firstSoftware));
  EXPECT_FALSE((*firstSoftware)->IsD3D11Aware());
  // Not general-purpose H.264 encoders for this use.
  EXPECT_EQ(nullptr, Find(L"libx264rgb"));
  EXPECT_EQ(nullptr, Find(L"h264_omx"));
  const std::vector<std::wstring> preference{L"h264_nvenc", L"h264_vaapi", L"h264_qsv", L"h264_v4l2m2m"};
  std::vector<std::wstring> listed, expected;
  for (auto& a : m_all) {
    EXPECT_FALSE(a->FriendlyName().empty());
    if (std::find(preference.begin(), preference.end(), CodecName(*a)) != preference.end()) listed.push_back(CodecName(*a));
  }
  for (auto& name : preference) {
    if (Find(name)) expected.push_back(name);
  }
  EXPECT_EQ(expected, listed);
  for (const wchar_t* name : {L"h264_nvenc", L"h264_qsv"}) {  // QSV is HYBRID, which counts as hardware
    if (auto a = Find(name)) {
      EXPECT_TRUE(a->IsHardware() && a->IsD3D11Aware()) << WideToUtf8(name);
    }
  }
  if (auto v4l2 = Find(L"h264_v4l2m2m")) {
    EXPECT_FALSE(v4l2->IsD3D11Aware());
  }
}

TEST_F(FfmpegEncoders, FlagsSelectHardwareOrSoftware) {
  std::vector<std::shared_ptr<Activate>> list;
  ASSERT_EQ(S_OK, EnumVideoEncoders(MFT_ENUM_FLAG_HARDWARE | MFT_ENUM_FLAG_SORTANDFILTER, &list));
  EXPECT_TRUE(std::all_of(list.begin(), list.end(), [](auto& a) { return a->IsHardware(); }));
  ASSERT_EQ(S_OK, EnumVideoEncoders(0, &list));
  ASSERT_FALSE(list.empty());
  EXPECT_TRUE(std::none_of(list.begin(), list.end(), [](auto& a) { return a->IsHardware(); }));
  // Other outputs or categories give nothing.
  const RegisterTypeInfo aac{MFMediaType_Audio, MFAudioFormat_AAC};
  ASSERT_EQ(S_OK, EnumTransforms(MFT_CATEGORY_VIDEO_ENCODER, 0x47, nullptr, &aac, &list));
  EXPECT_TRUE(list.empty());
  // An input filter keeps only encoders that take that subtype.
  const RegisterTypeInfo yuy2{MFMediaType_Video, MFVideoFormat_YUY2};
  const RegisterTypeInfo h264{MFMediaType_Video, MFVideoFormat_H264};
  ASSERT_EQ(S_OK, EnumTransforms(MFT_CATEGORY_VIDEO_ENCODER, 0x47, &yuy2, &h264, &list));
  EXPECT_TRUE(std::none_of(list.begin(), list.end(), [](auto& a) { return CodecName(*a) == L"libx264"; }));
}

TEST_F(FfmpegEncoders, HardwareThatCannotOpenFailsActivationOthersActivate) {
  for (auto& a : m_all) {
    std::shared_ptr<Transform> transform;
    const HRESULT hr = a->ActivateObject(&transform);
    if (a->IsHardware()) {
      EXPECT_TRUE(hr == S_OK || hr == MF_E_HW_MFT_FAILED_START_STREAMING) << WideToUtf8(CodecName(*a));
    } else {
      EXPECT_EQ(S_OK, hr) << WideToUtf8(CodecName(*a));
    }
    EXPECT_EQ(Succeeded(hr), transform != nullptr);
  }
}

TEST_F(FfmpegEncoders, X264InputTypesAfterTheOutputTypeNv12First) {
  auto transform = ActivatedX264();
  ASSERT_TRUE(transform);
  std::shared_ptr<MediaType> type;
  EXPECT_EQ(MF_E_TRANSFORM_TYPE_NOT_SET, transform->GetInputAvailableType(0, 0, &type));
  ASSERT_EQ(S_OK, transform->SetOutputType(0, H264Type(1920, 1088, 30).get(), 0));
  std::vector<Guid> subtypes;
  for (uint32_t i = 0;; ++i) {
    const HRESULT hr = transform->GetInputAvailableType(0, i, &type);
    if (hr == MF_E_NO_MORE_TYPES) break;
    ASSERT_EQ(S_OK, hr);
    Guid subtype;
    ASSERT_EQ(S_OK, type->GetGUID(MF_MT_SUBTYPE, &subtype));
    subtypes.push_back(subtype);
    uint32_t w = 0, h = 0;
    EXPECT_EQ(S_OK, GetAttributeSize(*type, MF_MT_FRAME_SIZE, &w, &h));
    EXPECT_EQ(1920u, w);
    EXPECT_EQ(1088u, h);
  }
  EXPECT_EQ((std::vector<Guid>{MFVideoFormat_NV12, MFVideoFormat_IYUV, MFVideoFormat_YV12}), subtypes);
  EXPECT_EQ(MF_E_INVALIDSTREAMNUMBER, transform->GetInputAvailableType(1, 0, &type));
}

TEST_F(FfmpegEncoders, X264RefusesOutputTypesItCannotEncode) {
  auto transform = ActivatedX264();
  ASSERT_TRUE(transform);
  EXPECT_EQ(MF_E_INVALIDMEDIATYPE, transform->SetOutputType(0, H264Type(1921, 1080, 30).get(), 0)) << "odd width";
  EXPECT_EQ(MF_E_INVALIDMEDIATYPE, transform->SetOutputType(0, H264Type(0, 1080, 30).get(), 0));
  EXPECT_EQ(MF_E_INVALIDMEDIATYPE, transform->SetOutputType(0, H264Type(1920, 1088, 0).get(), 0)) << "no rate";
  auto profile = H264Type(640, 480, 30);
  profile->SetUINT32(MF_MT_MPEG2_PROFILE, 88);  // Extended: not offered
  EXPECT_EQ(MF_E_INVALIDMEDIATYPE, transform->SetOutputType(0, profile.get(), 0));
  auto subtype = H264Type(640, 480, 30);
  subtype->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_NV12);
  EXPECT_EQ(MF_E_INVALIDMEDIATYPE, transform->SetOutputType(0, subtype.get(), 0));
  // A refused type leaves no output type behind.
  std::shared_ptr<MediaType> current;
  EXPECT_EQ(MF_E_TRANSFORM_TYPE_NOT_SET, transform->GetOutputCurrentType(0, &current));
  for (uint32_t p : {eAVEncH264VProfile_Base, eAVEncH264VProfile_Main, eAVEncH264VProfile_High}) {
    profile->SetUINT32(MF_MT_MPEG2_PROFILE, p);
    EXPECT_EQ(S_OK, transform->SetOutputType(0, profile.get(), 0)) << p;
  }
  // Test-only checks do not store the type.
  auto other = H264Type(320, 240, 60);
  EXPECT_EQ(S_OK, transform->SetOutputType(0, other.get(), MFT_SET_TYPE_TEST_ONLY));
  ASSERT_EQ(S_OK, transform->GetOutputCurrentType(0, &current));
  EXPECT_TRUE(current->Equals(*profile));
}

TEST(FfmpegMapping, SubtypesToPixelFormats) {
  using namespace ffmpeg;
  EXPECT_EQ(AV_PIX_FMT_NV12, PixelFormatOf(MFVideoFormat_NV12));
  EXPECT_EQ(AV_PIX_FMT_YUV420P, PixelFormatOf(MFVideoFormat_IYUV));
  EXPECT_EQ(AV_PIX_FMT_YUV420P, PixelFormatOf(MFVideoFormat_YV12));
  EXPECT_EQ(AV_PIX_FMT_YUYV422, PixelFormatOf(MFVideoFormat_YUY2));
  EXPECT_EQ(AV_PIX_FMT_BGR0, PixelFormatOf(MFVideoFormat_RGB32));
  EXPECT_EQ(AV_PIX_FMT_BGRA, PixelFormatOf(MFVideoFormat_ARGB32));
  EXPECT_EQ(AV_PIX_FMT_NONE, PixelFormatOf(MFVideoFormat_H264));
}

TEST(FfmpegMapping, EncodersOwnOrderAfterNv12) {
  using namespace ffmpeg;
  // nvenc lists yuv420p before nv12, then bgr0 and bgra: NV12 still leads.
  if (const AVCodec* nvenc = avcodec_find_encoder_by_name("h264_nvenc")) {
    EXPECT_EQ((std::vector<Guid>{MFVideoFormat_NV12, MFVideoFormat_IYUV, MFVideoFormat_YV12, MFVideoFormat_RGB32, MFVideoFormat_ARGB32}),
              InputSubtypesOf(nvenc));
  }
  if (const AVCodec* qsv = avcodec_find_encoder_by_name("h264_qsv")) {
    EXPECT_EQ((std::vector<Guid>{MFVideoFormat_NV12}), InputSubtypesOf(qsv));
  }
  if (const AVCodec* vaapi = avcodec_find_encoder_by_name("h264_vaapi")) {
    EXPECT_TRUE(InputSubtypesOf(vaapi).empty()) << "device surfaces only";
  }
  if (const AVCodec* rgb = avcodec_find_encoder_by_name("libx264rgb")) {
    EXPECT_EQ((std::vector<Guid>{MFVideoFormat_RGB32}), InputSubtypesOf(rgb));
  }
}

TEST(FfmpegMapping, QualityVsSpeedPresets) {
  EXPECT_STREQ("ultrafast", ffmpeg::X264PresetFor(0));
  EXPECT_STREQ("superfast", ffmpeg::X264PresetFor(20));
  EXPECT_STREQ("veryfast", ffmpeg::X264PresetFor(50));
  EXPECT_STREQ("faster", ffmpeg::X264PresetFor(70));
  EXPECT_STREQ("fast", ffmpeg::X264PresetFor(90));
  EXPECT_STREQ("medium", ffmpeg::X264PresetFor(100));
}

}  // namespace
}  // namespace kalto::media
