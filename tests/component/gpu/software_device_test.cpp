// The software graphics device's context from two threads. (Its copies, compute, video processor
// and staging are exercised by the capture and encoding tests.)
#include <gtest/gtest.h>

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

}  // namespace
}  // namespace kalto::gpu::software
