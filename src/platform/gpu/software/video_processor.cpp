#include "platform/gpu/software/video_processor.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace kalto::gpu::software::video {
namespace {

constexpr uint32_t kMaxDimension = 16384;
// Below this many output bytes a blit costs less than waking the workers.
constexpr uint64_t kParallelBytes = 1u << 20;

bool IsRgb32(Format format) { return format == Format::B8G8R8A8_UNORM || format == Format::R8G8B8A8_UNORM; }

uint8_t ToUnorm8(float value) {
  if (!(value > 0.0f)) return 0;
  if (value >= 1.0f) return 255;
  return static_cast<uint8_t>(std::lround(value * 255.0f));
}

struct RectState {
  bool enabled = false;
  Rect rect;
};

class EnumeratorImpl final : public VideoProcessorEnumerator {
 public:
  EnumeratorImpl(const Device* owner, const VideoProcessorContentDesc& desc) : m_owner(owner), m_desc(desc) {}
  VideoProcessorContentDesc GetContentDesc() const override { return m_desc; }
  HRESULT CheckVideoProcessorFormat(Format format, uint32_t* flags) const override {
    if (flags == nullptr) return E_INVALIDARG;
    *flags = IsRgb32(format) ? VIDEO_PROCESSOR_FORMAT_SUPPORT_INPUT | VIDEO_PROCESSOR_FORMAT_SUPPORT_OUTPUT : 0;
    return S_OK;
  }
  const Device* Owner() const { return m_owner; }

 private:
  const Device* m_owner;
  VideoProcessorContentDesc m_desc;
};

class ProcessorImpl final : public VideoProcessor {
 public:
  explicit ProcessorImpl(const Device* owner) : m_owner(owner) {}
  const Device* Owner() const { return m_owner; }

  // Guarded by the context's mutex, as every command of the immediate context is.
  RectState source;
  RectState dest;
  RectState target;
  VideoProcessorColorSpace colorSpace;
  bool backgroundYCbCr = false;
  VideoColor background{{0.0f, 0.0f, 0.0f, 1.0f}};

 private:
  const Device* m_owner;
};

template <typename Interface>
class ViewImpl final : public Interface {
 public:
  ViewImpl(const Device* owner, std::shared_ptr<Texture2D> texture) : m_owner(owner), m_texture(std::move(texture)) {}
  std::shared_ptr<Texture2D> GetTexture() const override { return m_texture; }
  Texture2D& Texture() const { return *m_texture; }
  const Device* Owner() const { return m_owner; }

 private:
  const Device* m_owner;
  std::shared_ptr<Texture2D> m_texture;
};
using InputViewImpl = ViewImpl<VideoProcessorInputView>;
using OutputViewImpl = ViewImpl<VideoProcessorOutputView>;

class VideoDeviceImpl final : public VideoDevice {
 public:
  VideoDeviceImpl(std::shared_ptr<Device> device, std::shared_ptr<FaultInjector> faults)
      : m_device(std::move(device)), m_faults(std::move(faults)) {}

  HRESULT CreateVideoProcessorEnumerator(const VideoProcessorContentDesc& desc,
                                         std::shared_ptr<VideoProcessorEnumerator>* enumerator) override {
    if (enumerator == nullptr) return E_INVALIDARG;
    enumerator->reset();
    if (const HRESULT hr = m_faults->Check(FaultPoint::CreateVideoProcessorEnumerator); hr != S_OK) return hr;
    const auto fits = [](uint32_t w, uint32_t h) { return w > 0 && h > 0 && w <= kMaxDimension && h <= kMaxDimension; };
    if (!fits(desc.inputWidth, desc.inputHeight) || !fits(desc.outputWidth, desc.outputHeight)) return E_INVALIDARG;
    *enumerator = std::make_shared<EnumeratorImpl>(m_device.get(), desc);
    return S_OK;
  }

  HRESULT CreateVideoProcessor(const std::shared_ptr<VideoProcessorEnumerator>& enumerator,
                               uint32_t rateConversionIndex, std::shared_ptr<VideoProcessor>* processor) override {
    if (processor == nullptr) return E_INVALIDARG;
    processor->reset();
    if (const HRESULT hr = m_faults->Check(FaultPoint::CreateVideoProcessor); hr != S_OK) return hr;
    // One rate-conversion capability, as a plain scaler offers.
    if (!Ours(enumerator) || rateConversionIndex != 0) return E_INVALIDARG;
    *processor = std::make_shared<ProcessorImpl>(m_device.get());
    return S_OK;
  }

  HRESULT CreateVideoProcessorInputView(const std::shared_ptr<Texture2D>& texture,
                                        const std::shared_ptr<VideoProcessorEnumerator>& enumerator,
                                        std::shared_ptr<VideoProcessorInputView>* view) override {
    if (view == nullptr) return E_INVALIDARG;
    view->reset();
    if (const HRESULT hr = m_faults->Check(FaultPoint::CreateVideoProcessorInputView); hr != S_OK) return hr;
    if (!Ours(enumerator) || !Usable(texture, 0)) return E_INVALIDARG;
    *view = std::make_shared<InputViewImpl>(m_device.get(), texture);
    return S_OK;
  }

  HRESULT CreateVideoProcessorOutputView(const std::shared_ptr<Texture2D>& texture,
                                         const std::shared_ptr<VideoProcessorEnumerator>& enumerator,
                                         std::shared_ptr<VideoProcessorOutputView>* view) override {
    if (view == nullptr) return E_INVALIDARG;
    view->reset();
    if (const HRESULT hr = m_faults->Check(FaultPoint::CreateVideoProcessorOutputView); hr != S_OK) return hr;
    // The processor renders: its output must be bound as a render target.
    if (!Ours(enumerator) || !Usable(texture, BIND_RENDER_TARGET)) return E_INVALIDARG;
    *view = std::make_shared<OutputViewImpl>(m_device.get(), texture);
    return S_OK;
  }

 private:
  bool Ours(const std::shared_ptr<VideoProcessorEnumerator>& enumerator) const {
    const auto* impl = dynamic_cast<const EnumeratorImpl*>(enumerator.get());
    return impl != nullptr && impl->Owner() == m_device.get();
  }

  bool Usable(const std::shared_ptr<Texture2D>& texture, uint32_t requiredBind) const {
    if (!texture || texture->GetDevice() != m_device) return false;
    const TextureDesc desc = texture->GetDesc();
    return IsRgb32(desc.format) && desc.usage != Usage::Staging && (desc.bindFlags & requiredBind) == requiredBind &&
           PixelsOf(*texture).data != nullptr;
  }

  std::shared_ptr<Device> m_device;
  std::shared_ptr<FaultInjector> m_faults;
};

// The part of `rect` inside [0, width) x [0, height); empty rectangles have right <= left.
Rect Clip(const Rect& rect, uint32_t width, uint32_t height) {
  Rect r;
  r.left = std::clamp<int32_t>(rect.left, 0, static_cast<int32_t>(width));
  r.top = std::clamp<int32_t>(rect.top, 0, static_cast<int32_t>(height));
  r.right = std::clamp<int32_t>(rect.right, r.left, static_cast<int32_t>(width));
  r.bottom = std::clamp<int32_t>(rect.bottom, r.top, static_cast<int32_t>(height));
  return r;
}

bool Empty(const Rect& r) { return r.right <= r.left || r.bottom <= r.top; }

// The background as the output's bytes. A YCbCr colour is full range in the output's matrix.
uint32_t BackgroundPixel(const ProcessorImpl& state, Format outputFormat) {
  float rgb[3];
  const float* c = state.background.c;
  if (state.backgroundYCbCr) {
    const bool bt709 = state.colorSpace.ycbcrMatrix != 0;
    const float y = c[0], cb = c[1] - 0.5f, cr = c[2] - 0.5f;
    rgb[0] = y + (bt709 ? 1.5748f : 1.402f) * cr;
    rgb[1] = y - (bt709 ? 0.1873f : 0.344136f) * cb - (bt709 ? 0.4681f : 0.714136f) * cr;
    rgb[2] = y + (bt709 ? 1.8556f : 1.772f) * cb;
  } else {
    rgb[0] = c[0];
    rgb[1] = c[1];
    rgb[2] = c[2];
  }
  const uint8_t r = ToUnorm8(rgb[0]), g = ToUnorm8(rgb[1]), b = ToUnorm8(rgb[2]), a = ToUnorm8(c[3]);
  const uint8_t bytes[4] = {outputFormat == Format::B8G8R8A8_UNORM ? b : r, g,
                            outputFormat == Format::B8G8R8A8_UNORM ? r : b, a};
  uint32_t pixel;
  std::memcpy(&pixel, bytes, 4);
  return pixel;
}

void Fill(uint32_t* row, int32_t from, int32_t to, uint32_t pixel) {
  if (to > from) std::fill(row + from, row + to, pixel);
}

// One stream's geometry: the destination rectangle (unclipped, it fixes the scale), the part of
// it that is drawn, and the source rectangle it samples.
struct StreamPlan {
  TexturePixels src;
  Rect source;
  Rect dest;
  Rect drawn;
  bool swap = false;  // red and blue change places between the two formats
  bool identity = false;
  std::vector<BilinearTap> columns;  // per drawn column
  std::vector<BilinearTap> rows;     // per drawn row
};

// 1:1 at whole pixels: the sampled value is the pixel itself, so copy (alpha becomes opaque).
void CopyRowScalar(const uint32_t* src, uint32_t* dst, uint32_t count, bool swap) {
  if (!swap) {
    for (uint32_t i = 0; i < count; ++i) dst[i] = src[i] | 0xFF000000u;
  } else {
    for (uint32_t i = 0; i < count; ++i) {
      const uint32_t p = src[i];
      dst[i] = (p & 0x0000FF00u) | ((p & 0xFFu) << 16) | ((p >> 16) & 0xFFu) | 0xFF000000u;
    }
  }
}

#if defined(__x86_64__)
// The letterbox of every 1080p frame comes through here: a plain loop stays scalar (the rows
// may alias as far as the compiler knows) and costs twice a copy.
__attribute__((target("avx2"))) void CopyRowAvx2(const uint32_t* src, uint32_t* dst, uint32_t count, bool swap) {
  const __m256i opaque = _mm256_set1_epi32(static_cast<int>(0xFF000000u));
  const __m256i redBlue = _mm256_setr_epi8(2, 1, 0, 3, 6, 5, 4, 7, 10, 9, 8, 11, 14, 13, 12, 15, 2, 1, 0, 3, 6, 5, 4,
                                           7, 10, 9, 8, 11, 14, 13, 12, 15);
  uint32_t i = 0;
  if (swap) {
    for (; i + 8 <= count; i += 8) {
      const __m256i p = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i),
                          _mm256_or_si256(_mm256_shuffle_epi8(p, redBlue), opaque));
    }
  } else {
    for (; i + 8 <= count; i += 8) {
      const __m256i p = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i), _mm256_or_si256(p, opaque));
    }
  }
  CopyRowScalar(src + i, dst + i, count - i, swap);
}
#endif

void CopyRow(const uint32_t* src, uint32_t* dst, uint32_t count, bool swap) {
#if defined(__x86_64__)
  static const bool avx2 = __builtin_cpu_supports("avx2");
  if (avx2) return CopyRowAvx2(src, dst, count, swap);
#endif
  CopyRowScalar(src, dst, count, swap);
}

// Scratch for one band: the four taps of each channel gathered into contiguous rows, so the
// weighting runs as straight vector arithmetic.
struct RowScratch {
  std::vector<float> p00, p10, p01, p11, fx, out;
  void Resize(size_t n) {
    for (auto* v : {&p00, &p10, &p01, &p11, &out}) v->resize(n * 3);
    fx.resize(n * 3);
  }
};

void BilinearRow(const StreamPlan& plan, uint32_t drawnRow, uint32_t* dst, RowScratch& scratch) {
  const BilinearTap& ty = plan.rows[drawnRow];
  const uint8_t* row0 = plan.src.data + size_t(plan.source.top + ty.x0) * plan.src.rowPitch;
  const uint8_t* row1 = plan.src.data + size_t(plan.source.top + ty.x1) * plan.src.rowPitch;
  const size_t n = plan.columns.size();
  float* p00 = scratch.p00.data();
  float* p10 = scratch.p10.data();
  float* p01 = scratch.p01.data();
  float* p11 = scratch.p11.data();
  float* fx = scratch.fx.data();
  for (size_t i = 0; i < n; ++i) {
    const BilinearTap& tx = plan.columns[i];
    const uint8_t* a = row0 + size_t(plan.source.left + tx.x0) * 4;
    const uint8_t* b = row0 + size_t(plan.source.left + tx.x1) * 4;
    const uint8_t* c = row1 + size_t(plan.source.left + tx.x0) * 4;
    const uint8_t* d = row1 + size_t(plan.source.left + tx.x1) * 4;
    for (int ch = 0; ch < 3; ++ch) {
      p00[i * 3 + ch] = a[ch];
      p10[i * 3 + ch] = b[ch];
      p01[i * 3 + ch] = c[ch];
      p11[i * 3 + ch] = d[ch];
      fx[i * 3 + ch] = tx.f;
    }
  }
  const float fy = ty.f;
  float* out = scratch.out.data();
  // The weighting of the encoder's CPU sampler, term for term and in its order.
  for (size_t k = 0; k < n * 3; ++k) {
    const float f = fx[k];
    out[k] = p00[k] * (1 - f) * (1 - fy) + p10[k] * f * (1 - fy) + p01[k] * (1 - f) * fy + p11[k] * f * fy;
  }
  auto* bytes = reinterpret_cast<uint8_t*>(dst);
  const int first = plan.swap ? 2 : 0;
  for (size_t i = 0; i < n; ++i) {
    bytes[i * 4 + first] = static_cast<uint8_t>(out[i * 3 + 0]);
    bytes[i * 4 + 1] = static_cast<uint8_t>(out[i * 3 + 1]);
    bytes[i * 4 + 2 - first] = static_cast<uint8_t>(out[i * 3 + 2]);
    bytes[i * 4 + 3] = 255;
  }
}

class VideoContextImpl final : public VideoContext {
 public:
  VideoContextImpl(std::shared_ptr<void> keepAlive, std::mutex& mutex, std::shared_ptr<FaultInjector> faults)
      : m_keepAlive(std::move(keepAlive)), m_mutex(mutex), m_faults(std::move(faults)) {}

  void VideoProcessorSetStreamSourceRect(VideoProcessor& processor, uint32_t streamIndex, bool enable,
                                         const Rect* rect) override {
    SetRect(processor, streamIndex, enable, rect, &ProcessorImpl::source);
  }
  void VideoProcessorSetStreamDestRect(VideoProcessor& processor, uint32_t streamIndex, bool enable,
                                       const Rect* rect) override {
    SetRect(processor, streamIndex, enable, rect, &ProcessorImpl::dest);
  }
  void VideoProcessorSetOutputTargetRect(VideoProcessor& processor, bool enable, const Rect* rect) override {
    SetRect(processor, 0, enable, rect, &ProcessorImpl::target);
  }
  void VideoProcessorSetOutputColorSpace(VideoProcessor& processor,
                                         const VideoProcessorColorSpace& colorSpace) override {
    std::lock_guard lock(m_mutex);
    if (auto* state = dynamic_cast<ProcessorImpl*>(&processor)) state->colorSpace = colorSpace;
  }
  void VideoProcessorSetOutputBackgroundColor(VideoProcessor& processor, bool ycbcr,
                                              const VideoColor& color) override {
    std::lock_guard lock(m_mutex);
    if (auto* state = dynamic_cast<ProcessorImpl*>(&processor)) {
      state->backgroundYCbCr = ycbcr;
      state->background = color;
    }
  }

  HRESULT VideoProcessorBlt(VideoProcessor& processor, VideoProcessorOutputView& view, uint32_t /*outputFrame*/,
                            uint32_t streamCount, const VideoProcessorStream* streams) override {
    std::lock_guard lock(m_mutex);
    if (const HRESULT hr = m_faults->Check(FaultPoint::VideoProcessorBlt); hr != S_OK) return hr;
    auto* state = dynamic_cast<ProcessorImpl*>(&processor);
    auto* output = dynamic_cast<OutputViewImpl*>(&view);
    if (state == nullptr || output == nullptr || output->Owner() != state->Owner() || streamCount == 0 ||
        streams == nullptr) {
      return E_INVALIDARG;
    }
    // Only the full-range RGB output is modelled; a limited-range one would need its own scaling.
    if (state->colorSpace.rgbRange != 0) return E_NOTIMPL;
    const TextureDesc outDesc = output->Texture().GetDesc();
    const Rect whole{0, 0, int32_t(outDesc.width), int32_t(outDesc.height)};
    const Rect target = state->target.enabled ? Clip(state->target.rect, outDesc.width, outDesc.height) : whole;
    // Every pixel of the target rectangle is written, background included.
    const bool all = target.left == 0 && target.top == 0 && target.right == whole.right && target.bottom == whole.bottom;
    TexturePixels dst = PixelsOf(output->Texture());  // the bytes move if the write below needs its own

    // Only stream 0 is drawn: it is the only one a scaler uses; others must be disabled.
    for (uint32_t i = 1; i < streamCount; ++i) {
      if (streams[i].enable) return E_NOTIMPL;
    }
    StreamPlan plan;
    bool drawStream = false;
    Texture2D* source = nullptr;
    if (streams[0].enable) {
      auto* input = dynamic_cast<InputViewImpl*>(streams[0].inputSurface);
      if (input == nullptr || input->Owner() != state->Owner()) return E_INVALIDARG;
      source = &input->Texture();
      if (!Plan(*state, *input, dst, target, &plan)) return E_INVALIDARG;
      drawStream = !Empty(plan.drawn);
    }
    const uint32_t background = BackgroundPixel(*state, dst.format);
    if (Empty(target)) return S_OK;
    if (all && drawStream && InPlace(plan, dst) &&
        LetterboxInPlace(output->Texture(), *source, uint32_t(plan.dest.top), background)) {
      return S_OK;
    }
    if (!PrepareTextureWrite(output->Texture(), all)) return E_OUTOFMEMORY;
    dst = PixelsOf(output->Texture());

    const auto band = [&](uint32_t begin, uint32_t end) {
      RowScratch scratch;
      if (drawStream && !plan.identity) scratch.Resize(plan.columns.size());
      for (uint32_t r = begin; r < end; ++r) {
        const int32_t y = target.top + int32_t(r);
        auto* row = reinterpret_cast<uint32_t*>(dst.data + size_t(y) * dst.rowPitch);
        if (!drawStream || y < plan.drawn.top || y >= plan.drawn.bottom) {
          Fill(row, target.left, target.right, background);
          continue;
        }
        Fill(row, target.left, plan.drawn.left, background);
        Fill(row, plan.drawn.right, target.right, background);
        const uint32_t drawnRow = uint32_t(y - plan.drawn.top);
        uint32_t* out = row + plan.drawn.left;
        if (plan.identity) {
          const int32_t sy = plan.source.top + (y - plan.dest.top);
          const auto* in = reinterpret_cast<const uint32_t*>(plan.src.data + size_t(sy) * plan.src.rowPitch) +
                           plan.source.left + (plan.drawn.left - plan.dest.left);
          CopyRow(in, out, uint32_t(plan.drawn.right - plan.drawn.left), plan.swap);
        } else {
          BilinearRow(plan, drawnRow, out, scratch);
        }
      }
    };
    const uint32_t rows = uint32_t(target.bottom - target.top);
    if (uint64_t(rows) * uint32_t(target.right - target.left) * 4 >= kParallelBytes) {
      ParallelFor(rows, band);
    } else {
      band(0, rows);
    }
    return S_OK;
  }

 private:
  // The whole source, 1:1, full width, with only bars above and below: a frame can then stay
  // where it lies (see LetterboxInPlace).
  static bool InPlace(const StreamPlan& plan, const TexturePixels& dst) {
    return plan.identity && !plan.swap && plan.source.left == 0 && plan.source.top == 0 &&
           uint32_t(plan.source.right) == plan.src.width && uint32_t(plan.source.bottom) == plan.src.height &&
           plan.dest.left == 0 && uint32_t(plan.dest.right) == dst.width && plan.dest.top >= 0 &&
           plan.drawn.left == plan.dest.left && plan.drawn.top == plan.dest.top && plan.drawn.right == plan.dest.right &&
           plan.drawn.bottom == plan.dest.bottom;
  }

  static bool Plan(const ProcessorImpl& state, const InputViewImpl& input, const TexturePixels& dst,
                   const Rect& target, StreamPlan* plan) {
    plan->src = PixelsOf(input.Texture());
    if (plan->src.data == nullptr || !IsRgb32(plan->src.format)) return false;
    plan->source = state.source.enabled ? Clip(state.source.rect, plan->src.width, plan->src.height)
                                        : Rect{0, 0, int32_t(plan->src.width), int32_t(plan->src.height)};
    plan->dest = state.dest.enabled ? state.dest.rect : target;
    if (Empty(plan->source) || Empty(plan->dest)) {
      plan->drawn = {};
      return true;
    }
    const Rect clipped = Clip(plan->dest, dst.width, dst.height);
    plan->drawn = {std::max(clipped.left, target.left), std::max(clipped.top, target.top),
                   std::min(clipped.right, target.right), std::min(clipped.bottom, target.bottom)};
    if (Empty(plan->drawn)) return true;
    plan->swap = plan->src.format != dst.format;
    const uint32_t srcW = uint32_t(plan->source.right - plan->source.left);
    const uint32_t srcH = uint32_t(plan->source.bottom - plan->source.top);
    const uint32_t dstW = uint32_t(plan->dest.right - plan->dest.left);
    const uint32_t dstH = uint32_t(plan->dest.bottom - plan->dest.top);
    plan->identity = srcW == dstW && srcH == dstH;
    if (plan->identity) return true;
    // The source position of destination column c is c x (source width / destination width).
    const float sx = float(srcW) / float(dstW);
    const float sy = float(srcH) / float(dstH);
    for (int32_t x = plan->drawn.left; x < plan->drawn.right; ++x) {
      plan->columns.push_back(TapFor(float(x - plan->dest.left) * sx, srcW));
    }
    for (int32_t y = plan->drawn.top; y < plan->drawn.bottom; ++y) {
      plan->rows.push_back(TapFor(float(y - plan->dest.top) * sy, srcH));
    }
    return true;
  }

  void SetRect(VideoProcessor& processor, uint32_t streamIndex, bool enable, const Rect* rect,
               RectState ProcessorImpl::*member) {
    std::lock_guard lock(m_mutex);
    auto* state = dynamic_cast<ProcessorImpl*>(&processor);
    if (state == nullptr || streamIndex != 0) return;
    RectState& slot = state->*member;
    slot.enabled = enable;
    slot.rect = rect != nullptr ? *rect : Rect{};
  }

  std::shared_ptr<void> m_keepAlive;
  std::mutex& m_mutex;
  std::shared_ptr<FaultInjector> m_faults;
};

}  // namespace

BilinearTap TapFor(float position, uint32_t size) {
  const float last = float(size - 1);
  const float p = std::clamp(position, 0.0f, last);
  BilinearTap tap;
  tap.x0 = uint32_t(p);
  tap.f = p - float(tap.x0);
  tap.x1 = std::min(tap.x0 + 1, size - 1);
  return tap;
}

std::shared_ptr<VideoDevice> CreateVideoDevice(std::shared_ptr<Device> device, std::shared_ptr<FaultInjector> faults) {
  return std::make_shared<VideoDeviceImpl>(std::move(device), std::move(faults));
}

std::shared_ptr<VideoContext> CreateVideoContext(std::shared_ptr<void> keepAlive, std::mutex& contextMutex,
                                                 std::shared_ptr<FaultInjector> faults) {
  return std::make_shared<VideoContextImpl>(std::move(keepAlive), contextMutex, std::move(faults));
}

}  // namespace kalto::gpu::software::video
