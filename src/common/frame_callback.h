#pragma once
#include <cstdint>
#include <functional>

namespace kalto {
namespace gpu {
class Texture2D;
}

// Receives a BGRA texture and its timestamp (100-ns units from the recording's time origin).
// The texture is borrowed for the call only: the receiver copies what it keeps.
using FrameCallback = std::function<void(gpu::Texture2D& texture, int64_t timestampHns)>;

}  // namespace kalto
