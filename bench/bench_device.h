#pragma once
// What the frame-path benchmarks share: a software device and BGRA frames uploaded to it.
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "platform/gpu/software/software_device.h"

namespace kalto::bench {

struct BenchDevice {
  BenchDevice() {
    factory = std::make_shared<gpu::software::SoftwareDeviceFactory>();
    factory->CreateDevice(nullptr, gpu::DriverType::Hardware, gpu::CREATE_DEVICE_BGRA_SUPPORT, nullptr, 0, &device,
                          &context);
  }
  // A shader-resource BGRA texture holding `pixels` (width x height, tightly packed).
  std::shared_ptr<gpu::Texture2D> Upload(uint32_t width, uint32_t height, const std::vector<uint32_t>& pixels) const {
    gpu::TextureDesc desc;
    desc.width = width;
    desc.height = height;
    desc.format = gpu::Format::B8G8R8A8_UNORM;
    desc.bindFlags = gpu::BIND_SHADER_RESOURCE;
    std::shared_ptr<gpu::Texture2D> texture;
    device->CreateTexture2D(desc, pixels.data(), width * 4, &texture);
    return texture;
  }
  std::shared_ptr<gpu::software::SoftwareDeviceFactory> factory;
  std::shared_ptr<gpu::Device> device;
  std::shared_ptr<gpu::DeviceContext> context;
};

// Serial rows when `threaded` is 0; the device's pool otherwise.
inline std::unique_ptr<gpu::software::ScopedSerialRows> Threads(int64_t threaded) {
  return threaded == 0 ? std::make_unique<gpu::software::ScopedSerialRows>() : nullptr;
}

inline void SetFrameBytes(benchmark::State& state, uint32_t width, uint32_t height) {
  state.SetBytesProcessed(int64_t(state.iterations()) * width * height * 4);
}

}  // namespace kalto::bench
