#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "platform/gpu/software/software_device.h"
#include "support/debug_capture.h"

namespace kalto::test {

// B, G, R, A bytes of one pixel as a little-endian word.
constexpr uint32_t Bgra(uint32_t r, uint32_t g, uint32_t b, uint32_t a = 255) { return b | g << 8 | r << 16 | a << 24; }

// The exact 8-bit BT.709 limited-range values, as rationals in 64-bit integers (independent of the
// floating-point arithmetic under test). Halves round up.
inline uint8_t RefLuma(int64_t r, int64_t g, int64_t b) {
  // 16 + 219 (2126 r + 7152 g + 722 b) / (10000 x 255)
  const int64_t n = 219 * (2126 * r + 7152 * g + 722 * b);
  const int64_t d = 10000 * 255;
  return static_cast<uint8_t>(16 + (2 * n + d) / (2 * d));
}
// From 2x2 sums: 128 + 224 m / (10000 x 4 x 255); m may be negative, the result never is.
inline uint8_t RefChroma(int64_t m) {
  const int64_t d = 10000 * 4 * 255;
  const int64_t n = 128 * d + 224 * m;
  return static_cast<uint8_t>((2 * n + d) / (2 * d));
}
inline uint8_t RefU(int64_t rs, int64_t gs, int64_t bs) { return RefChroma(-1146 * rs - 3854 * gs + 5000 * bs); }
inline uint8_t RefV(int64_t rs, int64_t gs, int64_t bs) { return RefChroma(5000 * rs - 4542 * gs - 458 * bs); }

class EncodingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    factory = std::make_shared<gpu::software::SoftwareDeviceFactory>();
    ASSERT_EQ(S_OK, factory->CreateDevice(nullptr, gpu::DriverType::Hardware, gpu::CREATE_DEVICE_BGRA_SUPPORT,
                                          nullptr, 0, &device, &context));
  }

  gpu::software::FaultInjector& Faults() { return factory->Faults(); }

  // A BGRA (or RGBA) shader-resource texture whose pixel (x, y) is pixel(x, y) as B, G, R, A.
  std::shared_ptr<gpu::Texture2D> Frame(uint32_t width, uint32_t height,
                                        const std::function<uint32_t(uint32_t, uint32_t)>& pixel,
                                        gpu::Format format = gpu::Format::B8G8R8A8_UNORM) {
    std::vector<uint32_t> words(size_t(width) * height);
    for (uint32_t y = 0; y < height; ++y) {
      for (uint32_t x = 0; x < width; ++x) {
        uint32_t p = pixel(x, y);
        if (format == gpu::Format::R8G8B8A8_UNORM) p = (p & 0xFF00FF00u) | (p & 0xFFu) << 16 | ((p >> 16) & 0xFFu);
        words[size_t(y) * width + x] = p;
      }
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

  // The texture's rows read through a mapping, tightly packed (a staging texture is mapped
  // directly, anything else copied to one first).
  std::vector<uint8_t> Read(gpu::Texture2D& texture) {
    const gpu::TextureDesc desc = texture.GetDesc();
    std::shared_ptr<gpu::Texture2D> staging;
    gpu::Texture2D* mappable = &texture;
    if (desc.usage != gpu::Usage::Staging) {
      gpu::TextureDesc sd = desc;
      sd.usage = gpu::Usage::Staging;
      sd.bindFlags = 0;
      sd.cpuAccessFlags = gpu::CPU_ACCESS_READ;
      EXPECT_EQ(S_OK, device->CreateTexture2D(sd, nullptr, 0, &staging));
      if (!staging) return {};
      context->CopyResource(*staging, texture);
      mappable = staging.get();
    }
    gpu::MappedSubresource mapped;
    EXPECT_EQ(S_OK, context->Map(*mappable, 0, gpu::MapType::Read, 0, &mapped));
    if (mapped.data == nullptr) return {};
    const uint32_t rowBytes = desc.width * gpu::BytesPerPixel(desc.format);
    std::vector<uint8_t> bytes(size_t(rowBytes) * desc.height);
    for (uint32_t y = 0; y < desc.height; ++y) {
      std::memcpy(bytes.data() + size_t(y) * rowBytes, static_cast<const uint8_t*>(mapped.data) + size_t(y) * mapped.rowPitch,
                  rowBytes);
    }
    context->Unmap(*mappable, 0);
    return bytes;
  }

  std::shared_ptr<gpu::software::SoftwareDeviceFactory> factory;
  std::shared_ptr<gpu::Device> device;
  std::shared_ptr<gpu::DeviceContext> context;
  DebugCapture debug;
};

}  // namespace kalto::test
