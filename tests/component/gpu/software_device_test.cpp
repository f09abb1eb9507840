// The software graphics device's context from two threads. (Its copies, compute, video processor
// and staging are exercised by the capture and encoding tests.)
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "platform/gpu/software/software_device.h"

namespace kalto::gpu::software {
namespace {

std::shared_ptr<Texture2D> Make(Device& device, Usage usage, uint32_t bind) {
  TextureDesc desc;
  desc.width = 64;
  desc.height = 48;
  desc.format = Format::B8G8R8A8_UNORM;
  desc.usage = usage;
  desc.bindFlags = bind;
  desc.cpuAccessFlags = usage == Usage::Staging ? uint32_t(CPU_ACCESS_READ) : 0u;
  std::shared_ptr<Texture2D> texture;
  EXPECT_EQ(S_OK, device.CreateTexture2D(desc, nullptr, 0, &texture));
  return texture;
}

// A capture worker and the encoder use one device at once; under ThreadSanitizer this checks that
// the context serialises them.
TEST(SoftwareDevice, ContextIsSafeFromTwoThreads) {
  SoftwareDeviceFactory factory;
  std::shared_ptr<Device> device;
  std::shared_ptr<DeviceContext> context;
  ASSERT_EQ(S_OK, factory.CreateDevice(nullptr, DriverType::Hardware, CREATE_DEVICE_BGRA_SUPPORT, nullptr, 0, &device,
                                       &context));
  auto shared = Make(*device, Usage::Default, BIND_SHADER_RESOURCE | BIND_RENDER_TARGET);
  auto staging = Make(*device, Usage::Staging, 0);
  std::shared_ptr<RenderTargetView> rtv;
  ASSERT_EQ(S_OK, device->CreateRenderTargetView(shared, &rtv));
  std::thread writer([&] {
    const std::vector<uint8_t> pixels(64 * 48 * 4, 0x5A);
    const float red[4] = {1, 0, 0, 1};
    for (int i = 0; i < 200; ++i) {
      context->UpdateSubresource(*shared, 0, nullptr, pixels.data(), 64 * 4, 0);
      context->ClearRenderTargetView(*rtv, red);
    }
  });
  int mapFailures = 0, torn = 0;
  for (int i = 0; i < 201; ++i) {
    if (i == 200) writer.join();
    context->CopyResource(*staging, *shared);
    MappedSubresource mapped;
    if (context->Map(*staging, 0, MapType::Read, 0, &mapped) != S_OK) {
      ++mapFailures;
      continue;
    }
    // Every copy sees one whole picture: all pattern or all red, never a mix.
    const auto* bytes = static_cast<const uint8_t*>(mapped.data);
    const uint8_t first = bytes[2], last = bytes[47 * mapped.rowPitch + 63 * 4 + 2];
    torn += first != last;
    if (i == 200) {
      EXPECT_EQ(255, first);  // the clear came last
    }
    context->Unmap(*staging, 0);
  }
  EXPECT_EQ(0, mapFailures);
  EXPECT_EQ(0, torn);
}

// A copy shares the source's bytes until either side writes: then the writer takes its own and
// the other keeps the picture it had. A partial write keeps the rest of the writer's picture.
TEST(SoftwareDevice, CopiesShareBytesUntilEitherSideWrites) {
  SoftwareDeviceFactory factory;
  std::shared_ptr<Device> device;
  std::shared_ptr<DeviceContext> context;
  ASSERT_EQ(S_OK, factory.CreateDevice(nullptr, DriverType::Hardware, 0, nullptr, 0, &device, &context));
  const auto at = [&](Texture2D& texture, uint32_t x, uint32_t y) {
    const TexturePixels p = PixelsOf(texture);
    return p.data[size_t(y) * p.rowPitch + x * 4];
  };
  const std::vector<uint8_t> grey(64 * 48 * 4, 0x40), white(64 * 48 * 4, 0xFF);
  const Box corner{0, 0, 0, 8, 8, 1};
  const float red[4] = {1, 0, 0, 1};
  // A kernel that writes white to the pixels its threads reach and says it writes whole targets.
  ComputeKernel kernel;
  kernel.groupSizeX = kernel.groupSizeY = 8;
  kernel.writesWholeTargets = true;
  kernel.run = [](const ComputeBindings& b, uint32_t groupsX, uint32_t y0, uint32_t y1) {
    const TexturePixels p = PixelsOf(*b.uav[0]->GetTexture());
    for (uint32_t y = y0 * 8; y < std::min(y1 * 8, p.height); ++y) {
      std::memset(p.data + size_t(y) * p.rowPitch, 0xFF, std::min(groupsX * 8, p.width) * 4);
    }
  };
  RegisterKernel("WholeTest.hlsl", "main", "cs_5_0", kernel);
  std::shared_ptr<ShaderBlob> blob;
  std::shared_ptr<ComputeShader> shader;
  ASSERT_EQ(S_OK, factory.CompileShader("WholeTest.hlsl", "", "main", "cs_5_0", &blob, nullptr));
  ASSERT_EQ(S_OK, device->CreateComputeShader(*blob, &shader));
  const auto dispatch = [&](Texture2D& t, uint32_t groupsX) {
    std::shared_ptr<UnorderedAccessView> uav;
    ASSERT_EQ(S_OK, device->CreateUnorderedAccessView(std::shared_ptr<Texture2D>(&t, [](Texture2D*) {}), &uav));
    UnorderedAccessView* views[] = {uav.get()};
    context->CSSetShader(shader.get());
    context->CSSetUnorderedAccessViews(0, 1, views);
    context->Dispatch(groupsX, 6, 1);
  };
  const struct {
    const char* write;
    std::function<void(Texture2D& source, Texture2D& other)> run;
    uint8_t corner, far;  // the source's blue at (0,0) and (63,47) afterwards
  } writes[] = {
      {"whole update", [&](Texture2D& t, Texture2D&) { context->UpdateSubresource(t, 0, nullptr, white.data(), 256, 0); },
       0xFF, 0xFF},
      {"partial update", [&](Texture2D& t, Texture2D&) { context->UpdateSubresource(t, 0, &corner, white.data(), 256, 0); },
       0xFF, 0x40},
      {"region copy", [&](Texture2D& t, Texture2D& o) { context->CopySubresourceRegion(t, 0, 0, 0, 0, o, 0, &corner); },
       0x00, 0x40},
      {"clear", [&](Texture2D& t, Texture2D&) {
         std::shared_ptr<RenderTargetView> rtv;
         ASSERT_EQ(S_OK, device->CreateRenderTargetView(std::shared_ptr<Texture2D>(&t, [](Texture2D*) {}), &rtv));
         context->ClearRenderTargetView(*rtv, red);
       }, 0x00, 0x00},
      {"dispatch over all", [&](Texture2D& t, Texture2D&) { dispatch(t, 8); }, 0xFF, 0xFF},
      {"dispatch over half", [&](Texture2D& t, Texture2D&) { dispatch(t, 4); }, 0xFF, 0x40}};
  for (const auto& w : writes) {
    SCOPED_TRACE(w.write);
    auto source = Make(*device, Usage::Default, BIND_SHADER_RESOURCE | BIND_RENDER_TARGET | BIND_UNORDERED_ACCESS);
    auto staging = Make(*device, Usage::Staging, 0);
    auto black = Make(*device, Usage::Default, BIND_SHADER_RESOURCE);
    context->UpdateSubresource(*source, 0, nullptr, grey.data(), 256, 0);
    context->CopyResource(*staging, *source);
    EXPECT_EQ(PixelsOf(*staging).data, PixelsOf(*source).data) << "shared, not copied";
    w.run(*source, *black);
    EXPECT_EQ(std::pair(at(*source, 0, 0), at(*source, 63, 47)), std::pair(w.corner, w.far));
    EXPECT_EQ(std::pair(at(*staging, 0, 0), at(*staging, 63, 47)), std::pair(uint8_t(0x40), uint8_t(0x40)));
    context->CopyResource(*staging, *source);
    EXPECT_EQ(at(*staging, 63, 47), w.far) << "a later copy takes the new picture";
  }
  // The other way round: a copy written through a mapping leaves its source alone.
  auto source = Make(*device, Usage::Default, BIND_SHADER_RESOURCE);
  TextureDesc desc = source->GetDesc();
  desc.usage = Usage::Staging, desc.bindFlags = 0, desc.cpuAccessFlags = CPU_ACCESS_READ | CPU_ACCESS_WRITE;
  std::shared_ptr<Texture2D> upload;
  ASSERT_EQ(S_OK, device->CreateTexture2D(desc, nullptr, 0, &upload));
  context->UpdateSubresource(*source, 0, nullptr, grey.data(), 256, 0);
  context->CopyResource(*upload, *source);
  MappedSubresource mapped;
  ASSERT_EQ(S_OK, context->Map(*upload, 0, MapType::ReadWrite, 0, &mapped));
  EXPECT_EQ(0x40, static_cast<uint8_t*>(mapped.data)[5]) << "the picture it copied";
  static_cast<uint8_t*>(mapped.data)[0] = 0x99;
  context->Unmap(*upload, 0);
  EXPECT_EQ(std::pair(at(*source, 0, 0), at(*upload, 0, 0)), std::pair(uint8_t(0x40), uint8_t(0x99)));
}

}  // namespace
}  // namespace kalto::gpu::software
