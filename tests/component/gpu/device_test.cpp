#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "gpu_test_util.h"

namespace kalto::gpu::test {
namespace {

using software::FaultPoint;

TEST_F(GpuTest, FactoryMakesDevicesOnTwoDistinctAdapters) {
  const auto adapters = factory.EnumAdapters();
  ASSERT_EQ(2u, adapters.size());
  EXPECT_EQ(L"Microsoft Basic Render Driver", adapters[1]->GetDesc().description);
  EXPECT_NE(adapters[0]->GetDesc().description, adapters[1]->GetDesc().description);
  EXPECT_EQ(adapters[0], device->GetAdapter());
  EXPECT_EQ(device->GetImmediateContext(), context);
  EXPECT_EQ(FeatureLevel::Level_11_0, device->GetFeatureLevel());

  std::shared_ptr<Device> warp, picked;
  const FeatureLevel levels[] = {FeatureLevel::Level_10_1, FeatureLevel::Level_11_0};
  ASSERT_EQ(S_OK, factory.CreateDevice(nullptr, DriverType::Warp, 0, levels, 2, &warp, nullptr));
  EXPECT_EQ(adapters[1], warp->GetAdapter());
  EXPECT_EQ(FeatureLevel::Level_10_1, warp->GetFeatureLevel());
  ASSERT_EQ(S_OK, factory.CreateDevice(adapters[1], DriverType::Hardware, 0, nullptr, 0, &picked, nullptr));
  EXPECT_EQ(adapters[1], picked->GetAdapter());
}

TEST_F(GpuTest, HardwareFailureLeavesWarpWorking) {
  factory.Faults().Fail(FaultPoint::CreateDeviceHardware, DXGI_ERROR_UNSUPPORTED);
  std::shared_ptr<Device> failed = device, warp;
  std::shared_ptr<DeviceContext> failedContext = context;
  EXPECT_EQ(DXGI_ERROR_UNSUPPORTED,
            factory.CreateDevice(nullptr, DriverType::Hardware, 0, nullptr, 0, &failed, &failedContext));
  EXPECT_FALSE(failed);
  EXPECT_FALSE(failedContext);
  ASSERT_EQ(S_OK, factory.CreateDevice(nullptr, DriverType::Warp, 0, nullptr, 0, &warp, nullptr));
  EXPECT_EQ(2, factory.Faults().Calls(FaultPoint::CreateDeviceHardware));  // SetUp made the first

  // Devices made before the rule was set share the factory's injector too.
  factory.Faults().Fail(FaultPoint::CreateTexture, E_OUTOFMEMORY, 1);
  std::shared_ptr<Texture2D> texture;
  EXPECT_EQ(E_OUTOFMEMORY, warp->CreateTexture2D(Desc(4, 4, Format::R8_UNORM), nullptr, 0, &texture));
  EXPECT_EQ(S_OK, device->CreateTexture2D(Desc(4, 4, Format::R8_UNORM), nullptr, 0, &texture));
}

TEST_F(GpuTest, FaultRulesSkipThenFailCountCalls) {
  auto create = [&] {
    std::shared_ptr<Texture2D> texture;
    const HRESULT hr = device->CreateTexture2D(Desc(4, 4, Format::R8_UNORM), nullptr, 0, &texture);
    EXPECT_EQ(Succeeded(hr), texture != nullptr);
    return hr;
  };
  factory.Faults().Fail(FaultPoint::CreateTexture, E_OUTOFMEMORY, 2, 1);
  std::vector<HRESULT> results;
  for (int i = 0; i < 5; ++i) results.push_back(create());
  EXPECT_EQ((std::vector<HRESULT>{S_OK, E_OUTOFMEMORY, E_OUTOFMEMORY, S_OK, S_OK}), results);
  EXPECT_EQ(5, factory.Faults().Calls(FaultPoint::CreateTexture));

  factory.Faults().Fail(FaultPoint::CreateTexture, E_FAIL, -1);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(E_FAIL, create());
  factory.Faults().ClearAll();
  EXPECT_EQ(S_OK, create());
}

// Every other fault point fails its own operation once with the injected code, output null.
TEST_F(GpuTest, EachFaultPointFailsItsOperation) {
  auto texture = Make(Desc(4, 4, Format::B8G8R8A8_UNORM, Usage::Default,
                           BIND_SHADER_RESOURCE | BIND_RENDER_TARGET | BIND_UNORDERED_ACCESS, 0,
                           MISC_SHARED_KEYEDMUTEX));
  auto staging = Make(Desc(4, 4, Format::B8G8R8A8_UNORM, Usage::Staging, 0, CPU_ACCESS_READ));
  SharedHandle handle = 0;
  ASSERT_EQ(S_OK, texture->GetSharedHandle(&handle));
  RegisterKernel("test_points.hlsl", "main", "cs_5_0", {});
  std::shared_ptr<ShaderBlob> blob;
  ASSERT_EQ(S_OK, factory.CompileShader("test_points.hlsl", "", "main", "cs_5_0", &blob, nullptr));
  const HRESULT code = DXGI_ERROR_DEVICE_REMOVED;

  const std::vector<std::pair<FaultPoint, std::function<bool()>>> points = {
      {FaultPoint::CreateBuffer, [&] {
         std::shared_ptr<Buffer> b;
         return device->CreateBuffer({16, Usage::Default, BIND_CONSTANT_BUFFER, 0}, nullptr, &b) == code && !b;
       }},
      {FaultPoint::CreateShaderResourceView, [&] {
         std::shared_ptr<ShaderResourceView> v;
         return device->CreateShaderResourceView(texture, &v) == code && !v;
       }},
      {FaultPoint::CreateUnorderedAccessView, [&] {
         std::shared_ptr<UnorderedAccessView> v;
         return device->CreateUnorderedAccessView(texture, &v) == code && !v;
       }},
      {FaultPoint::CreateRenderTargetView, [&] {
         std::shared_ptr<RenderTargetView> v;
         return device->CreateRenderTargetView(texture, &v) == code && !v;
       }},
      {FaultPoint::CreateComputeShader, [&] {
         std::shared_ptr<ComputeShader> s;
         return device->CreateComputeShader(*blob, &s) == code && !s;
       }},
      {FaultPoint::OpenSharedResource, [&] {
         std::shared_ptr<Texture2D> t;
         return device->OpenSharedResource(handle, &t) == code && !t;
       }},
      {FaultPoint::Map, [&] {
         MappedSubresource mapped;
         const HRESULT hr = context->Map(*staging, 0, MapType::Read, 0, &mapped);
         if (hr == S_OK) context->Unmap(*staging, 0);
         return hr == code && mapped.data == nullptr;
       }},
      {FaultPoint::Compile, [&] {
         std::string errors;
         const bool failed = factory.CompileShader("test_points.hlsl", "", "main", "cs_5_0", &blob, &errors) == code;
         return failed && !blob && errors.find("test_points.hlsl") != std::string::npos;
       }},
      {FaultPoint::AcquireSync, [&] {
         auto mutex = texture->QueryKeyedMutex();
         const HRESULT hr = mutex->AcquireSync(0, 0);
         if (hr == S_OK) mutex->ReleaseSync(0);
         return hr == code;
       }},
      {FaultPoint::QueryVideoMemory, [&] {
         VideoMemoryInfo info;
         return device->GetAdapter()->QueryVideoMemoryInfo(&info) == code;
       }},
  };
  for (const auto& [point, failsAsInjected] : points) {
    const int callsBefore = factory.Faults().Calls(point);
    factory.Faults().Fail(point, code, 1);
    EXPECT_TRUE(failsAsInjected()) << "fault point " << static_cast<int>(point);
    EXPECT_FALSE(failsAsInjected()) << "fault point " << static_cast<int>(point) << " kept failing";
    EXPECT_EQ(callsBefore + 2, factory.Faults().Calls(point));
  }
}

uint64_t MemoryInUse(const std::shared_ptr<Device>& device) {
  VideoMemoryInfo info;
  EXPECT_EQ(S_OK, device->GetAdapter()->QueryVideoMemoryInfo(&info));
  EXPECT_GT(info.budget, 0u);
  return info.currentUsage;
}

TEST_F(GpuTest, VideoMemoryUsageFollowsLiveResources) {
  std::shared_ptr<Device> warp, second;
  ASSERT_EQ(S_OK, factory.CreateDevice(nullptr, DriverType::Warp, 0, nullptr, 0, &warp, nullptr));
  ASSERT_EQ(S_OK, factory.CreateDevice(nullptr, DriverType::Hardware, 0, nullptr, 0, &second, nullptr));
  const uint64_t before = MemoryInUse(device), warpBefore = MemoryInUse(warp);

  auto texture = Make(Desc(300, 200, Format::B8G8R8A8_UNORM, Usage::Default, BIND_SHADER_RESOURCE, 0, MISC_SHARED));
  const uint64_t withTexture = MemoryInUse(device);
  EXPECT_GE(withTexture - before, 300u * 200u * 4u);
  EXPECT_LT(withTexture - before, 2u * 300u * 200u * 4u);
  EXPECT_EQ(warpBefore, MemoryInUse(warp));

  // A second opening is the same memory, not more of it.
  SharedHandle handle = 0;
  ASSERT_EQ(S_OK, texture->GetSharedHandle(&handle));
  std::shared_ptr<Texture2D> opened;
  ASSERT_EQ(S_OK, second->OpenSharedResource(handle, &opened));
  EXPECT_EQ(withTexture, MemoryInUse(second));
  texture.reset();
  EXPECT_EQ(withTexture, MemoryInUse(device));
  opened.reset();
  EXPECT_EQ(before, MemoryInUse(device));
}

// One device used from two threads at once, as a capture worker and the caller do; under
// ThreadSanitizer this checks that the context serialises them.
TEST_F(GpuTest, ContextIsSafeFromTwoThreads) {
  const uint32_t w = 64, h = 48;
  const Format f = Format::B8G8R8A8_UNORM;
  auto shared = Make(Desc(w, h, f, Usage::Default, BIND_SHADER_RESOURCE | BIND_RENDER_TARGET));
  auto staging = Make(Desc(w, h, f, Usage::Staging, 0, CPU_ACCESS_READ));
  std::shared_ptr<RenderTargetView> rtv;
  ASSERT_EQ(S_OK, device->CreateRenderTargetView(shared, &rtv));
  std::thread writer([&] {
    const auto pixels = Pattern(w, h, f, 1);
    const float red[4] = {1, 0, 0, 1};
    for (int i = 0; i < 200; ++i) {
      context->UpdateSubresource(*shared, 0, nullptr, pixels.data(), w * 4, 0);
      context->ClearRenderTargetView(*rtv, red);
    }
  });
  int mapFailures = 0;
  for (int i = 0; i < 200; ++i) {
    context->CopyResource(*staging, *shared);
    MappedSubresource mapped;
    if (context->Map(*staging, 0, MapType::Read, 0, &mapped) != S_OK) ++mapFailures;
    context->Unmap(*staging, 0);
  }
  writer.join();
  EXPECT_EQ(0, mapFailures);
  EXPECT_EQ(255, ReadBack(*shared)[2]);
}

}  // namespace
}  // namespace kalto::gpu::test
