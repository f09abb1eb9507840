#pragma once
// The BT.709 limited-range arithmetic of the NV12 conversion, per value and per row. Every
// function gives the exactly rounded 8-bit result of
//   Y  = 16  + 219 (0.2126 R + 0.7152 G + 0.0722 B)
//   Cb = 128 + 224 (-0.1146 R - 0.3854 G + 0.5 B)
//   Cr = 128 + 224 (0.5 R - 0.4542 G - 0.0458 B)
// with R, G, B in 0..1 (chroma from the mean of a 2x2 block) and halves rounded up.
#include <cstdint>

namespace kalto::nv12 {

// One pixel's 8-bit channels.
uint8_t Luma(uint32_t r, uint32_t g, uint32_t b);
// Sums of a 2x2 block's 8-bit channels (0..1020 each).
uint8_t ChromaU(uint32_t rSum, uint32_t gSum, uint32_t bSum);
uint8_t ChromaV(uint32_t rSum, uint32_t gSum, uint32_t bSum);

// `count` BGRA pixels (B, G, R, A bytes) to `count` luma bytes.
void LumaRow(const uint32_t* bgra, uint8_t* luma, uint32_t count);
// `blocks` 2x2 blocks of two BGRA rows to `blocks` (U, V) byte pairs.
void ChromaRow(const uint32_t* row0, const uint32_t* row1, uint16_t* uv, uint32_t blocks);

}  // namespace kalto::nv12
