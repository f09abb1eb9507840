// Encoder with the real media platform (FFmpeg): a 1920x1080 picture that moves, plus a tone,
// written as the recorder writes them, then read back with ffprobe and decoded frame by frame.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "common/debug_output.h"
#include "encoding/encoder.h"
#include "encoding/encoder_cache.h"
#include "media_files.h"
#include "platform/gpu/software/software_device.h"

namespace kalto {
namespace {

namespace fs = std::filesystem;
using namespace media::test;

constexpr uint32_t kSourceWidth = 1920;
constexpr uint32_t kSourceHeight = 1080;
constexpr uint32_t kFrames = 60;
constexpr int64_t kFrameTicks = 333333;
constexpr int64_t kBlockTicks = 213333;  // 1024 frames at 48 kHz

constexpr uint32_t Bgra(uint32_t r, uint32_t g, uint32_t b) { return b | g << 8 | r << 16 | 0xFFu << 24; }

// Source picture k: a grey strip with a black bar at BarX(k), then four quadrants (white, red,
// blue, grey) split at the middle of the rest.
uint32_t SourcePixel(uint32_t x, uint32_t y, uint32_t frame) {
  if (y < kStrip) {
    const uint32_t bar = BarX(frame, kSourceWidth);
    return x >= bar && x < bar + 8 ? Bgra(0, 0, 0) : Bgra(128, 128, 128);
  }
  static constexpr uint32_t colours[] = {Bgra(255, 255, 255), Bgra(255, 0, 0), Bgra(0, 0, 255), Bgra(128, 128, 128)};
  const uint32_t midY = kStrip + (kSourceHeight - kStrip) / 2;
  return colours[(x >= kSourceWidth / 2 ? 1 : 0) + (y >= midY ? 2 : 0)];
}

struct Recording {
  std::string path;
  std::vector<int64_t> videoTimes;
  uint32_t audioBlocks = 0;
  std::string encoderName;
  std::vector<std::string> lines;
  bool initialized = false;
};

class EncoderFile : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    s_recording = new Recording;
    Recording& r = *s_recording;
    r.path = TempPath("encoder_1080p.mp4");
    std::remove(r.path.c_str());
    // Discovery against the real encoders, with a cache file of its own.
    const fs::path data = fs::path(TempPath("encoder_data"));
    fs::remove_all(data);
    fs::create_directories(data);
    const char* saved = std::getenv("XDG_DATA_HOME");
    const std::string savedXdg = saved != nullptr ? saved : "";
    setenv("XDG_DATA_HOME", data.c_str(), 1);
    media::SetMediaPlatform(nullptr);
    EncoderCache::ResetForTesting();
    auto lines = std::make_shared<std::vector<std::string>>();
    auto previousSink = SetDebugSink([lines](std::string_view line) { lines->emplace_back(line); });

    auto factory = std::make_shared<gpu::software::SoftwareDeviceFactory>();
    std::shared_ptr<gpu::Device> device;
    std::shared_ptr<gpu::DeviceContext> context;
    factory->CreateDevice(nullptr, gpu::DriverType::Hardware, gpu::CREATE_DEVICE_BGRA_SUPPORT, nullptr, 0, &device,
                          &context);
    auto platform = std::make_shared<platform::Platform>();
    platform->gpu = factory;
    {
      Encoder encoder(platform);
      r.initialized = encoder.Initialize(Utf8ToWide(r.path), kSourceWidth, kSourceHeight, 30, 8'000'000, 48000, 2,
                                         192'000, true, Encoder::kProfileMain, 50, true, 0, 1);
      r.encoderName = WideToUtf8(EncoderCache::EncoderName());
      auto writeAudioUntil = [&](int64_t time, bool inclusive) {
        for (; int64_t(r.audioBlocks) * kBlockTicks < time + (inclusive ? 1 : 0); ++r.audioBlocks) {
          const auto block = ToneBlock(uint64_t(r.audioBlocks) * 1024);
          encoder.WriteAudioSamples(block.data(), uint32_t(block.size()), r.audioBlocks * kBlockTicks, kBlockTicks);
        }
      };
      if (r.initialized) {
        std::vector<uint32_t> pixels(size_t(kSourceWidth) * kSourceHeight);
        gpu::TextureDesc desc;
        desc.width = kSourceWidth;
        desc.height = kSourceHeight;
        desc.format = gpu::Format::B8G8R8A8_UNORM;
        desc.bindFlags = gpu::BIND_SHADER_RESOURCE;
        for (uint32_t k = 0; k < kFrames; ++k) {
          for (uint32_t y = 0; y < kSourceHeight; ++y) {
            for (uint32_t x = 0; x < kSourceWidth; ++x) pixels[size_t(y) * kSourceWidth + x] = SourcePixel(x, y, k);
          }
          std::shared_ptr<gpu::Texture2D> texture;
          device->CreateTexture2D(desc, pixels.data(), kSourceWidth * 4, &texture);
          const int64_t time = k * kFrameTicks;
          writeAudioUntil(time, true);  // audio first, as the two threads would deliver it
          // A full encoding queue refuses the frame; a capture would drop it, the test waits.
          const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
          while (!encoder.WriteVideoFrame(texture.get(), time) && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
          }
          r.videoTimes.push_back(time);
        }
        writeAudioUntil(int64_t(kFrames) * kFrameTicks, false);
        encoder.Finalize();
      }
    }
    SetDebugSink(previousSink);
    r.lines = *lines;
    EncoderCache::ResetForTesting();
    if (savedXdg.empty()) {
      unsetenv("XDG_DATA_HOME");
    } else {
      setenv("XDG_DATA_HOME", savedXdg.c_str(), 1);
    }
    fs::remove_all(data);
  }
  static void TearDownTestSuite() {
    std::remove(s_recording->path.c_str());
    delete s_recording;
    s_recording = nullptr;
  }
  void SetUp() override { ASSERT_TRUE(s_recording->initialized) << "Initialize failed"; }

  static Recording* s_recording;
};
Recording* EncoderFile::s_recording = nullptr;

TEST_F(EncoderFile, ProbeShowsTheShapeTagsDurationsAndPacketTimes) {
  // Coded 1920x1088; the stream crops the four letterbox rows above and below.
  ExpectH264MainWithAac(s_recording->path, kSourceWidth, kSourceHeight, kFrames);
  auto p = Probe(s_recording->path);
  ASSERT_FALSE(s_recording->encoderName.empty());
  const std::string text = "Kalto (0.0.3) - " + s_recording->encoderName;  // the engine and the encoder
  EXPECT_EQ(text, p["format.tags.encoded_by"]);
  EXPECT_EQ(text, p["format.tags.encoding_settings"]);
  EXPECT_NEAR(kFrames * kFrameTicks / 1e7, std::stod(p["streams.stream.0.duration"]), 0.01);
  EXPECT_NEAR(s_recording->audioBlocks * 1024 / 48000.0, std::stod(p["streams.stream.1.duration"]), 0.03);
  auto times = PacketTimes(s_recording->path, "v");
  std::sort(times.begin(), times.end());
  ASSERT_EQ(s_recording->videoTimes.size(), times.size());
  for (size_t i = 0; i < times.size(); ++i) EXPECT_NEAR(s_recording->videoTimes[i] / 1e7, times[i], 0.0005) << i;
}

TEST_F(EncoderFile, OnlyTheScalerPathWasUsed) {
  // 1920x1080 frames into 1920x1088 take the scaler, never the announced CPU fallback.
  for (const auto& line : s_recording->lines) {
    EXPECT_EQ(std::string::npos, line.find("CPU fallback")) << line;
    EXPECT_EQ(std::string::npos, line.find("failed")) << line;
  }
}

TEST_F(EncoderFile, DecodedFramesShowThePictureWithoutBarsWithItsColoursAndTheMovingBar) {
  for (uint32_t index : {10u, 31u, 59u}) {
    const double seconds = index * kFrameTicks / 1e7 - 0.001;
    auto frame = DecodeFrameNv12(s_recording->path, seconds, kSourceWidth, kSourceHeight);
    ASSERT_FALSE(frame.empty()) << seconds;
    // The letterbox rows are cropped: the first and last rows shown are the picture's.
    for (uint32_t y : {0u, kSourceHeight - 1}) {
      uint32_t sum = 0;
      for (uint32_t x = 0; x < kSourceWidth; ++x) sum += frame[size_t(y) * kSourceWidth + x];
      EXPECT_GT(double(sum) / kSourceWidth, 40.0) << "row " << y << " of frame " << index;
    }
    // The bar, then the quadrants, from the top row on.
    EXPECT_NEAR(double(BarX(index, kSourceWidth)), double(FindBar(frame, kSourceWidth, 0)), 2.0) << index;
    for (int q = 0; q < 4; ++q) {
      const Yuv got = QuadrantMean(frame, kSourceWidth, kSourceHeight, q, kSourceHeight, 0);
      EXPECT_TRUE(Near(got, QuadrantColour(q), 3)) << "quadrant " << q << " of frame " << index << ": " << Text(got);
    }
  }
}

}  // namespace
}  // namespace kalto
