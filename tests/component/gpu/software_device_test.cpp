// The software graphics device's region copies and its context from two threads (the compute,
// video-processor and staging parts are exercised by the encoding tests).
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/gpu/software/software_device.h"

namespace kalto::gpu::software {
namespace {

// BGRA bytes that differ between neighbouring pixels, rows and channels, so a shifted or
// mis-pitched copy cannot match by accident.
std::vector<uint8_t> Pattern(uint32_t width, uint32_t height) {
  std::vector<uint8_t> bytes(size_t{width} * height * 4);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(i * 7 + i / (width * 4) * 13 + 1);
  return bytes;
}

class SoftwareDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(S_OK, factory.CreateDevice(nullptr, DriverType::Hardware, CREATE_DEVICE_BGRA_SUPPORT, nullptr, 0,
                                         &device, &context));
  }
  std::shared_ptr<Texture2D> Make(uint32_t width, uint32_t height, Format format, Usage usage = Usage::Default,
                                  uint32_t bind = BIND_SHADER_RESOURCE, const void* initial = nullptr) {
    TextureDesc desc;
    desc.width = width;
    desc.height = height;
    desc.format = format;
    desc.usage = usage;
    desc.bindFlags = bind;
    desc.cpuAccessFlags = usage == Usage::Staging ? uint32_t(CPU_ACCESS_READ) : 0u;
    std::shared_ptr<Texture2D> texture;
    EXPECT_EQ(S_OK, device->CreateTexture2D(desc, initial, width * BytesPerPixel(format), &texture));
    return texture;
  }
  // Through a staging texture, rows read with the (aligned, padded) pitch Map reports; tightly packed.
  std::vector<uint8_t> ReadBack(Texture2D& texture) {
    const TextureDesc d = texture.GetDesc();
    auto staging = Make(d.width, d.height, d.format, Usage::Staging, 0);
    context->CopyResource(*staging, texture);
    MappedSubresource mapped;
    EXPECT_EQ(S_OK, context->Map(*staging, 0, MapType::Read, 0, &mapped));
    const uint32_t rowBytes = d.width * BytesPerPixel(d.format);
    EXPECT_EQ(0u, mapped.rowPitch % 64);
    EXPECT_GT(mapped.rowPitch, rowBytes);
    std::vector<uint8_t> bytes(size_t{rowBytes} * d.height);
    for (uint32_t y = 0; y < d.height; ++y) {
      std::memcpy(&bytes[size_t{y} * rowBytes], static_cast<uint8_t*>(mapped.data) + size_t{y} * mapped.rowPitch, rowBytes);
    }
    context->Unmap(*staging, 0);
    return bytes;
  }

  SoftwareDeviceFactory factory;
  std::shared_ptr<Device> device;
  std::shared_ptr<DeviceContext> context;
};

// The box [2, 7) x [1, 5) lands at (3, 2); boxes or offsets that do not fit, other formats and
// sizes, and a missing subresource copy nothing.
TEST_F(SoftwareDeviceTest, RegionCopiesExactlyTheBoxAndIgnoresWhatDoesNotFit) {
  const auto pixels = Pattern(10, 8);
  auto source = Make(10, 8, Format::B8G8R8A8_UNORM, Usage::Default, BIND_SHADER_RESOURCE, pixels.data());
  auto rgba = Make(10, 8, Format::R8G8B8A8_UNORM, Usage::Default, BIND_SHADER_RESOURCE, pixels.data());
  auto target = Make(12, 9, Format::B8G8R8A8_UNORM);
  for (const Box& box : {Box{0, 0, 0, 11, 4, 1}, Box{0, 0, 0, 4, 9, 1}, Box{3, 0, 0, 3, 4, 1}, Box{5, 0, 0, 4, 4, 1},
                         Box{0, 0, 0, 4, 4, 2}, Box{0, 0, 1, 4, 4, 1}}) {
    context->CopySubresourceRegion(*target, 0, 0, 0, 0, *source, 0, &box);
  }
  const Box good{0, 0, 0, 5, 4, 1};
  context->CopySubresourceRegion(*target, 0, 8, 0, 0, *source, 0, &good);
  context->CopySubresourceRegion(*target, 0, 0, 6, 0, *source, 0, &good);
  context->CopySubresourceRegion(*target, 1, 0, 0, 0, *source, 0, &good);
  context->CopySubresourceRegion(*target, 0, 0, 0, 0, *rgba, 0, &good);
  context->CopySubresourceRegion(*target, 0, 3, 0, 0, *source, 0, nullptr);
  context->CopyResource(*target, *source);
  const Box box{2, 1, 0, 7, 5, 1};
  context->CopySubresourceRegion(*target, 0, 3, 2, 0, *source, 0, &box);
  const auto bytes = ReadBack(*target);
  for (uint32_t y = 0; y < 9; ++y) {
    for (uint32_t x = 0; x < 12 * 4; ++x) {
      const bool inside = x >= 3 * 4 && x < 8 * 4 && y >= 2 && y < 6;
      ASSERT_EQ(inside ? pixels[(y - 1) * 40 + x - 4] : 0, bytes[y * 48 + x]) << x / 4 << "," << y;
    }
  }
}

// A capture worker and the encoder use one device at once; under ThreadSanitizer this checks that
// the context serialises them.
TEST_F(SoftwareDeviceTest, ContextIsSafeFromTwoThreads) {
  auto shared = Make(64, 48, Format::B8G8R8A8_UNORM, Usage::Default, BIND_SHADER_RESOURCE | BIND_RENDER_TARGET);
  auto staging = Make(64, 48, Format::B8G8R8A8_UNORM, Usage::Staging, 0);
  std::shared_ptr<RenderTargetView> rtv;
  ASSERT_EQ(S_OK, device->CreateRenderTargetView(shared, &rtv));
  std::thread writer([&] {
    const auto pixels = Pattern(64, 48);
    const float red[4] = {1, 0, 0, 1};
    for (int i = 0; i < 200; ++i) {
      context->UpdateSubresource(*shared, 0, nullptr, pixels.data(), 64 * 4, 0);
      context->ClearRenderTargetView(*rtv, red);
    }
  });
  int mapFailures = 0;
  for (int i = 0; i < 200; ++i) {
    context->CopyResource(*staging, *shared);
    MappedSubresource mapped;
    mapFailures += context->Map(*staging, 0, MapType::Read, 0, &mapped) != S_OK;
    context->Unmap(*staging, 0);
  }
  writer.join();
  EXPECT_EQ(0, mapFailures);
  EXPECT_EQ(255, ReadBack(*shared)[2]);
}

}  // namespace
}  // namespace kalto::gpu::software
