// Encoder with the real media platform (FFmpeg): a 1920x1080 picture that moves, plus a tone,
// written as the recorder writes them, then read back with ffprobe and decoded frame by frame.
#include <gtest/gtest.h>

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

constexpr uint32_t kWidth = 1920, kHeight = 1080, kFrames = 60;
constexpr int64_t kFrameTicks = 333333, kBlockTicks = 213333;  // 1024 frames at 48 kHz

constexpr uint32_t Bgra(uint32_t r, uint32_t g, uint32_t b) { return b | g << 8 | r << 16 | 0xFFu << 24; }

// Source picture k: the grey strip with the black bar at BarX(k), then the four quadrants.
uint32_t SourcePixel(uint32_t x, uint32_t y, uint32_t frame) {
  static constexpr uint32_t grey = Bgra(128, 128, 128);
  if (y < kStrip) return x >= BarX(frame, kWidth) && x < BarX(frame, kWidth) + 8 ? Bgra(0, 0, 0) : grey;
  static constexpr uint32_t colours[] = {Bgra(255, 255, 255), Bgra(255, 0, 0), Bgra(0, 0, 255), grey};
  return colours[(x >= kWidth / 2 ? 1 : 0) + (y >= kStrip + (kHeight - kStrip) / 2 ? 2 : 0)];
}

// One recording for the whole suite, with discovery against the real encoders and a cache file
// of its own.
class EncoderFile : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    s_path = TempPath("encoder_1080p.mp4");
    const fs::path data = TempPath("encoder_data");
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
    factory->CreateDevice(nullptr, gpu::DriverType::Hardware, gpu::CREATE_DEVICE_BGRA_SUPPORT, nullptr, 0, &device,
                          nullptr);
    auto platform = std::make_shared<platform::Platform>();
    platform->gpu = factory;
    {
      Encoder encoder(platform);
      s_initialized = encoder.Initialize(Utf8ToWide(s_path), kWidth, kHeight, 30, 8'000'000, 48000, 2, 192'000, true);
      s_encoderName = WideToUtf8(EncoderCache::EncoderName());
      const auto audioUntil = [&](int64_t end) {
        for (; int64_t(s_audioBlocks) * kBlockTicks < end; ++s_audioBlocks) {
          const auto block = ToneBlock(uint64_t(s_audioBlocks) * 1024);
          encoder.WriteAudioSamples(block.data(), uint32_t(block.size()), s_audioBlocks * kBlockTicks, kBlockTicks);
        }
      };
      std::vector<uint32_t> pixels(size_t(kWidth) * kHeight);
      gpu::TextureDesc desc;
      desc.width = kWidth;
      desc.height = kHeight;
      desc.format = gpu::Format::B8G8R8A8_UNORM;
      desc.bindFlags = gpu::BIND_SHADER_RESOURCE;
      for (uint32_t k = 0; s_initialized && k < kFrames; ++k) {
        for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = SourcePixel(uint32_t(i % kWidth), uint32_t(i / kWidth), k);
        std::shared_ptr<gpu::Texture2D> texture;
        device->CreateTexture2D(desc, pixels.data(), kWidth * 4, &texture);
        audioUntil(k * kFrameTicks + 1);  // audio first, as the two threads would deliver it
        // A full encoding queue refuses the frame; a capture would drop it, the test waits.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!encoder.WriteVideoFrame(texture.get(), k * kFrameTicks) && std::chrono::steady_clock::now() < deadline) {
          std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
      }
      audioUntil(int64_t(kFrames) * kFrameTicks);
      encoder.Finalize();
    }
    SetDebugSink(previousSink);
    s_lines = *lines;
    EncoderCache::ResetForTesting();
    savedXdg.empty() ? unsetenv("XDG_DATA_HOME") : setenv("XDG_DATA_HOME", savedXdg.c_str(), 1);
    fs::remove_all(data);
  }
  static void TearDownTestSuite() { std::remove(s_path.c_str()); }
  void SetUp() override { ASSERT_TRUE(s_initialized) << "Initialize failed"; }

  static inline std::string s_path, s_encoderName;
  static inline bool s_initialized = false;
  static inline uint32_t s_audioBlocks = 0;
  static inline std::vector<std::string> s_lines;
};

TEST_F(EncoderFile, ProbeShowsTheShapeTagsDurationsAndPacketTimesThroughTheScalerPath) {
  // Coded 1920x1088; the stream crops the four letterbox rows above and below. The tags name the
  // engine and the encoder.
  ASSERT_FALSE(s_encoderName.empty());
  ExpectH264MainWithAac(s_path, kWidth, kHeight, kFrames, "Kalto (0.0.3) - " + s_encoderName);
  auto p = Probe(s_path);
  EXPECT_NEAR(kFrames * kFrameTicks / 1e7, std::stod(p["streams.stream.0.duration"]), 0.01);
  EXPECT_NEAR(s_audioBlocks * 1024 / 48000.0, std::stod(p["streams.stream.1.duration"]), 0.03);
  const auto times = PacketTimes(s_path, "v");
  ASSERT_EQ(kFrames, times.size());
  for (size_t i = 0; i < times.size(); ++i) EXPECT_NEAR(i * kFrameTicks / 1e7, times[i], 0.0005) << i;
  // 1920x1080 frames into 1920x1088 take the scaler, never the announced CPU fallback.
  for (const auto& line : s_lines) {
    EXPECT_EQ(std::string::npos, line.find("CPU fallback")) << line;
    EXPECT_EQ(std::string::npos, line.find("failed")) << line;
  }
}

TEST_F(EncoderFile, DecodedFramesShowThePictureWithoutBarsWithItsColoursAndTheMovingBar) {
  for (uint32_t index : {10u, 31u, 59u}) {
    auto frame = DecodeFrameNv12(s_path, index * kFrameTicks / 1e7 - 0.001, kWidth, kHeight);
    ASSERT_FALSE(frame.empty()) << index;
    // The letterbox rows are cropped: the first and last rows shown are the picture's.
    for (uint32_t y : {0u, kHeight - 1}) {
      uint32_t sum = 0;
      for (uint32_t x = 0; x < kWidth; ++x) sum += frame[size_t(y) * kWidth + x];
      EXPECT_GT(double(sum) / kWidth, 40.0) << "row " << y << " of frame " << index;
    }
    ExpectPicture(frame, kWidth, kHeight, index, 3);
  }
}

}  // namespace
}  // namespace kalto
