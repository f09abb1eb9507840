#pragma once
// The encoder's CPU conversion of a BGRA picture into one frame of its input subtype: the picture
// is fitted into the target size with its aspect ratio kept (bilinear sampling), centred, and
// the rest is black. Colours are BT.709 limited range, in 8-bit integer arithmetic.
#include <cstddef>
#include <cstdint>

#include "platform/media/media_foundation.h"

namespace kalto::bgra {

// Where the picture lands in the target and how the source is stepped through.
struct Layout {
  uint32_t contentWidth = 0;   // Wc, even
  uint32_t contentHeight = 0;  // Hc, even
  uint32_t x0 = 0;             // even
  uint32_t y0 = 0;             // even
  float sx = 0.0f;             // source pixels per target pixel
  float sy = 0.0f;
  // 1:1 at whole pixels: sampling reads source pixels as they are.
  bool identity = false;
};
Layout ComputeLayout(uint32_t sourceWidth, uint32_t sourceHeight, uint32_t targetWidth, uint32_t targetHeight);

// The integer BT.709 limited-range matrix (8-bit channels, 16-bit fixed-point weights). The
// chroma rows sum to zero, so any grey gives exactly 128: white (235, 128, 128), black (16, 128,
// 128), red (63, 102, 240), blue (32, 240, 118). Results lie in 16..235 (Y) and 16..240 (U, V)
// and differ from exact rounding by at most one, for fewer than 0.1% of colours.
constexpr uint8_t Luma(int32_t r, int32_t g, int32_t b) {
  return static_cast<uint8_t>(((11966 * r + 40254 * g + 4064 * b + 32768) >> 16) + 16);
}
constexpr uint8_t ChromaU(int32_t r, int32_t g, int32_t b) {
  return static_cast<uint8_t>(((-6597 * r - 22187 * g + 28784 * b + 32768) >> 16) + 128);
}
constexpr uint8_t ChromaV(int32_t r, int32_t g, int32_t b) {
  return static_cast<uint8_t>(((28784 * r - 26147 * g - 2637 * b + 32768) >> 16) + 128);
}

// Bytes of one target frame: W x H x 4 for RGB32 and ARGB32, x 2 for YUY2, x 3 / 2 otherwise.
size_t FrameBytes(const media::Guid& subtype, uint32_t width, uint32_t height);

// Converts `source` (Ws x Hs BGRA pixels, rows `sourcePitch` bytes apart, 4-byte aligned) into
// `target` (FrameBytes(subtype, Wt, Ht) bytes, even Wt and Ht). Rows run on the graphics
// device's worker threads. A subtype other than the six input subtypes is written as NV12.
void ConvertBgraImage(const uint8_t* source, uint32_t sourcePitch, uint32_t sourceWidth, uint32_t sourceHeight,
                      uint8_t* target, uint32_t targetWidth, uint32_t targetHeight, const media::Guid& subtype);

}  // namespace kalto::bgra
