// The camera bubble composited on the software device, read back pixel by pixel, and the
// rasteriser underneath it.
#include "camera/camera_compositor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <random>
#include <tuple>

#include "platform/gpu/software/software_device.h"
#include "support/debug_capture.h"
#include "support/gpu_readback.h"

namespace kalto::test {
namespace {

using gpu::software::FaultPoint;
using Pixel = std::function<uint32_t(uint32_t, uint32_t)>;

constexpr uint32_t Bgra(uint32_t r, uint32_t g, uint32_t b) { return b | g << 8 | r << 16 | 0xFF000000u; }
int Ch(uint32_t p, int shift) { return int(p >> shift) & 0xFF; }
constexpr uint32_t kScreen = Bgra(10, 20, 30), kCamera = Bgra(200, 150, 100), kRed = Bgra(255, 0, 0);

// Each channel of `got` within one step of `want` (float rounding in filtering and blending).
bool Near(uint32_t got, uint32_t want) {
  for (int s : {0, 8, 16, 24}) {
    if (std::abs(Ch(got, s) - Ch(want, s)) > 1) return false;
  }
  return true;
}
uint32_t Mix(uint32_t from, uint32_t to, float a) {
  uint32_t out = 0xFF000000u;
  for (int s : {0, 8, 16}) out |= uint32_t(std::lround(Ch(from, s) + (Ch(to, s) - Ch(from, s)) * a)) << s;
  return out;
}

class CompositorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(S_OK, factory->CreateDevice(nullptr, gpu::DriverType::Hardware, 0, nullptr, 0, &device, &context));
    solid = Picture(16, 16, [](auto, auto) { return kCamera; });
  }
  std::shared_ptr<gpu::Texture2D> Picture(uint32_t w, uint32_t h, const Pixel& pixel) {
    std::vector<uint32_t> words(size_t(w) * h);
    for (size_t i = 0; i < words.size(); ++i) words[i] = pixel(uint32_t(i % w), uint32_t(i / w));
    std::shared_ptr<gpu::Texture2D> texture;
    EXPECT_EQ(S_OK, device->CreateTexture2D({.width = w, .height = h, .format = gpu::Format::B8G8R8A8_UNORM,
                                             .bindFlags = gpu::BIND_SHADER_RESOURCE},
                                            words.data(), w * 4, &texture));
    return texture;
  }
  // One frame of a size x size screen in kScreen; the output's pixels.
  std::vector<uint32_t> Run(const CompositorParams& params, const std::shared_ptr<gpu::Texture2D>& camera,
                            uint32_t size = 64) {
    if (!compositor.IsInitialized()) {
      EXPECT_TRUE(compositor.Initialize(device, size, size));
    }
    gpu::Texture2D* out = nullptr;
    EXPECT_TRUE(compositor.Composite(Picture(size, size, [](auto, auto) { return kScreen; }).get(), camera, params,
                                     &out));
    return out != nullptr ? ReadPixels(*out) : std::vector<uint32_t>{};
  }
  std::shared_ptr<gpu::software::SoftwareDeviceFactory> factory =
      std::make_shared<gpu::software::SoftwareDeviceFactory>();
  std::shared_ptr<gpu::Device> device;
  std::shared_ptr<gpu::DeviceContext> context;
  std::shared_ptr<gpu::Texture2D> solid;
  DebugCapture debug;
  CameraCompositor compositor{factory};
};

// The whole screen as a bubble with square corners.
CompositorParams Full(int32_t fillMode = 1, float aspect = 1.0f) {
  return {.x = 0, .y = 0, .width = 1, .height = 1, .cornerRadius = 0, .fillMode = fillMode, .cameraAspect = aspect};
}

// A circle on the middle two thirds of a square screen: camera inside, screen outside, and
// between them the blend the analytic fwidth of the edge distance gives, about one pixel wide.
// The 60-pixel screen is drawn in one band, so a span's pixels left of the circle would show the
// row before if they were not cleared. Radius 0 gives a square with sharp edges on the rectangle.
TEST_F(CompositorTest, CircleHasOnePixelEdgeAndSquareIsSharp) {
  for (const uint32_t n : {96u, 60u}) {
    const auto out = Run({.x = 1 / 6.f, .y = 1 / 6.f, .width = 2 / 3.f, .height = 2 / 3.f, .cornerRadius = 1}, solid, n);
    ASSERT_EQ(n * n, out.size());
    int edge = 0;
    const float r = n / 3.f;
    for (uint32_t i = 0; i < out.size(); ++i) {
      const float px = ((i % n) + 0.5f - n / 6.f) / r - 1, py = ((i / n) + 0.5f - n / 6.f) / r - 1;
      const float len = std::hypot(px, py), aa = (std::abs(px) + std::abs(py)) / len / r + 0.0001f;
      const float alpha = std::abs(px) > 1 || std::abs(py) > 1 ? 0 : std::clamp(0.5f - (len - 1) / aa, 0.f, 1.f);
      edge += alpha > 0 && alpha < 1;
      ASSERT_TRUE(Near(out[i], Mix(kScreen, kCamera, alpha))) << i % n << "," << i / n << " " << std::hex << out[i];
    }
    EXPECT_GT(edge, 6 * r - 1);  // about the circumference, 2 pi r pixels
    EXPECT_EQ(kCamera, out[n / 2 * (n + 1)]);
    EXPECT_EQ(kScreen, out[n / 6 * (n + 1)]);
    EXPECT_EQ(kScreen, out[(n * 5 / 6 - 1) * (n + 1)]);
  }
  const auto square = Run({.x = 0.25f, .y = 0.25f, .width = 0.5f, .height = 0.5f, .cornerRadius = 0}, solid, 96);
  for (uint32_t i = 0; i < square.size(); ++i) {
    const bool inside = i % 96 >= 24 && i % 96 < 72 && i / 96 >= 24 && i / 96 < 72;
    ASSERT_EQ(inside ? kCamera : kScreen, square[i]) << i % 96 << "," << i / 96;
  }
}

// A 64x36 camera whose red rises 4 a column and green 7 a row, so a filtered sample's colour
// tells where in the camera it was taken. Cover crops to the central 9/16 of the width, contain
// keeps it all with transparent bars above and below, mirror flips, an aspect of 0 or less is 1.
TEST_F(CompositorTest, FillModesMapTheCameraPicture) {
  const auto camera = Picture(64, 36, [](uint32_t x, uint32_t y) { return Bgra(4 * x + 2, 7 * y + 5, 0); });
  const auto ramp = [](float u, float v) {
    return Bgra(uint32_t(std::lround(4 * std::clamp(u * 64 - 0.5f, 0.f, 63.f) + 2)),
                uint32_t(std::lround(7 * std::clamp(v * 36 - 0.5f, 0.f, 35.f) + 5)), 0);
  };
  // fill mode, aspect given, mirror, aspect used
  const std::tuple<int32_t, float, bool, float> cases[] = {
      {1, 16 / 9.f, false, 16 / 9.f}, {0, 16 / 9.f, false, 16 / 9.f}, {1, 16 / 9.f, true, 16 / 9.f},
      {1, 0.f, false, 1.f},           {1, -2.f, false, 1.f},          {0, 0.5f, true, 0.5f}};
  for (const auto& [fill, aspect, mirror, used] : cases) {
    SCOPED_TRACE(::testing::Message() << "fill " << fill << " aspect " << aspect << " mirror " << mirror);
    auto params = Full(fill, aspect);
    params.mirror = mirror;
    const auto out = Run(params, camera);
    for (uint32_t i = 0; i < out.size(); ++i) {
      float u = ((i % 64) + 0.5f) / 64, v = ((i / 64) + 0.5f) / 64;
      if ((fill == 1) == (used > 1)) {
        u = (u - 0.5f) / used + 0.5f;
      } else {
        v = (v - 0.5f) * used + 0.5f;
      }
      if (mirror) u = 1 - u;
      const bool bar = fill != 1 && (u < 0 || u > 1 || v < 0 || v > 1);
      ASSERT_TRUE(Near(out[i], bar ? kScreen : ramp(std::clamp(u, 0.f, 1.f), std::clamp(v, 0.f, 1.f))))
          << i % 64 << "," << i / 64 << " " << std::hex << out[i];
    }
  }
  // The cropped picture starts 14 columns into the camera (red 57), not at its edge (red 2).
  EXPECT_EQ(57, Ch(Run(Full(1, 16 / 9.f), camera)[32 * 64], 16));
}

// The border ring lies borderWidth deep inside the edge (0.25 = 8 of 64 pixels, the eighth
// half-blended) and covers contain's bars; no width or no alpha draws none; opacity 0 draws nothing.
TEST_F(CompositorTest, BorderRingAndOpacity) {
  auto params = Full();
  params.borderWidth = 0.25f;
  std::copy_n(std::array{1.f, 0.f, 0.f, 1.f}.begin(), 4, params.borderColor);
  auto out = Run(params, solid);
  for (uint32_t x = 0; x < 64; ++x) {
    const uint32_t depth = std::min(x, 63 - x);
    EXPECT_TRUE(Near(out[32 * 64 + x], depth < 7 ? kRed : depth == 7 ? Mix(kCamera, kRed, 0.5f) : kCamera)) << x;
  }
  params.fillMode = 0, params.cameraAspect = 2;  // bars: rows 0..15 and 48..63
  out = Run(params, solid);
  EXPECT_EQ(kRed, out[2 * 64 + 32]);
  EXPECT_EQ(kScreen, out[10 * 64 + 32]);
  EXPECT_EQ(kCamera, out[20 * 64 + 32]);
  params = Full(), params.borderWidth = 0.25f, params.borderColor[0] = 1;  // alpha 0
  EXPECT_EQ(std::vector<uint32_t>(64 * 64, kCamera), Run(params, solid));
  params.borderColor[3] = 1, params.borderWidth = 0;
  EXPECT_EQ(std::vector<uint32_t>(64 * 64, kCamera), Run(params, solid));
  params.opacity = 0;
  EXPECT_EQ(std::vector<uint32_t>(64 * 64, kScreen), Run(params, solid));
}

// The output follows the frame's size; the camera view is made once per camera texture, and a
// view or output that cannot be made drops the bubble or the frame; a failed constants map keeps
// the last frame's shape.
TEST_F(CompositorTest, OutputViewAndConstantsAcrossFrames) {
  gpu::Texture2D* out = nullptr;
  EXPECT_FALSE(compositor.Composite(Picture(8, 8, [](auto, auto) { return kScreen; }).get(), solid, Full(), &out));
  Run(Full(), solid);
  const auto frame = Picture(40, 24, [](uint32_t x, uint32_t y) { return Bgra(x, y, x ^ y); });
  EXPECT_FALSE(compositor.Composite(nullptr, solid, Full(), &out));
  EXPECT_FALSE(compositor.Composite(frame.get(), nullptr, Full(), &out));
  factory->Faults().Fail(FaultPoint::CreateTexture, E_OUTOFMEMORY, 1);
  EXPECT_FALSE(compositor.Composite(frame.get(), solid, Full(), &out));
  EXPECT_EQ(1, debug.Count("[CameraCompositor] CreateTexture2D (output) failed\n"));
  auto hidden = Full();
  hidden.opacity = 0;
  ASSERT_TRUE(compositor.Composite(frame.get(), solid, hidden, &out));
  EXPECT_EQ(40u, compositor.OutputWidth());
  EXPECT_EQ(24u, out->GetDesc().height);
  EXPECT_EQ(ReadPixels(*frame), ReadPixels(*out));

  const int views = factory->Faults().Calls(FaultPoint::CreateShaderResourceView);
  Run(Full(), solid);
  EXPECT_EQ(views, factory->Faults().Calls(FaultPoint::CreateShaderResourceView));
  factory->Faults().Fail(FaultPoint::CreateShaderResourceView, E_OUTOFMEMORY, 1);
  EXPECT_EQ(std::vector<uint32_t>(64 * 64, kScreen), Run(Full(), Picture(4, 4, [](auto, auto) { return kRed; })));
  EXPECT_EQ(1, debug.Count("[CameraCompositor] CreateShaderResourceView (camera) failed\n"));
  EXPECT_EQ(std::vector<uint32_t>(64 * 64, kCamera), Run(Full(), solid));
  EXPECT_EQ(views + 2, factory->Faults().Calls(FaultPoint::CreateShaderResourceView));

  factory->Faults().Fail(FaultPoint::Map, E_OUTOFMEMORY, 1);
  EXPECT_EQ(std::vector<uint32_t>(64 * 64, kCamera), Run(hidden, solid));
  compositor.Shutdown();
  EXPECT_FALSE(compositor.IsInitialized());
  EXPECT_EQ(0u, compositor.OutputHeight());
}

// The vector sampling and blending give the bytes the per-pixel paths give, for any shape, fill,
// border and opacity over a noisy camera whose edges the clamps reach.
TEST_F(CompositorTest, VectorPathsMatchPerPixelPaths) {
  std::mt19937 random(7);
  const auto uniform = [&](float low, float high) { return std::uniform_real_distribution<float>(low, high)(random); };
  const auto camera = Picture(53, 37, [&](auto, auto) { return uint32_t(random()); });
  for (int trial = 0; trial < 300; ++trial) {
    CompositorParams params{.x = uniform(-0.2f, 0.6f), .y = uniform(-0.2f, 0.6f), .width = uniform(0.05f, 0.9f),
                            .height = uniform(0.05f, 0.9f), .cornerRadius = uniform(0, 1), .mirror = trial % 2 == 1,
                            .fillMode = trial % 4 < 2, .opacity = trial % 3 == 0 ? 1.0f : uniform(0, 1),
                            .borderWidth = trial % 5 == 0 ? 0 : uniform(0, 0.3f), .cameraAspect = uniform(0.3f, 3)};
    for (float& c : params.borderColor) c = uniform(0, 1);
    const auto fast = Run(params, camera, 67);
    gpu::software::ScopedReferencePaths reference;
    ASSERT_EQ(fast, Run(params, camera, 67)) << "trial " << trial;
  }
}

// Each creation step's failure: its line (after the compiler's text for a compile), false.
class CompositorFailureTest : public CompositorTest,
                              public ::testing::WithParamInterface<std::tuple<FaultPoint, int, std::string>> {};

TEST_P(CompositorFailureTest, LogsItsLine) {
  const auto& [point, skip, line] = GetParam();
  factory->Faults().Fail(point, E_FAIL, 1, skip);
  EXPECT_FALSE(compositor.Initialize(device, 64, 64));
  EXPECT_FALSE(compositor.IsInitialized());
  std::vector<std::string> expected{"[CameraCompositor] " + line + " failed\n"};
  if (point == FaultPoint::Compile) {
    expected.insert(expected.begin(), "Compositor.hlsl: error X0000: compilation failed with 0x80004005\n");
  }
  EXPECT_EQ(expected, debug.Lines());
  EXPECT_TRUE(compositor.Initialize(device, 64, 64));
}

INSTANTIATE_TEST_SUITE_P(
    Steps, CompositorFailureTest,
    ::testing::Values(std::tuple{FaultPoint::Compile, 0, "VS compile"},
                      std::tuple{FaultPoint::Compile, 1, "PS compile"},
                      std::tuple{FaultPoint::CreateVertexShader, 0, "CreateVertexShader"},
                      std::tuple{FaultPoint::CreatePixelShader, 0, "CreatePixelShader"},
                      std::tuple{FaultPoint::CreateSamplerState, 0, "CreateSamplerState"},
                      std::tuple{FaultPoint::CreateBlendState, 0, "CreateBlendState"},
                      std::tuple{FaultPoint::CreateRasterizerState, 0, "CreateRasterizerState"},
                      std::tuple{FaultPoint::CreateBuffer, 0, "CreateBuffer (CB)"},
                      std::tuple{FaultPoint::CreateTexture, 0, "CreateTexture2D (output)"},
                      std::tuple{FaultPoint::CreateRenderTargetView, 0, "CreateRenderTargetView"}));

// Quads given in pixels, each adding 1 to every pixel it covers. Four quads meet on edges through
// pixel centres, and each splits along a diagonal through centres too: the fill rule must give
// every pixel of the union to exactly one triangle, and no pixel outside it may be touched.
TEST_F(CompositorTest, RasteriserCoversEachPixelOnce) {
  gpu::RegisterKernel("RasterTest.hlsl", "VS", "vs_5_0", gpu::VertexKernel{0, [](const auto& b, uint32_t id, auto& o) {
    const auto quad = gpu::ReadConstants<std::array<float, 4>>(b, 0);
    o.position[0] = quad[id & 1 ? 2 : 0] / 12 - 1, o.position[1] = 1 - quad[id & 2 ? 3 : 1] / 12;
  }});
  gpu::RegisterKernel("RasterTest.hlsl", "PS", "ps_5_0", gpu::PixelKernel{[](const auto&, const gpu::PixelSpan& s) {
    std::fill_n(s.rgba, 4 * s.count, 1 / 255.f);
  }});
  std::shared_ptr<gpu::ShaderBlob> vsBlob, psBlob;
  std::shared_ptr<gpu::VertexShader> vs;
  std::shared_ptr<gpu::PixelShader> ps;
  ASSERT_EQ(S_OK, factory->CompileShader("RasterTest.hlsl", "", "VS", "vs_5_0", &vsBlob, nullptr));
  ASSERT_EQ(S_OK, factory->CompileShader("RasterTest.hlsl", "", "PS", "ps_5_0", &psBlob, nullptr));
  ASSERT_EQ(E_INVALIDARG, device->CreateVertexShader(*psBlob, &vs));
  ASSERT_EQ(S_OK, device->CreateVertexShader(*vsBlob, &vs));
  ASSERT_EQ(S_OK, device->CreatePixelShader(*psBlob, &ps));
  gpu::BlendDesc add;
  add.renderTarget[0] = {true, gpu::Blend::One, gpu::Blend::One, gpu::BlendOp::Add, gpu::Blend::One, gpu::Blend::One};
  std::shared_ptr<gpu::BlendState> blend;
  std::shared_ptr<gpu::Buffer> cb;
  std::shared_ptr<gpu::Texture2D> target;
  std::shared_ptr<gpu::RenderTargetView> rtv;
  ASSERT_EQ(S_OK, device->CreateBlendState(add, &blend));
  ASSERT_EQ(S_OK, device->CreateBuffer({16, gpu::Usage::Default, gpu::BIND_CONSTANT_BUFFER}, nullptr, &cb));
  ASSERT_EQ(S_OK, device->CreateTexture2D({.width = 24, .height = 24, .format = gpu::Format::B8G8R8A8_UNORM,
                                           .bindFlags = gpu::BIND_RENDER_TARGET},
                                          nullptr, 0, &target));
  ASSERT_EQ(S_OK, device->CreateRenderTargetView(target, &rtv));
  gpu::RenderTargetView* const rtvs[] = {rtv.get()};
  gpu::Buffer* const cbs[] = {cb.get()};
  const gpu::Viewport viewport{0, 0, 24, 24, 0, 1};
  context->OMSetRenderTargets(1, rtvs, nullptr);
  context->RSSetViewports(1, &viewport);
  context->OMSetBlendState(blend.get(), nullptr, 0xFFFFFFFFu);
  context->IASetPrimitiveTopology(gpu::PrimitiveTopology::TriangleStrip);
  context->VSSetShader(vs.get());
  context->PSSetShader(ps.get());
  context->VSSetConstantBuffers(0, 1, cbs);
  for (const auto& quad : {std::array{3.5f, 3.5f, 11.5f, 11.5f}, std::array{11.5f, 3.5f, 19.5f, 11.5f},
                           std::array{3.5f, 11.5f, 11.5f, 19.5f}, std::array{11.5f, 11.5f, 19.5f, 19.5f}}) {
    context->UpdateSubresource(*cb, quad.data(), 16);
    context->Draw(4, 0);
  }
  const auto out = ReadPixels(*target);
  for (uint32_t i = 0; i < out.size(); ++i) {
    const bool inside = i % 24 >= 3 && i % 24 < 19 && i / 24 >= 3 && i / 24 < 19;
    ASSERT_EQ(inside ? 0x01010101u : 0u, out[i]) << i % 24 << "," << i / 24;
  }
}

}  // namespace
}  // namespace kalto::test
