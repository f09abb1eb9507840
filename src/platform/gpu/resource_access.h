#pragma once
// What a backend's resources expose so that PixelsOf, BytesOf and the kernel registry stay
// independent of any one backend.
#include <memory>
#include <string_view>

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

// The kernel registered under (sourceName, entry, target), or null. Held by a compiled shader so
// that a later registration under the same name does not change what an existing shader runs.
std::shared_ptr<const ComputeKernel> FindKernel(std::string_view sourceName, std::string_view entry,
                                                std::string_view target);

}  // namespace kalto::gpu::detail
