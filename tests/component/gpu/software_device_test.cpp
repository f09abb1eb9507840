// The software graphics device, in the parts the engine uses: texture descriptions, mapping with
// its pitches, region copies, clears, textures over caller memory, compute dispatch bands, one
// context from two threads, and the row thread pool.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/gpu/software/software_device.h"
#include "platform/gpu/software/thread_pool.h"

namespace kalto::gpu::software {
namespace {

// A byte that differs between neighbouring pixels, rows and channels, so a shifted or mis-pitched
// copy cannot match by accident.
uint8_t PatternByte(uint32_t x, uint32_t y, uint32_t channel) { return uint8_t(x * 7 + y * 13 + channel * 29 + 1); }

std::vector<uint8_t> Pattern(uint32_t width, uint32_t height, Format format) {
  const uint32_t bpp = BytesPerPixel(format);
  std::vector<uint8_t> bytes(size_t{width} * height * bpp);
  for (size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = PatternByte(uint32_t(i / bpp % width), uint32_t(i / bpp / width), uint32_t(i % bpp));
  }
  return bytes;
}

TextureDesc Desc(uint32_t width, uint32_t height, Format format, Usage usage = Usage::Default,
                 uint32_t bind = BIND_SHADER_RESOURCE, uint32_t cpuAccess = 0) {
  TextureDesc desc;
  desc.width = width;
  desc.height = height;
  desc.format = format;
  desc.usage = usage;
  desc.bindFlags = bind;
  desc.cpuAccessFlags = cpuAccess;
  return desc;
}

class SoftwareDeviceTest : public ::testing::Test {
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
  // Through a staging texture, rows read with the pitch Map reports; tightly packed.
  std::vector<uint8_t> ReadBack(Texture2D& texture) {
    const TextureDesc d = texture.GetDesc();
    auto staging = Make(Desc(d.width, d.height, d.format, Usage::Staging, 0, CPU_ACCESS_READ));
    context->CopyResource(*staging, texture);
    MappedSubresource mapped;
    EXPECT_EQ(S_OK, context->Map(*staging, 0, MapType::Read, 0, &mapped));
    EXPECT_EQ(0u, mapped.rowPitch % 64);
    const uint32_t rowBytes = d.width * BytesPerPixel(d.format);
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

TEST_F(SoftwareDeviceTest, WarpDevicesLiveOnTheBasicRenderDriverAtTheFirstLevelAsked) {
  const FeatureLevel levels[] = {FeatureLevel::Level_10_1, FeatureLevel::Level_11_0};
  std::shared_ptr<Device> warp;
  ASSERT_EQ(S_OK, factory.CreateDevice(nullptr, DriverType::Warp, 0, levels, 2, &warp, nullptr));
  EXPECT_EQ(L"Microsoft Basic Render Driver", warp->GetAdapter()->GetDesc().description);
  EXPECT_NE(device->GetAdapter(), warp->GetAdapter());
  EXPECT_EQ(FeatureLevel::Level_10_1, warp->GetFeatureLevel());
  EXPECT_EQ(FeatureLevel::Level_11_0, device->GetFeatureLevel());
}

TEST_F(SoftwareDeviceTest, InvalidDescriptionsAreRejectedWithNullOutput) {
  const Format f = Format::B8G8R8A8_UNORM;
  std::vector<TextureDesc> bad = {Desc(0, 4, f), Desc(4, 16385, f), Desc(4, 4, Format::Unknown),
                                  Desc(4, 4, f, Usage::Staging, BIND_SHADER_RESOURCE, CPU_ACCESS_READ),
                                  Desc(4, 4, f, Usage::Staging, 0, 0), Desc(4, 4, f, Usage::Dynamic, BIND_SHADER_RESOURCE, 0),
                                  Desc(4, 4, f, Usage::Default, BIND_SHADER_RESOURCE, CPU_ACCESS_READ)};
  for (auto member : {&TextureDesc::mipLevels, &TextureDesc::arraySize, &TextureDesc::sampleCount}) {
    bad.push_back(Desc(4, 4, f));
    bad.back().*member = 2;
  }
  auto texture = Make(Desc(16384, 1, Format::R8_UNORM));  // the largest size is still valid
  for (size_t i = 0; i < bad.size(); ++i) {
    EXPECT_EQ(E_INVALIDARG, device->CreateTexture2D(bad[i], nullptr, 0, &texture)) << i;
    EXPECT_FALSE(texture) << i;
  }
}

TEST_F(SoftwareDeviceTest, UpdateAndMapHonourBothPitchesAndMapChecksAccess) {
  const uint32_t w = 37, h = 11, sourcePitch = w * 4 + 12;
  const auto pixels = Pattern(w, h, Format::B8G8R8A8_UNORM);
  std::vector<uint8_t> padded(size_t{sourcePitch} * h, 0xEE);
  for (uint32_t y = 0; y < h; ++y) std::memcpy(&padded[size_t{y} * sourcePitch], &pixels[size_t{y} * w * 4], w * 4);
  auto texture = Make(Desc(w, h, Format::B8G8R8A8_UNORM));
  context->UpdateSubresource(*texture, 0, nullptr, padded.data(), sourcePitch, 0);
  EXPECT_EQ(pixels, ReadBack(*texture));

  auto readOnly = Make(Desc(4, 4, Format::R8_UNORM, Usage::Staging, 0, CPU_ACCESS_READ));
  MappedSubresource mapped;
  EXPECT_EQ(E_INVALIDARG, context->Map(*readOnly, 0, MapType::Write, 0, &mapped));
  EXPECT_EQ(nullptr, mapped.data);
  EXPECT_EQ(E_INVALIDARG, context->Map(*readOnly, 1, MapType::Read, 0, &mapped));
  EXPECT_EQ(E_INVALIDARG, context->Map(*texture, 0, MapType::Read, 0, &mapped));
}

// The box [2, 7) x [1, 5) lands at (3, 2); boxes or offsets that do not fit, other formats and
// sizes, and a missing subresource copy nothing.
TEST_F(SoftwareDeviceTest, RegionCopiesExactlyTheBoxAndIgnoresWhatDoesNotFit) {
  auto source = Make(Desc(10, 8, Format::B8G8R8A8_UNORM), Pattern(10, 8, Format::B8G8R8A8_UNORM).data(), 40);
  auto rgba = Make(Desc(10, 8, Format::R8G8B8A8_UNORM), Pattern(10, 8, Format::R8G8B8A8_UNORM).data(), 40);
  auto target = Make(Desc(12, 9, Format::B8G8R8A8_UNORM));
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
    for (uint32_t x = 0; x < 12; ++x) {
      const bool inside = x >= 3 && x < 8 && y >= 2 && y < 6;
      for (uint32_t c = 0; c < 4; ++c) {
        ASSERT_EQ(inside ? PatternByte(x - 1, y - 1, c) : 0, bytes[(y * 12 + x) * 4 + c]) << x << "," << y;
      }
    }
  }
}

TEST_F(SoftwareDeviceTest, ClearFillsEveryPixelInTheFormatsChannelOrderClamped) {
  const float nan = std::nanf("");
  const struct {
    Format format;
    std::vector<float> rgba;
    std::vector<uint8_t> expected;
  } cases[] = {{Format::B8G8R8A8_UNORM, {1.0f, 0.5f, 0.0f, 0.25f}, {0, 128, 255, 64}},
               {Format::R8G8B8A8_UNORM, {-0.5f, 2.0f, nan, 1.0f}, {0, 255, 0, 255}},
               {Format::R8G8_UNORM, {0.2f, 0.6f, 1.0f, 1.0f}, {51, 153}}};
  for (const auto& c : cases) {
    auto texture = Make(Desc(5, 3, c.format, Usage::Default, BIND_RENDER_TARGET));
    std::shared_ptr<RenderTargetView> rtv;
    ASSERT_EQ(S_OK, device->CreateRenderTargetView(texture, &rtv));
    context->ClearRenderTargetView(*rtv, c.rgba.data());
    const auto bytes = ReadBack(*texture);
    for (size_t i = 0; i < bytes.size(); ++i) ASSERT_EQ(c.expected[i % c.expected.size()], bytes[i]) << i;
  }
  std::shared_ptr<RenderTargetView> rtv;
  EXPECT_EQ(E_INVALIDARG, device->CreateRenderTargetView(Make(Desc(4, 4, Format::R8_UNORM)), &rtv));
}

// A capture grabs into memory the texture reads in place; the texture keeps that memory alive.
TEST_F(SoftwareDeviceTest, TextureOverMemoryReadsTheCallersBytesInPlace) {
  auto memory = std::make_shared<std::vector<uint8_t>>(Pattern(6, 4, Format::B8G8R8A8_UNORM));
  uint8_t* data = memory->data();
  std::weak_ptr<std::vector<uint8_t>> watch = memory;
  auto texture = CreateTextureOverMemory(*device, 6, 4, Format::B8G8R8A8_UNORM, data, 6 * 4, memory);
  memory.reset();
  ASSERT_TRUE(texture);
  data[(2 * 6 + 3) * 4 + 1] = 0xAB;
  auto expected = Pattern(6, 4, Format::B8G8R8A8_UNORM);
  expected[(2 * 6 + 3) * 4 + 1] = 0xAB;
  EXPECT_EQ(expected, ReadBack(*texture));
  texture.reset();
  EXPECT_TRUE(watch.expired());
}

TEST_F(SoftwareDeviceTest, DispatchRunsEveryGroupRowExactlyOnce) {
  auto rows = std::make_shared<std::vector<std::atomic<int>>>(1001);
  ComputeKernel kernel;
  kernel.run = [rows](const ComputeBindings&, uint32_t groupsX, uint32_t begin, uint32_t end) {
    for (uint32_t y = begin; y < end; ++y) (*rows)[y] += int(groupsX);
  };
  RegisterKernel("test_rows.hlsl", "main", "cs_5_0", std::move(kernel));
  std::shared_ptr<ShaderBlob> blob;
  std::string errors;
  EXPECT_EQ(E_FAIL, factory.CompileShader("test_rows.hlsl", "", "CSMissing", "cs_5_0", &blob, &errors));
  EXPECT_NE(std::string::npos, errors.find("test_rows.hlsl")) << errors;
  ASSERT_EQ(S_OK, factory.CompileShader("test_rows.hlsl", "", "main", "cs_5_0", &blob, &errors));
  std::shared_ptr<ComputeShader> shader;
  ASSERT_EQ(S_OK, device->CreateComputeShader(*blob, &shader));
  context->CSSetShader(shader.get());
  context->Dispatch(3, 1001, 1);
  context->Dispatch(0, 1001, 1);
  for (uint32_t y = 0; y < 1001; ++y) ASSERT_EQ(3, (*rows)[y].load()) << "group row " << y;
}

// A capture worker and the encoder use one device at once; under ThreadSanitizer this checks that
// the context serialises them.
TEST_F(SoftwareDeviceTest, ContextIsSafeFromTwoThreads) {
  auto shared = Make(Desc(64, 48, Format::B8G8R8A8_UNORM, Usage::Default, BIND_SHADER_RESOURCE | BIND_RENDER_TARGET));
  auto staging = Make(Desc(64, 48, Format::B8G8R8A8_UNORM, Usage::Staging, 0, CPU_ACCESS_READ));
  std::shared_ptr<RenderTargetView> rtv;
  ASSERT_EQ(S_OK, device->CreateRenderTargetView(shared, &rtv));
  std::thread writer([&] {
    const auto pixels = Pattern(64, 48, Format::B8G8R8A8_UNORM);
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

TEST(ThreadPool, CoversEveryIndexOnceAndRethrowsAfterAllBandsEnd) {
  for (unsigned workers : {1u, 3u}) {
    ThreadPool pool(workers);
    for (uint32_t count : {0u, 1u, 7u, 1000u, 100003u}) {
      std::vector<std::atomic<int>> hits(count);
      pool.ParallelFor(count, [&](uint32_t begin, uint32_t end) {
        for (uint32_t i = begin; i < end; ++i) hits[i]++;
      });
      for (uint32_t i = 0; i < count; ++i) ASSERT_EQ(1, hits[i].load()) << i << " of " << count;
    }
  }
  ThreadPool pool(2);
  std::atomic<uint32_t> done{0}, failedEnd{0};
  EXPECT_THROW(pool.ParallelFor(64, [&](uint32_t begin, uint32_t end) {
    if (begin == 0) failedEnd = end, throw std::runtime_error("band failed");
    done += end - begin;
  }), std::runtime_error);
  EXPECT_EQ(64u - failedEnd.load(), done.load());
}

}  // namespace
}  // namespace kalto::gpu::software
