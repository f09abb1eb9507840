#include "camera/background_effect_kernels.h"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/gpu/gpu_device.h"
#include "platform/gpu/software/software_device.h"

namespace kalto::effects {

const char* const kBlurHorizontalSource =
    "// Horizontal Gaussian pass: 64x4 threads, a 128-texel row cache, red and blue exchanged on load.";
const char* const kBlurVerticalSource = "// Vertical Gaussian pass: 4x64 threads, a 128-texel column cache.";
const char* const kCompositeSource =
    "// lerp(background, foreground, smoothstep(0.02, 0.98, mask)) with the mask read through the inverse letterbox.";
const char* const kImageCoverSource = "// Draws a picture over the whole target, scaled to cover and centred.";
const char* const kColorFillSource = "// Fills the target with one colour.";
const char* const kGradientFillSource = "// Fills the target with a vertical gradient.";
const char* const kChannelSwapSource = "// out = in.bgra";

namespace {

using gpu::Format;
using gpu::TexturePixels;

bool IsColor(const TexturePixels& p) {
  return p.data != nullptr && (p.format == Format::B8G8R8A8_UNORM || p.format == Format::R8G8B8A8_UNORM);
}

TexturePixels Srv(const gpu::ComputeBindings& b, int slot) {
  if (b.srv[slot] == nullptr) return {};
  const auto texture = b.srv[slot]->GetTexture();
  return texture ? gpu::PixelsOf(*texture) : TexturePixels{};
}
TexturePixels Uav(const gpu::ComputeBindings& b, int slot) {
  if (b.uav[slot] == nullptr) return {};
  const auto texture = b.uav[slot]->GetTexture();
  return texture ? gpu::PixelsOf(*texture) : TexturePixels{};
}

// A texel as r, g, b, a values in 0..255, whatever the byte order of its format.
inline void Load(const TexturePixels& p, uint32_t x, uint32_t y, float v[4]) {
  const uint8_t* d = p.data + size_t(y) * p.rowPitch + size_t(x) * 4;
  const bool bgra = p.format == Format::B8G8R8A8_UNORM;
  v[0] = d[bgra ? 2 : 0];
  v[1] = d[1];
  v[2] = d[bgra ? 0 : 2];
  v[3] = d[3];
}

inline uint8_t Unorm(float v255) { return static_cast<uint8_t>(std::clamp(v255, 0.0f, 255.0f) + 0.5f); }

inline void Store(const TexturePixels& p, uint32_t x, uint32_t y, const float v[4]) {
  uint8_t* d = p.data + size_t(y) * p.rowPitch + size_t(x) * 4;
  const bool bgra = p.format == Format::B8G8R8A8_UNORM;
  d[bgra ? 2 : 0] = Unorm(v[0]);
  d[1] = Unorm(v[1]);
  d[bgra ? 0 : 2] = Unorm(v[2]);
  d[3] = Unorm(v[3]);
}

// Normalised weights w(0..R) of exp(-i^2 / (2 sigma^2)) with sigma = R, for i = -R..R.
int BlurWeights(int32_t radius, float* weights) {
  const int r = std::clamp(radius, 0, int(kBlurApron));
  if (r == 0) {
    weights[0] = 1.0f;
    return 0;
  }
  const double sigma = r;
  double sum = 0;
  double w[kBlurApron + 1];
  for (int i = 0; i <= r; ++i) {
    w[i] = std::exp(-double(i) * i / (2.0 * sigma * sigma));
    sum += i == 0 ? w[i] : 2.0 * w[i];
  }
  for (int i = 0; i <= r; ++i) weights[i] = float(w[i] / sum);
  return r;
}

// Whether bytes change order between `in` and `out` for a pass that exchanges red and blue in
// value terms (`exchange`) or not.
bool SwapBytes(const TexturePixels& in, const TexturePixels& out, bool exchange) {
  return (in.format == out.format) == exchange;
}

inline void StoreRow(uint8_t* dst, const float* acc, uint32_t count, bool swap) {
  for (uint32_t x = 0; x < count; ++x) {
    const float* a = acc + size_t(x) * 4;
    uint8_t* d = dst + size_t(x) * 4;
    d[0] = Unorm(a[swap ? 2 : 0]);
    d[1] = Unorm(a[1]);
    d[2] = Unorm(a[swap ? 0 : 2]);
    d[3] = Unorm(a[3]);
  }
}

// The Gaussian sums in 16-bit fixed point on 32 bytes at a time, with no widening: each pair of
// texels at +-i is averaged as bytes (the weights are symmetric), the even and odd bytes are each
// taken as value x 256 in a 16-bit lane and multiplied by twice their weight in 1/65536 units,
// which leaves the sum in 1/256 steps. The start value rounds, and takes back what the averages
// add (a quarter step each on average) and what the truncating products lose (half a unit each).
// Results stay within one step of the float sums.
struct FixedWeights {
  uint16_t w[kBlurApron + 1];
  uint16_t bias;
};

FixedWeights ToFixed(const float* weights, int r) {
  FixedWeights f{};
  f.w[0] = static_cast<uint16_t>(std::lround(double(weights[0]) * 65536.0));
  double pairs = 0;
  for (int i = 1; i <= r; ++i) {
    f.w[i] = static_cast<uint16_t>(std::lround(double(weights[i]) * 2.0 * 65536.0));
    pairs += 2.0 * weights[i];
  }
  // Rounding up may take the sum past one, which could wrap a sum of white: the centre gives it back.
  uint32_t total = f.w[0];
  for (int i = 1; i <= r; ++i) total += f.w[i];
  if (total > 65535) f.w[0] = static_cast<uint16_t>(f.w[0] - (total - 65535));
  f.bias = static_cast<uint16_t>(std::lround(128.0 - 0.25 * 256.0 * pairs + 0.5 * (r + 1)));
  return f;
}

bool HasAvx2() {
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
}

#define KALTO_AVX2 __attribute__((target("avx2")))

// One block of 32 bytes at offset j of each source row; `w` holds the weights broadcast. The
// weights sum to at most one, so the 16-bit sums cannot wrap.
KALTO_AVX2 inline void GaussBlockAvx2(const uint8_t* const* src, uint32_t j, int r, const __m256i* w, __m256i bias,
                                      bool swap, uint8_t* out) {
  const __m256i high = _mm256_set1_epi16(int16_t(0xFF00));
  const __m256i centre = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src[r] + j));
  __m256i even = _mm256_add_epi16(bias, _mm256_mulhi_epu16(_mm256_slli_epi16(centre, 8), w[0]));
  __m256i odd = _mm256_add_epi16(bias, _mm256_mulhi_epu16(_mm256_and_si256(centre, high), w[0]));
  for (int i = 1; i <= r; ++i) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src[r - i] + j));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src[r + i] + j));
    const __m256i mean = _mm256_avg_epu8(a, b);
    even = _mm256_add_epi16(even, _mm256_mulhi_epu16(_mm256_slli_epi16(mean, 8), w[i]));
    odd = _mm256_add_epi16(odd, _mm256_mulhi_epu16(_mm256_and_si256(mean, high), w[i]));
  }
  __m256i bytes = _mm256_or_si256(_mm256_srli_epi16(even, 8), _mm256_and_si256(odd, high));
  if (swap) {
    bytes = _mm256_shuffle_epi8(bytes, _mm256_setr_epi8(2, 1, 0, 3, 6, 5, 4, 7, 10, 9, 8, 11, 14, 13, 12, 15, 2, 1, 0,
                                                        3, 6, 5, 4, 7, 10, 9, 8, 11, 14, 13, 12, 15));
  }
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), bytes);
}

// One output row from 2r + 1 source rows given as pointers (rows[i + r] = the row at offset i);
// `count` values, a multiple of 4. The last partial block goes through a buffer so no row is read
// or written past `count`.
KALTO_AVX2 void GaussRowAvx2(const uint8_t* const* rows, int r, const FixedWeights& f, uint32_t count, bool swap,
                             uint8_t* dst) {
  constexpr uint32_t kBlock = 32;
  __m256i w[kBlurApron + 1];
  for (int i = 0; i <= r; ++i) w[i] = _mm256_set1_epi16(int16_t(f.w[i]));
  const __m256i bias = _mm256_set1_epi16(int16_t(f.bias));
  uint32_t j = 0;
  for (; j + kBlock <= count; j += kBlock) GaussBlockAvx2(rows, j, r, w, bias, swap, dst + j);
  if (j < count) {
    alignas(32) uint8_t in[2 * kBlurApron + 1][kBlock] = {};
    const uint8_t* tails[2 * kBlurApron + 1];
    for (int i = 0; i <= 2 * r; ++i) {
      std::memcpy(in[i], rows[i] + j, count - j);
      tails[i] = in[i];
    }
    alignas(32) uint8_t out[kBlock];
    GaussBlockAvx2(tails, 0, r, w, bias, swap, out);
    std::memcpy(dst + j, out, count - j);
  }
}

void BlurHorizontal(const gpu::ComputeBindings& b, uint32_t groupsX, uint32_t gy0, uint32_t gy1) {
  const TexturePixels in = Srv(b, 0), out = Uav(b, 0);
  if (!IsColor(in) || !IsColor(out)) return;
  float w[kBlurApron + 1];
  const int r = BlurWeights(gpu::ReadConstants<BlurParams>(b, 0).radius, w);
  const bool swap = SwapBytes(in, out, true);
  const uint32_t width = std::min({groupsX * kBlurGroupLong, in.width, out.width});
  const uint32_t yEnd = std::min({gy1 * kBlurGroupShort, in.height, out.height});
  thread_local std::vector<float> padded, acc;
  padded.resize((size_t(width) + 2 * r) * 4);
  acc.resize(size_t(width) * 4);
  if (HasAvx2() && !gpu::software::ReferencePaths()) {
    const FixedWeights f = ToFixed(w, r);
    thread_local std::vector<uint8_t> bytes;
    bytes.resize((size_t(width) + 2 * r) * 4 + 32);
    const uint8_t* taps[2 * kBlurApron + 1];
    for (int i = 0; i <= 2 * r; ++i) taps[i] = bytes.data() + size_t(i) * 4;
    for (uint32_t y = gy0 * kBlurGroupShort; y < yEnd; ++y) {
      const uint8_t* row = in.data + size_t(y) * in.rowPitch;
      // The row with its apron of repeated edge texels.
      for (int i = 0; i < r; ++i) std::memcpy(bytes.data() + size_t(i) * 4, row, 4);
      const uint32_t inside = std::min(width + uint32_t(r), in.width);
      std::memcpy(bytes.data() + size_t(r) * 4, row, size_t(inside) * 4);
      for (uint32_t x = inside; x < width + uint32_t(r); ++x) {
        std::memcpy(bytes.data() + size_t(x + r) * 4, row + size_t(in.width - 1) * 4, 4);
      }
      GaussRowAvx2(taps, r, f, width * 4, swap, out.data + size_t(y) * out.rowPitch);
    }
    return;
  }
  for (uint32_t y = gy0 * kBlurGroupShort; y < yEnd; ++y) {
    const uint8_t* row = in.data + size_t(y) * in.rowPitch;
    // The row with its apron, edge texels repeated as the clamped reads give them.
    for (int64_t x = -r; x < int64_t(width) + r; ++x) {
      const uint32_t sx = uint32_t(std::clamp<int64_t>(x, 0, in.width - 1));
      float* p = padded.data() + size_t(x + r) * 4;
      for (int c = 0; c < 4; ++c) p[c] = row[size_t(sx) * 4 + c];
    }
    const size_t n = size_t(width) * 4;
    const float* centre = padded.data() + size_t(r) * 4;
    float* a = acc.data();
    for (size_t j = 0; j < n; ++j) a[j] = w[0] * centre[j];
    for (int i = 1; i <= r; ++i) {
      const float wi = w[i];
      const float* right = centre + size_t(i) * 4;
      const float* left = centre - size_t(i) * 4;
      for (size_t j = 0; j < n; ++j) a[j] += wi * (right[j] + left[j]);
    }
    StoreRow(out.data + size_t(y) * out.rowPitch, a, width, swap);
  }
}

void BlurVertical(const gpu::ComputeBindings& b, uint32_t groupsX, uint32_t gy0, uint32_t gy1) {
  const TexturePixels in = Srv(b, 0), out = Uav(b, 0);
  if (!IsColor(in) || !IsColor(out)) return;
  float w[kBlurApron + 1];
  const int r = BlurWeights(gpu::ReadConstants<BlurParams>(b, 0).radius, w);
  const bool swap = SwapBytes(in, out, false);
  const uint32_t width = std::min({groupsX * kBlurGroupShort, in.width, out.width});
  const uint32_t yEnd = std::min({gy1 * kBlurGroupLong, in.height, out.height});
  const size_t n = size_t(width) * 4;
  thread_local std::vector<float> acc;
  acc.resize(n);
  const auto rowAt = [&](int64_t y) {
    return in.data + size_t(std::clamp<int64_t>(y, 0, in.height - 1)) * in.rowPitch;
  };
  if (HasAvx2() && !gpu::software::ReferencePaths()) {
    const FixedWeights f = ToFixed(w, r);
    const uint8_t* taps[2 * kBlurApron + 1];
    for (uint32_t y = gy0 * kBlurGroupLong; y < yEnd; ++y) {
      for (int i = -r; i <= r; ++i) taps[i + r] = rowAt(int64_t(y) + i);
      GaussRowAvx2(taps, r, f, width * 4, swap, out.data + size_t(y) * out.rowPitch);
    }
    return;
  }
  for (uint32_t y = gy0 * kBlurGroupLong; y < yEnd; ++y) {
    float* a = acc.data();
    const uint8_t* centre = rowAt(y);
    for (size_t j = 0; j < n; ++j) a[j] = w[0] * float(centre[j]);
    for (int i = 1; i <= r; ++i) {
      const float wi = w[i];
      const uint8_t* below = rowAt(int64_t(y) + i);
      const uint8_t* above = rowAt(int64_t(y) - i);
      for (size_t j = 0; j < n; ++j) a[j] += wi * (float(below[j]) + float(above[j]));
    }
    StoreRow(out.data + size_t(y) * out.rowPitch, a, width, swap);
  }
}


KALTO_AVX2 void SwapRedBlueAvx2(const uint8_t* src, uint8_t* dst, uint32_t pixels) {
  const __m256i order = _mm256_setr_epi8(2, 1, 0, 3, 6, 5, 4, 7, 10, 9, 8, 11, 14, 13, 12, 15, 2, 1, 0, 3, 6, 5, 4, 7, 10,
                                         9, 8, 11, 14, 13, 12, 15);
  uint32_t x = 0;
  for (; x + 8 <= pixels; x += 8) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + size_t(x) * 4));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + size_t(x) * 4), _mm256_shuffle_epi8(v, order));
  }
  for (; x < pixels; ++x) {
    dst[x * 4 + 0] = src[x * 4 + 2];
    dst[x * 4 + 1] = src[x * 4 + 1];
    dst[x * 4 + 2] = src[x * 4 + 0];
    dst[x * 4 + 3] = src[x * 4 + 3];
  }
}

// The blend weight of each pixel from the mask row: bilinear along the row (columns outside the
// mask read the zero after its end), then smoothstep(0.02, 0.98), in 1/128 steps for all four bytes.
inline void AlphaRowBody(const float* maskRow, const int32_t* x0, const int32_t* x1, const float* fx, uint32_t width,
                         uint64_t* alpha) {
  for (uint32_t x = 0; x < width; ++x) {
    const float m = maskRow[x0[x]] + (maskRow[x1[x]] - maskRow[x0[x]]) * fx[x];
    const float t = std::clamp((std::clamp(m, 0.0f, 1.0f) - 0.02f) / 0.96f, 0.0f, 1.0f);
    const auto q = static_cast<uint64_t>(t * t * (3.0f - 2.0f * t) * 128.0f + 0.5f);
    alpha[x] = q * 0x0001000100010001ull;
  }
}

// lerp(background, foreground, alpha) per byte, alpha given per byte in 1/128 steps (0..128).
inline void BlendRowBody(const uint8_t* fg, const uint8_t* bg, const int16_t* alpha, uint8_t* out, uint32_t count) {
  for (uint32_t j = 0; j < count; ++j) {
    const int16_t k = bg[j];
    out[j] = static_cast<uint8_t>(k + ((int16_t(int16_t(fg[j]) - k) * alpha[j] + 64) >> 7));
  }
}

// The same loops compiled for AVX2, chosen at run time (not by ifunc: sanitiser runtimes are not
// ready when the loader resolves those).
KALTO_AVX2 void AlphaRowAvx2(const float* maskRow, const int32_t* x0, const int32_t* x1, const float* fx,
                             uint32_t width, uint64_t* alpha) {
  AlphaRowBody(maskRow, x0, x1, fx, width, alpha);
}
KALTO_AVX2 void BlendRowAvx2(const uint8_t* fg, const uint8_t* bg, const int16_t* alpha, uint8_t* out,
                             uint32_t count) {
  BlendRowBody(fg, bg, alpha, out, count);
}
void AlphaRow(const float* maskRow, const int32_t* x0, const int32_t* x1, const float* fx, uint32_t width,
              uint64_t* alpha) {
  HasAvx2() ? AlphaRowAvx2(maskRow, x0, x1, fx, width, alpha) : AlphaRowBody(maskRow, x0, x1, fx, width, alpha);
}
void BlendRow(const uint8_t* fg, const uint8_t* bg, const int16_t* alpha, uint8_t* out, uint32_t count) {
  HasAvx2() ? BlendRowAvx2(fg, bg, alpha, out, count) : BlendRowBody(fg, bg, alpha, out, count);
}

// Row y of `p` in the byte order of `outFormat`, red and blue exchanged first when `exchange`: the
// row itself when no byte moves, else a copy in `scratch`.
const uint8_t* RowInOrder(const TexturePixels& p, uint32_t y, uint32_t pixels, bool exchange, Format outFormat,
                          std::vector<uint8_t>& scratch) {
  const uint8_t* row = p.data + size_t(y) * p.rowPitch;
  if ((p.format != outFormat) == exchange) return row;
  scratch.resize(size_t(pixels) * 4);
  if (HasAvx2() && !gpu::software::ReferencePaths()) {
    SwapRedBlueAvx2(row, scratch.data(), pixels);
    return scratch.data();
  }
  for (uint32_t x = 0; x < pixels; ++x) {
    scratch[x * 4 + 0] = row[x * 4 + 2];
    scratch[x * 4 + 1] = row[x * 4 + 1];
    scratch[x * 4 + 2] = row[x * 4 + 0];
    scratch[x * 4 + 3] = row[x * 4 + 3];
  }
  return scratch.data();
}

void Composite(const gpu::ComputeBindings& b, uint32_t groupsX, uint32_t gy0, uint32_t gy1) {
  const TexturePixels fg = Srv(b, 0), bg = Srv(b, 1), mask = Srv(b, 2), out = Uav(b, 0);
  if (!IsColor(fg) || !IsColor(bg) || !IsColor(out) || mask.data == nullptr || mask.format != Format::R32_FLOAT ||
      mask.width == 0 || mask.height == 0) {
    return;
  }
  const CompositeParams p = gpu::ReadConstants<CompositeParams>(b, 0);
  const bool swapped = p.backgroundSwapped != 0.0f;
  const uint32_t width = std::min(groupsX * kFillGroup, out.width);
  const uint32_t yEnd = std::min(gy1 * kFillGroup, out.height);
  const float maxX = float(mask.width - 1), maxY = float(mask.height - 1);
  // Where each column samples the mask: the same for every row. Columns outside it read index
  // mask.width, a zero kept after the row.
  thread_local std::vector<int32_t> left, right;
  thread_local std::vector<float> fraction, maskRow;
  thread_local std::vector<uint64_t> alphaPixels;
  thread_local std::vector<uint8_t> fgScratch, bgScratch;
  left.resize(width);
  right.resize(width);
  fraction.resize(width);
  alphaPixels.resize(width);
  maskRow.assign(size_t(mask.width) + 1, 0.0f);
  for (uint32_t x = 0; x < width; ++x) {
    const float qx = float(x) * p.scale + p.offsetX;
    const bool inside = qx >= 0.0f && qx <= maxX;
    left[x] = inside ? int32_t(qx) : int32_t(mask.width);
    right[x] = inside ? std::min(left[x] + 1, int32_t(mask.width) - 1) : int32_t(mask.width);
    fraction[x] = inside ? qx - float(left[x]) : 0.0f;
  }
  const auto* alpha = reinterpret_cast<const int16_t*>(alphaPixels.data());
  // Pixels both sources have take the row path; any others read as zero, as unbound texels do.
  const uint32_t shared = std::min({width, fg.width, bg.width});
  for (uint32_t y = gy0 * kFillGroup; y < yEnd; ++y) {
    const float qy = float(y) * p.scale + p.offsetY;
    if (qy >= 0.0f && qy <= maxY) {
      // The mask blended between its two rows once per row.
      const uint32_t y0 = uint32_t(qy), y1 = std::min(y0 + 1, mask.height - 1);
      const float fy = qy - float(y0);
      const auto* r0 = reinterpret_cast<const float*>(mask.data + size_t(y0) * mask.rowPitch);
      const auto* r1 = reinterpret_cast<const float*>(mask.data + size_t(y1) * mask.rowPitch);
      for (uint32_t i = 0; i < mask.width; ++i) maskRow[i] = r0[i] + (r1[i] - r0[i]) * fy;
      AlphaRow(maskRow.data(), left.data(), right.data(), fraction.data(), width, alphaPixels.data());
    } else {
      std::fill(alphaPixels.begin(), alphaPixels.end(), 0);
    }
    uint32_t x = 0;
    if (y < fg.height && y < bg.height && shared > 0) {
      const uint8_t* f = RowInOrder(fg, y, shared, false, out.format, fgScratch);
      const uint8_t* k = RowInOrder(bg, y, shared, swapped, out.format, bgScratch);
      BlendRow(f, k, alpha, out.data + size_t(y) * out.rowPitch, shared * 4);
      x = shared;
    }
    for (; x < width; ++x) {
      float f[4] = {}, k[4] = {}, o[4];
      if (x < fg.width && y < fg.height) Load(fg, x, y, f);
      if (x < bg.width && y < bg.height) Load(bg, x, y, k);
      if (swapped) std::swap(k[0], k[2]);
      for (int c = 0; c < 4; ++c) o[c] = k[c] + (f[c] - k[c]) * float(alpha[x * 4]) / 128.0f;
      Store(out, x, y, o);
    }
  }
}

void ImageCover(const gpu::ComputeBindings& b, uint32_t groupsX, uint32_t gy0, uint32_t gy1) {
  const TexturePixels image = Srv(b, 0), out = Uav(b, 0);
  if (!IsColor(image) || !IsColor(out) || image.width == 0 || image.height == 0) return;
  const ImageCoverParams p = gpu::ReadConstants<ImageCoverParams>(b, 0);
  if (p.sourceWidth <= 0 || p.sourceHeight <= 0) return;
  const float scale = std::max(p.destWidth / p.sourceWidth, p.destHeight / p.sourceHeight);
  const float offX = (p.sourceWidth * scale - p.destWidth) / 2.0f;
  const float offY = (p.sourceHeight * scale - p.destHeight) / 2.0f;
  const uint32_t width = std::min(groupsX * kFillGroup, out.width);
  const uint32_t yEnd = std::min(gy1 * kFillGroup, out.height);
  const uint32_t lastX = image.width - 1, lastY = image.height - 1;
  for (uint32_t y = gy0 * kFillGroup; y < yEnd; ++y) {
    const float v = (float(y) + offY) / scale / p.sourceHeight;
    const float py = std::clamp(v * float(lastY), 0.0f, float(lastY));
    const uint32_t y0 = uint32_t(py), y1 = std::min(y0 + 1, lastY);
    const float fy = py - float(y0);
    for (uint32_t x = 0; x < width; ++x) {
      const float u = (float(x) + offX) / scale / p.sourceWidth;
      const float px = std::clamp(u * float(lastX), 0.0f, float(lastX));
      const uint32_t x0 = uint32_t(px), x1 = std::min(x0 + 1, lastX);
      const float fx = px - float(x0);
      float t00[4], t01[4], t10[4], t11[4], o[4];
      Load(image, x0, y0, t00);
      Load(image, x1, y0, t01);
      Load(image, x0, y1, t10);
      Load(image, x1, y1, t11);
      for (int c = 0; c < 4; ++c) {
        const float top = t00[c] + (t01[c] - t00[c]) * fx;
        const float bottom = t10[c] + (t11[c] - t10[c]) * fx;
        o[c] = top + (bottom - top) * fy;
      }
      Store(out, x, y, o);
    }
  }
}

// Writes one colour per row over the covered columns.
void FillRows(const TexturePixels& out, uint32_t groupsX, uint32_t gy0, uint32_t gy1,
              void (*colorOf)(const void* params, uint32_t y, uint32_t height, float rgba[4]), const void* params) {
  const uint32_t width = std::min(groupsX * kFillGroup, out.width);
  const uint32_t yEnd = std::min(gy1 * kFillGroup, out.height);
  for (uint32_t y = gy0 * kFillGroup; y < yEnd; ++y) {
    float c[4];
    colorOf(params, y, out.height, c);
    for (float& v : c) v *= 255.0f;
    Store(out, 0, y, c);
    uint32_t pixel;
    std::memcpy(&pixel, out.data + size_t(y) * out.rowPitch, 4);
    auto* row = reinterpret_cast<uint32_t*>(out.data + size_t(y) * out.rowPitch);
    std::fill(row, row + width, pixel);
  }
}

void ColorFill(const gpu::ComputeBindings& b, uint32_t groupsX, uint32_t gy0, uint32_t gy1) {
  const TexturePixels out = Uav(b, 0);
  if (!IsColor(out)) return;
  const ColorParams p = gpu::ReadConstants<ColorParams>(b, 0);
  FillRows(out, groupsX, gy0, gy1,
           [](const void* params, uint32_t, uint32_t, float rgba[4]) {
             std::memcpy(rgba, static_cast<const ColorParams*>(params)->rgba, sizeof(float) * 4);
           },
           &p);
}

void GradientFill(const gpu::ComputeBindings& b, uint32_t groupsX, uint32_t gy0, uint32_t gy1) {
  const TexturePixels out = Uav(b, 0);
  if (!IsColor(out)) return;
  const GradientParams p = gpu::ReadConstants<GradientParams>(b, 0);
  FillRows(out, groupsX, gy0, gy1,
           [](const void* params, uint32_t y, uint32_t height, float rgba[4]) {
             const auto* g = static_cast<const GradientParams*>(params);
             const float t = float(y) / float(height);
             for (int c = 0; c < 4; ++c) rgba[c] = g->top[c] + (g->bottom[c] - g->top[c]) * t;
           },
           &p);
}

void ChannelSwap(const gpu::ComputeBindings& b, uint32_t groupsX, uint32_t gy0, uint32_t gy1) {
  const TexturePixels in = Srv(b, 0), out = Uav(b, 0);
  if (!IsColor(in) || !IsColor(out)) return;
  const bool swap = SwapBytes(in, out, true);
  const uint32_t width = std::min({groupsX * kFillGroup, in.width, out.width});
  const uint32_t yEnd = std::min({gy1 * kFillGroup, in.height, out.height});
  for (uint32_t y = gy0 * kFillGroup; y < yEnd; ++y) {
    const uint8_t* s = in.data + size_t(y) * in.rowPitch;
    uint8_t* d = out.data + size_t(y) * out.rowPitch;
    if (!swap) {
      std::memcpy(d, s, size_t(width) * 4);
      continue;
    }
    for (uint32_t x = 0; x < width; ++x) {
      d[x * 4 + 0] = s[x * 4 + 2];
      d[x * 4 + 1] = s[x * 4 + 1];
      d[x * 4 + 2] = s[x * 4 + 0];
      d[x * 4 + 3] = s[x * 4 + 3];
    }
  }
}

void Register(const char* name, uint32_t gx, uint32_t gy,
              void (*run)(const gpu::ComputeBindings&, uint32_t, uint32_t, uint32_t)) {
  gpu::ComputeKernel kernel;
  kernel.groupSizeX = gx;
  kernel.groupSizeY = gy;
  kernel.run = run;
  gpu::RegisterKernel(name, kEntry, kTarget, std::move(kernel));
}

}  // namespace

void RegisterKernels() {
  static std::once_flag once;
  std::call_once(once, [] {
    Register(kBlurHorizontal, kBlurGroupLong, kBlurGroupShort, BlurHorizontal);
    Register(kBlurVertical, kBlurGroupShort, kBlurGroupLong, BlurVertical);
    Register(kComposite, kFillGroup, kFillGroup, Composite);
    Register(kImageCover, kFillGroup, kFillGroup, ImageCover);
    Register(kColorFill, kFillGroup, kFillGroup, ColorFill);
    Register(kGradientFill, kFillGroup, kFillGroup, GradientFill);
    Register(kChannelSwap, kFillGroup, kFillGroup, ChannelSwap);
  });
}

}  // namespace kalto::effects
