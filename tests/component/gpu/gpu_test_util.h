#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/gpu/software/software_device.h"

namespace kalto::gpu::test {

// A byte that differs between neighbouring pixels, rows and channels, so a shifted or
// mis-pitched copy cannot match by accident.
inline uint8_t PatternByte(uint32_t x, uint32_t y, uint32_t channel, uint32_t seed = 0) {
  return static_cast<uint8_t>(x * 7 + y * 13 + channel * 29 + seed * 53 + 1);
}

// Tightly packed pixels (row pitch = width x bytes per pixel).
inline std::vector<uint8_t> Pattern(uint32_t width, uint32_t height, Format format, uint32_t seed = 0) {
  const uint32_t bpp = BytesPerPixel(format);
  std::vector<uint8_t> bytes(size_t{width} * height * bpp);
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      for (uint32_t c = 0; c < bpp; ++c) bytes[(size_t{y} * width + x) * bpp + c] = PatternByte(x, y, c, seed);
    }
  }
  return bytes;
}

inline TextureDesc Desc(uint32_t width, uint32_t height, Format format, Usage usage = Usage::Default,
                        uint32_t bindFlags = BIND_SHADER_RESOURCE, uint32_t cpuAccess = 0, uint32_t misc = 0) {
  TextureDesc desc;
  desc.width = width;
  desc.height = height;
  desc.format = format;
  desc.usage = usage;
  desc.bindFlags = bindFlags;
  desc.cpuAccessFlags = cpuAccess;
  desc.miscFlags = misc;
  return desc;
}

class GpuTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(S_OK, factory.CreateDevice(nullptr, DriverType::Hardware, CREATE_DEVICE_BGRA_SUPPORT, nullptr, 0,
                                         &device, &context));
  }

  std::shared_ptr<Texture2D> Make(const TextureDesc& desc, const void* initial = nullptr, uint32_t pitch = 0) {
    std::shared_ptr<Texture2D> texture;
    EXPECT_EQ(S_OK, device->CreateTexture2D(desc, initial, pitch, &texture));
    return texture;
  }

  // Copies through a staging texture and reads the mapped rows with the pitch Map reports;
  // returns them tightly packed.
  std::vector<uint8_t> ReadBack(Texture2D& texture) {
    const TextureDesc source = texture.GetDesc();
    auto staging = Make(Desc(source.width, source.height, source.format, Usage::Staging, 0, CPU_ACCESS_READ));
    if (!staging) return {};
    context->CopyResource(*staging, texture);
    MappedSubresource mapped;
    EXPECT_EQ(S_OK, context->Map(*staging, 0, MapType::Read, 0, &mapped));
    const uint32_t rowBytes = source.width * BytesPerPixel(source.format);
    std::vector<uint8_t> bytes(size_t{rowBytes} * source.height);
    for (uint32_t y = 0; y < source.height; ++y) {
      std::memcpy(bytes.data() + size_t{y} * rowBytes, static_cast<uint8_t*>(mapped.data) + size_t{y} * mapped.rowPitch,
                  rowBytes);
    }
    context->Unmap(*staging, 0);
    return bytes;
  }

  software::SoftwareDeviceFactory factory;
  std::shared_ptr<Device> device;
  std::shared_ptr<DeviceContext> context;
};

}  // namespace kalto::gpu::test
