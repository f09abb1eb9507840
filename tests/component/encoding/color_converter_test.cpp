#include "encoding/color_converter.h"

#include <tuple>

#include "encoding_fixture.h"

namespace kalto::test {
namespace {

using gpu::software::FaultPoint;

class ColorConverterTest : public EncodingTest {
 protected:
  void ExpectExact(const PixelFn& pixel, uint32_t width, uint32_t height,
                   gpu::Format format = gpu::Format::B8G8R8A8_UNORM) {
    ColorConverter converter(factory);
    ASSERT_TRUE(converter.Initialize(device.get(), width, height));
    gpu::Texture2D* nv12 = nullptr;
    ASSERT_TRUE(converter.Convert(Frame(width, height, pixel, format).get(), &nv12));
    const auto out = ReadTextureBytes(*nv12), expected = Nv12Reference(pixel, width, height);
    ASSERT_EQ(expected.size(), out.size());
    const auto at = std::mismatch(out.begin(), out.end(), expected.begin()).first - out.begin();
    EXPECT_EQ(ptrdiff_t(out.size()), at) << "first wrong byte";
  }
};

// Every 24-bit colour once (luma) and 4M mixed blocks (chroma), then sizes that are not multiples
// of the 16x16 groups in both channel orders, alpha playing no part. Rows are split into bands
// across threads, so a band or pitch fault shows up here too.
TEST_F(ColorConverterTest, EveryPixelIsExactlyRounded) {
  ExpectExact([](uint32_t x, uint32_t y) { return (y * 4096 + x) | 0xFF000000u; }, 4096, 4096);
  const auto pixel = [](uint32_t x, uint32_t y) { return (x * 0x9E3779B1u) ^ (y * 0x85EBCA77u); };
  for (const auto format : {gpu::Format::B8G8R8A8_UNORM, gpu::Format::R8G8B8A8_UNORM}) {
    for (const auto& [w, h] : {std::pair{42u, 18u}, std::pair{2u, 2u}, std::pair{1366u, 770u}}) {
      SCOPED_TRACE(::testing::Message() << w << "x" << h << " format " << int(format));
      ExpectExact(pixel, w, h, format);
    }
  }
}

// Bad sizes and each creation step's failure (the fault, how many earlier calls of it pass) are
// refused with their lines, the compiler's errors passed on as narrow text; the next attempt works.
TEST_F(ColorConverterTest, InitializeFailuresLogTheirLines) {
  const auto lines = [](const std::string& step, const std::string& group) {
    return std::vector<std::string>{"[ColorConverter] Failed to create " + step + ": 0x8007000E\n",
                                    "[ColorConverter] Failed to create " + group + "\n"};
  };
  const std::string odd = "[ColorConverter] Initialize failed: dimensions must be even for NV12\n";
  const std::string invalid = "[ColorConverter] Initialize failed: invalid parameters\n";
  const FaultPoint none = FaultPoint::OpenSharedResource;  // never reached by Initialize
  const std::tuple<FaultPoint, int, uint32_t, uint32_t, std::vector<std::string>> cases[] = {
      {none, 0, 1921, 1088, {odd}}, {none, 0, 1920, 1089, {odd}}, {none, 0, 0, 1088, {invalid}}, {none, 0, 1920, 0, {invalid}},
      {FaultPoint::Compile, 0, 1920, 1088, {"[ColorConverter] Shader compilation error:\n",
                                            "BgraToNv12.hlsl: error X0000: compilation failed with 0x8007000E\n",
                                            "[ColorConverter] Failed to create shaders\n"}},
      {FaultPoint::CreateComputeShader, 0, 1920, 1088, lines("compute shader", "shaders")},
      {FaultPoint::CreateTexture, 0, 1920, 1088, lines("Y plane texture", "textures")},
      {FaultPoint::CreateUnorderedAccessView, 0, 1920, 1088, lines("Y plane UAV", "textures")},
      {FaultPoint::CreateTexture, 1, 1920, 1088, lines("UV plane texture", "textures")},
      {FaultPoint::CreateUnorderedAccessView, 1, 1920, 1088, lines("UV plane UAV", "textures")},
      {FaultPoint::CreateTexture, 2, 1920, 1088, lines("staging texture", "staging texture")},
      {FaultPoint::CreateTexture, 3, 1920, 1088, lines("Y staging texture", "staging texture")},
      {FaultPoint::CreateTexture, 4, 1920, 1088, lines("UV staging texture", "staging texture")}};
  auto frame = Solid(1920, 1088, 0);
  gpu::Texture2D* nv12 = nullptr;
  for (const auto& [point, skip, w, h, expected] : cases) {
    SCOPED_TRACE(expected.back());
    debug.Clear();
    Faults().Fail(point, E_OUTOFMEMORY, 1, skip);
    ColorConverter converter(factory);
    EXPECT_FALSE(converter.Initialize(device.get(), w, h));
    EXPECT_EQ(expected, debug.Lines());
    EXPECT_FALSE(converter.Convert(frame.get(), &nv12));
    EXPECT_TRUE(converter.Initialize(device.get(), 1920, 1088));
    Faults().ClearAll();
  }
  debug.Clear();
  EXPECT_FALSE(ColorConverter(factory).Initialize(nullptr, 1920, 1088));
  EXPECT_EQ(std::vector<std::string>{invalid}, debug.Lines());
}

// Frames without input, of another size (logged, before any view is made) or after Shutdown are
// refused, as are those whose input view (logged) or NV12 staging texture cannot be had. A plane
// whose own staging texture cannot be mapped keeps the previous frame's values.
TEST_F(ColorConverterTest, FrameFailuresFailOrKeepThePreviousPlane) {
  ColorConverter converter(factory);
  ASSERT_TRUE(converter.Initialize(device.get(), 16, 16));
  auto red = Solid(16, 16, Bgra(255, 0, 0));
  gpu::Texture2D* nv12 = nullptr;
  EXPECT_FALSE(converter.Convert(nullptr, &nv12) || converter.Convert(Solid(16, 14, 0).get(), &nv12));
  Faults().Fail(FaultPoint::CreateShaderResourceView, E_INVALIDARG, 1);
  EXPECT_FALSE(converter.Convert(red.get(), &nv12));
  Faults().Fail(FaultPoint::Map, DXGI_ERROR_DEVICE_REMOVED, 1);
  EXPECT_FALSE(converter.Convert(red.get(), &nv12));
  EXPECT_EQ(nullptr, nv12);
  EXPECT_EQ((std::vector<std::string>{"[ColorConverter] Input dimensions mismatch: expected 16x16, got 16x14\n",
                                      "[ColorConverter] Failed to create input SRV: 0x80070057\n"}), debug.Lines());
  ASSERT_TRUE(converter.Convert(red.get(), &nv12));
  Faults().Fail(FaultPoint::Map, DXGI_ERROR_DEVICE_REMOVED, 1, 1);
  ASSERT_TRUE(converter.Convert(Solid(16, 16, Bgra(0, 0, 255)).get(), &nv12));
  const auto b = ReadTextureBytes(*nv12);  // red luma, blue chroma
  EXPECT_EQ((std::vector<uint8_t>{63, 63, 240, 118, 118}), (std::vector<uint8_t>{b[0], b[255], b[256], b[257], b[383]}));
  converter.Shutdown();
  EXPECT_FALSE(converter.Convert(red.get(), &nv12));
}

}  // namespace
}  // namespace kalto::test
