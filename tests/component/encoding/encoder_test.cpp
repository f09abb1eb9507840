#include <atomic>
#include <map>
#include <thread>
#include <tuple>

#include "encoding/encoder.h"
#include "encoding_fixture.h"

namespace kalto::test {
namespace {

using media::Guid;
using media::fake::FakeSinkWriter;
using media::fake::WriterCall;

constexpr uint32_t kBlue = Bgra(0, 0, 255), kWhite = Bgra(255, 255, 255);
constexpr const char* kCpuLine = "[Encoder] Active video path: CPU fallback/readback (may cause recording lag)\n";

// 640x368 at 30 fps with audio, Main profile, unless a test says otherwise.
struct Settings {
  uint32_t width = 640, height = 368, fps = 30, bitrate = 8'000'000, rate = 48000, channels = 2, audioBitrate = 192'000;
  bool audio = true, cabac = true;
  int32_t profile = 1;
  uint32_t quality = 50, bFrames = 0, gop = 1;
};

class EncoderTest : public MediaTest {
 protected:
  void SetUp() override {
    MediaTest::SetUp();
    Encoder::ResetCpuPathNoticeForTesting();
    platform->gpu = factory;
    UseSubtype(media::MFVideoFormat_NV12);
  }
  void UseSubtype(const Guid& subtype) {
    EncoderCache::ResetForTesting();
    std::filesystem::remove_all(CacheFile());
    fake->SetEncoders({Script(L"Fake H.264 Encoder", {subtype})});
  }
  bool Init(Encoder& encoder, const Settings& s) {
    return encoder.Initialize(L"/tmp/kalto-test.mp4", s.width, s.height, s.fps, s.bitrate, s.rate, s.channels,
                              s.audioBitrate, s.audio, s.profile, s.quality, s.cabac, s.bFrames, s.gop);
  }
  std::unique_ptr<Encoder> Started(const Settings& s = {}) {
    auto encoder = std::make_unique<Encoder>(platform);
    EXPECT_TRUE(Init(*encoder, s));
    return encoder;
  }
  std::shared_ptr<FakeSinkWriter> Writer() const { return fake->Writers().back(); }
  // The samples the writer accepted on one stream.
  std::vector<media::fake::RecordedSample> Samples(uint32_t stream) const {
    auto all = Writer()->Samples();
    std::erase_if(all, [stream](const auto& s) { return s.stream != stream || s.result != S_OK; });
    return all;
  }
  // What the CPU conversion makes of a frame, for the paths that end in it.
  std::vector<uint8_t> CpuConverted(gpu::Texture2D& frame, uint32_t wt, uint32_t ht, const Guid& subtype) {
    const auto desc = frame.GetDesc();
    std::vector<uint8_t> out(Encoder::ConvertBufferSize(subtype, wt, ht));
    Encoder::ConvertBgraImage(ReadTextureBytes(frame).data(), desc.width * 4, desc.width, desc.height, out.data(), wt,
                              ht, subtype);
    return out;
  }

  std::shared_ptr<platform::Platform> platform = std::make_shared<platform::Platform>();
};

uint32_t U32(const media::Attributes& attributes, const Guid& key) {
  uint32_t value = 0;
  return attributes.GetUINT32(key, &value) == S_OK ? value : ~0u;
}
// Frame size and BT.709 colour of a video type.
std::vector<uint32_t> Video(const media::MediaType& t) {
  uint32_t w = 0, h = 0;
  media::GetAttributeSize(t, media::MF_MT_FRAME_SIZE, &w, &h);
  return {w, h, U32(t, media::MF_MT_YUV_MATRIX), U32(t, media::MF_MT_VIDEO_PRIMARIES), U32(t, media::MF_MT_TRANSFER_FUNCTION)};
}

TEST_F(EncoderTest, InitializeDescribesTheFileAtTheEncodedSize) {
  Started({.width = 1366, .height = 768});
  const auto writer = Writer();
  const auto out = writer->OutputTypes();
  const auto in = writer->InputTypes();
  ASSERT_EQ(2u, out.size());
  // Writes must never block the capture thread.
  EXPECT_EQ(1u, U32(writer->CreationAttributes(), media::MF_SINK_WRITER_DISABLE_THROTTLING));
  const std::wstring named = L"Kalto (0.0.3) - Fake H.264 Encoder";
  EXPECT_EQ((std::map<uint32_t, std::wstring>{{36, named}, {37, named}}), writer->Properties());
  // Discovery and both video types use the size rounded up to whole macroblocks.
  EXPECT_EQ(1376u, Video(fake->Transforms().at(0).second->OutputTypesTried().at(0))[0]);
  EXPECT_EQ((std::vector<uint32_t>{1376, 768, 1, 2, 5}), Video(out[0]));
  EXPECT_EQ(Video(out[0]), Video(in.at(0)));
  EXPECT_EQ((std::vector<uint32_t>{8'000'000, 24000, 192000, 4}),
            (std::vector<uint32_t>{U32(out[0], media::MF_MT_AVG_BITRATE), U32(out[1], media::MF_MT_AUDIO_AVG_BYTES_PER_SECOND),
                                   U32(in.at(1), media::MF_MT_AUDIO_AVG_BYTES_PER_SECOND),
                                   U32(in.at(1), media::MF_MT_AUDIO_BLOCK_ALIGNMENT)}));
  EXPECT_TRUE(debug.Lines().empty());
  // A later process takes the subtype from the file; the metadata then names no encoder.
  EncoderCache::ResetForTesting();
  Started();
  EXPECT_EQ(1u, fake->Transforms().size());
  EXPECT_EQ((std::map<uint32_t, std::wstring>{{36, L"Kalto (0.0.3)"}, {37, L"Kalto (0.0.3)"}}), Writer()->Properties());
  // The audio stream is optional: without it, or refused, there is only the video stream and audio
  // is dropped; its input type refused costs a warning.
  const std::vector<uint8_t> block(4096, 7);
  fake->SetWriterSetup([](FakeSinkWriter& w) { w.FailCall(WriterCall::AddStream, E_FAIL, 1); });
  for (const bool audio : {false, true}) {
    Started({.audio = audio})->WriteAudioSamples(block.data(), 4096, 0, 213333);
    EXPECT_EQ(std::pair(size_t{1}, 0), std::pair(Writer()->OutputTypes().size(), Writer()->CallCount(WriterCall::WriteSample)));
  }
  fake->SetWriterSetup([](FakeSinkWriter& w) { w.FailCall(WriterCall::SetInputMediaType, E_INVALIDARG, 1); });
  EXPECT_TRUE(Started()->IsWriting());
  EXPECT_EQ((std::vector<std::string>{"[Encoder] Warning: Failed to set audio input type: 0x80070057\n"}), debug.Lines());
}

// Each failing step with its lines; nothing is left writing and the writer is released.
TEST_F(EncoderTest, InitializeFailuresLogTheirLinesAndLeaveNothingWriting) {
  using Arrange = std::function<void(media::fake::FakeMediaPlatform&, Settings&)>;
  const auto failing = [](WriterCall call) -> Arrange {
    return [call](auto& f, auto&) { f.SetWriterSetup([call](auto& w) { w.FailCall(call, media::MF_E_INVALIDMEDIATYPE); }); };
  };
  const std::pair<Arrange, std::vector<std::string>> cases[] = {
      {[](auto& f, auto&) { f.SetEncoders({}); },
       {"[Encoder] No H.264 encoders found!\n", "[Encoder] Failed to find compatible encoder\n"}},
      {[](auto&, auto& s) { s.fps = 0; }, {"[Encoder] Invalid frame rate: 0\n"}},
      {[](auto& f, auto&) { f.SetStartupResult(E_FAIL); },
       {"[Encoder] Failed to initialize Media Foundation\n", "[Encoder] Failed to create sink writer: 0xC00D36FA\n"}},
      {[](auto& f, auto&) { f.SetCreateWriterResult(E_ACCESSDENIED); },
       {"[Encoder] Failed to create sink writer: 0x80070005\n"}},
      {failing(WriterCall::AddStream), {"[Encoder] Failed to add video stream: 0xC00D36B4\n"}},
      {failing(WriterCall::SetInputMediaType), {"[Encoder] Failed to set video input type: 0xC00D36B4\n"}},
      {failing(WriterCall::BeginWriting), {"[Encoder] Failed to begin writing: 0xC00D36B4\n"}}};
  for (const auto& [arrange, lines] : cases) {
    SCOPED_TRACE(lines.back());
    fake = std::make_shared<media::fake::FakeMediaPlatform>();
    media::SetMediaPlatform(fake);
    UseSubtype(media::MFVideoFormat_NV12);
    debug.Clear();
    Settings s;
    arrange(*fake, s);
    Encoder encoder(platform);
    EXPECT_FALSE(Init(encoder, s));
    EXPECT_EQ(lines, debug.Lines());
    EXPECT_FALSE(encoder.WriteVideoFrame(Solid(640, 368, kWhite).get(), 0));
    // Nothing after the failed step, and the writer released: only the fake's record and `writers` hold it.
    const auto writers = fake->Writers();
    EXPECT_TRUE(writers.empty() || (writers[0]->CallLog().back().ends_with("-> 0xC00D36B4") && writers[0].use_count() == 2));
  }
}

// Requested profile, how many candidates the type refuses, the profile set, the candidates tried.
TEST(EncoderProfile, CandidatesFallBackOnlyWhenTheTypeRejectsThem) {
  const std::tuple<int32_t, size_t, int32_t, std::vector<uint32_t>> cases[] = {
      {0, 0, 0, {100}}, {0, 1, 1, {100, 77}}, {0, 2, 2, {100, 77, 66}}, {0, 3, 2, {100, 77, 66}}, {1, 0, 1, {77}},
      {1, 1, 2, {77, 66}}, {2, 0, 2, {66}}, {3, 0, 2, {66}}, {-1, 0, 2, {66}}};
  for (const auto& [requested, refusals, result, expected] : cases) {
    std::vector<uint32_t> tried;
    const int32_t set = Encoder::SelectH264Profile(requested, [&, refusals = refusals](uint32_t value) {
      return tried.push_back(value), tried.size() <= refusals ? E_INVALIDARG : S_OK;
    });
    EXPECT_EQ(std::pair(result, expected), std::pair(set, tried)) << requested << " " << refusals;
  }
}

// The profile goes into the output type; Baseline takes no codec settings, High without CABAC no
// CABAC entry, and the GOP is in frames.
TEST_F(EncoderTest, ProfileSetsTheTypeAndDecidesTheCodecSettings) {
  using Codec = std::vector<std::pair<Guid, uint32_t>>;
  const Guid quality = media::CODECAPI_AVEncCommonQualityVsSpeed, bFrames = media::CODECAPI_AVEncMPVDefaultBPictureCount,
             gop = media::CODECAPI_AVEncMPVGOPSize;
  const std::tuple<Settings, uint32_t, Codec> cases[] = {
      {{.gop = 2}, 77, {{quality, 50}, {media::CODECAPI_AVEncH264CABACEnable, 1}, {bFrames, 0}, {gop, 60}}},
      {{.fps = 60, .cabac = false, .profile = 0, .quality = 100, .bFrames = 2}, 100, {{quality, 100}, {bFrames, 2}, {gop, 60}}},
      {{.profile = 2}, 66, {}}};
  for (const auto& [settings, profile, codec] : cases) {
    Started(settings);
    EXPECT_EQ(profile, U32(Writer()->OutputTypes()[0], media::MF_MT_MPEG2_PROFILE));
    EXPECT_EQ(codec, Writer()->CodecValues());
  }
}

// Frames of another size are letterboxed by the scaler (64x40 into 64x48: 4 black rows each side),
// whose output the CPU conversion then sees as it is, in every subtype's own layout. Frames the
// scaler cannot take, and every frame of a subtype other than NV12, go through the CPU path,
// announced once per process: it letterboxes by itself, drops frames whose staging texture cannot
// be made or mapped, and is refused quietly.
TEST_F(EncoderTest, FramesOfAnotherSizeAreLetterboxedByTheScalerOrTheCpuPath) {
  auto scaled = Frame(64, 48, [](uint32_t, uint32_t y) { return y >= 4 && y < 44 ? kBlue : Bgra(0, 0, 0); });
  for (const Guid& subtype : {media::MFVideoFormat_IYUV, media::MFVideoFormat_YV12, media::MFVideoFormat_YUY2,
                              media::MFVideoFormat_RGB32, media::MFVideoFormat_ARGB32, media::MFVideoFormat_NV12}) {
    SCOPED_TRACE(media::SubtypeName(subtype));
    UseSubtype(subtype);
    ASSERT_TRUE(Started({.width = 64, .height = 40, .audio = false})->WriteVideoFrame(Solid(64, 40, kBlue).get(), 0));
    EXPECT_EQ(CpuConverted(*scaled, 64, 48, subtype), Samples(0).at(0).bytes);
  }
  EXPECT_TRUE(debug.Lines().empty());
  using gpu::software::FaultPoint;
  UseSubtype(media::MFVideoFormat_YUY2);
  Faults().Fail(FaultPoint::QueryVideoDevice, E_NOINTERFACE);
  auto encoder = Started({.width = 640, .height = 360});
  auto frame = Frame(640, 360, [](uint32_t x, uint32_t y) { return Bgra(x & 255, y & 255, (x + y) & 255); });
  Faults().Fail(FaultPoint::CreateTexture, E_OUTOFMEMORY, 1);
  EXPECT_FALSE(encoder->WriteVideoFrame(frame.get(), 0));
  Faults().Fail(FaultPoint::Map, E_FAIL, 1);
  EXPECT_FALSE(encoder->WriteVideoFrame(frame.get(), 1));
  EXPECT_TRUE(encoder->WriteVideoFrame(frame.get(), 2));
  EXPECT_EQ(CpuConverted(*frame, 640, 368, media::MFVideoFormat_YUY2), Samples(0).at(0).bytes);
  Writer()->FailCall(WriterCall::WriteSample, media::MF_E_NOTACCEPTING);
  EXPECT_FALSE(encoder->WriteVideoFrame(frame.get(), 3));
  const std::string scaler = "[Encoder] GPU Scaler: Failed to get ID3D11VideoDevice: 0x80004002\n";
  EXPECT_EQ((std::vector<std::string>{scaler, kCpuLine, "[Encoder] Failed to create staging texture: 0x8007000E\n",
                                      scaler, scaler, scaler}), debug.Lines());
}

// An NV12 frame of the encoded size is the colour converter's picture, and can be repeated. Every
// sample lasts one frame at the requested rate (10,000,000 / 30 ticks, truncated). Refusals of one
// sample are not failures of the file; the first real failure is kept. A refused GPU write falls
// back to the CPU path, refused quietly; the refusals are logged first, then every tenth.
TEST_F(EncoderTest, GpuPathPictureRepeatsAndTheFirstFileFailureIsKept) {
  auto encoder = Started();
  const PixelFn pixel = [](uint32_t x, uint32_t y) { return Bgra(x & 255, y & 255, (x * y) & 255); };
  auto frame = Frame(640, 368, pixel);
  Writer()->FailCall(WriterCall::WriteSample, media::MF_E_NOTACCEPTING, 0, 42);
  for (int i = 0; i < 21; ++i) EXPECT_FALSE(encoder->WriteVideoFrame(frame.get(), i));
  const std::string refused = "[Encoder] WriteNV12Frame failed: 0xC00D36B5\n";
  EXPECT_EQ((std::vector<std::string>{refused, kCpuLine, refused, refused}), debug.Lines());
  EXPECT_FALSE(encoder->RepeatLastFrame(0));  // nothing written yet
  ASSERT_TRUE(encoder->WriteVideoFrame(frame.get(), 0));
  ASSERT_TRUE(encoder->RepeatLastFrame(333333));
  const auto samples = Samples(0);
  ASSERT_EQ(2u, samples.size());
  EXPECT_EQ(Nv12Reference(pixel, 640, 368), samples[0].bytes);
  EXPECT_EQ(samples[0].bytes, samples[1].bytes);
  EXPECT_EQ((std::vector<int64_t>{0, 333333, 333333, 333333}),
            (std::vector<int64_t>{samples[0].time, samples[0].duration, samples[1].time, samples[1].duration}));
  for (HRESULT refusal : {media::MF_E_NOTACCEPTING, E_INVALIDARG, media::MF_E_INVALIDREQUEST}) {
    Writer()->FailCall(WriterCall::WriteSample, refusal, 0, 1);
    EXPECT_FALSE(encoder->RepeatLastFrame(666666));
  }
  EXPECT_EQ(S_OK, encoder->GetWriterError());
  const HRESULT diskFull = HRESULT(0x80070070u);
  Writer()->FailCall(WriterCall::WriteSample, diskFull, 0, 1);
  const std::vector<uint8_t> block(4096, 3);
  encoder->WriteAudioSamples(block.data(), 4096, 0, 213333);
  Writer()->FailCall(WriterCall::WriteSample, E_ACCESSDENIED, 0, 1);
  EXPECT_FALSE(encoder->RepeatLastFrame(999999));
  EXPECT_EQ(diskFull, encoder->GetWriterError());
  EXPECT_TRUE(encoder->RepeatLastFrame(999999));
  EXPECT_FALSE(encoder->Finalize() || encoder->RepeatLastFrame(1333332));
}

TEST(EncoderWriteError, DescribesKnownCausesAndShowsOthersByCode) {
  const std::pair<uint32_t, std::wstring> cases[] = {
      {0x80070070u, L": the disk is full"}, {0x800700DFu, L": the file is larger than the file system allows"},
      {0x80070005u, L": permission denied"}, {0x80070003u, L": its folder is gone"}, {0x80004005u, L" (error 0x80004005)"}};
  for (const auto& [hr, tail] : cases) {
    EXPECT_EQ(L"Could not write the recording" + tail, Encoder::DescribeWriteError(HRESULT(hr), false));
    EXPECT_EQ(L"Could not finish the recording's file" + tail, Encoder::DescribeWriteError(HRESULT(hr), true));
  }
}

// Frames are taken only between Initialize and Finalize, which ends the file once and lets go of
// the writer; a second Initialize is refused. Audio blocks pass through unchanged (a short one
// too), and neither the audio nor the video thread writes after Finalize.
TEST_F(EncoderTest, FinalizeEndsTheFileOnceAndNoThreadWritesAfterIt) {
  auto frame = Solid(640, 368, kWhite);
  auto encoder = Started();
  EXPECT_FALSE(encoder->RepeatLastFrame(0) || encoder->WriteVideoFrame(nullptr, 0));  // nothing written yet
  EXPECT_FALSE(Init(*encoder, Settings()));
  EXPECT_EQ(1u, fake->Writers().size());
  std::vector<uint8_t> block(4096);
  for (size_t i = 0; i < block.size(); ++i) block[i] = uint8_t(i * 7 + 3);
  encoder->WriteAudioSamples(block.data(), 100, 1'000'000, 5'208);
  std::atomic<bool> stop{false};
  std::thread audio([&] {
    for (int64_t t = 0; !stop; t += 213333) encoder->WriteAudioSamples(block.data(), 4096, t, 213333);
  });
  for (int i = 0; i < 10; ++i) encoder->WriteVideoFrame(frame.get(), i * 333333);
  auto writer = Writer();
  EXPECT_TRUE(encoder->Finalize() && encoder->Finalize());
  stop = true;
  audio.join();
  EXPECT_FALSE(encoder->WriteVideoFrame(frame.get(), 1) || encoder->RepeatLastFrame(1));
  encoder->WriteAudioSamples(block.data(), 4096, 0, 213333);
  EXPECT_EQ("Finalize -> 0x00000000", writer->CallLog().back());
  EXPECT_EQ(std::pair(1, size_t{10}), std::pair(writer->CallCount(WriterCall::Finalize), Samples(0).size()));
  for (const auto& sample : writer->Samples()) EXPECT_EQ(S_OK, sample.result);
  const auto first = Samples(1).at(0);
  EXPECT_EQ(std::tuple(std::vector(block.begin(), block.begin() + 100), 1'000'000, 5'208),
            std::tuple(first.bytes, first.time, first.duration));
  EXPECT_TRUE(writer.use_count() == 2 && debug.Lines().empty());  // only this test and the fake's record hold it
  // A writer that fails to finalise is a failure, kept for the owner to report.
  encoder = Started();
  Writer()->FailCall(WriterCall::Finalize, E_FAIL);
  EXPECT_FALSE(encoder->Finalize() || encoder->Finalize());
  EXPECT_EQ(std::pair(true, E_FAIL), std::pair(encoder->IsFinalized(), encoder->GetWriterError()));
  EXPECT_EQ(std::vector<std::string>{"[Encoder] WARNING: Finalize failed: 0x80004005\n"}, debug.Lines());
  // Destruction finalises too, and balances the media start-up.
  encoder = Started(), writer = Writer();
  encoder.reset();
  EXPECT_EQ(std::pair(1, false), std::pair(writer->CallCount(WriterCall::Finalize), media::IsMediaStarted()));
}

}  // namespace
}  // namespace kalto::test
