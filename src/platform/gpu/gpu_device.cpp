#include "platform/gpu/gpu_device.h"

#include "platform/gpu/software/software_device.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <mutex>
#include <tuple>

#include "platform/gpu/resource_access.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace kalto::gpu {
namespace {

using KernelKey = std::tuple<std::string, std::string, std::string>;

struct KernelRegistry {
  std::mutex mutex;
  // std::less<> so lookups by string_view need no temporary strings.
  std::map<KernelKey, std::shared_ptr<const detail::AnyKernel>, std::less<>> kernels;
};

KernelRegistry& Registry() {
  static KernelRegistry registry;
  return registry;
}

void Register(std::string sourceName, std::string entry, std::string target, detail::AnyKernel kernel) {
  auto shared = std::make_shared<const detail::AnyKernel>(std::move(kernel));
  auto& registry = Registry();
  std::lock_guard lock(registry.mutex);
  registry.kernels[KernelKey{std::move(sourceName), std::move(entry), std::move(target)}] = std::move(shared);
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
  Register(std::move(sourceName), std::move(entry), std::move(target), std::move(kernel));
}
void RegisterKernel(std::string sourceName, std::string entry, std::string target, VertexKernel kernel) {
  Register(std::move(sourceName), std::move(entry), std::move(target), std::move(kernel));
}
void RegisterKernel(std::string sourceName, std::string entry, std::string target, PixelKernel kernel) {
  Register(std::move(sourceName), std::move(entry), std::move(target), std::move(kernel));
}

TexturePixels PixelsOf(Texture2D& texture) {
  if (const auto* access = dynamic_cast<const detail::PixelAccess*>(&texture)) return access->Pixels();
  return {};
}

BufferBytes BytesOf(Buffer& buffer) {
  if (const auto* access = dynamic_cast<const detail::ByteAccess*>(&buffer)) return access->Bytes();
  return {};
}

namespace {

// The texel index an addressing mode reads for index i of n; -1 for the border colour.
int32_t Address(int32_t i, int32_t n, TextureAddressMode mode) {
  if (i >= 0 && i < n) return i;
  switch (mode) {
    case TextureAddressMode::Wrap:
      return ((i % n) + n) % n;
    case TextureAddressMode::Mirror: {
      const int32_t m = ((i % (2 * n)) + 2 * n) % (2 * n);
      return m < n ? m : 2 * n - 1 - m;
    }
    case TextureAddressMode::MirrorOnce:
      return std::min(i < 0 ? -i - 1 : i, n - 1);
    case TextureAddressMode::Border:
      return -1;
    case TextureAddressMode::Clamp:
      break;
  }
  return std::clamp(i, 0, n - 1);
}

// Keeps a coordinate finite and within int32 reach before it is floored.
float Tame(float value) { return std::isfinite(value) ? std::clamp(value, -16777216.0f, 16777216.0f) : 0.0f; }

}  // namespace

TextureSampler::TextureSampler(ShaderResourceView* view, SamplerState* sampler) {
  if (sampler != nullptr) m_desc = sampler->GetDesc();
  for (int c = 0; c < 4; ++c) {
    m_border[c] = uint8_t(std::lround(std::clamp(m_desc.borderColor[c], 0.0f, 1.0f) * 255.0f));
  }
  if (view == nullptr) return;
  m_texture = view->GetTexture();
  if (!m_texture) return;
  const TexturePixels pixels = PixelsOf(*m_texture);
  if (pixels.format != Format::B8G8R8A8_UNORM && pixels.format != Format::R8G8B8A8_UNORM) return;
  m_pixels = pixels;
  m_bgra = pixels.format == Format::B8G8R8A8_UNORM;
}

void TextureSampler::Texel(int32_t x, int32_t y, uint8_t rgba[4]) const {
  x = Address(x, static_cast<int32_t>(m_pixels.width), m_desc.addressU);
  y = Address(y, static_cast<int32_t>(m_pixels.height), m_desc.addressV);
  if (x < 0 || y < 0) {
    std::memcpy(rgba, m_border, 4);
    return;
  }
  const uint8_t* p = m_pixels.data + size_t(y) * m_pixels.rowPitch + size_t(x) * 4;
  rgba[0] = p[m_bgra ? 2 : 0];
  rgba[1] = p[1];
  rgba[2] = p[m_bgra ? 0 : 2];
  rgba[3] = p[3];
}

// Linear weights are 8-bit fractions: first down the two rows, halved to stay within 16 bits,
// then across, so the sum carries 8 + 7 fraction bits into the float result.
constexpr float kLinearScale = 1.0f / (255.0f * 32768.0f);

void TextureSampler::Sample(float u, float v, float rgba[4], float lod) const {
  if (!Valid()) {
    rgba[0] = rgba[1] = rgba[2] = rgba[3] = 0.0f;
    return;
  }
  const auto bits = static_cast<uint32_t>(m_desc.filter);
  const bool linear = (bits & (lod > 0.0f ? 0x10u : 0x04u)) != 0;
  const float x = Tame(u * float(m_pixels.width)), y = Tame(v * float(m_pixels.height));
  uint8_t t00[4], t10[4], t01[4], t11[4];
  if (!linear) {
    Texel(int32_t(std::floor(x)), int32_t(std::floor(y)), t00);
    for (int c = 0; c < 4; ++c) rgba[c] = float(t00[c]) * (1.0f / 255.0f);
    return;
  }
  // Texel centres sit at half-integers; weights go to the four around the sample point.
  const float fx = x - 0.5f, fy = y - 0.5f, x0 = std::floor(fx), y0 = std::floor(fy);
  const auto wx = int32_t((fx - x0) * 256.0f + 0.5f), wy = int32_t((fy - y0) * 256.0f + 0.5f);
  Texel(int32_t(x0), int32_t(y0), t00);
  Texel(int32_t(x0) + 1, int32_t(y0), t10);
  Texel(int32_t(x0), int32_t(y0) + 1, t01);
  Texel(int32_t(x0) + 1, int32_t(y0) + 1, t11);
  for (int c = 0; c < 4; ++c) {
    const int32_t left = (t00[c] * (256 - wy) + t01[c] * wy) >> 1, right = (t10[c] * (256 - wy) + t11[c] * wy) >> 1;
    rgba[c] = float(left * (256 - wx) + right * wx) * kLinearScale;
  }
}

#if defined(__x86_64__)
namespace {

// SampleRow's clamped linear path four points at a time: texel pairs loaded from both rows, the
// same 16-bit sums down and 32-bit sums across, in the same float steps.
__attribute__((target("avx2"))) void LinearRowAvx2(const uint8_t* row0, const uint8_t* row1, int32_t w, int32_t wy,
                                                   bool bgra, float u, float du, uint32_t begin, uint32_t end,
                                                   float* rgba) {
  const float fw = float(w);
  const __m256i topWeight = _mm256_set1_epi16(int16_t(256 - wy)), bottomWeight = _mm256_set1_epi16(int16_t(wy));
  // Per 128-bit lane one texel pair as 16-bit (left r g b a, right r g b a): pair each channel's
  // left and right, the red and blue of BGRA swapped.
  const __m256i pairs = bgra ? _mm256_setr_epi8(4, 5, 12, 13, 2, 3, 10, 11, 0, 1, 8, 9, 6, 7, 14, 15, 4, 5, 12, 13, 2,
                                                3, 10, 11, 0, 1, 8, 9, 6, 7, 14, 15)
                             : _mm256_setr_epi8(0, 1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15, 0, 1, 8, 9, 2,
                                                3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15);
  const __m256i firstTwo = _mm256_setr_epi32(0, 0, 0, 0, 1, 1, 1, 1);
  const __m256i lastTwo = _mm256_setr_epi32(2, 2, 2, 2, 3, 3, 3, 3);
  const __m128 lanes = _mm_setr_ps(0.0f, 1.0f, 2.0f, 3.0f), last = _mm_set1_ps(fw - 1.0f);
  const __m128i lastColumn = _mm_set1_epi32(w - 1), full = _mm_set1_epi32(256);
  const __m256 scale = _mm256_set1_ps(kLinearScale);
  const __m256i zero = _mm256_setzero_si256();
  const auto load = [](const uint8_t* row, int32_t offset) {
    int64_t pair;
    std::memcpy(&pair, row + offset, 8);
    return pair;
  };
  for (uint32_t base = begin; base < end; base += 4) {
    const __m128 at = _mm_add_ps(_mm_set1_ps(float(base)), lanes);
    const __m128 x = _mm_min_ps(
        _mm_max_ps(_mm_sub_ps(_mm_mul_ps(_mm_add_ps(_mm_set1_ps(u), _mm_mul_ps(at, _mm_set1_ps(du))), _mm_set1_ps(fw)),
                              _mm_set1_ps(0.5f)),
                   _mm_setzero_ps()),
        last);
    __m128i column = _mm_cvttps_epi32(x);
    const __m128 fraction = _mm_sub_ps(x, _mm_cvtepi32_ps(column));
    __m128i wx = _mm_cvttps_epi32(_mm_add_ps(_mm_mul_ps(fraction, _mm_set1_ps(256.0f)), _mm_set1_ps(0.5f)));
    // A point on the last column has weight 0 across; reading it as the right texel of the pair
    // before it, at full weight, gives the same sum without reading past the row.
    const __m128i onLast = _mm_cmpeq_epi32(column, lastColumn);
    column = _mm_add_epi32(column, onLast);
    wx = _mm_or_si128(wx, _mm_and_si128(onLast, full));
    // Points 0, 2, 1, 3, so unpacking the low and high halves gives points 0, 1 and 2, 3. Plain
    // loads: gathers are slow where microcode guards them.
    alignas(16) int32_t at4[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(at4), _mm_slli_epi32(column, 2));
    const __m256i t =
        _mm256_setr_epi64x(load(row0, at4[0]), load(row0, at4[2]), load(row0, at4[1]), load(row0, at4[3]));
    const __m256i b =
        _mm256_setr_epi64x(load(row1, at4[0]), load(row1, at4[2]), load(row1, at4[1]), load(row1, at4[3]));
    const __m256i weights = _mm256_castsi128_si256(_mm_or_si128(_mm_sub_epi32(full, wx), _mm_slli_epi32(wx, 16)));
    const __m256i down01 = _mm256_srli_epi16(
        _mm256_add_epi16(_mm256_mullo_epi16(_mm256_unpacklo_epi8(t, zero), topWeight),
                         _mm256_mullo_epi16(_mm256_unpacklo_epi8(b, zero), bottomWeight)),
        1);
    const __m256i down23 = _mm256_srli_epi16(
        _mm256_add_epi16(_mm256_mullo_epi16(_mm256_unpackhi_epi8(t, zero), topWeight),
                         _mm256_mullo_epi16(_mm256_unpackhi_epi8(b, zero), bottomWeight)),
        1);
    const __m256 first = _mm256_mul_ps(
        _mm256_cvtepi32_ps(_mm256_madd_epi16(_mm256_shuffle_epi8(down01, pairs),
                                             _mm256_permutevar8x32_epi32(weights, firstTwo))),
        scale);
    const __m256 second = _mm256_mul_ps(
        _mm256_cvtepi32_ps(_mm256_madd_epi16(_mm256_shuffle_epi8(down23, pairs),
                                             _mm256_permutevar8x32_epi32(weights, lastTwo))),
        scale);
    float* out = rgba + size_t(base) * 4;
    if (end - base >= 4) {
      _mm256_storeu_ps(out, first);
      _mm256_storeu_ps(out + 8, second);
    } else {
      alignas(32) float tail[16];
      _mm256_store_ps(tail, first);
      _mm256_store_ps(tail + 8, second);
      std::memcpy(out, tail, size_t(end - base) * 4 * sizeof(float));
    }
  }
}

bool HasAvx2() {
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
}

}  // namespace
#endif

void TextureSampler::SampleRow(float u, float du, float v, uint32_t begin, uint32_t end, float* rgba) const {
#if defined(__SSE2__)
  const bool fast = Valid() && (static_cast<uint32_t>(m_desc.filter) & 0x04u) != 0 &&
                    m_desc.addressU == TextureAddressMode::Clamp && m_desc.addressV == TextureAddressMode::Clamp &&
                    std::isfinite(u) && std::isfinite(du) && !software::ReferencePaths();
  if (fast) {
    const int32_t w = static_cast<int32_t>(m_pixels.width), h = static_cast<int32_t>(m_pixels.height);
    const float fw = float(w), fh = float(h);
    // Holding a point between the outer texel centres reads what clamped addressing reads.
    const float y = std::clamp(Tame(v * fh) - 0.5f, 0.0f, fh - 1.0f);
    const auto y0 = int32_t(y), wy = int32_t((y - float(y0)) * 256.0f + 0.5f);
    const uint8_t* row0 = m_pixels.data + size_t(y0) * m_pixels.rowPitch;
    const uint8_t* row1 = m_pixels.data + size_t(std::min(y0 + 1, h - 1)) * m_pixels.rowPitch;
#if defined(__x86_64__)
    if (w >= 2 && HasAvx2()) {
      // The camera is seldom in cache after a frame copy: ask for the span's lines of both rows
      // at once rather than missing on each in turn.
      const auto column = [&](uint32_t i) {
        return std::clamp(int32_t(std::clamp((u + float(i) * du) * fw, 0.0f, fw)), 0, w - 1);
      };
      if (begin < end) {
        // By value: std::minmax of two temporaries would hand back references to them.
        const int32_t first = column(begin), last = column(end - 1);
        const int32_t from = std::min(first, last), to = std::max(first, last);
        for (int32_t x = from & ~15; x <= std::min(to + 1, w - 1); x += 16) {
          _mm_prefetch(reinterpret_cast<const char*>(row0 + size_t(x) * 4), _MM_HINT_T0);
          _mm_prefetch(reinterpret_cast<const char*>(row1 + size_t(x) * 4), _MM_HINT_T0);
        }
      }
      LinearRowAvx2(row0, row1, w, wy, m_bgra, u, du, begin, end, rgba);
      return;
    }
#endif
    const __m128i topWeight = _mm_set1_epi16(int16_t(256 - wy)), bottomWeight = _mm_set1_epi16(int16_t(wy));
    const auto pair = [](const uint8_t* row, size_t left, size_t right) {
      int32_t a, b;
      std::memcpy(&a, row + left, 4);
      std::memcpy(&b, row + right, 4);
      return _mm_unpacklo_epi8(_mm_unpacklo_epi32(_mm_cvtsi32_si128(a), _mm_cvtsi32_si128(b)), _mm_setzero_si128());
    };
    // Positions four at a time, in the same float steps as Sample takes them one by one.
    const __m128 lanes = _mm_setr_ps(0.0f, 1.0f, 2.0f, 3.0f), last = _mm_set1_ps(fw - 1.0f);
    alignas(16) int32_t columns[4], weights[4];
    for (uint32_t base = begin; base < end; base += 4) {
      const __m128 at = _mm_add_ps(_mm_set1_ps(float(base)), lanes);
      const __m128 x = _mm_min_ps(
          _mm_max_ps(_mm_sub_ps(_mm_mul_ps(_mm_add_ps(_mm_set1_ps(u), _mm_mul_ps(at, _mm_set1_ps(du))),
                                           _mm_set1_ps(fw)),
                                _mm_set1_ps(0.5f)),
                     _mm_setzero_ps()),
          last);
      const __m128i x0 = _mm_cvttps_epi32(x);
      const __m128 fraction = _mm_sub_ps(x, _mm_cvtepi32_ps(x0));
      _mm_store_si128(reinterpret_cast<__m128i*>(columns), x0);
      _mm_store_si128(reinterpret_cast<__m128i*>(weights),
                      _mm_cvttps_epi32(_mm_add_ps(_mm_mul_ps(fraction, _mm_set1_ps(256.0f)), _mm_set1_ps(0.5f))));
      for (uint32_t j = 0; j < 4 && base + j < end; ++j) {
        const int32_t wx = weights[j];
        const size_t left = size_t(columns[j]) * 4, right = size_t(std::min(columns[j] + 1, w - 1)) * 4;
        const __m128i down = _mm_srli_epi16(_mm_add_epi16(_mm_mullo_epi16(pair(row0, left, right), topWeight),
                                                          _mm_mullo_epi16(pair(row1, left, right), bottomWeight)),
                                            1);
        const __m128i across = _mm_madd_epi16(_mm_unpacklo_epi16(down, _mm_srli_si128(down, 8)),
                                              _mm_set1_epi32(int32_t(uint32_t(256 - wx) | uint32_t(wx) << 16)));
        __m128 texel = _mm_mul_ps(_mm_cvtepi32_ps(across), _mm_set1_ps(kLinearScale));
        if (m_bgra) texel = _mm_shuffle_ps(texel, texel, _MM_SHUFFLE(3, 0, 1, 2));
        _mm_storeu_ps(rgba + size_t(base + j) * 4, texel);
      }
    }
    return;
  }
#endif
  for (uint32_t i = begin; i < end; ++i) Sample(u + float(i) * du, v, rgba + size_t(i) * 4);
}

namespace detail {

std::shared_ptr<const AnyKernel> FindKernel(std::string_view sourceName, std::string_view entry,
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
