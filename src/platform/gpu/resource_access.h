#pragma once
// What a backend's resources expose so that PixelsOf, BytesOf and the kernel registry stay
// independent of any one backend.
#include <memory>
#include <string_view>
#include <variant>

#include "platform/gpu/gpu_device.h"

namespace kalto::gpu::detail {

class PixelAccess {
 public:
  virtual TexturePixels Pixels() const = 0;

 protected:
  ~PixelAccess() = default;
};

class ByteAccess {
 public:
  virtual BufferBytes Bytes() const = 0;

 protected:
  ~ByteAccess() = default;
};

using AnyKernel = std::variant<ComputeKernel, VertexKernel, PixelKernel>;

// The kernel registered under (sourceName, entry, target), or null. Held by a compiled shader so
// that a later registration under the same name does not change what an existing shader runs.
std::shared_ptr<const AnyKernel> FindKernel(std::string_view sourceName, std::string_view entry,
                                            std::string_view target);

// The kernel of one kind inside a registered one, sharing its ownership; null for another kind.
template <typename Kernel>
std::shared_ptr<const Kernel> KernelOf(const std::shared_ptr<const AnyKernel>& any) {
  const Kernel* kernel = any ? std::get_if<Kernel>(any.get()) : nullptr;
  return kernel != nullptr ? std::shared_ptr<const Kernel>(any, kernel) : nullptr;
}

}  // namespace kalto::gpu::detail
