#include "platform/gpu/gpu_device.h"

#include "platform/gpu/software/software_device.h"

#include <map>
#include <mutex>
#include <tuple>

#include "platform/gpu/resource_access.h"

namespace kalto::gpu {
namespace {

using KernelKey = std::tuple<std::string, std::string, std::string>;

struct KernelRegistry {
  std::mutex mutex;
  // std::less<> so lookups by string_view need no temporary strings.
  std::map<KernelKey, std::shared_ptr<const ComputeKernel>, std::less<>> kernels;
};

KernelRegistry& Registry() {
  static KernelRegistry registry;
  return registry;
}

}  // namespace

uint32_t BytesPerPixel(Format format) {
  switch (format) {
    case Format::B8G8R8A8_UNORM:
    case Format::R8G8B8A8_UNORM:
    case Format::R32_FLOAT:
      return 4;
    case Format::R8G8_UNORM:
      return 2;
    case Format::R8_UNORM:
      return 1;
    case Format::Unknown:
      break;
  }
  return 0;
}

void RegisterKernel(std::string sourceName, std::string entry, std::string target, ComputeKernel kernel) {
  auto shared = std::make_shared<const ComputeKernel>(std::move(kernel));
  auto& registry = Registry();
  std::lock_guard lock(registry.mutex);
  registry.kernels[KernelKey{std::move(sourceName), std::move(entry), std::move(target)}] = std::move(shared);
}

TexturePixels PixelsOf(Texture2D& texture) {
  if (const auto* access = dynamic_cast<const detail::PixelAccess*>(&texture)) return access->Pixels();
  return {};
}

BufferBytes BytesOf(Buffer& buffer) {
  if (const auto* access = dynamic_cast<const detail::ByteAccess*>(&buffer)) return access->Bytes();
  return {};
}

namespace detail {

std::shared_ptr<const ComputeKernel> FindKernel(std::string_view sourceName, std::string_view entry,
                                                std::string_view target) {
  auto& registry = Registry();
  std::lock_guard lock(registry.mutex);
  const auto found = registry.kernels.find(std::tuple{sourceName, entry, target});
  return found == registry.kernels.end() ? nullptr : found->second;
}

}  // namespace detail
void ParallelFor(uint32_t count, const std::function<void(uint32_t begin, uint32_t end)>& fn) {
  software::ParallelFor(count, fn);
}

}  // namespace kalto::gpu
