#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "encoding/encoder_cache.h"
#include "platform/gpu/software/software_device.h"
#include "platform/media/fake/fake_media.h"
#include "support/debug_capture.h"
#include "support/gpu_readback.h"

namespace kalto::test {

// B, G, R, A bytes of one pixel as a little-endian word.
constexpr uint32_t Bgra(uint32_t r, uint32_t g, uint32_t b, uint32_t a = 255) { return b | g << 8 | r << 16 | a << 24; }

using PixelFn = std::function<uint32_t(uint32_t, uint32_t)>;

// The encoder's bilinear sampling written out from its definition (clamp, truncate, weight in
// single precision, truncate); alpha comes out opaque.
inline uint32_t SampleBilinear(const PixelFn& pixel, uint32_t ws, uint32_t hs, float x, float y) {
  x = std::clamp(x, 0.0f, float(ws - 1));
  y = std::clamp(y, 0.0f, float(hs - 1));
  const auto x0 = uint32_t(x), y0 = uint32_t(y);
  const float fx = x - float(x0), fy = y - float(y0);
  const uint32_t x1 = std::min(x0 + 1, ws - 1), y1 = std::min(y0 + 1, hs - 1);
  uint32_t out = 0xFF000000u;
  for (int shift = 0; shift < 24; shift += 8) {
    const auto p = [&](uint32_t px, uint32_t py) { return float((pixel(px, py) >> shift) & 0xFF); };
    const float v = p(x0, y0) * (1 - fx) * (1 - fy) + p(x1, y0) * fx * (1 - fy) + p(x0, y1) * (1 - fx) * fy +
                    p(x1, y1) * fx * fy;
    out |= uint32_t(v) << shift;
  }
  return out;
}

// A software graphics device with its fault injector.
class EncodingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    factory = std::make_shared<gpu::software::SoftwareDeviceFactory>();
    ASSERT_EQ(S_OK, factory->CreateDevice(nullptr, gpu::DriverType::Hardware, gpu::CREATE_DEVICE_BGRA_SUPPORT,
                                          nullptr, 0, &device, &context));
  }
  gpu::software::FaultInjector& Faults() { return factory->Faults(); }

  // A BGRA (or RGBA) shader-resource texture whose pixel (x, y) is pixel(x, y) as B, G, R, A.
  std::shared_ptr<gpu::Texture2D> Frame(uint32_t width, uint32_t height, const PixelFn& pixel,
                                        gpu::Format format = gpu::Format::B8G8R8A8_UNORM) {
    std::vector<uint32_t> words(size_t(width) * height);
    for (size_t i = 0; i < words.size(); ++i) {
      const uint32_t p = pixel(uint32_t(i % width), uint32_t(i / width));
      words[i] = format == gpu::Format::R8G8B8A8_UNORM ? (p & 0xFF00FF00u) | (p & 0xFFu) << 16 | ((p >> 16) & 0xFFu) : p;
    }
    gpu::TextureDesc desc;
    desc.width = width;
    desc.height = height;
    desc.format = format;
    desc.bindFlags = gpu::BIND_SHADER_RESOURCE;
    std::shared_ptr<gpu::Texture2D> texture;
    EXPECT_EQ(S_OK, device->CreateTexture2D(desc, words.data(), width * 4, &texture));
    return texture;
  }
  std::shared_ptr<gpu::Texture2D> Solid(uint32_t width, uint32_t height, uint32_t pixel) {
    return Frame(width, height, [pixel](uint32_t, uint32_t) { return pixel; });
  }

  std::shared_ptr<gpu::software::SoftwareDeviceFactory> factory;
  std::shared_ptr<gpu::Device> device;
  std::shared_ptr<gpu::DeviceContext> context;
  DebugCapture debug;
};

// Adds the fake media platform and a private data folder, so the encoder cache file starts absent.
class MediaTest : public EncodingTest {
 protected:
  void SetUp() override {
    EncodingTest::SetUp();
    root = std::filesystem::temp_directory_path() / ("kalto-encoding-" + std::to_string(::getpid()) + "-" +
                                                     ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(root);
    std::filesystem::create_directories(root);
    if (const char* old = std::getenv("XDG_DATA_HOME")) savedXdg = old;
    setenv("XDG_DATA_HOME", root.c_str(), 1);
    previous = media::SetMediaPlatform(fake);
    EncoderCache::ResetForTesting();
  }
  void TearDown() override {
    media::SetMediaPlatform(previous);
    savedXdg.empty() ? unsetenv("XDG_DATA_HOME") : setenv("XDG_DATA_HOME", savedXdg.c_str(), 1);
    EncoderCache::ResetForTesting();
    std::filesystem::remove_all(root);
  }
  std::filesystem::path CacheFile() const { return root / "Kalto" / "encoder_cache.bin"; }
  static media::fake::FakeEncoderScript Script(std::wstring name, std::vector<media::Guid> inputs) {
    media::fake::FakeEncoderScript s;
    s.friendlyName = std::move(name);
    s.inputSubtypes = std::move(inputs);
    return s;
  }

  std::filesystem::path root;
  std::string savedXdg;
  std::shared_ptr<media::fake::FakeMediaPlatform> fake = std::make_shared<media::fake::FakeMediaPlatform>();
  std::shared_ptr<media::MediaPlatform> previous;
};

}  // namespace kalto::test
