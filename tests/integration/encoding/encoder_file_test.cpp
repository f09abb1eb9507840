// Encoder with the real media platform (FFmpeg): a 1920x1080 picture that moves, with every tenth
// frame missing, plus a tone, written as the recorder writes them, then read back with ffprobe and
// decoded frame by frame.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
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

constexpr uint32_t kWidth = 1920, kHeight = 1080, kFrames = 60, kStrip = 16;
constexpr int64_t kFrameTicks = 333333, kBlockTicks = 213333;  // 1024 frames at 48 kHz

constexpr uint32_t Bgra(uint32_t r, uint32_t g, uint32_t b) { return b | g << 8 | r << 16 | 0xFFu << 24; }
uint32_t BarX(uint32_t frame) { return (frame * 8) % (kWidth - 8); }

// Picture k: a grey strip with a black bar at BarX(k), so decoded frames tell which frame they
// are, then four quadrants: white, red, blue, grey.
uint32_t SourcePixel(uint32_t x, uint32_t y, uint32_t frame) {
  static constexpr uint32_t grey = Bgra(128, 128, 128);
  if (y < kStrip) return x >= BarX(frame) && x < BarX(frame) + 8 ? Bgra(0, 0, 0) : grey;
  static constexpr uint32_t colours[] = {Bgra(255, 255, 255), Bgra(255, 0, 0), Bgra(0, 0, 255), grey};
  return colours[(x >= kWidth / 2 ? 1 : 0) + (y >= kStrip + (kHeight - kStrip) / 2 ? 2 : 0)];
}

// Mean Y, U, V of the 8x8 block whose top-left pixel is (x0, y0) in a decoded NV12 frame.
std::vector<int> MeanAt(const std::vector<uint8_t>& nv12, uint32_t x0, uint32_t y0) {
  std::vector<int> sums(3);
  for (uint32_t i = 0; i < 64; ++i) {
    const uint32_t x = x0 + i % 8, y = y0 + i / 8;
    const uint8_t* uv = &nv12[size_t{kHeight + y / 2} * kWidth + (x & ~1u)];
    sums[0] += nv12[size_t{y} * kWidth + x], sums[1] += uv[0], sums[2] += uv[1];
  }
  return {sums[0] / 64, sums[1] / 64, sums[2] / 64};
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
        audioUntil(k * kFrameTicks + 1);  // audio first, as the two threads would deliver it
        if (k % 10 == 5) continue;
        for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = SourcePixel(uint32_t(i % kWidth), uint32_t(i / kWidth), k);
        std::shared_ptr<gpu::Texture2D> texture;
        device->CreateTexture2D(desc, pixels.data(), kWidth * 4, &texture);
        // A full encoding queue refuses the frame; a capture would drop it, the test waits.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!encoder.WriteVideoFrame(texture.get(), k * kFrameTicks) && std::chrono::steady_clock::now() < deadline) {
          std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        s_written.push_back(k * kFrameTicks);
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
  static void TearDownTestSuite() {
    if (std::getenv("KALTO_KEEP_MEDIA") == nullptr) std::remove(s_path.c_str());
  }
  void SetUp() override { ASSERT_TRUE(s_initialized) << "Initialize failed"; }

  static inline std::string s_path, s_encoderName;
  static inline bool s_initialized = false;
  static inline uint32_t s_audioBlocks = 0;
  static inline std::vector<int64_t> s_written;
  static inline std::vector<std::string> s_lines;
};

TEST_F(EncoderFile, IsARegularMp4WithItsShapeTagsDurationsAndSampleTimes) {
  // Coded 1920x1088; the stream crops the four letterbox rows above and below. The tags name the
  // engine and the encoder.
  ASSERT_FALSE(s_encoderName.empty());
  ExpectH264MainWithAac(s_path, kWidth, kHeight, s_written.size(), "Kalto (0.0.3) - " + s_encoderName);
  auto p = Probe(s_path);
  EXPECT_NEAR(kFrames * kFrameTicks / 1e7, std::stod(p["streams.stream.0.duration"]), 0.01);
  EXPECT_NEAR(s_audioBlocks * 1024 / 48000.0, std::stod(p["streams.stream.1.duration"]), 0.03);
  const auto times = PacketTimes(s_path, "v");
  ASSERT_EQ(s_written.size(), times.size());
  for (size_t i = 0; i < times.size(); ++i) EXPECT_NEAR(s_written[i] / 1e7, times[i], 0.0005) << i;
  std::ifstream in(s_path, std::ios::binary);
  const std::string bytes{std::istreambuf_iterator<char>(in), {}};
  EXPECT_EQ(std::string::npos, bytes.find("moof")) << "still fragmented";
  EXPECT_NE(std::string::npos, bytes.find("moov"));
  EXPECT_FALSE(std::ifstream(s_path + ".finalizing.mp4").good());
  // 1920x1080 frames into 1920x1088 take the scaler, never the announced CPU fallback.
  for (const auto& line : s_lines) {
    EXPECT_EQ(std::string::npos, line.find("CPU fallback")) << line;
    EXPECT_EQ(std::string::npos, line.find("failed")) << line;
  }
}

TEST_F(EncoderFile, SeekingShowsThatFramesPictureWithoutBarsWithItsColours) {
  const std::vector<int> quadrants[] = {{235, 128, 128}, {63, 102, 240}, {32, 240, 118}, {126, 128, 128}};
  const uint32_t midY = kStrip + (kHeight - kStrip) / 2;
  for (uint32_t index : {10u, 31u, 59u}) {
    auto frame = DecodeFrameNv12(s_path, index * kFrameTicks / 1e7 - 0.001, kWidth, kHeight);
    ASSERT_FALSE(frame.empty()) << index;
    // The letterbox rows are cropped: the first and last rows shown are the picture's.
    for (uint32_t y : {0u, kHeight - 1}) {
      uint32_t sum = 0;
      for (uint32_t x = 0; x < kWidth; ++x) sum += frame[size_t(y) * kWidth + x];
      EXPECT_GT(double(sum) / kWidth, 40.0) << "row " << y << " of frame " << index;
    }
    // The darkest 8-pixel-wide luma band of the strip is the bar.
    std::pair<int, uint32_t> darkest{INT32_MAX, 0};
    for (uint32_t x = 0; x + 8 <= kWidth; x += 2) darkest = std::min(darkest, std::pair(MeanAt(frame, x, 4)[0], x));
    EXPECT_NEAR(double(BarX(index)), double(darkest.second), 2.0) << index;
    for (int q = 0; q < 4; ++q) {
      const auto got = MeanAt(frame, (q & 1) ? kWidth * 3 / 4 - 4 : kWidth / 4 - 4, ((q & 2) ? midY + kHeight : kStrip + midY) / 2 - 4);
      for (int c = 0; c < 3; ++c) EXPECT_NEAR(quadrants[q][c], got[c], 3) << "quadrant " << q << " channel " << c << " of frame " << index;
    }
  }
}

}  // namespace
}  // namespace kalto
