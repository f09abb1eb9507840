#include "encoding/bgra_image.h"

#include <algorithm>
#include <cstring>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "platform/gpu/gpu_device.h"

namespace kalto::bgra {
namespace {

enum class Kind { Rgb, Nv12, Iyuv, Yv12, Yuy2 };

Kind KindOf(const media::Guid& subtype) {
  if (subtype == media::MFVideoFormat_RGB32 || subtype == media::MFVideoFormat_ARGB32) return Kind::Rgb;
  if (subtype == media::MFVideoFormat_YUY2) return Kind::Yuy2;
  if (subtype == media::MFVideoFormat_IYUV) return Kind::Iyuv;
  if (subtype == media::MFVideoFormat_YV12) return Kind::Yv12;
  return Kind::Nv12;
}

constexpr uint8_t kBlackY = 16;
constexpr uint8_t kBlackC = 128;
constexpr uint32_t kBlackYuy2 = 0x80108010u;  // bytes 16, 128, 16, 128

// ---- Identity rows: whole pixels, written for the vectoriser ---------------------------------
#define KALTO_ROW inline __attribute__((always_inline))

KALTO_ROW uint32_t Channel(uint32_t p, int shift) { return (p >> shift) & 0xFFu; }

KALTO_ROW void LumaRowImpl(const uint32_t* __restrict src, uint8_t* __restrict dst, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t p = src[i];
    dst[i] = Luma(int32_t(Channel(p, 16)), int32_t(Channel(p, 8)), int32_t(Channel(p, 0)));
  }
}

// The bilinear sample at the centre of a 2x2 block weighs each pixel by exactly 0.25 and
// truncates, which is the integer mean rounded down.
struct Mean {
  int32_t r, g, b;
};
KALTO_ROW Mean BlockMean(uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
  // B and R summed side by side in 16-bit halves (at most 1020 each).
  const uint32_t br = (a & 0x00FF00FFu) + (b & 0x00FF00FFu) + (c & 0x00FF00FFu) + (d & 0x00FF00FFu);
  const uint32_t g = Channel(a, 8) + Channel(b, 8) + Channel(c, 8) + Channel(d, 8);
  return {int32_t((br >> 16) >> 2), int32_t(g >> 2), int32_t((br & 0xFFFFu) >> 2)};
}

KALTO_ROW void ChromaRowNv12Impl(const uint32_t* __restrict row0, const uint32_t* __restrict row1,
                                 uint8_t* __restrict uv, uint32_t blocks) {
  for (uint32_t i = 0; i < blocks; ++i) {
    const Mean m = BlockMean(row0[2 * i], row0[2 * i + 1], row1[2 * i], row1[2 * i + 1]);
    // One 16-bit store per pair: the vectoriser handles it, not two interleaved byte stores.
    const auto pair = uint16_t(ChromaU(m.r, m.g, m.b) | uint32_t(ChromaV(m.r, m.g, m.b)) << 8);
    std::memcpy(uv + 2 * size_t(i), &pair, 2);
  }
}

KALTO_ROW void ChromaRowPlanarImpl(const uint32_t* __restrict row0, const uint32_t* __restrict row1,
                                   uint8_t* __restrict u, uint8_t* __restrict v, uint32_t blocks) {
  for (uint32_t i = 0; i < blocks; ++i) {
    const Mean m = BlockMean(row0[2 * i], row0[2 * i + 1], row1[2 * i], row1[2 * i + 1]);
    u[i] = ChromaU(m.r, m.g, m.b);
    v[i] = ChromaV(m.r, m.g, m.b);
  }
}

KALTO_ROW void Yuy2RowImpl(const uint32_t* __restrict src, uint8_t* __restrict dst, uint32_t pairs) {
  for (uint32_t i = 0; i < pairs; ++i) {
    const uint32_t p0 = src[2 * i], p1 = src[2 * i + 1];
    const int32_t r0 = int32_t(Channel(p0, 16)), g0 = int32_t(Channel(p0, 8)), b0 = int32_t(Channel(p0, 0));
    const int32_t r1 = int32_t(Channel(p1, 16)), g1 = int32_t(Channel(p1, 8)), b1 = int32_t(Channel(p1, 0));
    const int32_t r = (r0 + r1) >> 1, g = (g0 + g1) >> 1, b = (b0 + b1) >> 1;
    const uint32_t packed = uint32_t(Luma(r0, g0, b0)) | uint32_t(ChromaU(r, g, b)) << 8 |
                            uint32_t(Luma(r1, g1, b1)) << 16 | uint32_t(ChromaV(r, g, b)) << 24;
    std::memcpy(dst + 4 * size_t(i), &packed, 4);
  }
}

KALTO_ROW void RgbRowImpl(const uint32_t* __restrict src, uint8_t* __restrict dst, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t p = src[i] | 0xFF000000u;
    std::memcpy(dst + 4 * size_t(i), &p, 4);
  }
}

struct RowFunctions {
  void (*luma)(const uint32_t*, uint8_t*, uint32_t);
  void (*chromaNv12)(const uint32_t*, const uint32_t*, uint8_t*, uint32_t);
  void (*chromaPlanar)(const uint32_t*, const uint32_t*, uint8_t*, uint8_t*, uint32_t);
  void (*yuy2)(const uint32_t*, uint8_t*, uint32_t);
  void (*rgb)(const uint32_t*, uint8_t*, uint32_t);
};

// The same rows compiled for the baseline and for AVX2, chosen once by what the CPU has.
#define KALTO_DEFINE_ROWS(ATTR, NAME)                                                                            \
  ATTR void NAME##Luma(const uint32_t* s, uint8_t* d, uint32_t n) { LumaRowImpl(s, d, n); }                      \
  ATTR void NAME##Nv12(const uint32_t* a, const uint32_t* b, uint8_t* uv, uint32_t n) {                          \
    ChromaRowNv12Impl(a, b, uv, n);                                                                              \
  }                                                                                                              \
  ATTR void NAME##Planar(const uint32_t* a, const uint32_t* b, uint8_t* u, uint8_t* v, uint32_t n) {             \
    ChromaRowPlanarImpl(a, b, u, v, n);                                                                          \
  }                                                                                                              \
  ATTR void NAME##Yuy2(const uint32_t* s, uint8_t* d, uint32_t n) { Yuy2RowImpl(s, d, n); }                      \
  ATTR void NAME##Rgb(const uint32_t* s, uint8_t* d, uint32_t n) { RgbRowImpl(s, d, n); }                        \
  constexpr RowFunctions k##NAME##Rows{NAME##Luma, NAME##Nv12, NAME##Planar, NAME##Yuy2, NAME##Rgb};

KALTO_DEFINE_ROWS(, Base)
#if defined(__x86_64__)
KALTO_DEFINE_ROWS(__attribute__((target("avx2"))), Avx2Auto)

// The compiler does not vectorise the matrix well (weights beyond 16 bits, chroma from pixel
// pairs), so the two NV12 rows are written by hand. Same integer sums as Luma, ChromaU and
// ChromaV, so the bytes are identical; the tail goes through the plain rows.
#define KALTO_AVX2 __attribute__((target("avx2"))) inline

// Eight BGRA pixels to eight 32-bit lumas. G's weight does not fit 16 bits, so G goes in twice:
// each pixel becomes (b, g, g, r) and madd sums b*4064 + g*20127 and g*20127 + r*11966.
KALTO_AVX2 __m256i Avx2Luma8(__m256i px) {
  const __m256i lo = _mm256_setr_epi8(0, -1, 1, -1, 1, -1, 2, -1, 4, -1, 5, -1, 5, -1, 6, -1,
                                      0, -1, 1, -1, 1, -1, 2, -1, 4, -1, 5, -1, 5, -1, 6, -1);
  const __m256i hi = _mm256_setr_epi8(8, -1, 9, -1, 9, -1, 10, -1, 12, -1, 13, -1, 13, -1, 14, -1,
                                      8, -1, 9, -1, 9, -1, 10, -1, 12, -1, 13, -1, 13, -1, 14, -1);
  const __m256i weights = _mm256_setr_epi16(4064, 20127, 20127, 11966, 4064, 20127, 20127, 11966,
                                            4064, 20127, 20127, 11966, 4064, 20127, 20127, 11966);
  const __m256i a = _mm256_madd_epi16(_mm256_shuffle_epi8(px, lo), weights);
  const __m256i b = _mm256_madd_epi16(_mm256_shuffle_epi8(px, hi), weights);
  const __m256i sum = _mm256_hadd_epi32(a, b);  // pixels 0-3 per lane, in order
  return _mm256_add_epi32(_mm256_srai_epi32(_mm256_add_epi32(sum, _mm256_set1_epi32(32768)), 16),
                          _mm256_set1_epi32(16));
}

// Sixteen 32-bit values (a: 0-7, b: 8-15), each 0..255, to sixteen bytes in order.
KALTO_AVX2 __m128i Avx2Narrow16(__m256i a, __m256i b) {
  const __m256i words = _mm256_permute4x64_epi64(_mm256_packs_epi32(a, b), 0xD8);
  const __m256i bytes = _mm256_permute4x64_epi64(_mm256_packus_epi16(words, words), 0xD8);
  return _mm256_castsi256_si128(bytes);
}

__attribute__((target("avx2"))) void Avx2Luma(const uint32_t* src, uint8_t* dst, uint32_t count) {
  uint32_t i = 0;
  for (; i + 16 <= count; i += 16) {
    const __m256i a = Avx2Luma8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i)));
    const __m256i b = Avx2Luma8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i + 8)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), Avx2Narrow16(a, b));
  }
  LumaRowImpl(src + i, dst + i, count - i);
}

// Four 2x2 blocks (eight pixels of each row) to their means as 16-bit (b, g, r, a) per block.
KALTO_AVX2 __m256i Avx2BlockMeans(const uint32_t* row0, const uint32_t* row1) {
  // Each pixel pair's channels side by side, then summed by maddubs with ones.
  const __m256i pairs = _mm256_setr_epi8(0, 4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15,
                                         0, 4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15);
  const __m256i ones = _mm256_set1_epi8(1);
  const __m256i a = _mm256_maddubs_epi16(
      _mm256_shuffle_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(row0)), pairs), ones);
  const __m256i b = _mm256_maddubs_epi16(
      _mm256_shuffle_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(row1)), pairs), ones);
  return _mm256_srli_epi16(_mm256_add_epi16(a, b), 2);
}

// Four block means to U0 V0 U1 V1 | U2 V2 U3 V3 as 32-bit values.
KALTO_AVX2 __m256i Avx2Chroma4(__m256i means) {
  const __m256i uWeights = _mm256_setr_epi16(28784, -22187, -6597, 0, 28784, -22187, -6597, 0,
                                             28784, -22187, -6597, 0, 28784, -22187, -6597, 0);
  const __m256i vWeights = _mm256_setr_epi16(-2637, -26147, 28784, 0, -2637, -26147, 28784, 0,
                                             -2637, -26147, 28784, 0, -2637, -26147, 28784, 0);
  // Per lane: U0 U1 V0 V1, then interleaved.
  const __m256i sums = _mm256_hadd_epi32(_mm256_madd_epi16(means, uWeights), _mm256_madd_epi16(means, vWeights));
  const __m256i uv = _mm256_shuffle_epi32(sums, 0xD8);
  return _mm256_add_epi32(_mm256_srai_epi32(_mm256_add_epi32(uv, _mm256_set1_epi32(32768)), 16),
                          _mm256_set1_epi32(128));
}

__attribute__((target("avx2"))) void Avx2Nv12(const uint32_t* row0, const uint32_t* row1, uint8_t* uv,
                                              uint32_t blocks) {
  uint32_t i = 0;
  for (; i + 8 <= blocks; i += 8) {
    const __m256i a = Avx2Chroma4(Avx2BlockMeans(row0 + 2 * i, row1 + 2 * i));
    const __m256i b = Avx2Chroma4(Avx2BlockMeans(row0 + 2 * i + 8, row1 + 2 * i + 8));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(uv + 2 * size_t(i)), Avx2Narrow16(a, b));
  }
  ChromaRowNv12Impl(row0 + 2 * i, row1 + 2 * i, uv + 2 * size_t(i), blocks - i);
}

constexpr RowFunctions kAvx2Rows{Avx2Luma, Avx2Nv12, Avx2AutoPlanar, Avx2AutoYuy2, Avx2AutoRgb};
#endif

const RowFunctions& Rows() {
#if defined(__x86_64__)
  static const RowFunctions& rows = __builtin_cpu_supports("avx2") ? kAvx2Rows : kBaseRows;
  return rows;
#else
  return kBaseRows;
#endif
}

// ---- Bilinear sampling for scaled pictures ---------------------------------------------------
// The two source pixels around a position and their weights (1 - f, f), single precision.
struct Taps {
  uint32_t i0 = 0, i1 = 0;
  float w0 = 1.0f, w1 = 0.0f;
};

Taps TapsAt(float position, uint32_t size) {
  position = std::min(std::max(position, 0.0f), float(size - 1));
  Taps taps;
  taps.i0 = uint32_t(position);
  const float f = position - float(taps.i0);
  taps.i1 = std::min(taps.i0 + 1, size - 1);
  taps.w0 = 1.0f - f;
  taps.w1 = f;
  return taps;
}

struct Source {
  const uint8_t* data;
  uint32_t pitch, width, height;
  const uint32_t* Row(uint32_t y) const { return reinterpret_cast<const uint32_t*>(data + size_t(y) * pitch); }
  const uint8_t* Pixel(uint32_t x, uint32_t y) const { return data + size_t(y) * pitch + size_t(x) * 4; }
};

// Each channel p00 (1 - fx)(1 - fy) + p10 fx (1 - fy) + p01 (1 - fx) fy + p11 fx fy, evaluated in
// that order and truncated.
Mean Sample(const Source& s, const Taps& tx, const Taps& ty) {
  const uint8_t* p00 = s.Pixel(tx.i0, ty.i0);
  const uint8_t* p10 = s.Pixel(tx.i1, ty.i0);
  const uint8_t* p01 = s.Pixel(tx.i0, ty.i1);
  const uint8_t* p11 = s.Pixel(tx.i1, ty.i1);
  int32_t c[3];
  for (int k = 0; k < 3; ++k) {
    const float v = float(p00[k]) * tx.w0 * ty.w0 + float(p10[k]) * tx.w1 * ty.w0 + float(p01[k]) * tx.w0 * ty.w1 +
                    float(p11[k]) * tx.w1 * ty.w1;
    c[k] = int32_t(v);
  }
  return {c[2], c[1], c[0]};
}

// ---- Frame assembly --------------------------------------------------------------------------
struct Job {
  Source src;
  uint8_t* target;
  uint32_t wt, ht;
  Kind kind;
  Layout layout;
  std::vector<Taps> lumaColumns;    // per content column c: c x sx
  std::vector<Taps> chromaColumns;  // per block column i: (2i + 0.5) x sx
};

void FillBytes(uint8_t* dst, uint8_t value, size_t count) {
  if (count > 0) std::memset(dst, value, count);
}
void FillYuy2(uint8_t* dst, size_t pairs) {
  for (size_t i = 0; i < pairs; ++i) std::memcpy(dst + 4 * i, &kBlackYuy2, 4);
}

void ScaledLumaRow(const Job& job, uint32_t r, uint8_t* dst) {
  const Taps ty = TapsAt(float(r) * job.layout.sy, job.src.height);
  for (uint32_t c = 0; c < job.layout.contentWidth; ++c) {
    const Mean m = Sample(job.src, job.lumaColumns[c], ty);
    dst[c] = Luma(m.r, m.g, m.b);
  }
}

// Block row j's chroma; `step` is 2 for interleaved U, V and 1 for separate planes.
void ScaledChromaRow(const Job& job, uint32_t j, uint8_t* u, uint8_t* v, uint32_t step) {
  const Taps ty = TapsAt((float(2 * j) + 0.5f) * job.layout.sy, job.src.height);
  for (uint32_t i = 0; i < job.layout.contentWidth / 2; ++i) {
    const Mean m = Sample(job.src, job.chromaColumns[i], ty);
    u[size_t(i) * step] = ChromaU(m.r, m.g, m.b);
    v[size_t(i) * step] = ChromaV(m.r, m.g, m.b);
  }
}

// Target row pairs [begin, end) of a planar frame with their chroma rows.
void PlanarPairs(const Job& job, uint32_t begin, uint32_t end) {
  const Layout& l = job.layout;
  const RowFunctions& rows = Rows();
  const uint32_t wt = job.wt, halfW = wt / 2;
  uint8_t* const lumaPlane = job.target;
  uint8_t* const chromaPlane = job.target + size_t(wt) * job.ht;
  const size_t quarter = size_t(halfW) * (job.ht / 2);
  const bool nv12 = job.kind == Kind::Nv12;
  // IYUV keeps U first, YV12 V first.
  uint8_t* const uPlane = job.kind == Kind::Yv12 ? chromaPlane + quarter : chromaPlane;
  uint8_t* const vPlane = job.kind == Kind::Yv12 ? chromaPlane : chromaPlane + quarter;
  const uint32_t firstPair = l.y0 / 2, pairCount = l.contentHeight / 2;
  const uint32_t right = l.x0 + l.contentWidth;

  for (uint32_t t = begin; t < end; ++t) {
    uint8_t* y0Row = lumaPlane + size_t(2 * t) * wt;
    uint8_t* y1Row = y0Row + wt;
    uint8_t* uvRow = chromaPlane + size_t(t) * wt;
    uint8_t* uRow = uPlane + size_t(t) * halfW;
    uint8_t* vRow = vPlane + size_t(t) * halfW;
    if (t < firstPair || t >= firstPair + pairCount) {
      FillBytes(y0Row, kBlackY, size_t(wt) * 2);
      if (nv12) {
        FillBytes(uvRow, kBlackC, wt);
      } else {
        FillBytes(uRow, kBlackC, halfW);
        FillBytes(vRow, kBlackC, halfW);
      }
      continue;
    }
    for (uint8_t* row : {y0Row, y1Row}) {
      FillBytes(row, kBlackY, l.x0);
      FillBytes(row + right, kBlackY, wt - right);
    }
    if (nv12) {
      FillBytes(uvRow, kBlackC, l.x0);
      FillBytes(uvRow + right, kBlackC, wt - right);
    } else {
      for (uint8_t* row : {uRow, vRow}) {
        FillBytes(row, kBlackC, l.x0 / 2);
        FillBytes(row + right / 2, kBlackC, halfW - right / 2);
      }
    }
    const uint32_t j = t - firstPair;
    if (l.identity) {
      const uint32_t* s0 = job.src.Row(2 * j);
      const uint32_t* s1 = job.src.Row(2 * j + 1);
      rows.luma(s0, y0Row + l.x0, l.contentWidth);
      rows.luma(s1, y1Row + l.x0, l.contentWidth);
      if (nv12) {
        rows.chromaNv12(s0, s1, uvRow + l.x0, l.contentWidth / 2);
      } else {
        rows.chromaPlanar(s0, s1, uRow + l.x0 / 2, vRow + l.x0 / 2, l.contentWidth / 2);
      }
    } else {
      ScaledLumaRow(job, 2 * j, y0Row + l.x0);
      ScaledLumaRow(job, 2 * j + 1, y1Row + l.x0);
      if (nv12) {
        ScaledChromaRow(job, j, uvRow + l.x0, uvRow + l.x0 + 1, 2);
      } else {
        ScaledChromaRow(job, j, uRow + l.x0 / 2, vRow + l.x0 / 2, 1);
      }
    }
  }
}

// Target rows [begin, end) of a packed frame (YUY2 or RGB32/ARGB32).
void PackedRows(const Job& job, uint32_t begin, uint32_t end) {
  const Layout& l = job.layout;
  const RowFunctions& rows = Rows();
  const bool yuy2 = job.kind == Kind::Yuy2;
  const uint32_t bpp = yuy2 ? 2 : 4;
  const size_t rowBytes = size_t(job.wt) * bpp;
  const uint32_t right = l.x0 + l.contentWidth;
  // Black: YUY2's (16, 128) pairs, RGB's zero bytes; margins are whole pixel pairs (x0 is even).
  auto fill = [&](uint8_t* dst, uint32_t pixels) {
    if (yuy2) {
      FillYuy2(dst, pixels / 2);
    } else {
      FillBytes(dst, 0, size_t(pixels) * 4);
    }
  };
  for (uint32_t t = begin; t < end; ++t) {
    uint8_t* row = job.target + t * rowBytes;
    if (t < l.y0 || t >= l.y0 + l.contentHeight) {
      fill(row, job.wt);
      continue;
    }
    fill(row, l.x0);
    fill(row + size_t(right) * bpp, job.wt - right);
    uint8_t* dst = row + size_t(l.x0) * bpp;
    const uint32_t r = t - l.y0;
    if (l.identity) {
      if (yuy2) {
        rows.yuy2(job.src.Row(r), dst, l.contentWidth / 2);
      } else {
        rows.rgb(job.src.Row(r), dst, l.contentWidth);
      }
      continue;
    }
    const Taps ty = TapsAt(float(r) * l.sy, job.src.height);
    if (yuy2) {
      for (uint32_t i = 0; i < l.contentWidth / 2; ++i) {
        const Mean a = Sample(job.src, job.lumaColumns[2 * i], ty);
        const Mean b = Sample(job.src, job.lumaColumns[2 * i + 1], ty);
        const int32_t rr = (a.r + b.r) >> 1, gg = (a.g + b.g) >> 1, bb = (a.b + b.b) >> 1;
        dst[4 * i] = Luma(a.r, a.g, a.b);
        dst[4 * i + 1] = ChromaU(rr, gg, bb);
        dst[4 * i + 2] = Luma(b.r, b.g, b.b);
        dst[4 * i + 3] = ChromaV(rr, gg, bb);
      }
    } else {
      for (uint32_t c = 0; c < l.contentWidth; ++c) {
        const Mean m = Sample(job.src, job.lumaColumns[c], ty);
        const uint8_t px[4] = {uint8_t(m.b), uint8_t(m.g), uint8_t(m.r), 255};
        std::memcpy(dst + 4 * size_t(c), px, 4);
      }
    }
  }
}

}  // namespace

Layout ComputeLayout(uint32_t sourceWidth, uint32_t sourceHeight, uint32_t targetWidth, uint32_t targetHeight) {
  Layout l;
  if (sourceWidth == 0 || sourceHeight == 0) return l;
  // Single precision and truncation, then everything even so chroma blocks stay whole.
  const float sourceAspect = float(sourceWidth) / float(sourceHeight);
  const float targetAspect = float(targetWidth) / float(targetHeight);
  uint32_t wc, hc, x0, y0;
  if (sourceAspect > targetAspect) {
    wc = targetWidth;
    hc = uint32_t(float(targetWidth) / sourceAspect);
    x0 = 0;
    y0 = (targetHeight - hc) >> 1;
  } else {
    hc = targetHeight;
    wc = uint32_t(float(targetHeight) * sourceAspect);
    x0 = (targetWidth - wc) >> 1;
    y0 = 0;
  }
  l.contentWidth = wc & ~1u;
  l.contentHeight = hc & ~1u;
  l.x0 = x0 & ~1u;
  l.y0 = y0 & ~1u;
  l.sx = float(sourceWidth) / float(l.contentWidth);
  l.sy = float(sourceHeight) / float(l.contentHeight);
  l.identity = l.contentWidth == sourceWidth && l.contentHeight == sourceHeight;
  return l;
}

size_t FrameBytes(const media::Guid& subtype, uint32_t width, uint32_t height) {
  const size_t pixels = size_t(width) * height;
  switch (KindOf(subtype)) {
    case Kind::Rgb:
      return pixels * 4;
    case Kind::Yuy2:
      return pixels * 2;
    default:
      return pixels * 3 / 2;
  }
}

void ConvertBgraImage(const uint8_t* source, uint32_t sourcePitch, uint32_t sourceWidth, uint32_t sourceHeight,
                      uint8_t* target, uint32_t targetWidth, uint32_t targetHeight, const media::Guid& subtype) {
  if (target == nullptr || targetWidth == 0 || targetHeight == 0) return;
  Job job{{source, sourcePitch, sourceWidth, sourceHeight}, target, targetWidth, targetHeight, KindOf(subtype), {}, {}, {}};
  // Without a picture the frame is all black.
  if (source != nullptr) job.layout = ComputeLayout(sourceWidth, sourceHeight, targetWidth, targetHeight);
  const Layout& l = job.layout;
  if (!l.identity && l.contentWidth > 0 && l.contentHeight > 0) {
    job.lumaColumns.resize(l.contentWidth);
    for (uint32_t c = 0; c < l.contentWidth; ++c) job.lumaColumns[c] = TapsAt(float(c) * l.sx, sourceWidth);
    job.chromaColumns.resize(l.contentWidth / 2);
    for (uint32_t i = 0; i < l.contentWidth / 2; ++i) {
      job.chromaColumns[i] = TapsAt((float(2 * i) + 0.5f) * l.sx, sourceWidth);
    }
  }
  if (job.kind == Kind::Rgb || job.kind == Kind::Yuy2) {
    gpu::ParallelFor(targetHeight, [&job](uint32_t begin, uint32_t end) { PackedRows(job, begin, end); });
  } else {
    gpu::ParallelFor(targetHeight / 2, [&job](uint32_t begin, uint32_t end) { PlanarPairs(job, begin, end); });
  }
}

}  // namespace kalto::bgra
