#include "encoding/color_converter.h"

#include <tuple>

#include "encoding/nv12_rows.h"
#include "encoding_fixture.h"

namespace kalto::test {
namespace {

using gpu::software::FaultPoint;

struct Nv12 {
  uint32_t width = 0, height = 0;
  std::vector<uint8_t> bytes;  // width x (height + height / 2), tightly packed
  uint8_t Y(uint32_t x, uint32_t y) const { return bytes[size_t(y) * width + x]; }
  uint8_t U(uint32_t i, uint32_t j) const { return bytes[size_t(height + j) * width + 2 * i]; }
  uint8_t V(uint32_t i, uint32_t j) const { return bytes[size_t(height + j) * width + 2 * i + 1]; }
};

class ColorConverterTest : public EncodingTest {
 protected:
  // Every Y, U and V of a `width` x `height` frame against the per-value functions, whose exact
  // rounding the unit tests prove; chroma from each 2x2 block's sums.
  void ExpectExact(const PixelFn& pixel, uint32_t width, uint32_t height, gpu::Format format = gpu::Format::B8G8R8A8_UNORM) {
    ColorConverter converter(factory);
    ASSERT_TRUE(converter.Initialize(device.get(), width, height));
    gpu::Texture2D* nv12 = nullptr;
    ASSERT_TRUE(converter.Convert(Frame(width, height, pixel, format).get(), &nv12));
    const Nv12 out{width, height, ReadTextureBytes(*nv12)};
    ASSERT_EQ(size_t(width) * (height + height / 2), out.bytes.size());
    const auto ch = [](uint32_t p, int shift) { return (p >> shift) & 0xFF; };
    int bad = 0;
    for (uint32_t y = 0; y < height && bad < 10; ++y) {
      for (uint32_t x = 0; x < width && bad < 10; ++x) {
        const uint32_t p = pixel(x, y);
        const uint8_t expected = nv12::Luma(ch(p, 16), ch(p, 8), ch(p, 0));
        if (out.Y(x, y) != expected && ++bad) ADD_FAILURE() << "Y at " << x << "," << y;
      }
    }
    for (uint32_t j = 0; j < height / 2 && bad < 10; ++j) {
      for (uint32_t i = 0; i < width / 2 && bad < 10; ++i) {
        uint32_t r = 0, g = 0, b = 0;
        for (uint32_t k = 0; k < 4; ++k) {
          const uint32_t p = pixel(2 * i + (k & 1), 2 * j + (k >> 1));
          r += ch(p, 16), g += ch(p, 8), b += ch(p, 0);
        }
        if ((out.U(i, j) != nv12::ChromaU(r, g, b) || out.V(i, j) != nv12::ChromaV(r, g, b)) && ++bad) {
          ADD_FAILURE() << "UV at " << i << "," << j;
        }
      }
    }
  }
};

// Every 24-bit colour once: luma exact for all of them, chroma for 4M mixed blocks. Rows are split
// into bands across threads, so a band or pitch fault shows up here too.
TEST_F(ColorConverterTest, EveryColourIsExactlyRounded) {
  ExpectExact([](uint32_t x, uint32_t y) {
    const uint32_t i = y * 4096 + x;
    return Bgra(i & 0xFF, (i >> 8) & 0xFF, i >> 16);
  }, 4096, 4096);
}

// Sizes that are not multiples of the 16x16 groups, in both channel orders; alpha plays no part.
TEST_F(ColorConverterTest, PartialGroupsAndRgbaInputConvertEveryPixel) {
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
  EXPECT_FALSE(converter.Initialize(device.get(), 1921, 1080));
  EXPECT_FALSE(converter.Initialize(device.get(), 1920, 1081));
  EXPECT_FALSE(converter.Initialize(device.get(), 0, 1080));
  EXPECT_FALSE(converter.Initialize(device.get(), 1920, 0));
  EXPECT_FALSE(converter.Initialize(nullptr, 1920, 1080));
  EXPECT_FALSE(converter.IsInitialized());
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
using CreationFault = std::tuple<FaultPoint, int, std::vector<std::string>>;
class ColorConverterCreationTest : public ColorConverterTest, public ::testing::WithParamInterface<CreationFault> {};

TEST_P(ColorConverterCreationTest, LogsTheStepAndItsGroup) {
  const auto& [point, skip, lines] = GetParam();
  Faults().Fail(point, E_OUTOFMEMORY, 1, skip);
  ColorConverter converter(factory);
  EXPECT_FALSE(converter.Initialize(device.get(), 1920, 1088));
  EXPECT_EQ(lines, debug.Lines());
  gpu::Texture2D* nv12 = nullptr;
  EXPECT_FALSE(converter.Convert(Solid(1920, 1088, 0).get(), &nv12));
  EXPECT_TRUE(converter.Initialize(device.get(), 1920, 1088));
}

// A step's line and its group's.
std::vector<std::string> Lines(const std::string& step, const std::string& group) {
  return {"[ColorConverter] Failed to create " + step + ": 0x8007000E\n", "[ColorConverter] Failed to create " + group + "\n"};
}
INSTANTIATE_TEST_SUITE_P(
    Steps, ColorConverterCreationTest,
    ::testing::Values(CreationFault{FaultPoint::Compile, 0, {"[ColorConverter] Shader compilation error:\n",
                                                             "BgraToNv12.hlsl: error X0000: compilation failed with 0x8007000E\n",
                                                             "[ColorConverter] Failed to create shaders\n"}},
                      CreationFault{FaultPoint::CreateComputeShader, 0, Lines("compute shader", "shaders")},
                      CreationFault{FaultPoint::CreateTexture, 0, Lines("Y plane texture", "textures")},
                      CreationFault{FaultPoint::CreateUnorderedAccessView, 0, Lines("Y plane UAV", "textures")},
                      CreationFault{FaultPoint::CreateTexture, 1, Lines("UV plane texture", "textures")},
                      CreationFault{FaultPoint::CreateUnorderedAccessView, 1, Lines("UV plane UAV", "textures")},
                      CreationFault{FaultPoint::CreateTexture, 2, Lines("staging texture", "staging texture")},
                      CreationFault{FaultPoint::CreateTexture, 3, Lines("Y staging texture", "staging texture")},
                      CreationFault{FaultPoint::CreateTexture, 4, Lines("UV staging texture", "staging texture")}));

// Per-frame failures: the input view (logged), the NV12 staging texture (quiet, no frame), or one
// plane's staging texture (quiet; that plane keeps the previous frame's values).
TEST_F(ColorConverterTest, FrameFailuresFailOrKeepThePreviousPlane) {
  ColorConverter converter(factory);
  ASSERT_TRUE(converter.Initialize(device.get(), 16, 16));
  auto red = Solid(16, 16, Bgra(255, 0, 0));
  gpu::Texture2D* nv12 = nullptr;
  gpu::Texture2D* first = nullptr;
  const auto sample = [&] {
    const auto bytes = ReadTextureBytes(*nv12);
    return std::vector<uint8_t>{bytes[0], bytes[255], bytes[256], bytes[257], bytes[383]};
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
