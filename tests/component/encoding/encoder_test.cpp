// Encoder on the fake media platform and the software graphics device: the writer set-up and its
// failure lines, profile fallback, sizes and durations, the three frame paths with their exact
// sample bytes, refusal thinning, audio pass-through and finalisation.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "encoding/bgra_image.h"
#include "encoding/encoder.h"
#include "encoding/encoder_cache.h"
#include "encoding_fixture.h"
#include "platform/media/fake/fake_media.h"

namespace kalto {
namespace {

namespace fs = std::filesystem;
using media::Guid;
using media::fake::FakeEncoderScript;
using media::fake::FakeMediaPlatform;
using media::fake::FakeSinkWriter;
using media::fake::WriterCall;
using test::Bgra;

constexpr uint32_t kRed = Bgra(255, 0, 0);
constexpr uint32_t kWhite = Bgra(255, 255, 255);

// 640x368 at 30 fps with audio, Main profile, unless a test says otherwise.
struct Settings {
  uint32_t width = 640, height = 368, fps = 30, bitrate = 8'000'000;
  uint32_t rate = 48000, channels = 2, audioBitrate = 192'000;
  bool audio = true;
  int32_t profile = 1;
  uint32_t quality = 50;
  bool cabac = true;
  uint32_t bFrames = 0, gop = 1;
};

class EncoderTest : public test::EncodingTest {
 protected:
  void SetUp() override {
    EncodingTest::SetUp();
    root = fs::temp_directory_path() / ("kalto-encoder-" + std::to_string(::getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root);
    fs::create_directories(root);
    if (const char* old = std::getenv("XDG_DATA_HOME")) savedXdg = old;
    setenv("XDG_DATA_HOME", root.c_str(), 1);
    previous = media::SetMediaPlatform(fake);
    EncoderCache::ResetForTesting();
    Encoder::ResetCpuPathNoticeForTesting();
    platform = std::make_shared<platform::Platform>();
    platform->gpu = factory;
    UseSubtype(media::MFVideoFormat_NV12);
  }
  void TearDown() override {
    media::SetMediaPlatform(previous);
    if (savedXdg.empty()) {
      unsetenv("XDG_DATA_HOME");
    } else {
      setenv("XDG_DATA_HOME", savedXdg.c_str(), 1);
    }
    EncoderCache::ResetForTesting();
    fs::remove_all(root);
  }

  void UseSubtype(const Guid& subtype) {
    FakeEncoderScript script;
    script.friendlyName = L"Fake H.264 Encoder";
    script.inputSubtypes = {subtype};
    fake->SetEncoders({script});
  }

  bool Init(Encoder& encoder, const Settings& s) {
    return encoder.Initialize(L"/tmp/kalto-test.mp4", s.width, s.height, s.fps, s.bitrate, s.rate, s.channels,
                              s.audioBitrate, s.audio, s.profile, s.quality, s.cabac, s.bFrames, s.gop);
  }
  std::unique_ptr<Encoder> Started() { return Started(Settings{}); }
  std::unique_ptr<Encoder> Started(const Settings& s) {
    auto encoder = std::make_unique<Encoder>(platform);
    EXPECT_TRUE(Init(*encoder, s));
    return encoder;
  }
  std::shared_ptr<FakeSinkWriter> Writer() const {
    auto writers = fake->Writers();
    return writers.empty() ? nullptr : writers.back();
  }
  std::vector<media::fake::RecordedSample> Samples(uint32_t stream) const {
    std::vector<media::fake::RecordedSample> out;
    for (auto& s : Writer()->Samples()) {
      if (s.stream == stream) out.push_back(s);
    }
    return out;
  }
  std::shared_ptr<gpu::Texture2D> Solid(uint32_t w, uint32_t h, uint32_t pixel) {
    return Frame(w, h, [pixel](uint32_t, uint32_t) { return pixel; });
  }
  // What the CPU conversion makes of a frame (for the paths that end in it).
  std::vector<uint8_t> CpuConverted(gpu::Texture2D& frame, uint32_t wt, uint32_t ht, const Guid& subtype) {
    const auto desc = frame.GetDesc();
    const auto pixels = Read(frame);
    std::vector<uint8_t> out(Encoder::ConvertBufferSize(subtype, wt, ht));
    Encoder::ConvertBgraImage(pixels.data(), desc.width * 4, desc.width, desc.height, out.data(), wt, ht, subtype);
    return out;
  }

  static constexpr const char* kCpuLine = "[Encoder] Active video path: CPU fallback/readback (may cause recording lag)\n";

  fs::path root;
  std::string savedXdg;
  std::shared_ptr<FakeMediaPlatform> fake = std::make_shared<FakeMediaPlatform>();
  std::shared_ptr<media::MediaPlatform> previous;
  std::shared_ptr<platform::Platform> platform;
};

// ---- Initialize -------------------------------------------------------------------------------
TEST_F(EncoderTest, InitializeSetsUpTheWriterInOrder) {
  Settings s;
  s.width = 1366;
  s.height = 768;
  s.gop = 2;
  auto encoder = Started(s);
  EXPECT_EQ(1376u, encoder->GetWidth());
  EXPECT_EQ(768u, encoder->GetHeight());
  EXPECT_TRUE(encoder->IsWriting());
  EXPECT_EQ(media::MFVideoFormat_NV12, encoder->GetInputSubtype());
  EXPECT_EQ(1, encoder->GetEffectiveProfile());
  // Discovery ran with the encoded size.
  ASSERT_EQ(1u, fake->Transforms().size());
  uint32_t w = 0, h = 0;
  ASSERT_EQ(S_OK, media::GetAttributeSize(fake->Transforms()[0].second->OutputTypesTried().at(0), media::MF_MT_FRAME_SIZE, &w, &h));
  EXPECT_EQ(1376u, w);
  EXPECT_EQ(768u, h);

  auto writer = Writer();
  ASSERT_TRUE(writer);
  EXPECT_EQ(L"/tmp/kalto-test.mp4", writer->Url());
  uint32_t value = 0;
  EXPECT_EQ(S_OK, writer->CreationAttributes().GetUINT32(media::MF_READWRITE_ENABLE_HARDWARE_TRANSFORMS, &value));
  EXPECT_EQ(1u, value);
  EXPECT_EQ(S_OK, writer->CreationAttributes().GetUINT32(media::MF_SINK_WRITER_DISABLE_THROTTLING, &value));
  EXPECT_EQ(1u, value);
  EXPECT_EQ(2u, writer->CreationAttributes().GetCount());

  const std::vector<std::string> expected = {
      "GetPropertyStore -> 0x00000000",  "PropertySetValue -> 0x00000000", "PropertySetValue -> 0x00000000",
      "AddStream -> 0x00000000",         "GetCodecApi -> 0x00000000",      "CodecApiSetValue -> 0x00000000",
      "CodecApiSetValue -> 0x00000000",  "CodecApiSetValue -> 0x00000000", "CodecApiSetValue -> 0x00000000",
      "SetInputMediaType -> 0x00000000", "AddStream -> 0x00000000",        "SetInputMediaType -> 0x00000000",
      "BeginWriting -> 0x00000000"};
  EXPECT_EQ(expected, writer->CallLog());

  const std::vector<std::pair<Guid, uint32_t>> codec = {{media::CODECAPI_AVEncCommonQualityVsSpeed, 50},
                                                        {media::CODECAPI_AVEncH264CABACEnable, 1},
                                                        {media::CODECAPI_AVEncMPVDefaultBPictureCount, 0},
                                                        {media::CODECAPI_AVEncMPVGOPSize, 60}};
  EXPECT_EQ(codec, writer->CodecValues());
  EXPECT_EQ(L"Kalto (0.0.3) - Fake H.264 Encoder", writer->Properties()[36]);
  EXPECT_EQ(L"Kalto (0.0.3) - Fake H.264 Encoder", writer->Properties()[37]);

  auto out = std::make_shared<media::MediaType>();
  out->SetGUID(media::MF_MT_MAJOR_TYPE, media::MFMediaType_Video);
  out->SetGUID(media::MF_MT_SUBTYPE, media::MFVideoFormat_H264);
  out->SetUINT32(media::MF_MT_AVG_BITRATE, 8'000'000);
  out->SetUINT32(media::MF_MT_INTERLACE_MODE, 2);
  media::SetAttributeSize(out.get(), media::MF_MT_FRAME_SIZE, 1376, 768);
  media::SetAttributeRatio(out.get(), media::MF_MT_FRAME_RATE, 30, 1);
  media::SetAttributeRatio(out.get(), media::MF_MT_PIXEL_ASPECT_RATIO, 1, 1);
  out->SetUINT32(media::MF_MT_YUV_MATRIX, 1);
  out->SetUINT32(media::MF_MT_VIDEO_PRIMARIES, 2);
  out->SetUINT32(media::MF_MT_TRANSFER_FUNCTION, 5);
  out->SetUINT32(media::MF_MT_MPEG2_PROFILE, 77);
  ASSERT_EQ(2u, writer->OutputTypes().size());
  EXPECT_TRUE(writer->OutputTypes()[0].Equals(*out));

  media::MediaType in;
  in.SetGUID(media::MF_MT_MAJOR_TYPE, media::MFMediaType_Video);
  in.SetGUID(media::MF_MT_SUBTYPE, media::MFVideoFormat_NV12);
  in.SetUINT32(media::MF_MT_INTERLACE_MODE, 2);
  media::SetAttributeSize(&in, media::MF_MT_FRAME_SIZE, 1376, 768);
  media::SetAttributeRatio(&in, media::MF_MT_FRAME_RATE, 30, 1);
  media::SetAttributeRatio(&in, media::MF_MT_PIXEL_ASPECT_RATIO, 1, 1);
  in.SetUINT32(media::MF_MT_YUV_MATRIX, 1);
  in.SetUINT32(media::MF_MT_VIDEO_PRIMARIES, 2);
  in.SetUINT32(media::MF_MT_TRANSFER_FUNCTION, 5);
  EXPECT_TRUE(writer->InputTypes().at(0).Equals(in));

  media::MediaType aac;
  aac.SetGUID(media::MF_MT_MAJOR_TYPE, media::MFMediaType_Audio);
  aac.SetGUID(media::MF_MT_SUBTYPE, media::MFAudioFormat_AAC);
  aac.SetUINT32(media::MF_MT_AUDIO_NUM_CHANNELS, 2);
  aac.SetUINT32(media::MF_MT_AUDIO_SAMPLES_PER_SECOND, 48000);
  aac.SetUINT32(media::MF_MT_AUDIO_BITS_PER_SAMPLE, 16);
  aac.SetUINT32(media::MF_MT_AUDIO_AVG_BYTES_PER_SECOND, 24000);
  EXPECT_TRUE(writer->OutputTypes()[1].Equals(aac));
  media::MediaType pcm;
  pcm.SetGUID(media::MF_MT_MAJOR_TYPE, media::MFMediaType_Audio);
  pcm.SetGUID(media::MF_MT_SUBTYPE, media::MFAudioFormat_PCM);
  pcm.SetUINT32(media::MF_MT_AUDIO_NUM_CHANNELS, 2);
  pcm.SetUINT32(media::MF_MT_AUDIO_SAMPLES_PER_SECOND, 48000);
  pcm.SetUINT32(media::MF_MT_AUDIO_BITS_PER_SAMPLE, 16);
  pcm.SetUINT32(media::MF_MT_AUDIO_BLOCK_ALIGNMENT, 4);
  pcm.SetUINT32(media::MF_MT_AUDIO_AVG_BYTES_PER_SECOND, 192000);
  EXPECT_TRUE(writer->InputTypes().at(1).Equals(pcm));
  EXPECT_TRUE(debug.Lines().empty());
}

TEST_F(EncoderTest, EncodedSizeRoundsUpToMultiplesOfSixteen) {
  Settings s;
  s.width = 1920;
  s.height = 1080;
  s.audio = false;
  auto encoder = Started(s);
  EXPECT_EQ(1920u, encoder->GetWidth());
  EXPECT_EQ(1088u, encoder->GetHeight());
  // One stream only.
  EXPECT_EQ(1u, Writer()->OutputTypes().size());
  EXPECT_EQ(1, Writer()->CallCount(WriterCall::AddStream));
}

TEST_F(EncoderTest, SubtypeFromTheFileLeavesTheEncoderNameOutOfTheMetadata) {
  fs::create_directories(root / "Kalto");
  std::ofstream(root / "Kalto" / "encoder_cache.bin", std::ios::binary)
      .write("\x01\x00\x00\x00YUY2\x00\x00\x10\x00\x80\x00\x00\xAA\x00\x38\x9B\x71", 20);
  auto encoder = Started();
  EXPECT_EQ(media::MFVideoFormat_YUY2, encoder->GetInputSubtype());
  EXPECT_TRUE(fake->Transforms().empty());
  EXPECT_EQ(L"Kalto (0.0.3)", Writer()->Properties()[36]);
  EXPECT_EQ(L"Kalto (0.0.3)", Writer()->Properties()[37]);
}

TEST_F(EncoderTest, NoEncoderFailsWithoutAWriter) {
  fake->SetEncoders({});
  Encoder encoder(platform);
  EXPECT_FALSE(Init(encoder, Settings()));
  EXPECT_EQ((std::vector<std::string>{"[Encoder] No H.264 encoders found!\n",
                                      "[Encoder] Failed to find compatible encoder\n"}),
            debug.Lines());
  EXPECT_TRUE(fake->Writers().empty());
  EXPECT_FALSE(encoder.WriteVideoFrame(Solid(640, 368, kWhite).get(), 0));
}

TEST_F(EncoderTest, WriterCreationFailureIsLoggedWithItsCode) {
  fake->SetCreateWriterResult(E_ACCESSDENIED);
  Encoder encoder(platform);
  EXPECT_FALSE(Init(encoder, Settings()));
  EXPECT_EQ((std::vector<std::string>{"[Encoder] Failed to create sink writer: 0x80070005\n"}), debug.Lines());
}

TEST_F(EncoderTest, MediaStartupFailureIsLoggedAndTheWriterCannotBeMade) {
  ASSERT_FALSE(media::IsMediaStarted());
  fake->SetStartupResult(E_FAIL);
  Encoder encoder(platform);
  EXPECT_EQ((std::vector<std::string>{"[Encoder] Failed to initialize Media Foundation\n"}), debug.Lines());
  EXPECT_FALSE(Init(encoder, Settings()));
  EXPECT_TRUE(debug.Contains("[Encoder] Failed to create sink writer: 0xC00D36FA\n"));
}

TEST_F(EncoderTest, StartupIsBalancedByShutdown) {
  ASSERT_FALSE(media::IsMediaStarted());
  {
    auto encoder = Started();
    EXPECT_TRUE(media::IsMediaStarted());
  }
  EXPECT_FALSE(media::IsMediaStarted());
  EXPECT_EQ(fake->StartupCount(), fake->ShutdownCount());
}

struct StepFailure {
  WriterCall call;
  uint32_t skip;
  const char* line;
};

TEST_F(EncoderTest, FatalWriterStepsLogTheirLineAndReleaseTheWriter) {
  const StepFailure steps[] = {
      {WriterCall::AddStream, 0, "[Encoder] Failed to add video stream: 0xC00D36B4\n"},
      {WriterCall::SetInputMediaType, 0, "[Encoder] Failed to set video input type: 0xC00D36B4\n"},
      {WriterCall::BeginWriting, 0, "[Encoder] Failed to begin writing: 0xC00D36B4\n"},
  };
  for (const StepFailure& step : steps) {
    debug.Clear();
    fake->SetWriterSetup([&](FakeSinkWriter& w) { w.FailCall(step.call, media::MF_E_INVALIDMEDIATYPE, step.skip); });
    Encoder encoder(platform);
    EXPECT_FALSE(Init(encoder, Settings()));
    EXPECT_EQ((std::vector<std::string>{step.line}), debug.Lines());
    EXPECT_FALSE(encoder.IsWriting());
    EXPECT_FALSE(encoder.WriteVideoFrame(Solid(640, 368, kWhite).get(), 0));
    // Nothing after the failed step.
    EXPECT_EQ(0, Writer()->CallCount(WriterCall::WriteSample));
    if (step.call != WriterCall::BeginWriting) {
      EXPECT_EQ(0, Writer()->CallCount(WriterCall::BeginWriting));
    }
    // The writer was released: only the fake's record still holds it.
    EXPECT_EQ(2, Writer().use_count());
  }
}

TEST_F(EncoderTest, AudioStreamRefusedMeansNoAudioAndNoMessage) {
  fake->SetWriterSetup([](FakeSinkWriter& w) { w.FailCall(WriterCall::AddStream, E_FAIL, 1); });
  auto encoder = Started();
  EXPECT_TRUE(debug.Lines().empty());
  EXPECT_EQ(1u, Writer()->OutputTypes().size());
  const std::vector<uint8_t> block(4096, 7);
  encoder->WriteAudioSamples(block.data(), 4096, 0, 213333);
  EXPECT_EQ(0, Writer()->CallCount(WriterCall::WriteSample));
}

TEST_F(EncoderTest, AudioInputTypeFailureIsOnlyAWarning) {
  fake->SetWriterSetup([](FakeSinkWriter& w) { w.FailCall(WriterCall::SetInputMediaType, E_INVALIDARG, 1); });
  auto encoder = Started();
  EXPECT_EQ((std::vector<std::string>{"[Encoder] Warning: Failed to set audio input type: 0x80070057\n"}),
            debug.Lines());
  EXPECT_TRUE(encoder->IsWriting());
}

TEST_F(EncoderTest, MetadataAndCodecSettingFailuresAreIgnored) {
  fake->SetWriterSetup([](FakeSinkWriter& w) {
    w.FailCall(WriterCall::GetPropertyStore, E_NOINTERFACE);
    w.FailCall(WriterCall::CodecApiSetValue, E_NOTIMPL);
  });
  auto encoder = Started();
  EXPECT_TRUE(encoder->IsWriting());
  EXPECT_TRUE(debug.Lines().empty());
  EXPECT_EQ(4, Writer()->CallCount(WriterCall::CodecApiSetValue));
}

TEST_F(EncoderTest, SecondInitializeOnAWritingEncoderIsRefused) {
  auto encoder = Started();
  EXPECT_FALSE(Init(*encoder, Settings()));
  EXPECT_EQ(1u, fake->Writers().size());
}

TEST_F(EncoderTest, ZeroFrameRateIsRefused) {
  Settings s;
  s.fps = 0;
  Encoder encoder(platform);
  EXPECT_FALSE(Init(encoder, s));
  EXPECT_EQ((std::vector<std::string>{"[Encoder] Invalid frame rate: 0\n"}), debug.Lines());
}

// ---- Profiles and codec settings ---------------------------------------------------------------
TEST(EncoderProfile, CandidatesFallBackOnlyWhenTheTypeRejectsThem) {
  std::vector<uint32_t> tried;
  auto rejecting = [&tried](std::vector<uint32_t> refused) {
    return [&tried, refused](uint32_t value) {
      tried.push_back(value);
      return std::find(refused.begin(), refused.end(), value) == refused.end() ? S_OK : E_INVALIDARG;
    };
  };
  EXPECT_EQ(0, Encoder::SelectH264Profile(0, rejecting({})));
  EXPECT_EQ((std::vector<uint32_t>{100}), tried);
  tried.clear();
  EXPECT_EQ(1, Encoder::SelectH264Profile(0, rejecting({100})));
  EXPECT_EQ((std::vector<uint32_t>{100, 77}), tried);
  tried.clear();
  EXPECT_EQ(2, Encoder::SelectH264Profile(0, rejecting({100, 77})));
  EXPECT_EQ((std::vector<uint32_t>{100, 77, 66}), tried);
  tried.clear();
  EXPECT_EQ(2, Encoder::SelectH264Profile(0, rejecting({100, 77, 66})));
  EXPECT_EQ((std::vector<uint32_t>{100, 77, 66}), tried);
  tried.clear();
  EXPECT_EQ(1, Encoder::SelectH264Profile(1, rejecting({})));
  EXPECT_EQ((std::vector<uint32_t>{77}), tried);
  tried.clear();
  EXPECT_EQ(2, Encoder::SelectH264Profile(1, rejecting({77})));
  EXPECT_EQ((std::vector<uint32_t>{77, 66}), tried);
  for (int32_t other : {2, 3, -1}) {
    tried.clear();
    EXPECT_EQ(2, Encoder::SelectH264Profile(other, rejecting({})));
    EXPECT_EQ((std::vector<uint32_t>{66}), tried);
  }
}

TEST_F(EncoderTest, HighProfileIsSetAndCarriesTheCodecSettings) {
  Settings s;
  s.profile = 0;
  s.quality = 100;
  s.cabac = false;
  s.bFrames = 2;
  s.fps = 60;
  auto encoder = Started(s);
  EXPECT_EQ(0, encoder->GetEffectiveProfile());
  uint32_t profile = 0;
  EXPECT_EQ(S_OK, Writer()->OutputTypes()[0].GetUINT32(media::MF_MT_MPEG2_PROFILE, &profile));
  EXPECT_EQ(100u, profile);
  // No CABAC entry when it is off.
  const std::vector<std::pair<Guid, uint32_t>> codec = {{media::CODECAPI_AVEncCommonQualityVsSpeed, 100},
                                                        {media::CODECAPI_AVEncMPVDefaultBPictureCount, 2},
                                                        {media::CODECAPI_AVEncMPVGOPSize, 60}};
  EXPECT_EQ(codec, Writer()->CodecValues());
}

TEST_F(EncoderTest, BaselineSkipsEveryCodecSetting) {
  Settings s;
  s.profile = 2;
  auto encoder = Started(s);
  EXPECT_EQ(2, encoder->GetEffectiveProfile());
  uint32_t profile = 0;
  EXPECT_EQ(S_OK, Writer()->OutputTypes()[0].GetUINT32(media::MF_MT_MPEG2_PROFILE, &profile));
  EXPECT_EQ(66u, profile);
  EXPECT_EQ(0, Writer()->CallCount(WriterCall::GetCodecApi));
  EXPECT_TRUE(Writer()->CodecValues().empty());
}

// ---- Frame durations --------------------------------------------------------------------------
TEST_F(EncoderTest, EverySampleLastsOneFrameAtTheRequestedRate) {
  for (auto [fps, duration] : {std::pair{60u, int64_t{166666}}, std::pair{30u, int64_t{333333}},
                               std::pair{24u, int64_t{416666}}, std::pair{7u, int64_t{1428571}}}) {
    Settings s;
    s.fps = fps;
    s.audio = false;
    auto encoder = Started(s);
    EXPECT_EQ(duration, encoder->GetFrameDuration());
    auto frame = Solid(640, 368, kWhite);
    ASSERT_TRUE(encoder->WriteVideoFrame(frame.get(), 1234));
    ASSERT_TRUE(encoder->WriteVideoFrame(frame.get(), 99'000'000));
    const auto samples = Samples(0);
    ASSERT_EQ(2u, samples.size());
    EXPECT_EQ(1234, samples[0].time);
    EXPECT_EQ(99'000'000, samples[1].time);
    for (const auto& sample : samples) {
      EXPECT_TRUE(sample.hasDuration);
      EXPECT_EQ(duration, sample.duration);
    }
  }
}

// ---- Frame paths ------------------------------------------------------------------------------
TEST_F(EncoderTest, Nv12FrameOfTheEncodedSizeTakesTheGpuPath) {
  auto encoder = Started();
  // Left half red, right half blue, so the sample must be the converter's exact NV12 picture.
  auto frame = Frame(640, 368, [](uint32_t x, uint32_t) { return x < 320 ? kRed : Bgra(0, 0, 255); });
  ASSERT_TRUE(encoder->WriteVideoFrame(frame.get(), 500));
  EXPECT_TRUE(encoder->IsGpuConversionReady());
  const auto samples = Samples(0);
  ASSERT_EQ(1u, samples.size());
  const auto& bytes = samples[0].bytes;
  ASSERT_EQ(640u * 368 * 3 / 2, bytes.size());
  const size_t luma = 640 * 368;
  for (uint32_t y : {0u, 200u, 367u}) {
    EXPECT_EQ(63, bytes[y * 640 + 0]);
    EXPECT_EQ(63, bytes[y * 640 + 319]);
    EXPECT_EQ(32, bytes[y * 640 + 320]);
    EXPECT_EQ(32, bytes[y * 640 + 639]);
  }
  for (uint32_t row : {0u, 183u}) {
    EXPECT_EQ(102, bytes[luma + row * 640 + 0]);
    EXPECT_EQ(240, bytes[luma + row * 640 + 1]);
    EXPECT_EQ(240, bytes[luma + row * 640 + 638]);
    EXPECT_EQ(118, bytes[luma + row * 640 + 639]);
  }
  EXPECT_FALSE(debug.Contains(kCpuLine));
  EXPECT_TRUE(debug.Lines().empty());
}

TEST_F(EncoderTest, FrameOfAnotherSizeIsLetterboxedByTheScaler) {
  auto encoder = Started();
  // 640x360 into 640x368: four black rows above and below.
  auto frame = Solid(640, 360, kRed);
  ASSERT_TRUE(encoder->WriteVideoFrame(frame.get(), 0));
  const auto bytes = Samples(0).at(0).bytes;
  ASSERT_EQ(640u * 368 * 3 / 2, bytes.size());
  const size_t luma = 640 * 368;
  for (uint32_t x : {0u, 333u, 639u}) {
    EXPECT_EQ(16, bytes[3 * 640 + x]);
    EXPECT_EQ(63, bytes[4 * 640 + x]);
    EXPECT_EQ(63, bytes[363 * 640 + x]);
    EXPECT_EQ(16, bytes[364 * 640 + x]);
    EXPECT_EQ(128, bytes[luma + 1 * 640 + (x & ~1u)]);
    EXPECT_EQ(102, bytes[luma + 2 * 640 + (x & ~1u)]);
    EXPECT_EQ(240, bytes[luma + 2 * 640 + (x | 1u)]);
    EXPECT_EQ(102, bytes[luma + 181 * 640 + (x & ~1u)]);
    EXPECT_EQ(128, bytes[luma + 182 * 640 + (x & ~1u)]);
  }
  EXPECT_FALSE(debug.Contains(kCpuLine));
  EXPECT_TRUE(debug.Lines().empty());
}

TEST_F(EncoderTest, SquareFrameIsCentredWithBlackSides) {
  Settings s;
  s.width = 1920;
  s.height = 1088;
  s.audio = false;
  auto encoder = Started(s);
  ASSERT_TRUE(encoder->WriteVideoFrame(Solid(1000, 1000, kWhite).get(), 0));
  const auto bytes = Samples(0).at(0).bytes;
  for (uint32_t y : {0u, 544u, 1087u}) {
    EXPECT_EQ(16, bytes[y * 1920 + 415]) << y;
    EXPECT_EQ(235, bytes[y * 1920 + 416]) << y;
    EXPECT_EQ(235, bytes[y * 1920 + 1503]) << y;
    EXPECT_EQ(16, bytes[y * 1920 + 1504]) << y;
  }
}

TEST_F(EncoderTest, OtherSubtypesUseTheCpuPathAtTheEncodedSizeAndAnnounceItOnce) {
  UseSubtype(media::MFVideoFormat_IYUV);
  auto encoder = Started();
  auto frame = Frame(640, 368, [](uint32_t x, uint32_t y) { return Bgra(x & 255, y & 255, (x + y) & 255); });
  ASSERT_TRUE(encoder->WriteVideoFrame(frame.get(), 0));
  ASSERT_TRUE(encoder->WriteVideoFrame(frame.get(), 333333));
  EXPECT_FALSE(encoder->IsGpuConversionReady());
  EXPECT_EQ((std::vector<std::string>{kCpuLine}), debug.Lines());
  const auto samples = Samples(0);
  ASSERT_EQ(2u, samples.size());
  EXPECT_EQ(CpuConverted(*frame, 640, 368, media::MFVideoFormat_IYUV), samples[0].bytes);
  EXPECT_EQ(samples[0].bytes, samples[1].bytes);
  // Once per process: a second encoder stays quiet.
  auto second = Started();
  ASSERT_TRUE(second->WriteVideoFrame(frame.get(), 0));
  EXPECT_EQ(1, debug.Count(kCpuLine));
}

TEST_F(EncoderTest, EverySubtypeGetsItsOwnLayoutThroughTheScaler) {
  for (const Guid& subtype : {media::MFVideoFormat_IYUV, media::MFVideoFormat_YV12, media::MFVideoFormat_YUY2,
                              media::MFVideoFormat_RGB32, media::MFVideoFormat_ARGB32, media::MFVideoFormat_NV12}) {
    EncoderCache::ResetForTesting();
    fs::remove_all(root / "Kalto");
    UseSubtype(subtype);
    Settings s;
    s.width = 64;
    s.height = 40;
    s.audio = false;
    auto encoder = Started(s);
    ASSERT_EQ(48u, encoder->GetHeight());
    // 64x40 into 64x48: the scaler adds 4 black rows each side; at whole pixels the CPU conversion
    // then sees the scaler's output as it is.
    auto frame = Solid(64, 40, Bgra(0, 0, 255));
    ASSERT_TRUE(encoder->WriteVideoFrame(frame.get(), 0)) << media::SubtypeName(subtype);
    auto expectedSource = Frame(64, 48, [](uint32_t, uint32_t y) {
      return y >= 4 && y < 44 ? Bgra(0, 0, 255) : Bgra(0, 0, 0);
    });
    EXPECT_EQ(CpuConverted(*expectedSource, 64, 48, subtype), Samples(0).at(0).bytes) << media::SubtypeName(subtype);
  }
  EXPECT_TRUE(debug.Lines().empty());
}

TEST_F(EncoderTest, ScalerFailureFallsBackToTheCpuPathFrameByFrame) {
  Faults().Fail(gpu::software::FaultPoint::QueryVideoDevice, E_NOINTERFACE);
  Settings s;
  s.width = 1920;
  s.height = 1080;
  s.audio = false;
  auto encoder = Started(s);
  auto frame = Frame(1920, 1080, [](uint32_t x, uint32_t y) { return Bgra(x & 255, y & 255, 200); });
  ASSERT_TRUE(encoder->WriteVideoFrame(frame.get(), 0));
  ASSERT_TRUE(encoder->WriteVideoFrame(frame.get(), 1));
  const std::string scalerLine = "[Encoder] GPU Scaler: Failed to get ID3D11VideoDevice: 0x80004002\n";
  EXPECT_EQ((std::vector<std::string>{scalerLine, kCpuLine, scalerLine}), debug.Lines());
  // The CPU conversion letterboxes the 1080-row frame itself: rows 0-3 and 1084-1087 black.
  const auto expected = CpuConverted(*frame, 1920, 1088, media::MFVideoFormat_NV12);
  EXPECT_EQ(expected, Samples(0).at(0).bytes);
  EXPECT_EQ(16, expected[3 * 1920]);
  EXPECT_EQ(bgra::Luma(0, 0, 200), expected[4 * 1920]);
}

TEST_F(EncoderTest, ConverterFailureLeavesNv12FramesToTheCpuPath) {
  Faults().Fail(gpu::software::FaultPoint::Compile, E_FAIL, 1);
  auto encoder = Started();
  auto frame = Frame(640, 368, [](uint32_t x, uint32_t y) { return Bgra(x & 255, 90, y & 255); });
  ASSERT_TRUE(encoder->WriteVideoFrame(frame.get(), 0));
  EXPECT_FALSE(encoder->IsGpuConversionReady());
  EXPECT_TRUE(debug.Contains("[ColorConverter] Failed to create shaders\n"));
  EXPECT_TRUE(debug.Contains(kCpuLine));
  EXPECT_EQ(CpuConverted(*frame, 640, 368, media::MFVideoFormat_NV12), Samples(0).at(0).bytes);
}

TEST_F(EncoderTest, StagingTextureAndMapFailuresDropTheFrame) {
  UseSubtype(media::MFVideoFormat_YUY2);
  auto encoder = Started();
  auto frame = Solid(640, 368, kWhite);
  Faults().Fail(gpu::software::FaultPoint::CreateTexture, E_OUTOFMEMORY, 1);
  EXPECT_FALSE(encoder->WriteVideoFrame(frame.get(), 0));
  EXPECT_TRUE(debug.Contains("[Encoder] Failed to create staging texture: 0x8007000E\n"));
  Faults().Fail(gpu::software::FaultPoint::Map, E_FAIL, 1);
  EXPECT_FALSE(encoder->WriteVideoFrame(frame.get(), 1));
  EXPECT_TRUE(encoder->WriteVideoFrame(frame.get(), 2));
  EXPECT_EQ(1, Writer()->CallCount(WriterCall::WriteSample));
}

TEST_F(EncoderTest, NullOrEarlyFramesAreRefused) {
  Encoder idle(platform);
  EXPECT_FALSE(idle.WriteVideoFrame(Solid(64, 64, kWhite).get(), 0));
  auto encoder = Started();
  EXPECT_FALSE(encoder->WriteVideoFrame(nullptr, 0));
  EXPECT_TRUE(debug.Lines().empty());
}

// ---- Refusals ---------------------------------------------------------------------------------
TEST_F(EncoderTest, RefusedNv12WritesAreLoggedFirstThenEveryTenth) {
  auto encoder = Started();
  fake->Writers().back()->FailCall(WriterCall::WriteSample, media::MF_E_NOTACCEPTING);
  auto frame = Solid(640, 368, kWhite);
  for (int i = 0; i < 21; ++i) EXPECT_FALSE(encoder->WriteVideoFrame(frame.get(), i));
  EXPECT_EQ(3, debug.Count("[Encoder] WriteNV12Frame failed: 0xC00D36B5\n"));
  // A refused GPU write falls back to the CPU path, which is refused quietly.
  EXPECT_EQ(1, debug.Count(kCpuLine));
  EXPECT_EQ(4u, debug.Lines().size());
  EXPECT_EQ(42, Writer()->CallCount(WriterCall::WriteSample));
  // Once the queue takes samples again the GPU path writes.
  Writer()->ClearFailures();
  EXPECT_TRUE(encoder->WriteVideoFrame(frame.get(), 100));
  EXPECT_EQ(43, Writer()->CallCount(WriterCall::WriteSample));
}

TEST_F(EncoderTest, RefusedConvertedWritesAreSilent) {
  UseSubtype(media::MFVideoFormat_RGB32);
  auto encoder = Started();
  ASSERT_TRUE(encoder->WriteVideoFrame(Solid(640, 368, kWhite).get(), 0));
  debug.Clear();
  Writer()->FailCall(WriterCall::WriteSample, media::MF_E_NOTACCEPTING);
  EXPECT_FALSE(encoder->WriteVideoFrame(Solid(640, 368, kWhite).get(), 1));
  EXPECT_TRUE(debug.Lines().empty());
}

// ---- Audio and finalisation -------------------------------------------------------------------
TEST_F(EncoderTest, AudioBlocksPassThroughUnchanged) {
  auto encoder = Started();
  std::vector<uint8_t> block(4096);
  for (size_t i = 0; i < block.size(); ++i) block[i] = uint8_t(i * 7 + 3);
  encoder->WriteAudioSamples(block.data(), 4096, 1'000'000, 213'333);
  encoder->WriteAudioSamples(block.data(), 100, 1'213'333, 5'208);
  const auto samples = Samples(1);
  ASSERT_EQ(2u, samples.size());
  EXPECT_EQ(block, samples[0].bytes);
  EXPECT_EQ(1'000'000, samples[0].time);
  EXPECT_EQ(213'333, samples[0].duration);
  EXPECT_EQ(std::vector<uint8_t>(block.begin(), block.begin() + 100), samples[1].bytes);
  EXPECT_EQ(1'213'333, samples[1].time);
  EXPECT_EQ(5'208, samples[1].duration);
}

TEST_F(EncoderTest, AudioIsIgnoredWithoutAnAudioStream) {
  Settings s;
  s.audio = false;
  auto encoder = Started(s);
  const std::vector<uint8_t> block(4096, 1);
  encoder->WriteAudioSamples(block.data(), 4096, 0, 213333);
  EXPECT_EQ(0, Writer()->CallCount(WriterCall::WriteSample));
}

TEST_F(EncoderTest, FinalizeEndsTheFileOnceAndRefusesEverythingAfter) {
  auto encoder = Started();
  auto frame = Solid(640, 368, kWhite);
  ASSERT_TRUE(encoder->WriteVideoFrame(frame.get(), 0));
  auto writer = Writer();
  encoder->Finalize();
  encoder->Finalize();
  EXPECT_TRUE(encoder->IsFinalized());
  EXPECT_EQ(1, writer->CallCount(WriterCall::Finalize));
  EXPECT_TRUE(writer->Finalized());
  EXPECT_FALSE(encoder->WriteVideoFrame(frame.get(), 1));
  const std::vector<uint8_t> block(4096, 1);
  encoder->WriteAudioSamples(block.data(), 4096, 0, 213333);
  EXPECT_EQ(1, writer->CallCount(WriterCall::WriteSample));
  // The encoder let go of the writer: only this test and the fake's record hold it.
  EXPECT_EQ(2, writer.use_count());
}

TEST_F(EncoderTest, WriterFinalizeErrorIsNotReported) {
  auto encoder = Started();
  Writer()->FailCall(WriterCall::Finalize, E_FAIL);
  encoder->Finalize();
  EXPECT_TRUE(encoder->IsFinalized());
  EXPECT_TRUE(debug.Lines().empty());
}

TEST_F(EncoderTest, DestructionFinalizes) {
  auto encoder = Started();
  auto writer = Writer();
  encoder.reset();
  EXPECT_EQ(1, writer->CallCount(WriterCall::Finalize));
}

TEST_F(EncoderTest, AudioAndVideoFromTwoThreadsNeverWriteAfterFinalize) {
  auto encoder = Started();
  auto frame = Solid(640, 368, kWhite);
  std::atomic<bool> stop{false};
  std::thread audio([&] {
    const std::vector<uint8_t> block(4096, 2);
    for (int64_t t = 0; !stop; t += 213333) encoder->WriteAudioSamples(block.data(), 4096, t, 213333);
  });
  for (int i = 0; i < 10; ++i) encoder->WriteVideoFrame(frame.get(), i * 333333);
  encoder->Finalize();
  stop = true;
  audio.join();
  const auto log = Writer()->CallLog();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ("Finalize -> 0x00000000", log.back());
  EXPECT_EQ(10u, Samples(0).size());
  for (const auto& sample : Writer()->Samples()) EXPECT_EQ(S_OK, sample.result);
}

}  // namespace
}  // namespace kalto
