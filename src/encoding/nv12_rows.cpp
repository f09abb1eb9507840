#include "encoding/nv12_rows.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace kalto::nv12 {
namespace {

// Exact values in integers: Y = 16 + floor((73 N + 425,000) / 850,000) with N = 2126 R + 7152 G +
// 722 B (8-bit channels), which is 16 + 219 N / 2,550,000 rounded half up; and chroma =
// floor((14 M + 81,918,750) / 637,500), which is 128 + 224 M / 10,200,000 rounded half up, with M
// the weighted 2x2 sums (-1146 R - 3854 G + 5000 B for U). The quotient is estimated in single
// precision (off by at most one) and corrected from the integer remainder, so every lane stays
// 32 bits wide for the vectoriser and the result is exact.
constexpr int32_t kLumaDivisor = 850000;
constexpr int32_t kChromaDivisor = 637500;

inline int32_t DivideExactly(int32_t numerator, int32_t divisor) {
  int32_t q = static_cast<int32_t>(static_cast<float>(numerator) * (1.0f / static_cast<float>(divisor)));
  const int32_t remainder = numerator - q * divisor;
  q += static_cast<int32_t>(remainder >= divisor) - static_cast<int32_t>(remainder < 0);
  return q;
}

inline uint8_t LumaOf(int32_t r, int32_t g, int32_t b) {
  return static_cast<uint8_t>(16 + DivideExactly(155198 * r + 522096 * g + 52706 * b + 425000, kLumaDivisor));
}
inline uint8_t UOf(int32_t rs, int32_t gs, int32_t bs) {
  return static_cast<uint8_t>(DivideExactly(-16044 * rs - 53956 * gs + 70000 * bs + 81918750, kChromaDivisor));
}
inline uint8_t VOf(int32_t rs, int32_t gs, int32_t bs) {
  return static_cast<uint8_t>(DivideExactly(70000 * rs - 63588 * gs - 6412 * bs + 81918750, kChromaDivisor));
}

}  // namespace

uint8_t Luma(uint32_t r, uint32_t g, uint32_t b) {
  return LumaOf(int32_t(r), int32_t(g), int32_t(b));
}
uint8_t ChromaU(uint32_t rSum, uint32_t gSum, uint32_t bSum) {
  return UOf(int32_t(rSum), int32_t(gSum), int32_t(bSum));
}
uint8_t ChromaV(uint32_t rSum, uint32_t gSum, uint32_t bSum) {
  return VOf(int32_t(rSum), int32_t(gSum), int32_t(bSum));
}

namespace {

// The portable rows: straight-line lane arithmetic the vectoriser handles.
void LumaRowGeneric(const uint32_t* __restrict bgra, uint8_t* __restrict luma, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t p = bgra[i];
    luma[i] = LumaOf(int32_t((p >> 16) & 0xFF), int32_t((p >> 8) & 0xFF), int32_t(p & 0xFF));
  }
}

void ChromaRowGeneric(const uint32_t* __restrict row0, const uint32_t* __restrict row1, uint16_t* __restrict uv,
                      uint32_t blocks) {
  for (uint32_t i = 0; i < blocks; ++i) {
    const uint32_t a = row0[2 * i], b = row0[2 * i + 1], c = row1[2 * i], d = row1[2 * i + 1];
    // Blue and red summed side by side in 16-bit halves (at most 1020 each).
    const uint32_t br = (a & 0x00FF00FFu) + (b & 0x00FF00FFu) + (c & 0x00FF00FFu) + (d & 0x00FF00FFu);
    const int32_t gs = int32_t(((a >> 8) & 0xFF) + ((b >> 8) & 0xFF) + ((c >> 8) & 0xFF) + ((d >> 8) & 0xFF));
    const int32_t bs = int32_t(br & 0xFFFF);
    const int32_t rs = int32_t(br >> 16);
    uv[i] = uint16_t(UOf(rs, gs, bs) | (uint32_t(VOf(rs, gs, bs)) << 8));
  }
}

#if defined(__x86_64__)
#define KALTO_AVX2 __attribute__((target("avx2")))

// Two 16-bit coefficients for pmaddwd: `low` weighs the low half of each 32-bit lane.
constexpr int32_t Pair(int32_t low, int32_t high) {
  return int32_t((uint32_t(uint16_t(int16_t(high))) << 16) | uint16_t(int16_t(low)));
}

KALTO_AVX2 inline __m256i Load8(const uint32_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }

// DivideExactly on eight lanes.
KALTO_AVX2 inline __m256i DivideExactly8(__m256i numerator, int32_t divisor) {
  const __m256 inverse = _mm256_set1_ps(1.0f / static_cast<float>(divisor));
  __m256i q = _mm256_cvttps_epi32(_mm256_mul_ps(_mm256_cvtepi32_ps(numerator), inverse));
  const __m256i remainder = _mm256_sub_epi32(numerator, _mm256_mullo_epi32(q, _mm256_set1_epi32(divisor)));
  q = _mm256_sub_epi32(q, _mm256_cmpgt_epi32(remainder, _mm256_set1_epi32(divisor - 1)));  // mask is -1
  return _mm256_add_epi32(q, _mm256_cmpgt_epi32(_mm256_setzero_si256(), remainder));
}

// Eight pixels' luma as 32-bit lanes. B and R sit in the 16-bit halves of (p & 0x00FF00FF), G
// and A in those of (p >> 8 & 0x00FF00FF), so two pmaddwd give 2126 R + 7152 G + 722 B.
KALTO_AVX2 inline __m256i Luma8(__m256i p) {
  const __m256i mask = _mm256_set1_epi32(0x00FF00FF);
  const __m256i br = _mm256_and_si256(p, mask);
  const __m256i ga = _mm256_and_si256(_mm256_srli_epi32(p, 8), mask);
  const __m256i n = _mm256_add_epi32(_mm256_madd_epi16(br, _mm256_set1_epi32(Pair(722, 2126))),
                                     _mm256_madd_epi16(ga, _mm256_set1_epi32(Pair(7152, 0))));
  const __m256i t = _mm256_add_epi32(_mm256_mullo_epi32(n, _mm256_set1_epi32(73)), _mm256_set1_epi32(425000));
  return _mm256_add_epi32(DivideExactly8(t, kLumaDivisor), _mm256_set1_epi32(16));
}

KALTO_AVX2 uint32_t LumaRowAvx2(const uint32_t* bgra, uint8_t* luma, uint32_t count) {
  const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
  uint32_t i = 0;
  for (; i + 32 <= count; i += 32) {
    const __m256i y0 = Luma8(Load8(bgra + i));
    const __m256i y1 = Luma8(Load8(bgra + i + 8));
    const __m256i y2 = Luma8(Load8(bgra + i + 16));
    const __m256i y3 = Luma8(Load8(bgra + i + 24));
    // Packing works within 128-bit halves; the permute puts the 32 bytes back in order.
    const __m256i bytes = _mm256_packus_epi16(_mm256_packs_epi32(y0, y1), _mm256_packs_epi32(y2, y3));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(luma + i), _mm256_permutevar8x32_epi32(bytes, order));
  }
  return i;
}

// Per pixel, the channel bytes at `shift` and shift + 16 of two rows summed in 16-bit halves.
KALTO_AVX2 inline __m256i SumHalves(__m256i x, __m256i y, int shift) {
  const __m256i mask = _mm256_set1_epi32(0x00FF00FF);
  const __m128i count = _mm_cvtsi32_si128(shift);
  return _mm256_add_epi32(_mm256_and_si256(_mm256_srl_epi32(x, count), mask),
                          _mm256_and_si256(_mm256_srl_epi32(y, count), mask));
}

// Eight blocks' chroma (U | V << 8 in 32-bit lanes) from 16 pixels of each of two rows.
KALTO_AVX2 inline __m256i Chroma8(const uint32_t* row0, const uint32_t* row1) {
  const __m256i a0 = Load8(row0), a1 = Load8(row0 + 8), b0 = Load8(row1), b1 = Load8(row1 + 8);
  // Vertical sums per pixel, then neighbouring pixels added: block sums in block order.
  const __m256i br = _mm256_permute4x64_epi64(_mm256_hadd_epi32(SumHalves(a0, b0, 0), SumHalves(a1, b1, 0)), 0xD8);
  const __m256i ga = _mm256_permute4x64_epi64(_mm256_hadd_epi32(SumHalves(a0, b0, 8), SumHalves(a1, b1, 8)), 0xD8);
  const __m256i fourteen = _mm256_set1_epi32(14), offset = _mm256_set1_epi32(81918750);
  const __m256i mu = _mm256_add_epi32(_mm256_madd_epi16(br, _mm256_set1_epi32(Pair(5000, -1146))),
                                      _mm256_madd_epi16(ga, _mm256_set1_epi32(Pair(-3854, 0))));
  const __m256i mv = _mm256_add_epi32(_mm256_madd_epi16(br, _mm256_set1_epi32(Pair(-458, 5000))),
                                      _mm256_madd_epi16(ga, _mm256_set1_epi32(Pair(-4542, 0))));
  const __m256i u = DivideExactly8(_mm256_add_epi32(_mm256_mullo_epi32(mu, fourteen), offset), kChromaDivisor);
  const __m256i v = DivideExactly8(_mm256_add_epi32(_mm256_mullo_epi32(mv, fourteen), offset), kChromaDivisor);
  return _mm256_or_si256(u, _mm256_slli_epi32(v, 8));
}

KALTO_AVX2 uint32_t ChromaRowAvx2(const uint32_t* row0, const uint32_t* row1, uint16_t* uv, uint32_t blocks) {
  uint32_t i = 0;
  for (; i + 16 <= blocks; i += 16) {
    const __m256i first = Chroma8(row0 + 2 * i, row1 + 2 * i);
    const __m256i second = Chroma8(row0 + 2 * i + 16, row1 + 2 * i + 16);
    const __m256i packed = _mm256_permute4x64_epi64(_mm256_packus_epi32(first, second), 0xD8);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(uv + i), packed);
  }
  return i;
}

bool HasAvx2() {
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
}
#endif

}  // namespace

void LumaRow(const uint32_t* bgra, uint8_t* luma, uint32_t count) {
  uint32_t done = 0;
#if defined(__x86_64__)
  if (HasAvx2()) done = LumaRowAvx2(bgra, luma, count);
#endif
  LumaRowGeneric(bgra + done, luma + done, count - done);
}

void ChromaRow(const uint32_t* row0, const uint32_t* row1, uint16_t* uv, uint32_t blocks) {
  uint32_t done = 0;
#if defined(__x86_64__)
  if (HasAvx2()) done = ChromaRowAvx2(row0, row1, uv, blocks);
#endif
  ChromaRowGeneric(row0 + 2 * done, row1 + 2 * done, uv + done, blocks - done);
}

}  // namespace kalto::nv12
