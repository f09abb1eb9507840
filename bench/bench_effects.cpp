// Camera background effects on the software device, with the real ONNX Runtime and JPEG decoder, on
// the synthetic camera's picture (a figure in front of a detailed room) at 640x480 and 1280x720:
//  - each effect with the mask made once (PerformanceMode 0; the timed frames reuse it) and made
//    on every frame (PerformanceMode 2);
//  - the blur without a model (the whole frame), on the device's pool and on one thread;
//  - the network alone (SegmentationModel::RunInference).
// Time is wall time per frame; CPU is the whole process's (pool and inference threads included).
// The model-less blur is held against FFmpeg's gblur by bench/blur_vs_gblur.py (goal: 2x faster).
//
//   bench_effects --write-frame 640x480 FILE   writes the camera picture as raw BGRA and exits.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>

#include "bench_device.h"
#include "camera/background_effect_processor.h"
#include "camera/segmentation_model.h"
#include "common/debug_output.h"
#include "common/known_folders.h"
#include "platform/camera/linux/source_device.h"
#include "platform/image/turbojpeg/turbojpeg_image_decoder.h"
#include "platform/inference/onnxruntime/onnx_runtime.h"

namespace kalto {
namespace {

uint32_t HeightFor(uint32_t width) { return width == 640 ? 480 : 720; }

// One frame of the synthetic camera at this size, kept per size.
const std::vector<uint32_t>& CameraPicture(uint32_t width, uint32_t height) {
  static std::map<std::pair<uint32_t, uint32_t>, std::vector<uint32_t>> pictures;
  auto& picture = pictures[{width, height}];
  if (!picture.empty()) return picture;
  auto device = camera::linuxcam::MakeSyntheticDevice();
  device->Open();
  device->SetFormat({width, height, "BGRA8", 30, 1});
  std::mutex mutex;
  std::condition_variable arrived;
  device->Start(
      [&](std::shared_ptr<camera::SoftwareBitmap> frame, int64_t) {
        auto buffer = frame->LockBuffer(camera::BitmapBufferAccessMode::Read);
        const camera::BitmapPlaneDescription plane = buffer->GetPlaneDescription(0);
        std::lock_guard lock(mutex);
        if (!picture.empty()) return;
        picture.resize(size_t(width) * height);
        for (uint32_t y = 0; y < height; ++y) {
          std::memcpy(picture.data() + size_t(y) * width, buffer->Data() + plane.StartIndex + size_t(y) * plane.Stride,
                      size_t(width) * 4);
        }
        arrived.notify_all();
      },
      [] {});
  {
    std::unique_lock lock(mutex);
    arrived.wait_for(lock, std::chrono::seconds(10), [&] { return !picture.empty(); });
  }
  device->Stop();
  if (picture.empty()) {
    std::fprintf(stderr, "bench_effects: the synthetic camera gave no frame\n");
    std::exit(1);
  }
  return picture;
}

// Asset searches start in the tools' folder, where the build puts the model and the pictures.
class ToolsFolder {
 public:
  ToolsFolder() : m_old(SetModuleFolderForTesting(KALTO_BENCH_TOOLS_FOLDER "/")) {}
  ~ToolsFolder() { SetModuleFolderForTesting(m_old); }
  ToolsFolder(const ToolsFolder&) = delete;
  ToolsFolder& operator=(const ToolsFolder&) = delete;

 private:
  std::filesystem::path m_old;
};

// Loaded once: the runtime keeps its library for the life of the process anyway.
std::shared_ptr<inference::Runtime> Onnx() {
  static const auto runtime = inference::onnx::MakeOnnxRuntime();
  return runtime;
}

const char* EffectName(int32_t mode) {
  switch (mode) {
    case 1: return "blur";
    case 2: return "color";
    case 3: return "gradient";
    default: return "image";
  }
}

void SetFrameCounters(benchmark::State& state, uint32_t width, uint32_t height) {
  bench::SetFrameBytes(state, width, height);
  state.counters["fps"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}

// One effect per frame; `withModel` false gives the processor no runtime, so it runs blur-only.
void RunEffect(benchmark::State& state, uint32_t width, BackgroundEffectConfig config, bool withModel, bool serial) {
  const uint32_t height = HeightFor(width);
  const auto serialRows = bench::Threads(serial ? 0 : 1);
  bench::BenchDevice gpu;
  const auto frame = gpu.Upload(width, height, CameraPicture(width, height));
  ToolsFolder folder;
  BackgroundEffectProcessor processor(
      {gpu.factory, withModel ? Onnx() : nullptr, std::make_shared<image::TurboJpegImageDecoder>()});
  if (!processor.Initialize(gpu.device, width, height)) {
    state.SkipWithError("the processor did not initialise");
    return;
  }
  if (withModel != processor.IsMLAvailable()) {
    state.SkipWithError(withModel ? "no model: build kalto_segmentation_model" : "a model where none was wanted");
    return;
  }
  if (config.Mode == 4 && !processor.ImageLoaded(config.ImagePreset)) {
    state.SkipWithError("the background picture did not load: build kalto_backgrounds");
    return;
  }
  processor.SetConfig(config);
  gpu::Texture2D* out = nullptr;
  // The first frame makes the mask in every mode, and the runtime warms up on it.
  if (!processor.ProcessFrame(frame.get(), &out) || out == frame.get()) {
    state.SkipWithError("the effect passed the frame through");
    return;
  }
  const int64_t runsBefore = processor.SegmentationRuns();
  for (auto _ : state) {
    processor.ProcessFrame(frame.get(), &out);
    benchmark::DoNotOptimize(out);
  }
  SetFrameCounters(state, width, height);
  state.counters["masks"] =
      benchmark::Counter(double(processor.SegmentationRuns() - runsBefore), benchmark::Counter::kAvgIterations);
}

void BM_Inference(benchmark::State& state, uint32_t width) {
  const uint32_t height = HeightFor(width);
  bench::BenchDevice gpu;
  const auto frame = gpu.Upload(width, height, CameraPicture(width, height));
  ToolsFolder folder;
  SegmentationModel model(Onnx());
  if (!model.Initialize(gpu.device)) {
    state.SkipWithError("the model did not load: build kalto_segmentation_model");
    return;
  }
  gpu::Texture2D* mask = nullptr;
  if (!model.RunInference(frame.get(), &mask)) {
    state.SkipWithError("inference failed");
    return;
  }
  for (auto _ : state) {
    model.RunInference(frame.get(), &mask);
    benchmark::DoNotOptimize(mask);
  }
  SetFrameCounters(state, width, height);
}

template <typename Fn>
void Register(const std::string& name, Fn fn) {
  benchmark::RegisterBenchmark(name.c_str(), fn)
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime()
      ->MeasureProcessCPUTime();
}

void RegisterAll() {
  for (const uint32_t width : {640u, 1280u}) {
    const std::string size = std::to_string(width) + "x" + std::to_string(HeightFor(width));
    for (const int32_t perf : {0, 2}) {
      const std::string masks = perf == 0 ? "/mask:once" : "/mask:every";
      for (const int32_t strength : {0, 1, 2}) {
        BackgroundEffectConfig config{1, strength, 0, 0, 0, perf};
        Register("BM_Effect/" + size + "/blur:" + std::to_string(strength) + masks,
                 [=](benchmark::State& s) { RunEffect(s, width, config, true, false); });
      }
      for (const int32_t mode : {2, 3, 4}) {
        BackgroundEffectConfig config{mode, 1, 0, 0, 0, perf};
        Register("BM_Effect/" + size + "/" + EffectName(mode) + masks,
                 [=](benchmark::State& s) { RunEffect(s, width, config, true, false); });
      }
    }
  }
  for (const uint32_t width : {640u, 1280u}) {
    const std::string size = std::to_string(width) + "x" + std::to_string(HeightFor(width));
    for (const bool serial : {false, true}) {
      for (const int32_t strength : {0, 1, 2}) {
        BackgroundEffectConfig config{1, strength, 0, 0, 0, 0};
        Register("BM_BlurOnly/" + size + "/strength:" + std::to_string(strength) + (serial ? "/serial" : "/pool"),
                 [=](benchmark::State& s) { RunEffect(s, width, config, false, serial); });
      }
    }
  }
  Register("BM_Inference/640x480", [](benchmark::State& s) { BM_Inference(s, 640); });
}

// --write-frame WxH FILE: the camera picture the benchmarks use, as raw BGRA.
int WriteFrame(const char* size, const char* path) {
  unsigned width = 0, height = 0;
  if (std::sscanf(size, "%ux%u", &width, &height) != 2 || width == 0 || height == 0) {
    std::fprintf(stderr, "bench_effects: --write-frame needs WxH and a file\n");
    return 2;
  }
  const auto& picture = CameraPicture(width, height);
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(picture.data()), std::streamsize(picture.size() * 4));
  return out ? 0 : 1;
}

}  // namespace
}  // namespace kalto

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--write-frame") == 0) return kalto::WriteFrame(argv[2], argv[3]);
  // The processor's set-up lines would bury the table.
  kalto::SetDebugSink([](std::string_view) {});
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  kalto::RegisterAll();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
