#pragma once
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>

#include "encoding/encoder_cache.h"
#include "encoding/nv12_rows.h"
#include "platform/gpu/software/software_device.h"
#include "platform/media/fake/fake_media.h"
#include "support/debug_capture.h"
#include "support/gpu_readback.h"

namespace kalto::test {

// B, G, R, A bytes of one pixel as a little-endian word.
constexpr uint32_t Bgra(uint32_t r, uint32_t g, uint32_t b, uint32_t a = 255) { return b | g << 8 | r << 16 | a << 24; }
constexpr uint32_t Channel(uint32_t p, int shift) { return (p >> shift) & 0xFF; }

using PixelFn = std::function<uint32_t(uint32_t, uint32_t)>;

// The GPU converter's NV12 picture of a frame, from the per-value functions whose exact rounding
// the unit tests prove: chroma from each 2x2 block's sums.
inline std::vector<uint8_t> Nv12Reference(const PixelFn& pixel, uint32_t w, uint32_t h) {
  std::vector<uint8_t> out(size_t(w) * (h + h / 2));
  for (size_t i = 0; i < size_t(w) * h; ++i) {
    const uint32_t p = pixel(uint32_t(i % w), uint32_t(i / w));
    out[i] = nv12::Luma(Channel(p, 16), Channel(p, 8), Channel(p, 0));
  }
  for (size_t i = 0; i < size_t(w / 2) * (h / 2); ++i) {
    const uint32_t x = 2 * uint32_t(i % (w / 2)), y = 2 * uint32_t(i / (w / 2));
    uint32_t r = 0, g = 0, b = 0;
    for (const uint32_t p : {pixel(x, y), pixel(x + 1, y), pixel(x, y + 1), pixel(x + 1, y + 1)}) {
      r += Channel(p, 16), g += Channel(p, 8), b += Channel(p, 0);
    }
    uint8_t* uv = &out[size_t(w) * h + 2 * i];
    uv[0] = nv12::ChromaU(r, g, b), uv[1] = nv12::ChromaV(r, g, b);
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
      words[i] = format == gpu::Format::R8G8B8A8_UNORM ? (p & 0xFF00FF00u) | (p & 0xFFu) << 16 | Channel(p, 16) : p;
    }
    std::shared_ptr<gpu::Texture2D> texture;
    EXPECT_EQ(S_OK, device->CreateTexture2D({.width = width, .height = height, .format = format,
                                             .bindFlags = gpu::BIND_SHADER_RESOURCE},
                                            words.data(), width * 4, &texture));
    return texture;
  }
  auto Solid(uint32_t w, uint32_t h, uint32_t p) { return Frame(w, h, [p](auto, auto) { return p; }); }

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
    s.friendlyName = std::move(name), s.inputSubtypes = std::move(inputs);
    return s;
  }

  std::filesystem::path root;
  std::string savedXdg;
  std::shared_ptr<media::fake::FakeMediaPlatform> fake = std::make_shared<media::fake::FakeMediaPlatform>();
  std::shared_ptr<media::MediaPlatform> previous;
};

}  // namespace kalto::test
