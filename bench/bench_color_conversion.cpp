// What one encoded 1920x1088 frame costs on the two GPU-side frame paths, against libswscale's
// BGRA to NV12 and a plain copy of the frame. Each runs single-threaded (/0) and on the device's
// worker threads (/1). Goal: each of our paths at least 2x libswscale and within 2x the copy.
//   ColorConverter: the whole Convert (kernel, plane read-back, NV12 assembly).
//   Scaler: the letterbox blit of a 1920x1080 frame into 1920x1088 (4 black rows each side).
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include "encoding/color_converter.h"
#include "encoding/gpu_scaler.h"
#include "bench_device.h"

namespace {

using namespace kalto;

constexpr uint32_t kWidth = 1920;
constexpr uint32_t kHeight = 1088;
constexpr uint32_t kCaptureHeight = 1080;

struct Device : bench::BenchDevice {
  std::shared_ptr<gpu::Texture2D> Frame(uint32_t width, uint32_t height) const {
    std::vector<uint32_t> pixels(size_t(width) * height);
    for (uint32_t y = 0; y < height; ++y) {
      for (uint32_t x = 0; x < width; ++x) pixels[size_t(y) * width + x] = (x * 2654435761u) ^ (y * 40503u);
    }
    return Upload(width, height, pixels);
  }
};

void SetFrameBytes(benchmark::State& state) { bench::SetFrameBytes(state, kWidth, kHeight); }

void BM_ColorConverter(benchmark::State& state) {
  Device d;
  ColorConverter converter(d.factory);
  if (!converter.Initialize(d.device.get(), kWidth, kHeight)) return state.SkipWithError("initialize failed");
  auto frame = d.Frame(kWidth, kHeight);
  const auto serial = bench::Threads(state.range(0));
  for (auto _ : state) {
    gpu::Texture2D* nv12 = nullptr;
    if (!converter.Convert(frame.get(), &nv12)) return state.SkipWithError("convert failed");
    benchmark::DoNotOptimize(nv12);
  }
  SetFrameBytes(state);
}
BENCHMARK(BM_ColorConverter)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Scaler(benchmark::State& state) {
  Device d;
  GpuScaler scaler(d.device, d.context, 30);
  if (!scaler.EnsureScaler(kWidth, kCaptureHeight, kWidth, kHeight)) return state.SkipWithError("no scaler");
  auto frame = d.Frame(kWidth, kCaptureHeight);
  const auto serial = bench::Threads(state.range(0));
  for (auto _ : state) {
    if (!scaler.ScaleFrame(frame.get())) return state.SkipWithError("blit failed");
  }
  SetFrameBytes(state);
}
BENCHMARK(BM_Scaler)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Swscale(benchmark::State& state) {
  SwsContext* sws = sws_alloc_context();
  av_opt_set_int(sws, "srcw", kWidth, 0);
  av_opt_set_int(sws, "srch", kHeight, 0);
  av_opt_set_int(sws, "src_format", AV_PIX_FMT_BGRA, 0);
  av_opt_set_int(sws, "dstw", kWidth, 0);
  av_opt_set_int(sws, "dsth", kHeight, 0);
  av_opt_set_int(sws, "dst_format", AV_PIX_FMT_NV12, 0);
  av_opt_set_int(sws, "sws_flags", SWS_BILINEAR, 0);
  // /1: as many slice threads as the device has workers (0 lets swscale pick the core count).
  av_opt_set_int(sws, "threads", state.range(0) == 0 ? 1 : 0, 0);
  if (sws_init_context(sws, nullptr, nullptr) < 0) {
    sws_freeContext(sws);
    return state.SkipWithError("sws_init_context failed");
  }
  // The same BT.709 limited-range target as ours.
  const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
  sws_setColorspaceDetails(sws, bt709, 1, bt709, 0, 0, 1 << 16, 1 << 16);

  AVFrame* src = av_frame_alloc();
  AVFrame* dst = av_frame_alloc();
  src->width = dst->width = kWidth;
  src->height = dst->height = kHeight;
  src->format = AV_PIX_FMT_BGRA;
  dst->format = AV_PIX_FMT_NV12;
  av_frame_get_buffer(src, 64);
  av_frame_get_buffer(dst, 64);
  for (uint32_t y = 0; y < kHeight; ++y) {
    auto* row = reinterpret_cast<uint32_t*>(src->data[0] + size_t(y) * src->linesize[0]);
    for (uint32_t x = 0; x < kWidth; ++x) row[x] = (x * 2654435761u) ^ (y * 40503u);
  }
  for (auto _ : state) {
    if (sws_scale_frame(sws, dst, src) < 0) {
      state.SkipWithError("sws_scale_frame failed");
      break;
    }
    benchmark::DoNotOptimize(dst->data[0]);
  }
  av_frame_free(&src);
  av_frame_free(&dst);
  sws_freeContext(sws);
  SetFrameBytes(state);
}
BENCHMARK(BM_Swscale)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Memcpy(benchmark::State& state) {
  const size_t rowBytes = size_t(kWidth) * 4;
  std::vector<uint8_t> from(rowBytes * kHeight, 7), to(rowBytes * kHeight);
  const auto serial = bench::Threads(state.range(0));
  for (auto _ : state) {
    gpu::software::ParallelFor(kHeight, [&](uint32_t begin, uint32_t end) {
      std::memcpy(to.data() + begin * rowBytes, from.data() + begin * rowBytes, (end - begin) * rowBytes);
    });
    benchmark::DoNotOptimize(to.data());
  }
  SetFrameBytes(state);
}
BENCHMARK(BM_Memcpy)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
