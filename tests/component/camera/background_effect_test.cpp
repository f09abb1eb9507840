// Background effects on the software device: the kernels against values worked out by hand, and
// the segmentation model and the processor on a scripted network whose mask the test chooses.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <optional>
#include <thread>

#include "camera/background_effect_kernels.h"
#include "camera/background_effect_processor.h"
#include "common/known_folders.h"
#include "platform/gpu/software/software_device.h"
#include "platform/image/fake/fake_image_decoder.h"
#include "platform/inference/fake/fake_inference.h"
#include "support/debug_capture.h"
#include "support/gpu_readback.h"

namespace kalto::test {
namespace {

namespace fs = std::filesystem;
using gpu::Format;
using inference::ElementType;
using Rgb = std::array<int, 3>;
using Picture = std::function<Rgb(uint32_t x, uint32_t y)>;
using Lines = std::vector<std::string>;
using Shape = std::vector<int64_t>;

const Lines kNoModelFile = {"[SegmentationModel] Model file not found in any search path\n",
                            "[SegmentationModel] To enable ML effects, download selfie_segmentation.onnx\n",
                            "[SegmentationModel] from MediaPipe and place in Assets/models/ folder\n",
                            "[SegmentationModel] ONNX model not available - ML effects disabled\n"};

Picture Flat(Rgb c) {
  return [c](uint32_t, uint32_t) { return c; };
}
bool Near(const Rgb& got, const Rgb& want, int tolerance = 1) {
  return std::abs(got[0] - want[0]) <= tolerance && std::abs(got[1] - want[1]) <= tolerance &&
         std::abs(got[2] - want[2]) <= tolerance;
}

class EffectsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(S_OK, factory->CreateDevice(nullptr, gpu::DriverType::Hardware, 0, nullptr, 0, &device, &context));
    fs::create_directories(folder / "Assets/models");
    std::ofstream(folder / "Assets/models/selfie_segmentation.onnx") << "any bytes";
    previousFolder = SetModuleFolderForTesting(folder);
  }
  void TearDown() override {
    SetModuleFolderForTesting(previousFolder);
    fs::remove_all(folder);
  }
  std::shared_ptr<gpu::Texture2D> Texture(uint32_t w, uint32_t h, const Picture& rgb, Format f = Format::B8G8R8A8_UNORM) {
    std::vector<uint8_t> bytes(size_t(w) * h * 4, 255);
    for (uint32_t i = 0; i < w * h; ++i) {
      const Rgb c = rgb(i % w, i / w);
      for (int k = 0; k < 3; ++k) bytes[i * 4 + (f == Format::B8G8R8A8_UNORM ? 2 - k : k)] = uint8_t(c[k]);
    }
    std::shared_ptr<gpu::Texture2D> t;
    EXPECT_EQ(S_OK, device->CreateTexture2D({.width = w, .height = h, .format = f,
                                             .bindFlags = gpu::BIND_SHADER_RESOURCE | gpu::BIND_UNORDERED_ACCESS},
                                            bytes.data(), w * 4, &t));
    return t;
  }
  static std::vector<Rgb> Colors(gpu::Texture2D& texture) {
    const int r = texture.GetDesc().format == Format::B8G8R8A8_UNORM ? 2 : 0;
    const std::vector<uint8_t> b = ReadTextureBytes(texture);
    std::vector<Rgb> out(b.size() / 4);
    for (size_t i = 0; i < out.size(); ++i) out[i] = {b[i * 4 + r], b[i * 4 + 1], b[i * 4 + 2 - r]};
    return out;
  }
  // Empty when the frame failed or passed through.
  std::vector<Rgb> Process(const std::shared_ptr<gpu::Texture2D>& frame) {
    gpu::Texture2D* out = nullptr;
    if (!processor->ProcessFrame(frame.get(), &out) || out == frame.get() || out == nullptr) return {};
    return Colors(*out);
  }
  void MaskOf(float (*mask)(uint32_t y)) {
    runtime->compute = [mask](const float*, const Shape&, inference::OutputTensor* out) {
      *out = {{1, 256, 256, 1}, ElementType::Float, std::vector<float>(256 * 256)};
      for (uint32_t i = 0; i < 256 * 256; ++i) out->data[i] = mask(i / 256);
    };
  }
  // Bound as the processor binds them: `in` viewed in slot 0, `out` as UAV 0.
  template <typename P>
  void Dispatch(const char* name, const std::shared_ptr<gpu::Texture2D>& in, const std::shared_ptr<gpu::Texture2D>& out,
                const P& params, uint32_t groupsX, uint32_t groupsY) {
    effects::RegisterKernels();
    std::shared_ptr<gpu::ShaderBlob> blob;
    std::shared_ptr<gpu::ComputeShader> shader;
    std::shared_ptr<gpu::ShaderResourceView> srv;
    std::shared_ptr<gpu::UnorderedAccessView> uav;
    std::shared_ptr<gpu::Buffer> cb;
    ASSERT_TRUE(factory->CompileShader(name, "", effects::kEntry, effects::kTarget, &blob, nullptr) == S_OK &&
                device->CreateComputeShader(*blob, &shader) == S_OK &&
                device->CreateShaderResourceView(in, &srv) == S_OK &&
                device->CreateUnorderedAccessView(out, &uav) == S_OK &&
                device->CreateBuffer({sizeof(P), gpu::Usage::Default, gpu::BIND_CONSTANT_BUFFER}, &params, &cb) == S_OK);
    context->CSSetShader(shader.get());
    context->CSSetShaderResources(0, 1, std::array{srv.get()}.data());
    context->CSSetUnorderedAccessViews(0, 1, std::array{uav.get()}.data());
    context->CSSetConstantBuffers(0, 1, std::array{cb.get()}.data());
    context->Dispatch(groupsX, groupsY, 1);
  }

  fs::path folder = fs::temp_directory_path() / ("kalto-effects-" + std::to_string(::getpid())), previousFolder;
  std::shared_ptr<gpu::software::SoftwareDeviceFactory> factory =
      std::make_shared<gpu::software::SoftwareDeviceFactory>();
  std::shared_ptr<gpu::Device> device;
  std::shared_ptr<gpu::DeviceContext> context;
  std::shared_ptr<inference::fake::FakeRuntime> runtime = std::make_shared<inference::fake::FakeRuntime>();
  std::shared_ptr<image::FakeImageDecoder> images = std::make_shared<image::FakeImageDecoder>();
  std::unique_ptr<BackgroundEffectProcessor> processor =
      std::make_unique<BackgroundEffectProcessor>(BackgroundEffectProcessor::Services{factory, runtime, images});
  DebugCapture log;
};

// sum w(i) c(clamp(x + i)) / sum w(i), i = -R..R, w(i) = exp(-i^2 / (2 R^2)), R = min(r, 32).
int Gaussian(int (*line)(int), int x, int radius) {
  const int r = std::min(radius, 32);
  double sum = 0, weights = 0;
  for (int i = -r; i <= r; ++i) {
    weights += std::exp(-double(i * i) / (2.0 * r * r));
    sum += std::exp(-double(i * i) / (2.0 * r * r)) * line(std::clamp(x + i, 0, 99));
  }
  return int(std::lround(sum / weights));
}

// Impulses at 0 and 30 and a step at 70 across the rows (red and blue exchanged: BGRA in, RGBA out)
// and down the columns; each strength's radius and one over the cap, vector and per-pixel paths.
TEST_F(EffectsTest, BlurPassesAreNormalisedGaussiansOverClampedReads) {
  for (const auto& [strength, radius] : {std::pair{0, 8}, {1, 15}, {2, 25}, {7, 15}}) {
    EXPECT_EQ(BackgroundEffectProcessor::BlurRadius(strength), radius);
  }
  int (*line)(int) = [](int i) { return i == 0 || i == 30 || i >= 70 ? 255 : 0; };
  for (const int radius : {8, 15, 25, 40, -8, -40}) {
    std::optional<gpu::software::ScopedReferencePaths> reference;
    if (radius < 0) reference.emplace();
    const effects::BlurParams params{std::abs(radius), 0.01f, 0.2f, 0};
    const auto rows = Texture(100, 5, Flat({}), Format::R8G8B8A8_UNORM);
    const auto columns = Texture(5, 100, Flat({}), Format::R8G8B8A8_UNORM);
    // Either byte order in: the pass exchanges red and blue in value terms all the same.
    const Format in = radius == 15 || radius == -8 ? Format::R8G8B8A8_UNORM : Format::B8G8R8A8_UNORM;
    Dispatch(effects::kBlurHorizontal,
             Texture(100, 5, [&](uint32_t x, uint32_t) { return Rgb{line(x), 77, 0}; }, in), rows, params, 2, 2);
    Dispatch(effects::kBlurVertical,
             Texture(5, 100, [&](uint32_t, uint32_t y) { return Rgb{line(y), 0, 9}; }, Format::R8G8B8A8_UNORM),
             columns, params, 2, 2);
    const std::vector<Rgb> h = Colors(*rows), v = Colors(*columns);
    for (int i = 0; i < 500; ++i) {
      const int x = Gaussian(line, i % 100, params.radius), y = Gaussian(line, i / 5, params.radius);
      ASSERT_TRUE(Near(h[i], {0, 77, x})) << radius << " x " << i % 100 << ": " << h[i][2] << " want " << x;
      ASSERT_TRUE(Near(v[i], {y, 0, 9})) << radius << " y " << i / 5 << ": " << v[i][0] << " want " << y;
    }
  }
}

// A 3x1 picture (red 0, 90, 180) covering 3x3: scale 3, offset 3, source x (x + 3) / 3 read at
// u (3 - 1): red 60, 80 and 100. A 1x3 one down the rows.
TEST_F(EffectsTest, ImageCoverScalesToCoverCentresAndFiltersBilinearly) {
  for (const bool tall : {false, true}) {
    const auto target = Texture(3, 3, Flat({}), Format::R8G8B8A8_UNORM);
    Dispatch(effects::kImageCover,
             Texture(tall ? 1 : 3, tall ? 3 : 1, [](uint32_t x, uint32_t y) { return Rgb{90 * int(x + y), 7, 0}; },
                     Format::R8G8B8A8_UNORM),
             target, effects::ImageCoverParams{tall ? 1.f : 3.f, tall ? 3.f : 1.f, 3, 3}, 1, 1);
    const std::vector<Rgb> out = Colors(*target);
    for (int i = 0; i < 9; ++i) EXPECT_TRUE(Near(out[i], {60 + 20 * (tall ? i / 3 : i % 3), 7, 0})) << tall << i;
  }
}

// Without a model Initialize says why, in order, and only the blur runs, in true colours.
TEST_F(EffectsTest, WithoutAModelOnlyTheBlurRunsAndInTrueColours) {
  fs::remove_all(folder / "Assets");
  ASSERT_TRUE(processor->Initialize(device, 64, 16));
  Lines want = kNoModelFile;
  want.insert(want.end(), {"[BackgroundEffectProcessor] Segmentation model initialization failed\n",
                           "[BackgroundEffectProcessor] To enable ML effects:\n",
                           "  1. Download selfie_segmentation.onnx from MediaPipe", "  2. Place in Assets/models/ folder",
                           "  3. Ensure ONNX Runtime NuGet package is installed",
                           "[BackgroundEffectProcessor] DirectML not available, blur-only mode\n"});
  Lines got = log.Lines();
  got.resize(want.size());
  EXPECT_EQ(got, want);
  const auto frame = Texture(64, 16, [](uint32_t x, uint32_t) { return x < 32 ? Rgb{200, 40, 10} : Rgb{10, 40, 200}; });
  gpu::Texture2D* out = nullptr;
  for (const int32_t mode : {0, 2, 3, 4, 5}) {
    processor->SetConfig({.Mode = mode});
    EXPECT_TRUE(processor->ProcessFrame(frame.get(), &out) && out == frame.get()) << mode;
  }
  processor->SetConfig({.Mode = 1});
  const std::vector<Rgb> blurred = Process(frame);
  ASSERT_EQ(blurred.size(), 64u * 16);
  EXPECT_TRUE(Near(blurred[0], {200, 40, 10}) && Near(blurred[63], {10, 40, 200}));
  EXPECT_TRUE(Near(blurred[31], {105, 40, 105}, 15)) << "blurred across the edge: " << blurred[31][0];
}

// With a mask of 0 the output is the background, in true colours (gradient row y: y / height).
TEST_F(EffectsTest, BackgroundsComeOutInTrueColours) {
  MaskOf([](uint32_t) { return 0.0f; });
  fs::create_directories(folder / "Assets/backgrounds");
  std::ofstream(folder / "Assets/backgrounds/bg_abstract_waves.jpg") << "jpeg";
  images->AddSolidImage(folder / "Assets/backgrounds/bg_abstract_waves.jpg", 5, 3, 10, 200, 30);
  ASSERT_TRUE(processor->Initialize(device, 64, 48));
  const auto gradient = [](std::array<double, 3> top, std::array<double, 3> bottom) -> Picture {
    return [=](uint32_t, uint32_t y) {
      Rgb c;
      for (int k = 0; k < 3; ++k) c[k] = int(std::lround(top[k] + (bottom[k] - top[k]) * (y / 48.0)));
      return c;
    };
  };
  const char* const notLoaded = "[BackgroundEffectProcessor] Image preset not loaded, using solid color\n";
  const std::tuple<BackgroundEffectConfig, Picture, const char*> cases[] = {
      {{.Mode = 2, .ColorPreset = 2}, Flat({23, 42, 69}), nullptr},
      {{.Mode = 2, .ColorPreset = 9}, Flat({51, 51, 51}), nullptr},
      {{.Mode = 2, .ColorPreset = -1}, Flat({51, 51, 51}), nullptr},
      {{.Mode = 3, .GradientPreset = 0}, gradient({255, 248, 240}, {200, 220, 240}), nullptr},
      {{.Mode = 3, .GradientPreset = 1}, gradient({20, 80, 100}, {150, 220, 220}), nullptr},
      {{.Mode = 3, .GradientPreset = 7}, gradient({25.5, 25.5, 25.5}, {76.5, 76.5, 76.5}), nullptr},
      {{.Mode = 4, .ColorPreset = 5, .ImagePreset = 0}, Flat({10, 200, 30}), nullptr},
      {{.Mode = 4, .ColorPreset = 5, .ImagePreset = 1}, Flat({210, 180, 180}), notLoaded},  // no such file
      {{.Mode = 4, .ColorPreset = 5, .ImagePreset = 13}, Flat({210, 180, 180}), notLoaded},
      {{.Mode = 4, .ColorPreset = 2, .ImagePreset = 13}, Flat({23, 42, 69}), notLoaded},
      {{.Mode = 1, .BlurStrength = 2}, Flat({20, 60, 220}), nullptr},  // the blue wall, blurred
  };
  const auto frame = Texture(64, 48, Flat({20, 60, 220}));
  for (const auto& [config, background, line] : cases) {
    log.Clear();
    processor->SetConfig(config);
    const std::vector<Rgb> out = Process(frame);
    ASSERT_EQ(out.size(), 64u * 48);
    for (uint32_t i = 0; i < out.size(); ++i) {
      ASSERT_TRUE(Near(out[i], background(i % 64, i / 64))) << config.Mode << " pixel " << i << ": " << out[i][0];
    }
    EXPECT_EQ(log.Lines(), line ? Lines{line} : Lines{});
  }
}

// A 1280x720 frame over a 256x256 mask: scale 0.2, offsets 0 and 56, so frame rows read mask rows
// 56..199.8 and the 0.5 outside never shows. Mask 0 gives the background, 1 the frame, and 0.26
// a = smoothstep(0.02, 0.98, 0.26) = 0.15625. Columns from 1276 on (past texel 255) read 0.
TEST_F(EffectsTest, TheCompositeReadsTheMaskThroughTheInverseLetterbox) {
  MaskOf([](uint32_t y) { return y < 56 || y > 200 ? 0.5f : y < 100 ? 0.0f : y < 156 ? 0.26f : 1.0f; });
  ASSERT_TRUE(processor->Initialize(device, 1280, 720));
  processor->SetConfig({.Mode = 2, .ColorPreset = 2});
  const std::vector<Rgb> out = Process(Texture(1280, 720, Flat({250, 10, 90})));
  ASSERT_EQ(out.size(), 1280u * 720);
  for (const auto& [y, want] : {std::pair<uint32_t, Rgb>{0, {23, 42, 69}}, {250, {58, 37, 72}}, {719, {250, 10, 90}}}) {
    for (const uint32_t x : {0u, 640u, 1275u}) EXPECT_TRUE(Near(out[y * 1280 + x], want)) << x << "," << y;
    EXPECT_TRUE(Near(out[y * 1280 + 1276], {23, 42, 69})) << y;
  }
}

// Segmentation on the first frame after SetConfig, then one in N; a failed run keeps the last mask.
TEST_F(EffectsTest, TheMaskIsRecomputedOnOneFrameInNAndKeptWhenARunFails) {
  ASSERT_TRUE(processor->Initialize(device, 16, 16));
  const auto frame = Texture(16, 16, Flat({1, 2, 3}));
  const std::tuple<int32_t, int, std::vector<int>> cases[] = {
      {0, 1000, {1, 1000}}, {2, 3, {1, 2, 3}}, {3, 5, {1, 3, 5}}, {4, 7, {1, 4, 7}}, {8, 3, {1, 3}}};
  for (const auto& [mode, frames, want] : cases) {
    processor->SetConfig({.Mode = 2, .PerformanceMode = mode});
    std::vector<int> segmented;
    for (int i = 1; i <= frames; ++i) {
      const int before = runtime->runs;
      ASSERT_TRUE(Near(Process(frame).at(0), {1, 2, 3}));  // the fake's mask is 1: all person
      if (runtime->runs > before) segmented.push_back(i);
    }
    EXPECT_EQ(segmented, want) << "mode " << mode;
  }
  runtime->failRun = "out of memory";
  processor->SetConfig({.Mode = 2});
  log.Clear();
  EXPECT_TRUE(Near(Process(frame).at(0), {1, 2, 3}));
  EXPECT_EQ(log.Lines(), (Lines{"[SegmentationModel] Inference error: out of memory\n",
                                "[BackgroundEffectProcessor] Segmentation inference failed\n"}));
}

// Auto follows the monitor's tier: this process holds almost nothing on the adapter, so the tier
// falls from 3 to 1 within two samples. Leaving Auto stops the monitor.
TEST_F(EffectsTest, AutoModeFollowsTheMonitorTierAndLeavingItStopsTheMonitor) {
  ASSERT_TRUE(processor->Initialize(device, 16, 16));
  const auto frame = Texture(16, 16, Flat({1, 2, 3}));
  processor->SetConfig({.Mode = 2, .PerformanceMode = 1});
  ASSERT_TRUE(processor->IsAutoPerformance() && processor->Monitor() && processor->Monitor()->IsRunning());
  EXPECT_EQ(processor->SegmentationInterval(), 3);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (processor->Monitor()->Tier() != 1 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_EQ(processor->Monitor()->Tier(), 1);
  Process(frame);
  EXPECT_EQ(processor->SegmentationInterval(), 1);
  processor->SetConfig({.Mode = 0, .PerformanceMode = 1});  // no effect, no Auto
  EXPECT_FALSE(processor->IsAutoPerformance());
  EXPECT_FALSE(processor->Monitor()->IsRunning());
}

// A new size re-creates the textures and segments at once; a texture that cannot be made passes the
// frame through with its line, and the next frame tries again.
TEST_F(EffectsTest, ASizeChangeRecreatesTheTexturesAndSegmentsAtOnce) {
  const char* const failures[] = {"output texture: 0x80004005", "background texture", "blur temp texture",
                                  "mask texture", "shared mask texture", "BGRA output texture"};
  MaskOf([](uint32_t) { return 0.0f; });
  ASSERT_TRUE(processor->Initialize(device, 32, 24));
  processor->SetConfig({.Mode = 2, .ColorPreset = 2});  // mode 0: one frame in 999
  ASSERT_FALSE(Process(Texture(32, 24, Flat({}))).empty());
  for (int skip = 0; skip < 6; ++skip) {
    const auto frame = Texture(40 + 8 * skip, 24, Flat({}));
    log.Clear();
    factory->Faults().Fail(gpu::software::FaultPoint::CreateTexture, E_FAIL, 1, skip);
    gpu::Texture2D* out = nullptr;
    EXPECT_FALSE(processor->ProcessFrame(frame.get(), &out));
    EXPECT_EQ(out, frame.get());
    EXPECT_EQ(log.Lines(), (Lines{std::string("[BackgroundEffectProcessor] Failed to create ") + failures[skip] + "\n",
                                  "[BackgroundEffectProcessor] ProcessFrame: EnsureFrameSize failed\n"}));
    const int runs = runtime->runs;
    const std::vector<Rgb> colours = Process(frame);
    ASSERT_EQ(colours.size(), (40u + 8 * skip) * 24);
    EXPECT_EQ(runtime->runs, runs + 1);
    EXPECT_TRUE(Near(colours.back(), {23, 42, 69}));
  }
}

// Layout and size from the input shape; the tensor's first red, first and last green where they go.
TEST_F(EffectsTest, TheModelInputShapeGivesTheLayoutAndTheSize) {
  const std::tuple<Shape, uint32_t, uint32_t, bool> cases[] = {
      {{1, 3, -1, -1}, 512, 512, true}, {{1, 256, 256, 3}, 256, 256, false}, {{1, 3, 144, 256}, 256, 144, true},
      {{1, 1, 64, 96}, 96, 64, true},   {{1, -1, -1, 3}, 512, 512, false},   {{1, 256, 256}, 256, 256, false}};
  for (const auto& [shape, w, h, channelsFirst] : cases) {
    runtime->inputs[0].shape = shape;
    runtime->outputs[0].shape = {1, 1, h, w};
    SegmentationModel model(runtime);
    ASSERT_TRUE(model.Initialize(device));
    EXPECT_EQ(std::tuple(model.InputWidth(), model.InputHeight(), model.ChannelsFirst()), std::tuple(w, h, channelsFirst));
    gpu::Texture2D* mask = nullptr;
    ASSERT_TRUE(model.RunInference(Texture(w, h, Flat({255, 51, 0})).get(), &mask));
    const int64_t n = int64_t(w) * h;
    const std::vector<float>& in = runtime->lastInput;
    EXPECT_EQ(runtime->lastInputShape, channelsFirst ? Shape({1, 3, h, w}) : Shape({1, h, w, 3}));
    ASSERT_EQ(in.size(), size_t(3 * n));
    EXPECT_TRUE(in[0] == 1.0f && std::abs(in[channelsFirst ? n : 1] - 0.2f) < 1e-6f &&
                std::abs(in[channelsFirst ? 2 * n - 1 : 3 * n - 2] - 0.2f) < 1e-6f)
        << testing::PrintToString(shape);
  }
}

// 640x480 into 256x256: s = 0.4, bars on rows 0..31 and 224..255. The mask is the one plane or the
// second channel in either layout; outputs without a whole float mask fail without a line.
TEST_F(EffectsTest, TheFrameIsLetterboxedAndTheMaskReadByTheOutputShape) {
  constexpr size_t plane = 256 * 256;
  const std::tuple<Shape, ElementType, size_t, bool> cases[] = {
      {{1, 256, 256, 1}, ElementType::Float, plane, true},      {{1, 2, 256, 256}, ElementType::Float, 2 * plane, true},
      {{1, 256, 256, 2}, ElementType::Float, 2 * plane, true},  {{1, 256, 256, 1}, ElementType::Float16, plane, false},
      {{1, 2, 256, 256}, ElementType::Float, plane, false},     {{1, 1, 128, 128}, ElementType::Float, 128 * 128, false},
      {{1, 256, 256, 1}, ElementType::Float, plane - 1, false}, {{plane}, ElementType::Float, plane - 1, false}};
  SegmentationModel model(runtime);
  ASSERT_TRUE(model.Initialize(device));
  const auto frame = Texture(640, 480, Flat({255, 255, 255}));
  for (const auto& [shape, type, count, ok] : cases) {
    runtime->compute = [&](const float*, const Shape&, inference::OutputTensor* out) {
      *out = {shape, type, std::vector<float>(count, -1.0f)};
      const size_t c = count / plane;
      for (size_t i = 0; ok && i < plane; ++i) out->data[shape[1] == 2 ? plane + i : i * c + c - 1] = float(i % 999);
    };
    gpu::Texture2D* mask = nullptr;
    ASSERT_EQ(model.RunInference(frame.get(), &mask), ok) << testing::PrintToString(shape);
    if (!ok) continue;
    std::vector<float> values(plane);
    const std::vector<uint8_t> bytes = ReadTextureBytes(*mask);
    ASSERT_EQ(bytes.size(), plane * 4);
    std::memcpy(values.data(), bytes.data(), bytes.size());
    for (size_t i = 0; i < plane; ++i) ASSERT_EQ(values[i], float(i % 999)) << testing::PrintToString(shape) << i;
  }
  EXPECT_TRUE(log.Lines().empty());
  const std::vector<float>& input = model.InputTensor();
  for (size_t i = 0; i < input.size(); ++i) {
    const size_t row = i / (256 * 3);
    ASSERT_TRUE(row < 32 || row > 223 ? input[i] == 0.0f : input[i] > 0.99f) << row << ": " << input[i];
  }
}

// Each load failure with its lines in order; without a device Initialize only loads (first path wins).
TEST_F(EffectsTest, ModelLoadFailuresLogTheirLinesAndADevicelessLoadOnlyLoads) {
  const Lines invalid = {
      "[SegmentationModel] ERROR: This usually means the model file is invalid or corrupted.\n",
      "[SegmentationModel] NOTE: TFLite files renamed to .onnx will NOT work - you need a proper ONNX model.\n",
      "[SegmentationModel] Convert TFLite to ONNX using tf2onnx, or download a pre-converted ONNX model.\n"};
  const std::pair<std::function<void()>, Lines> cases[] = {
      {[this] { runtime->failSession = "Protobuf parsing failed"; },
       {"[SegmentationModel] ONNX error: Protobuf parsing failed\n", invalid[0], invalid[1], invalid[2]}},
      {[this] { runtime->failEnvironment = "no library"; },
       {"[SegmentationModel] Error loading model: no library\n",
        "[SegmentationModel] ERROR: Model loading failed - check if the file is a valid ONNX model.\n"}},
      {[this] { fs::remove_all(folder / "Assets"); }, Lines(kNoModelFile.begin(), kNoModelFile.end() - 1)},
  };
  for (const auto& [arrange, lines] : cases) {
    runtime = std::make_shared<inference::fake::FakeRuntime>();
    arrange();
    log.Clear();
    SegmentationModel model(runtime);
    EXPECT_FALSE(model.Initialize(device));
    Lines want = lines;
    want.push_back(kNoModelFile.back());
    EXPECT_EQ(log.Lines(), want);
    EXPECT_FALSE(model.IsReady() || model.UsesDirectML() || model.IsSessionValid());
  }
  fs::create_directories(folder / "Assets/models");
  std::ofstream(folder / "Assets/models/selfie_segmentation.onnx") << "any bytes";
  std::ofstream(folder / "modnet.onnx") << "any bytes";
  SegmentationModel model(runtime = std::make_shared<inference::fake::FakeRuntime>());
  EXPECT_TRUE(model.Initialize(nullptr) && model.IsSessionValid() && model.UsesDirectML() && !model.IsReady());
  EXPECT_EQ(runtime->lastModel, folder / "modnet.onnx");
  EXPECT_TRUE(runtime->lastOptions.intraOpThreads == 2 && runtime->lastOptions.appendAcceleratedProvider);
  gpu::Texture2D* mask = nullptr;
  EXPECT_FALSE(model.RunInference(Texture(256, 256, Flat({})).get(), &mask));
  EXPECT_EQ(runtime->runs, 0);
}

}  // namespace
}  // namespace kalto::test
