#include "camera/background_effect_kernels.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/gpu/gpu_device.h"

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

inline float Smoothstep(float e0, float e1, float x) {
  const float t = std::clamp((x - e0) / (e1 - e0), 0.0f, 1.0f);
  return t * t * (3.0f - 2.0f * t);
}

// Bilinear read of an R32_FLOAT texture at (qx, qy) in texels; the upper neighbours are clamped.
inline float MaskAt(const TexturePixels& m, float qx, float qy) {
  const uint32_t x0 = uint32_t(qx), y0 = uint32_t(qy);
  const uint32_t x1 = std::min(x0 + 1, m.width - 1), y1 = std::min(y0 + 1, m.height - 1);
  const float fx = qx - float(x0), fy = qy - float(y0);
  const auto at = [&](uint32_t x, uint32_t y) {
    float v;
    std::memcpy(&v, m.data + size_t(y) * m.rowPitch + size_t(x) * 4, 4);
    return v;
  };
  const float top = at(x0, y0) + (at(x1, y0) - at(x0, y0)) * fx;
  const float bottom = at(x0, y1) + (at(x1, y1) - at(x0, y1)) * fx;
  return top + (bottom - top) * fy;
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
  for (uint32_t y = gy0 * kFillGroup; y < yEnd; ++y) {
    const float qy = float(y) * p.scale + p.offsetY;
    const bool rowInside = qy >= 0.0f && qy <= maxY;
    for (uint32_t x = 0; x < width; ++x) {
      const float qx = float(x) * p.scale + p.offsetX;
      const float m = rowInside && qx >= 0.0f && qx <= maxX ? MaskAt(mask, qx, qy) : 0.0f;
      const float a = Smoothstep(0.02f, 0.98f, std::clamp(m, 0.0f, 1.0f));
      float f[4] = {}, k[4] = {}, o[4];
      if (x < fg.width && y < fg.height) Load(fg, x, y, f);
      if (x < bg.width && y < bg.height) Load(bg, x, y, k);
      if (swapped) std::swap(k[0], k[2]);
      for (int c = 0; c < 4; ++c) o[c] = k[c] + (f[c] - k[c]) * a;
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
    for (uint32_t x = 0; x < width; ++x) Store(out, x, y, c);
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
