// The camera bubble on a full-HD frame against the frame copy every composite starts with: the
// draw should add little to the copy (goal: a composite within 1.3x of the copy).
#include "bench_device.h"

#include "camera/camera_compositor.h"

namespace kalto {
namespace {

constexpr uint32_t kWidth = 1920, kHeight = 1080;

std::vector<uint32_t> Pattern(uint32_t width, uint32_t height) {
  std::vector<uint32_t> pixels(size_t(width) * height);
  for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = uint32_t(i * 0x9E3779B1u) | 0xFF000000u;
  return pixels;
}

void BM_CopyFrame(benchmark::State& state) {
  const auto serial = bench::Threads(state.range(0));
  bench::BenchDevice gpu;
  const auto frame = gpu.Upload(kWidth, kHeight, Pattern(kWidth, kHeight));
  gpu::TextureDesc desc = frame->GetDesc();
  desc.bindFlags = gpu::BIND_SHADER_RESOURCE | gpu::BIND_RENDER_TARGET;
  std::shared_ptr<gpu::Texture2D> output;
  gpu.device->CreateTexture2D(desc, nullptr, 0, &output);
  for (auto _ : state) gpu.context->CopyResource(*output, *frame);
  bench::SetFrameBytes(state, kWidth, kHeight);
}
BENCHMARK(BM_CopyFrame)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->UseRealTime();

// A round bubble 18% of the frame high, with a border ring, from the recording's 640x480 camera
// (range 1 = 640) or a 720p one (1280).
void BM_Composite(benchmark::State& state) {
  const auto serial = bench::Threads(state.range(0));
  bench::BenchDevice gpu;
  const auto frame = gpu.Upload(kWidth, kHeight, Pattern(kWidth, kHeight));
  const uint32_t cameraWidth = static_cast<uint32_t>(state.range(1)), cameraHeight = cameraWidth == 640 ? 480 : 720;
  const auto camera = gpu.Upload(cameraWidth, cameraHeight, Pattern(cameraWidth, cameraHeight));
  CameraCompositor compositor(gpu.factory);
  if (!compositor.Initialize(gpu.device, kWidth, kHeight)) {
    state.SkipWithError("compositor did not initialise");
    return;
  }
  CompositorParams params;
  params.height = 0.18f;
  params.width = 0.18f * kHeight / kWidth;
  params.x = 0.05f;
  params.y = 0.75f;
  params.borderWidth = 0.05f;
  params.borderColor[0] = params.borderColor[3] = 1.0f;
  gpu::Texture2D* out = nullptr;
  for (auto _ : state) {
    compositor.Composite(frame.get(), camera, params, &out);
    benchmark::DoNotOptimize(out);
  }
  bench::SetFrameBytes(state, kWidth, kHeight);
}
BENCHMARK(BM_Composite)->ArgsProduct({{0, 1}, {640, 1280}})->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
}  // namespace kalto

BENCHMARK_MAIN();
