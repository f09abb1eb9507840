#include "platform/gpu/software/rasterizer.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "platform/gpu/software/software_device.h"

namespace kalto::gpu::software::raster {
namespace {

// Vertex positions snap to 1/256 of a pixel, so coverage is decided in exact integer arithmetic.
constexpr int64_t kSubpixel = 256;
constexpr double kMaxCoordinate = 1 << 20;
// Triangles set up before one pass over their rows, so one draw wakes the workers once.
constexpr uint32_t kBatch = 32;
// Pixels per pixel-kernel call: the scratch colours stay on the stack.
constexpr uint32_t kChunk = PixelSpan::kMaxCount;
// Below this many candidate pixels a draw costs less than waking the workers.
constexpr uint64_t kParallelPixels = 8192;

int64_t FloorDiv(int64_t a, int64_t b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }
int64_t CeilDiv(int64_t a, int64_t b) { return -FloorDiv(-a, b); }

// E(p) = a * px + b * py + c over sub-pixel coordinates, non-negative where a pixel centre is
// covered; c carries the fill rule's -1 for edges that are neither top nor left.
struct Edge {
  int64_t a = 0, b = 0, c = 0;
};

// A value linear in screen space: at (x, y) it is at + dx * x + dy * y (pixel units).
struct Plane {
  double at = 0, dx = 0, dy = 0;
  double Value(double x, double y) const { return at + dx * x + dy * y; }
};

struct Triangle {
  Edge edges[3];
  int32_t xBegin = 0, xEnd = 0, yBegin = 0, yEnd = 0;
  uint32_t varyingCount = 0;
  Plane varyings[kMaxVaryings];
  float ddx[kMaxVaryings] = {};
  float ddy[kMaxVaryings] = {};
  bool depthClip = false;
  Plane depth;
};

// Plane through three values at three screen points; `det` is twice the signed area.
Plane PlaneThrough(const double (&x)[3], const double (&y)[3], const double (&v)[3], double det) {
  const double d1 = v[1] - v[0], d2 = v[2] - v[0];
  Plane plane;
  plane.dx = (d1 * (y[2] - y[0]) - d2 * (y[1] - y[0])) / det;
  plane.dy = (d2 * (x[1] - x[0]) - d1 * (x[2] - x[0])) / det;
  plane.at = v[0] - plane.dx * x[0] - plane.dy * y[0];
  return plane;
}

bool Setup(const DrawCall& call, const VertexOutput* const (&v)[3], uint32_t varyingCount, Triangle& t) {
  const Viewport& vp = call.viewport;
  int64_t fx[3], fy[3];
  double sx[3], sy[3], z[3];
  for (int i = 0; i < 3; ++i) {
    const float* p = v[i]->position;
    if (!(p[3] > 0.0f)) return false;
    const double x = vp.topLeftX + (double(p[0]) / p[3] + 1.0) * 0.5 * vp.width;
    const double y = vp.topLeftY + (1.0 - double(p[1]) / p[3]) * 0.5 * vp.height;
    if (!(std::abs(x) <= kMaxCoordinate && std::abs(y) <= kMaxCoordinate)) return false;
    fx[i] = std::llround(x * kSubpixel);
    fy[i] = std::llround(y * kSubpixel);
    sx[i] = double(fx[i]) / kSubpixel;
    sy[i] = double(fy[i]) / kSubpixel;
    z[i] = double(p[2]) / p[3];
  }
  // Positive when the vertices run clockwise on screen (y grows downwards).
  const int64_t area = (fx[1] - fx[0]) * (fy[2] - fy[0]) - (fy[1] - fy[0]) * (fx[2] - fx[0]);
  if (area == 0) return false;
  const bool front = (area > 0) != call.rasterizer.frontCounterClockwise;
  const CullMode cull = call.rasterizer.cullMode;
  if ((cull == CullMode::Front && front) || (cull == CullMode::Back && !front)) return false;
  const int64_t sign = area > 0 ? 1 : -1;
  for (int i = 0; i < 3; ++i) {
    const int j = (i + 1) % 3;
    const int64_t dx = fx[j] - fx[i], dy = fy[j] - fy[i];
    Edge& e = t.edges[i];
    e.a = -dy * sign;
    e.b = dx * sign;
    e.c = (dy * fx[i] - dx * fy[i]) * sign;
    // The interior lies right of a left edge and below a top edge.
    const bool topLeft = e.a > 0 || (e.a == 0 && e.b > 0);
    if (!topLeft) e.c -= 1;
  }
  // Rows and columns whose centres (k + 0.5) lie within the bounding box, inside the clip.
  const auto first = [](int64_t low) { return CeilDiv(low - kSubpixel / 2, kSubpixel); };
  const auto last = [](int64_t high) { return FloorDiv(high - kSubpixel / 2, kSubpixel) + 1; };
  t.xBegin = int32_t(std::max<int64_t>(call.clip.left, first(std::min({fx[0], fx[1], fx[2]}))));
  t.xEnd = int32_t(std::min<int64_t>(call.clip.right, last(std::max({fx[0], fx[1], fx[2]}))));
  t.yBegin = int32_t(std::max<int64_t>(call.clip.top, first(std::min({fy[0], fy[1], fy[2]}))));
  t.yEnd = int32_t(std::min<int64_t>(call.clip.bottom, last(std::max({fy[0], fy[1], fy[2]}))));
  if (t.xBegin >= t.xEnd || t.yBegin >= t.yEnd) return false;

  const double det = double(area) / double(kSubpixel * kSubpixel);
  t.varyingCount = varyingCount;
  for (uint32_t k = 0; k < varyingCount; ++k) {
    const double values[3] = {v[0]->varyings[k], v[1]->varyings[k], v[2]->varyings[k]};
    t.varyings[k] = PlaneThrough(sx, sy, values, det);
    t.ddx[k] = float(t.varyings[k].dx);
    t.ddy[k] = float(t.varyings[k].dy);
  }
  t.depthClip = call.rasterizer.depthClipEnable;
  if (t.depthClip) t.depth = PlaneThrough(sx, sy, z, det);
  return true;
}

// Narrows [lo, hi] to the columns whose centres in row y keep 0 <= z <= 1.
void ClipDepth(const Plane& depth, int32_t y, int64_t& lo, int64_t& hi) {
  const double z0 = depth.Value(0.5, y + 0.5);
  if (depth.dx == 0.0) {
    if (!(z0 >= 0.0 && z0 <= 1.0)) hi = lo - 1;
    return;
  }
  double a = -z0 / depth.dx, b = (1.0 - z0) / depth.dx;
  if (std::isnan(a) || std::isnan(b)) {
    hi = lo - 1;
    return;
  }
  if (a > b) std::swap(a, b);
  lo = std::max<int64_t>(lo, int64_t(std::clamp(std::ceil(a), -kMaxCoordinate, kMaxCoordinate)));
  hi = std::min<int64_t>(hi, int64_t(std::clamp(std::floor(b), -kMaxCoordinate, kMaxCoordinate)));
}

uint8_t ToUnorm8(float value) {
  // value in [0, 1]: round to nearest, as the UNORM conversion does.
  return static_cast<uint8_t>(value * 255.0f + 0.5f);
}

float Saturate(float value) { return value > 0.0f ? std::min(value, 1.0f) : 0.0f; }  // NaN -> 0

float Factor(Blend blend, int c, const float* s, const float* d, const float* k) {
  switch (blend) {
    case Blend::Zero: return 0.0f;
    case Blend::One: return 1.0f;
    case Blend::SrcColor: return s[c];
    case Blend::InvSrcColor: return 1.0f - s[c];
    case Blend::SrcAlpha: return s[3];
    case Blend::InvSrcAlpha: return 1.0f - s[3];
    case Blend::DestAlpha: return d[3];
    case Blend::InvDestAlpha: return 1.0f - d[3];
    case Blend::DestColor: return d[c];
    case Blend::InvDestColor: return 1.0f - d[c];
    case Blend::SrcAlphaSat: return c == 3 ? 1.0f : std::min(s[3], 1.0f - d[3]);
    case Blend::BlendFactor: return k[c];
    case Blend::InvBlendFactor: return 1.0f - k[c];
  }
  return 0.0f;
}

float Combine(BlendOp op, float src, float srcFactor, float dst, float dstFactor) {
  switch (op) {
    case BlendOp::Add: return src * srcFactor + dst * dstFactor;
    case BlendOp::Subtract: return src * srcFactor - dst * dstFactor;
    case BlendOp::RevSubtract: return dst * dstFactor - src * srcFactor;
    case BlendOp::Min: return std::min(src, dst);
    case BlendOp::Max: return std::max(src, dst);
  }
  return src;
}

// Four channels in 0..1 rounded to UNORM bytes, in the target's order.
#if defined(__SSE2__)
void StoreUnorm(__m128 rgba, bool bgra, uint8_t* p) {
  __m128 v = _mm_add_ps(_mm_mul_ps(rgba, _mm_set1_ps(255.0f)), _mm_set1_ps(0.5f));
  if (bgra) v = _mm_shuffle_ps(v, v, _MM_SHUFFLE(3, 0, 1, 2));
  const __m128i words = _mm_packs_epi32(_mm_cvttps_epi32(v), _mm_setzero_si128());
  const int32_t bytes = _mm_cvtsi128_si32(_mm_packus_epi16(words, words));
  std::memcpy(p, &bytes, 4);
}
#endif

void StoreUnorm(const float* rgba, bool bgra, uint8_t* p) {
#if defined(__SSE2__)
  StoreUnorm(_mm_loadu_ps(rgba), bgra, p);
#else
  const int red = bgra ? 2 : 0, blue = bgra ? 0 : 2;
  p[red] = ToUnorm8(rgba[0]), p[1] = ToUnorm8(rgba[1]), p[blue] = ToUnorm8(rgba[2]), p[3] = ToUnorm8(rgba[3]);
#endif
}

#if defined(__SSE2__)
// Replace or source-over for a run of pixels, four channels at a time; the same sums, in the same
// order, as the scalar path.
void WriteOver(bool over, bool bgra, uint8_t* row, uint32_t count, const float* rgba) {
  const __m128 zero = _mm_setzero_ps(), one = _mm_set1_ps(1.0f), scale = _mm_set1_ps(1.0f / 255.0f);
  for (uint32_t i = 0; i < count; ++i) {
    // max(NaN, 0) is 0, as the scalar saturate makes it.
    __m128 s = _mm_min_ps(_mm_max_ps(_mm_loadu_ps(rgba + size_t(i) * 4), zero), one);
    uint8_t* p = row + size_t(i) * 4;
    if (over) {
      const float a = _mm_cvtss_f32(_mm_shuffle_ps(s, s, _MM_SHUFFLE(3, 3, 3, 3)));
      if (a <= 0.0f) continue;
      if (a < 1.0f) {
        int32_t bytes;
        std::memcpy(&bytes, p, 4);
        const __m128i zeroes = _mm_setzero_si128();
        const __m128i wide = _mm_unpacklo_epi16(_mm_unpacklo_epi8(_mm_cvtsi32_si128(bytes), zeroes), zeroes);
        __m128 d = _mm_mul_ps(_mm_cvtepi32_ps(wide), scale);
        if (bgra) d = _mm_shuffle_ps(d, d, _MM_SHUFFLE(3, 0, 1, 2));
        const __m128 sourceWeight = _mm_setr_ps(a, a, a, 1.0f);
        s = _mm_add_ps(_mm_mul_ps(s, sourceWeight), _mm_mul_ps(d, _mm_set1_ps(1.0f - a)));
      }
    }
    StoreUnorm(s, bgra, p);
  }
}
#endif

#if defined(__x86_64__)
// WriteOver two pixels at a time: the same sums per pixel, the blend only where a pair holds a
// partly covered pixel, and the target left as it was under alpha 0.
__attribute__((target("avx2"))) void WriteOverAvx2(bool over, bool bgra, uint8_t* row, uint32_t count,
                                                  const float* rgba) {
  const __m256 zero = _mm256_setzero_ps(), one = _mm256_set1_ps(1.0f), scale = _mm256_set1_ps(1.0f / 255.0f);
  const __m256 bytes = _mm256_set1_ps(255.0f), half = _mm256_set1_ps(0.5f);
  const __m256 colourLanes = _mm256_castsi256_ps(_mm256_setr_epi32(-1, -1, -1, 0, -1, -1, -1, 0));
  const __m256i packed = _mm256_setr_epi32(0, 4, 0, 0, 0, 0, 0, 0);
  uint32_t i = 0;
  for (; i + 2 <= count; i += 2) {
    __m256 s = _mm256_min_ps(_mm256_max_ps(_mm256_loadu_ps(rgba + size_t(i) * 4), zero), one);
    uint8_t* p = row + size_t(i) * 4;
    const __m256 a = _mm256_shuffle_ps(s, s, _MM_SHUFFLE(3, 3, 3, 3));
    // Bits 3 and 7: the two pixels' alphas.
    const int skip = over ? _mm256_movemask_ps(_mm256_cmp_ps(a, zero, _CMP_LE_OQ)) & 0x88 : 0;
    if (skip == 0x88) continue;
    const int partial = over ? _mm256_movemask_ps(_mm256_cmp_ps(a, one, _CMP_LT_OQ)) & 0x88 & ~skip : 0;
    __m128i kept = _mm_setzero_si128();
    if (partial != 0 || skip != 0) kept = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
    if (partial != 0) {
      __m256 d = _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(kept)), scale);
      if (bgra) d = _mm256_shuffle_ps(d, d, _MM_SHUFFLE(3, 0, 1, 2));
      const __m256 sourceWeight = _mm256_blendv_ps(one, a, colourLanes);
      const __m256 blended = _mm256_add_ps(_mm256_mul_ps(s, sourceWeight), _mm256_mul_ps(d, _mm256_sub_ps(one, a)));
      s = _mm256_blendv_ps(s, blended, _mm256_cmp_ps(a, one, _CMP_LT_OQ));
    }
    __m256 v = _mm256_add_ps(_mm256_mul_ps(s, bytes), half);
    if (bgra) v = _mm256_shuffle_ps(v, v, _MM_SHUFFLE(3, 0, 1, 2));
    const __m256i words = _mm256_packs_epi32(_mm256_cvttps_epi32(v), _mm256_setzero_si256());
    __m128i out = _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(_mm256_packus_epi16(words, words), packed));
    if (skip != 0) {
      const __m128i keep = _mm_setr_epi32((skip & 0x08) ? -1 : 0, (skip & 0x80) ? -1 : 0, 0, 0);
      out = _mm_or_si128(_mm_and_si128(keep, kept), _mm_andnot_si128(keep, out));
    }
    _mm_storel_epi64(reinterpret_cast<__m128i*>(p), out);
  }
  if (i < count) WriteOver(over, bgra, row + size_t(i) * 4, count - i, rgba + size_t(i) * 4);
}

bool HasAvx2() {
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
}
#endif

// How a draw's blend state writes, so the usual ones skip the general per-factor arithmetic.
enum class BlendKind { Replace, Over, General };

BlendKind KindOf(const DrawCall& call) {
  const RenderTargetBlendDesc& b = call.blend;
  if (call.alphaToCoverage || b.renderTargetWriteMask != COLOR_WRITE_ENABLE_ALL || ReferencePaths()) {
    return BlendKind::General;
  }
  if (!b.blendEnable) return BlendKind::Replace;
  const bool over = b.srcBlend == Blend::SrcAlpha && b.destBlend == Blend::InvSrcAlpha && b.blendOp == BlendOp::Add &&
                    b.srcBlendAlpha == Blend::One && b.destBlendAlpha == Blend::InvSrcAlpha &&
                    b.blendOpAlpha == BlendOp::Add;
  return over ? BlendKind::Over : BlendKind::General;
}

// The output merger for `count` pixels of one row: clamp to the format's range, blend, mask,
// convert to UNORM.
void Write(const DrawCall& call, BlendKind kind, uint8_t* row, uint32_t count, const float* rgba) {
  const RenderTargetBlendDesc& b = call.blend;
  const int red = call.target.bgra ? 2 : 0, blue = call.target.bgra ? 0 : 2;
  const int byteOf[4] = {red, 1, blue, 3};
  float k[4];
  for (int c = 0; c < 4; ++c) k[c] = Saturate(call.blendFactor[c]);
  constexpr float kScale = 1.0f / 255.0f;
#if defined(__SSE2__)
  if (kind != BlendKind::General) {
#if defined(__x86_64__)
    if (HasAvx2()) {
      WriteOverAvx2(kind == BlendKind::Over, call.target.bgra, row, count, rgba);
      return;
    }
#endif
    WriteOver(kind == BlendKind::Over, call.target.bgra, row, count, rgba);
    return;
  }
#endif
  for (uint32_t i = 0; i < count; ++i, rgba += 4) {
    float s[4], d[4], out[4];
    for (int c = 0; c < 4; ++c) s[c] = Saturate(rgba[c]);
    uint8_t* p = row + size_t(i) * 4;
    if (kind != BlendKind::General) {
      // The same sums as the general path; a pixel of alpha 0 leaves the target as it is.
      const float a = s[3];
      if (kind == BlendKind::Over && a <= 0.0f) continue;
      if (kind == BlendKind::Over && a < 1.0f) {
        for (int c = 0; c < 4; ++c) d[c] = p[byteOf[c]] * kScale;
        for (int c = 0; c < 3; ++c) s[c] = s[c] * a + d[c] * (1.0f - a);
        s[3] = a + d[3] * (1.0f - a);
      }
      StoreUnorm(s, call.target.bgra, p);
      continue;
    }
    // One sample per pixel: coverage from alpha keeps it or drops it.
    if (call.alphaToCoverage && s[3] < 0.5f) continue;
    if (b.blendEnable) {
      for (int c = 0; c < 4; ++c) d[c] = p[byteOf[c]] * kScale;
      for (int c = 0; c < 3; ++c) {
        out[c] = Combine(b.blendOp, s[c], Factor(b.srcBlend, c, s, d, k), d[c], Factor(b.destBlend, c, s, d, k));
      }
      out[3] = Combine(b.blendOpAlpha, s[3], Factor(b.srcBlendAlpha, 3, s, d, k), d[3],
                       Factor(b.destBlendAlpha, 3, s, d, k));
    } else {
      std::copy(s, s + 4, out);
    }
    for (int c = 0; c < 4; ++c) {
      if ((b.renderTargetWriteMask >> c) & 1) p[byteOf[c]] = ToUnorm8(Saturate(out[c]));
    }
  }
}

void RasteriseRow(const DrawCall& call, BlendKind kind, const Triangle& t, int32_t y, float* scratch) {
  if (y < t.yBegin || y >= t.yEnd) return;
  const int64_t py = int64_t(y) * kSubpixel + kSubpixel / 2;
  int64_t lo = t.xBegin, hi = int64_t(t.xEnd) - 1;
  for (const Edge& e : t.edges) {
    // a * (256 x + 128) + b * py + c >= 0, solved for x.
    const int64_t m = e.a * (kSubpixel / 2) + e.b * py + e.c;
    if (e.a > 0) {
      lo = std::max(lo, CeilDiv(-m, e.a * kSubpixel));
    } else if (e.a < 0) {
      hi = std::min(hi, FloorDiv(m, -e.a * kSubpixel));
    } else if (m < 0) {
      return;
    }
  }
  if (t.depthClip) ClipDepth(t.depth, y, lo, hi);
  float varyings[kMaxVaryings];
  uint8_t* row = call.target.data + size_t(y) * call.target.rowPitch;
  for (int64_t x = lo; x <= hi; x += kChunk) {
    const auto count = uint32_t(std::min<int64_t>(kChunk, hi - x + 1));
    for (uint32_t k = 0; k < t.varyingCount; ++k) varyings[k] = float(t.varyings[k].Value(x + 0.5, y + 0.5));
    PixelSpan span;
    span.x = uint32_t(x);
    span.y = uint32_t(y);
    span.count = count;
    span.varyings = varyings;
    span.ddx = t.ddx;
    span.ddy = t.ddy;
    span.rgba = scratch;
    // The target row is often out of cache after a copy: its lines arrive while the kernel runs.
    for (uint32_t offset = 0; offset < count * 4; offset += 64) __builtin_prefetch(row + size_t(x) * 4 + offset, 1);
    __builtin_prefetch(row + size_t(x + count) * 4 - 1, 1);
    call.pixel->run(call.ps, span);
    Write(call, kind, row + size_t(x) * 4, count, scratch);
  }
}

// Rows are independent and each row draws its triangles in order, so blending keeps the
// primitive order on every pixel while bands of rows run in parallel.
void Rasterise(const DrawCall& call, const Triangle* triangles, uint32_t count) {
  int32_t top = triangles[0].yBegin, bottom = triangles[0].yEnd;
  uint64_t pixels = 0;
  for (uint32_t i = 0; i < count; ++i) {
    top = std::min(top, triangles[i].yBegin);
    bottom = std::max(bottom, triangles[i].yEnd);
    pixels += uint64_t(triangles[i].xEnd - triangles[i].xBegin) * uint64_t(triangles[i].yEnd - triangles[i].yBegin);
  }
  const BlendKind kind = KindOf(call);
  const auto rows = [&](uint32_t begin, uint32_t end) {
    float scratch[kChunk * 4];
    for (uint32_t r = begin; r < end; ++r) {
      for (uint32_t i = 0; i < count; ++i) RasteriseRow(call, kind, triangles[i], top + int32_t(r), scratch);
    }
  };
  const auto height = uint32_t(bottom - top);
  if (pixels >= kParallelPixels) {
    ParallelFor(height, rows);
  } else {
    rows(0, height);
  }
}

}  // namespace

void Draw(const DrawCall& call, uint32_t vertexCount, uint32_t startVertex) {
  if (call.vertex == nullptr || call.pixel == nullptr || !call.vertex->run || !call.pixel->run) return;
  if (call.target.data == nullptr || call.clip.left >= call.clip.right || call.clip.top >= call.clip.bottom) return;
  const bool strip = call.topology == PrimitiveTopology::TriangleStrip;
  if (!strip && call.topology != PrimitiveTopology::TriangleList) return;
  // One sample per pixel: its bit of the mask decides whether anything is written.
  if (vertexCount < 3 || (call.sampleMask & 1) == 0) return;
  const uint32_t triangleCount = strip ? vertexCount - 2 : vertexCount / 3;
  const uint32_t varyingCount = std::min<uint32_t>(call.vertex->varyingCount, kMaxVaryings);

  // The last three vertices a strip has shaded; a list shades three per triangle.
  std::array<VertexOutput, 3> ring;
  const auto shade = [&](uint32_t index) {
    VertexOutput& out = ring[index % 3];
    out = VertexOutput{};
    call.vertex->run(call.vs, startVertex + index, out);
  };
  std::array<Triangle, kBatch> batch;
  uint32_t pending = 0;
  for (uint32_t t = 0; t < triangleCount; ++t) {
    const uint32_t first = strip ? t : 3 * t;
    if (!strip || t == 0) {
      for (uint32_t i = 0; i < 3; ++i) shade(first + i);
    } else {
      shade(first + 2);
    }
    // Odd triangles of a strip swap their first two vertices, so every triangle keeps one winding.
    const bool swap = strip && (t & 1) != 0;
    const VertexOutput* const v[3] = {&ring[(first + (swap ? 1 : 0)) % 3], &ring[(first + (swap ? 0 : 1)) % 3],
                                      &ring[(first + 2) % 3]};
    if (Setup(call, v, varyingCount, batch[pending])) ++pending;
    if (pending == kBatch || (pending > 0 && t + 1 == triangleCount)) {
      Rasterise(call, batch.data(), pending);
      pending = 0;
    }
  }
}

}  // namespace kalto::gpu::software::raster
