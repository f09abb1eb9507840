#pragma once
#include <cstdint>
#include <vector>

#include "platform/gpu/gpu_device.h"

namespace kalto::test {

// Copies a texture through a staging texture of its own device and returns its pixels tightly
// packed, honouring the mapped row pitch. Empty when the copy cannot be made.
std::vector<uint8_t> ReadTextureBytes(gpu::Texture2D& texture);
// The same for a 4-byte format, one uint32_t per pixel (BGRA in memory: 0xAARRGGBB).
std::vector<uint32_t> ReadPixels(gpu::Texture2D& texture);

}  // namespace kalto::test
