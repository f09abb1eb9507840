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
  const auto pixel = [](uint32_t x, uint32_t y) {
    return Bgra((x * 37 + y * 11) & 0xFF, (x * 5 + y * 71) & 0xFF, (x * y + 3) & 0xFF, (x * 3) & 0xFF);
  };
  for (const auto format : {gpu::Format::B8G8R8A8_UNORM, gpu::Format::R8G8B8A8_UNORM}) {
    for (const auto& [w, h] : {std::pair{42u, 18u}, std::pair{2u, 2u}, std::pair{1366u, 770u}}) {
      SCOPED_TRACE(::testing::Message() << w << "x" << h << " format " << int(format));
      ExpectExact(pixel, w, h, format);
    }
  }
}

// Bad sizes are refused with their lines; frames before Initialize, after Shutdown or without
// input quietly; frames of another size with their line, before any view is made.
TEST_F(ColorConverterTest, RefusesBadSizesAndFramesItCannotConvert) {
  ColorConverter converter(factory);
  gpu::Texture2D* nv12 = nullptr;
  auto frame = Solid(16, 16, 0);
  EXPECT_FALSE(converter.Convert(frame.get(), &nv12));
  for (const auto& [w, h] : {std::pair{1921u, 1080u}, {1920u, 1081u}, {0u, 1080u}, {1920u, 0u}}) {
    EXPECT_FALSE(converter.Initialize(device.get(), w, h));
  }
  EXPECT_FALSE(converter.Initialize(nullptr, 1920, 1080));
  const std::string odd = "[ColorConverter] Initialize failed: dimensions must be even for NV12\n";
  const std::string invalid = "[ColorConverter] Initialize failed: invalid parameters\n";
  EXPECT_EQ((std::vector<std::string>{odd, odd, invalid, invalid, invalid}), debug.Lines());
  debug.Clear();
  ASSERT_TRUE(converter.Initialize(device.get(), 16, 16));
  EXPECT_FALSE(converter.Convert(nullptr, &nv12));
  EXPECT_FALSE(converter.Convert(Solid(16, 14, 0).get(), &nv12));
  EXPECT_EQ(nullptr, nv12);
  EXPECT_EQ(0, Faults().Calls(FaultPoint::CreateShaderResourceView));
  EXPECT_TRUE(converter.Convert(frame.get(), &nv12));
  converter.Shutdown();
  EXPECT_FALSE(converter.Convert(frame.get(), &nv12));
  EXPECT_EQ((std::vector<std::string>{"[ColorConverter] Input dimensions mismatch: expected 16x16, got 16x14\n"}),
            debug.Lines());
}

// Each creation step's failure: the fault, how many earlier calls of it pass, and the lines (the
// compiler's errors are passed on as narrow text). The next attempt succeeds.
TEST_F(ColorConverterTest, CreationFailuresLogTheStepAndItsGroup) {
  const auto lines = [](const std::string& step, const std::string& group) {
    return std::vector<std::string>{"[ColorConverter] Failed to create " + step + ": 0x8007000E\n",
                                    "[ColorConverter] Failed to create " + group + "\n"};
  };
  const std::tuple<FaultPoint, int, std::vector<std::string>> steps[] = {
      {FaultPoint::Compile, 0, {"[ColorConverter] Shader compilation error:\n",
                                "BgraToNv12.hlsl: error X0000: compilation failed with 0x8007000E\n",
                                "[ColorConverter] Failed to create shaders\n"}},
      {FaultPoint::CreateComputeShader, 0, lines("compute shader", "shaders")},
      {FaultPoint::CreateTexture, 0, lines("Y plane texture", "textures")},
      {FaultPoint::CreateUnorderedAccessView, 0, lines("Y plane UAV", "textures")},
      {FaultPoint::CreateTexture, 1, lines("UV plane texture", "textures")},
      {FaultPoint::CreateUnorderedAccessView, 1, lines("UV plane UAV", "textures")},
      {FaultPoint::CreateTexture, 2, lines("staging texture", "staging texture")},
      {FaultPoint::CreateTexture, 3, lines("Y staging texture", "staging texture")},
      {FaultPoint::CreateTexture, 4, lines("UV staging texture", "staging texture")}};
  auto frame = Solid(1920, 1088, 0);
  for (const auto& [point, skip, expected] : steps) {
    SCOPED_TRACE(expected.front());
    debug.Clear();
    Faults().Fail(point, E_OUTOFMEMORY, 1, skip);
    ColorConverter converter(factory);
    gpu::Texture2D* nv12 = nullptr;
    EXPECT_FALSE(converter.Initialize(device.get(), 1920, 1088));
    EXPECT_EQ(expected, debug.Lines());
    EXPECT_FALSE(converter.Convert(frame.get(), &nv12));
    EXPECT_TRUE(converter.Initialize(device.get(), 1920, 1088));
  }
}

// Per-frame failures: the input view (logged), the NV12 staging texture (quiet, no frame), or one
// plane's staging texture (quiet; that plane keeps the previous frame's values).
TEST_F(ColorConverterTest, FrameFailuresFailOrKeepThePreviousPlane) {
  ColorConverter converter(factory);
  ASSERT_TRUE(converter.Initialize(device.get(), 16, 16));
  auto red = Solid(16, 16, Bgra(255, 0, 0));
  gpu::Texture2D *nv12 = nullptr, *first = nullptr;
  const auto sample = [&] {  // first and last luma, first and last chroma pair
    const auto b = ReadTextureBytes(*nv12);
    return std::vector<uint8_t>{b[0], b[255], b[256], b[257], b[383]};
  };
  Faults().Fail(FaultPoint::CreateShaderResourceView, E_INVALIDARG, 1);
  EXPECT_FALSE(converter.Convert(red.get(), &nv12));
  EXPECT_EQ((std::vector<std::string>{"[ColorConverter] Failed to create input SRV: 0x80070057\n"}), debug.Lines());
  debug.Clear();
  Faults().Fail(FaultPoint::Map, DXGI_ERROR_DEVICE_REMOVED, 1);
  EXPECT_FALSE(converter.Convert(red.get(), &nv12));
  ASSERT_TRUE(converter.Convert(red.get(), &first));
  Faults().Fail(FaultPoint::Map, DXGI_ERROR_DEVICE_REMOVED, 1, 1);
  ASSERT_TRUE(converter.Convert(Solid(16, 16, Bgra(0, 0, 255)).get(), &nv12));
  EXPECT_EQ(first, nv12);  // the same staging texture every frame
  EXPECT_EQ((std::vector<uint8_t>{63, 63, 240, 118, 118}), sample());  // red luma, blue chroma
  Faults().Fail(FaultPoint::Map, DXGI_ERROR_DEVICE_REMOVED, 1, 2);
  ASSERT_TRUE(converter.Convert(Solid(16, 16, Bgra(255, 255, 255)).get(), &nv12));
  EXPECT_EQ((std::vector<uint8_t>{235, 235, 240, 118, 118}), sample());  // white luma, blue chroma
  EXPECT_TRUE(debug.Lines().empty());
}

}  // namespace
}  // namespace kalto::test
