// The encoder's frame path for the most common recording, a 1920x1080 monitor encoded at
// 1920x1088, and its throughput with the real H.264 encoder.
//   ScalerConvert/<subtype>/<threads>: the letterbox blit, the staging copy and map, and
//     ConvertBgraImage into NV12 or IYUV: everything WriteVideoFrame does on the CPU before the
//     sample. /0 single-threaded, /1 on the device's worker threads.
//   ConvertBgraImage/<subtype>/<threads>: the conversion alone (identity rows).
//   Memcpy/<threads>: one copy of the BGRA frame, for scale.
//   EncoderThroughput/<quality>: frames per second through Encoder into an MP4 (conversion,
//     queue, H.264 encoding, muxing), for the encoder presets quality-vs-speed 0, 50 and 100 pick.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/debug_output.h"
#include "encoding/encoder.h"
#include "encoding/encoder_cache.h"
#include "encoding/gpu_scaler.h"
#include "bench_device.h"

namespace {

using namespace kalto;

constexpr uint32_t kWidth = 1920;
constexpr uint32_t kHeight = 1088;
constexpr uint32_t kCaptureHeight = 1080;

struct Device : bench::BenchDevice {
  // A screen-like picture: flat areas, text-like stripes, and a bar that moves with `frame`.
  std::shared_ptr<gpu::Texture2D> Frame(uint32_t width, uint32_t height, uint32_t frame = 0) const {
    std::vector<uint32_t> pixels(size_t(width) * height);
    for (uint32_t y = 0; y < height; ++y) {
      for (uint32_t x = 0; x < width; ++x) {
        uint32_t p = (x * 2654435761u) ^ (y * 40503u);
        if (y % 64 < 40) p = ((x / 97 + y / 61) % 3 == 0) ? 0xFFF0F0F0u : 0xFF2060A0u;
        if (x >= (frame * 16) % width && x < (frame * 16) % width + 64) p = 0xFF000000u;
        pixels[size_t(y) * width + x] = p | 0xFF000000u;
      }
    }
    return Upload(width, height, pixels);
  }
};

const media::Guid& Subtype(int64_t index) {
  return index == 0 ? media::MFVideoFormat_NV12 : media::MFVideoFormat_IYUV;
}

void SetFrameBytes(benchmark::State& state) { bench::SetFrameBytes(state, kWidth, kHeight); }

void BM_ScalerConvert(benchmark::State& state) {
  Device d;
  const media::Guid& subtype = Subtype(state.range(0));
  GpuScaler scaler(d.device, d.context, 30);
  if (!scaler.EnsureScaler(kWidth, kCaptureHeight, kWidth, kHeight)) return state.SkipWithError("no scaler");
  gpu::TextureDesc desc = scaler.Output()->GetDesc();
  desc.usage = gpu::Usage::Staging;
  desc.bindFlags = 0;
  desc.cpuAccessFlags = gpu::CPU_ACCESS_READ;
  std::shared_ptr<gpu::Texture2D> staging;
  if (Failed(d.device->CreateTexture2D(desc, nullptr, 0, &staging))) return state.SkipWithError("no staging");
  std::vector<uint8_t> target(Encoder::ConvertBufferSize(subtype, kWidth, kHeight));
  auto frame = d.Frame(kWidth, kCaptureHeight);
  const auto serial = bench::Threads(state.range(1));
  for (auto _ : state) {
    if (!scaler.ScaleFrame(frame.get())) return state.SkipWithError("blit failed");
    d.context->CopyResource(*staging, *scaler.Output());
    gpu::MappedSubresource mapped;
    if (Failed(d.context->Map(*staging, 0, gpu::MapType::Read, 0, &mapped))) return state.SkipWithError("map");
    Encoder::ConvertBgraImage(static_cast<const uint8_t*>(mapped.data), mapped.rowPitch, kWidth, kHeight,
                              target.data(), kWidth, kHeight, subtype);
    d.context->Unmap(*staging, 0);
    benchmark::DoNotOptimize(target.data());
  }
  SetFrameBytes(state);
}
BENCHMARK(BM_ScalerConvert)
    ->ArgNames({"iyuv", "threads"})
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_ConvertBgraImage(benchmark::State& state) {
  const media::Guid& subtype = Subtype(state.range(0));
  std::vector<uint32_t> source(size_t(kWidth) * kHeight);
  for (size_t i = 0; i < source.size(); ++i) source[i] = uint32_t(i * 2654435761u) | 0xFF000000u;
  std::vector<uint8_t> target(Encoder::ConvertBufferSize(subtype, kWidth, kHeight));
  const auto serial = bench::Threads(state.range(1));
  for (auto _ : state) {
    Encoder::ConvertBgraImage(reinterpret_cast<const uint8_t*>(source.data()), kWidth * 4, kWidth, kHeight,
                              target.data(), kWidth, kHeight, subtype);
    benchmark::DoNotOptimize(target.data());
  }
  SetFrameBytes(state);
}
BENCHMARK(BM_ConvertBgraImage)
    ->ArgNames({"iyuv", "threads"})
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_Memcpy(benchmark::State& state) {
  const size_t rowBytes = size_t(kWidth) * 4;
  std::vector<uint8_t> from(rowBytes * kHeight, 7), to(rowBytes * kHeight);
  const auto serial = bench::Threads(state.range(0));
  for (auto _ : state) {
    gpu::ParallelFor(kHeight, [&](uint32_t begin, uint32_t end) {
      std::memcpy(to.data() + begin * rowBytes, from.data() + begin * rowBytes, (end - begin) * rowBytes);
    });
    benchmark::DoNotOptimize(to.data());
  }
  SetFrameBytes(state);
}
BENCHMARK(BM_Memcpy)->ArgNames({"threads"})->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// Frames per second of a whole recording: every frame is offered until the writer's queue takes
// it (a capture would drop it instead), and Finalize drains the encoder, so the figure is what
// the encoder sustains, not how fast the queue fills.
void BM_EncoderThroughput(benchmark::State& state) {
  constexpr uint32_t kRecordingFrames = 90;
  constexpr uint32_t kDistinctFrames = 15;
  Device d;
  std::vector<std::shared_ptr<gpu::Texture2D>> frames;
  for (uint32_t i = 0; i < kDistinctFrames; ++i) frames.push_back(d.Frame(kWidth, kCaptureHeight, i));
  auto platform = std::make_shared<platform::Platform>();
  platform->gpu = d.factory;
  const std::string path = (std::filesystem::temp_directory_path() / "kalto_bench_encoder.mp4").string();
  const auto quality = uint32_t(state.range(0));
  uint64_t written = 0;
  for (auto _ : state) {
    Encoder encoder(platform);
    if (!encoder.Initialize(Utf8ToWide(path), kWidth, kCaptureHeight, 30, 8'000'000, 48000, 2, 192'000, false,
                            Encoder::kProfileMain, quality, true, 0, 1)) {
      return state.SkipWithError("Initialize failed");
    }
    for (uint32_t i = 0; i < kRecordingFrames; ++i) {
      while (!encoder.WriteVideoFrame(frames[i % kDistinctFrames].get(), int64_t(i) * 333333)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
    encoder.Finalize();
    written += kRecordingFrames;
  }
  std::filesystem::remove(path);
  state.counters["frames_per_second"] = benchmark::Counter(double(written), benchmark::Counter::kIsRate);
  state.SetLabel(WideToUtf8(EncoderCache::EncoderName()));
}
BENCHMARK(BM_EncoderThroughput)
    ->ArgNames({"quality"})
    ->Arg(0)
    ->Arg(50)
    ->Arg(100)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  // Discovery runs against the real encoders with a cache file of the benchmark's own, so the
  // label names the encoder and the user's cache stays untouched.
  const auto data = std::filesystem::temp_directory_path() / "kalto_bench_encoder_data";
  std::filesystem::create_directories(data);
  setenv("XDG_DATA_HOME", data.c_str(), 1);
  kalto::SetDebugSink([](std::string_view) {});
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::filesystem::remove_all(data);
  return 0;
}
