#include "encoding/color_converter.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <tuple>

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
  // Converts and reads the converter's NV12 staging texture back.
  Nv12 Convert(ColorConverter& converter, gpu::Texture2D& frame) {
    gpu::Texture2D* nv12 = nullptr;
    EXPECT_TRUE(converter.Convert(&frame, &nv12));
    EXPECT_NE(nullptr, nv12);
    Nv12 out;
    if (nv12 == nullptr) return out;
    out.width = converter.GetWidth();
    out.height = converter.GetHeight();
    EXPECT_EQ(out.height + out.height / 2, nv12->GetDesc().height);
    out.bytes = Read(*nv12);
    return out;
  }

  Nv12 ConvertSolid(uint32_t pixel, uint32_t width = 32, uint32_t height = 16) {
    ColorConverter converter(factory);
    EXPECT_TRUE(converter.Initialize(device.get(), width, height));
    auto frame = Frame(width, height, [&](uint32_t, uint32_t) { return pixel; });
    return Convert(converter, *frame);
  }

  // Every Y, U and V of `out` against the exact values for `pixel`.
  void ExpectMatchesReference(const Nv12& out, const std::function<uint32_t(uint32_t, uint32_t)>& pixel) {
    ASSERT_EQ(size_t(out.width) * (out.height + out.height / 2), out.bytes.size());
    const auto channel = [](uint32_t p, int shift) { return int64_t((p >> shift) & 0xFF); };
    int bad = 0;
    for (uint32_t y = 0; y < out.height && bad < 10; ++y) {
      for (uint32_t x = 0; x < out.width && bad < 10; ++x) {
        const uint32_t p = pixel(x, y);
        const uint8_t expected = RefLuma(channel(p, 16), channel(p, 8), channel(p, 0));
        if (out.Y(x, y) != expected) {
          ++bad;
          ADD_FAILURE() << "Y at " << x << "," << y << ": " << int(out.Y(x, y)) << " != " << int(expected);
        }
      }
    }
    for (uint32_t j = 0; j < out.height / 2 && bad < 10; ++j) {
      for (uint32_t i = 0; i < out.width / 2 && bad < 10; ++i) {
        int64_t r = 0, g = 0, b = 0;
        for (uint32_t k = 0; k < 4; ++k) {
          const uint32_t p = pixel(2 * i + (k & 1), 2 * j + (k >> 1));
          r += channel(p, 16);
          g += channel(p, 8);
          b += channel(p, 0);
        }
        if (out.U(i, j) != RefU(r, g, b) || out.V(i, j) != RefV(r, g, b)) {
          ++bad;
          ADD_FAILURE() << "UV at " << i << "," << j << ": " << int(out.U(i, j)) << "," << int(out.V(i, j))
                        << " != " << int(RefU(r, g, b)) << "," << int(RefV(r, g, b));
        }
      }
    }
  }
};

TEST_F(ColorConverterTest, PrimariesAndExtremesAreBt709LimitedRange) {
  struct Case {
    uint32_t pixel;
    std::array<int, 3> yuv;
  };
  const Case cases[] = {
      {Bgra(255, 255, 255), {235, 128, 128}}, {Bgra(0, 0, 0), {16, 128, 128}},
      {Bgra(255, 0, 0), {63, 102, 240}},      {Bgra(0, 0, 255), {32, 240, 118}},
      {Bgra(0, 255, 0), {173, 42, 26}},       {Bgra(0, 0, 0, 0), {16, 128, 128}},  // alpha plays no part
  };
  for (const auto& c : cases) {
    const Nv12 out = ConvertSolid(c.pixel);
    ASSERT_FALSE(out.bytes.empty());
    for (uint32_t y = 0; y < out.height; ++y) {
      for (uint32_t x = 0; x < out.width; ++x) ASSERT_EQ(c.yuv[0], out.Y(x, y)) << std::hex << c.pixel;
    }
    for (uint32_t j = 0; j < out.height / 2; ++j) {
      for (uint32_t i = 0; i < out.width / 2; ++i) {
        ASSERT_EQ(c.yuv[1], out.U(i, j)) << std::hex << c.pixel;
        ASSERT_EQ(c.yuv[2], out.V(i, j)) << std::hex << c.pixel;
      }
    }
  }
}

TEST_F(ColorConverterTest, GreyRampHasExactLumaAndNeutralChroma) {
  ColorConverter converter(factory);
  ASSERT_TRUE(converter.Initialize(device.get(), 512, 2));
  // Each grey twice, so every chroma block is one grey.
  auto frame = Frame(512, 2, [](uint32_t x, uint32_t) { return Bgra(x / 2, x / 2, x / 2); });
  const Nv12 out = Convert(converter, *frame);
  ASSERT_FALSE(out.bytes.empty());
  for (uint32_t v = 0; v < 256; ++v) {
    // round(16 + 219 v / 255), worked out by hand for a few: 0 -> 16, 128 -> 126, 255 -> 235.
    const int expected = int((2 * (16 * 255 + 219 * v) + 255) / 510);
    ASSERT_EQ(expected, out.Y(2 * v, 0)) << v;
    ASSERT_EQ(expected, out.Y(2 * v + 1, 1)) << v;
    ASSERT_EQ(128, out.U(v, 0)) << v;
    ASSERT_EQ(128, out.V(v, 0)) << v;
  }
  EXPECT_EQ(126, out.Y(256, 0));
}

TEST_F(ColorConverterTest, ChromaIsTheMeanOfEach2x2Block) {
  ColorConverter converter(factory);
  ASSERT_TRUE(converter.Initialize(device.get(), 4, 2));
  // Block 0: one red pixel and three black: mean red 63.75 -> U = 128 - 224 x 0.1146 x 0.25 =
  // 121.58, V = 128 + 224 x 0.125 = 156. Block 1: red, green, blue, white average to a grey.
  const uint32_t pixels[2][4] = {{Bgra(255, 0, 0), Bgra(0, 0, 0), Bgra(255, 0, 0), Bgra(0, 255, 0)},
                                 {Bgra(0, 0, 0), Bgra(0, 0, 0), Bgra(0, 0, 255), Bgra(255, 255, 255)}};
  auto frame = Frame(4, 2, [&](uint32_t x, uint32_t y) { return pixels[y][x]; });
  const Nv12 out = Convert(converter, *frame);
  ASSERT_FALSE(out.bytes.empty());
  EXPECT_EQ(122, out.U(0, 0));
  EXPECT_EQ(156, out.V(0, 0));
  EXPECT_EQ(128, out.U(1, 0));
  EXPECT_EQ(128, out.V(1, 0));
  // Luma stays per pixel.
  EXPECT_EQ(63, out.Y(0, 0));
  EXPECT_EQ(16, out.Y(1, 0));
  EXPECT_EQ(173, out.Y(3, 0));
  EXPECT_EQ(32, out.Y(2, 1));
  EXPECT_EQ(235, out.Y(3, 1));
}

// Every 24-bit colour once: luma exact for all of them, chroma exact for 4M mixed blocks. Rows
// are split into bands across threads, so a band or pitch fault shows up here too.
TEST_F(ColorConverterTest, EveryColourIsExactlyRounded) {
  constexpr uint32_t kSide = 4096;
  const auto pixel = [](uint32_t x, uint32_t y) {
    const uint32_t i = y * kSide + x;
    return Bgra(i & 0xFF, (i >> 8) & 0xFF, i >> 16);
  };
  ColorConverter converter(factory);
  ASSERT_TRUE(converter.Initialize(device.get(), kSide, kSide));
  auto frame = Frame(kSide, kSide, pixel);
  ExpectMatchesReference(Convert(converter, *frame), pixel);
}

// Sizes that are not multiples of the 16x16 groups, in both channel orders.
TEST_F(ColorConverterTest, PartialGroupsAndRgbaInputConvertEveryPixel) {
  const auto pixel = [](uint32_t x, uint32_t y) { return Bgra((x * 37 + y * 11) & 0xFF, (x * 5 + y * 71) & 0xFF, (x * y + 3) & 0xFF); };
  for (const auto format : {gpu::Format::B8G8R8A8_UNORM, gpu::Format::R8G8B8A8_UNORM}) {
    for (const auto& [w, h] : {std::pair{42u, 18u}, std::pair{2u, 2u}, std::pair{1366u, 770u}}) {
      ColorConverter converter(factory);
      ASSERT_TRUE(converter.Initialize(device.get(), w, h));
      auto frame = Frame(w, h, pixel, format);
      SCOPED_TRACE(::testing::Message() << w << "x" << h << " format " << int(format));
      ExpectMatchesReference(Convert(converter, *frame), pixel);
    }
  }
}

TEST_F(ColorConverterTest, HandsOutTheSameStagingTextureEveryFrame) {
  ColorConverter converter(factory);
  ASSERT_TRUE(converter.Initialize(device.get(), 16, 16));
  auto white = Frame(16, 16, [](uint32_t, uint32_t) { return Bgra(255, 255, 255); });
  auto red = Frame(16, 16, [](uint32_t, uint32_t) { return Bgra(255, 0, 0); });
  gpu::Texture2D* first = nullptr;
  gpu::Texture2D* second = nullptr;
  ASSERT_TRUE(converter.Convert(white.get(), &first));
  ASSERT_TRUE(converter.Convert(red.get(), &second));
  EXPECT_EQ(first, second);
  const gpu::TextureDesc desc = second->GetDesc();
  EXPECT_EQ(16u, desc.width);
  EXPECT_EQ(24u, desc.height);
  EXPECT_EQ(gpu::Format::R8_UNORM, desc.format);
  EXPECT_EQ(gpu::Usage::Staging, desc.usage);
  EXPECT_EQ(uint32_t(gpu::CPU_ACCESS_READ | gpu::CPU_ACCESS_WRITE), desc.cpuAccessFlags);
  const auto bytes = Read(*second);
  EXPECT_EQ(63, bytes[0]);
  EXPECT_EQ(102, bytes[16 * 16]);
  EXPECT_EQ(240, bytes[16 * 16 + 1]);
  EXPECT_TRUE(debug.Lines().empty());
}

TEST_F(ColorConverterTest, RejectsOddAndEmptySizes) {
  ColorConverter converter(factory);
  EXPECT_FALSE(converter.Initialize(device.get(), 1921, 1080));
  EXPECT_FALSE(converter.Initialize(device.get(), 1920, 1081));
  EXPECT_FALSE(converter.Initialize(device.get(), 0, 1080));
  EXPECT_FALSE(converter.Initialize(device.get(), 1920, 0));
  EXPECT_FALSE(converter.Initialize(nullptr, 1920, 1080));
  EXPECT_EQ((std::vector<std::string>{
                "[ColorConverter] Initialize failed: dimensions must be even for NV12\n",
                "[ColorConverter] Initialize failed: dimensions must be even for NV12\n",
                "[ColorConverter] Initialize failed: invalid parameters\n",
                "[ColorConverter] Initialize failed: invalid parameters\n",
                "[ColorConverter] Initialize failed: invalid parameters\n",
            }),
            debug.Lines());
  EXPECT_FALSE(converter.IsInitialized());
}

TEST_F(ColorConverterTest, RefusesAFrameOfAnotherSize) {
  ColorConverter converter(factory);
  ASSERT_TRUE(converter.Initialize(device.get(), 1920, 1088));
  auto frame = Frame(1920, 1080, [](uint32_t, uint32_t) { return 0u; });
  gpu::Texture2D* nv12 = nullptr;
  EXPECT_FALSE(converter.Convert(frame.get(), &nv12));
  EXPECT_EQ(nullptr, nv12);
  EXPECT_EQ((std::vector<std::string>{"[ColorConverter] Input dimensions mismatch: expected 1920x1088, got 1920x1080\n"}),
            debug.Lines());
  EXPECT_EQ(0, Faults().Calls(FaultPoint::CreateShaderResourceView));
}

TEST_F(ColorConverterTest, RefusesQuietlyBeforeInitializeAfterShutdownAndWithoutInput) {
  ColorConverter converter(factory);
  auto frame = Frame(16, 16, [](uint32_t, uint32_t) { return 0u; });
  gpu::Texture2D* nv12 = nullptr;
  EXPECT_FALSE(converter.Convert(frame.get(), &nv12));
  ASSERT_TRUE(converter.Initialize(device.get(), 16, 16));
  EXPECT_FALSE(converter.Convert(nullptr, &nv12));
  EXPECT_TRUE(converter.Convert(frame.get(), &nv12));
  converter.Shutdown();
  EXPECT_FALSE(converter.IsInitialized());
  EXPECT_EQ(0u, converter.GetWidth());
  EXPECT_FALSE(converter.Convert(frame.get(), &nv12));
  EXPECT_TRUE(debug.Lines().empty());
}

TEST_F(ColorConverterTest, CompilerErrorsAreWrittenAsNarrowText) {
  Faults().Fail(FaultPoint::Compile, E_FAIL, 1);
  ColorConverter converter(factory);
  EXPECT_FALSE(converter.Initialize(device.get(), 16, 16));
  EXPECT_EQ((std::vector<std::string>{
                "[ColorConverter] Shader compilation error:\n",
                "BgraToNv12.hlsl: error X0000: compilation failed with 0x80004005\n",
                "[ColorConverter] Failed to create shaders\n",
            }),
            debug.Lines());
  EXPECT_FALSE(converter.IsInitialized());
  // The next attempt compiles.
  debug.Clear();
  EXPECT_TRUE(converter.Initialize(device.get(), 16, 16));
  EXPECT_TRUE(debug.Lines().empty());
}

// Each creation step's failure: the fault, how many earlier calls of it pass, and the two lines.
using CreationFault = std::tuple<FaultPoint, int, std::string, std::string>;
class ColorConverterCreationTest : public ColorConverterTest,
                                   public ::testing::WithParamInterface<CreationFault> {};

TEST_P(ColorConverterCreationTest, LogsTheStepAndItsGroup) {
  const auto& [point, skip, stepLine, groupLine] = GetParam();
  Faults().Fail(point, E_OUTOFMEMORY, 1, skip);
  ColorConverter converter(factory);
  EXPECT_FALSE(converter.Initialize(device.get(), 1920, 1088));
  EXPECT_EQ((std::vector<std::string>{stepLine, groupLine}), debug.Lines());
  EXPECT_FALSE(converter.IsInitialized());
  auto frame = Frame(1920, 1088, [](uint32_t, uint32_t) { return 0u; });
  gpu::Texture2D* nv12 = nullptr;
  EXPECT_FALSE(converter.Convert(frame.get(), &nv12));
}

INSTANTIATE_TEST_SUITE_P(
    Steps, ColorConverterCreationTest,
    ::testing::Values(
        CreationFault{FaultPoint::CreateComputeShader, 0,
                      "[ColorConverter] Failed to create compute shader: 0x8007000E\n",
                      "[ColorConverter] Failed to create shaders\n"},
        CreationFault{FaultPoint::CreateTexture, 0, "[ColorConverter] Failed to create Y plane texture: 0x8007000E\n",
                      "[ColorConverter] Failed to create textures\n"},
        CreationFault{FaultPoint::CreateUnorderedAccessView, 0,
                      "[ColorConverter] Failed to create Y plane UAV: 0x8007000E\n",
                      "[ColorConverter] Failed to create textures\n"},
        CreationFault{FaultPoint::CreateTexture, 1, "[ColorConverter] Failed to create UV plane texture: 0x8007000E\n",
                      "[ColorConverter] Failed to create textures\n"},
        CreationFault{FaultPoint::CreateUnorderedAccessView, 1,
                      "[ColorConverter] Failed to create UV plane UAV: 0x8007000E\n",
                      "[ColorConverter] Failed to create textures\n"},
        CreationFault{FaultPoint::CreateTexture, 2, "[ColorConverter] Failed to create staging texture: 0x8007000E\n",
                      "[ColorConverter] Failed to create staging texture\n"},
        CreationFault{FaultPoint::CreateTexture, 3,
                      "[ColorConverter] Failed to create Y staging texture: 0x8007000E\n",
                      "[ColorConverter] Failed to create staging texture\n"},
        CreationFault{FaultPoint::CreateTexture, 4,
                      "[ColorConverter] Failed to create UV staging texture: 0x8007000E\n",
                      "[ColorConverter] Failed to create staging texture\n"}));

TEST_F(ColorConverterTest, InputViewFailureIsLoggedWithItsCode) {
  ColorConverter converter(factory);
  ASSERT_TRUE(converter.Initialize(device.get(), 16, 16));
  auto frame = Frame(16, 16, [](uint32_t, uint32_t) { return 0u; });
  Faults().Fail(FaultPoint::CreateShaderResourceView, E_INVALIDARG, 1);
  gpu::Texture2D* nv12 = nullptr;
  EXPECT_FALSE(converter.Convert(frame.get(), &nv12));
  EXPECT_EQ((std::vector<std::string>{"[ColorConverter] Failed to create input SRV: 0x80070057\n"}), debug.Lines());
  EXPECT_TRUE(converter.Convert(frame.get(), &nv12));
}

TEST_F(ColorConverterTest, MappingFailuresFailQuietlyOrKeepThePreviousPlane) {
  ColorConverter converter(factory);
  ASSERT_TRUE(converter.Initialize(device.get(), 16, 16));
  auto red = Frame(16, 16, [](uint32_t, uint32_t) { return Bgra(255, 0, 0); });
  auto blue = Frame(16, 16, [](uint32_t, uint32_t) { return Bgra(0, 0, 255); });
  gpu::Texture2D* nv12 = nullptr;

  // The NV12 staging texture cannot be mapped: no frame, no line.
  Faults().Fail(FaultPoint::Map, DXGI_ERROR_DEVICE_REMOVED, 1);
  EXPECT_FALSE(converter.Convert(red.get(), &nv12));
  ASSERT_TRUE(converter.Convert(red.get(), &nv12));

  // The Y staging texture cannot be mapped: the luma of the previous frame stays, chroma is new.
  Faults().Fail(FaultPoint::Map, DXGI_ERROR_DEVICE_REMOVED, 1, 1);
  ASSERT_TRUE(converter.Convert(blue.get(), &nv12));
  auto bytes = Read(*nv12);
  EXPECT_EQ(63, bytes[0]);
  EXPECT_EQ(63, bytes[16 * 16 - 1]);
  EXPECT_EQ(240, bytes[16 * 16]);
  EXPECT_EQ(118, bytes[16 * 16 + 1]);

  // The UV staging texture cannot be mapped: new luma, the previous chroma stays.
  Faults().Fail(FaultPoint::Map, DXGI_ERROR_DEVICE_REMOVED, 1, 2);
  ASSERT_TRUE(converter.Convert(red.get(), &nv12));
  bytes = Read(*nv12);
  EXPECT_EQ(63, bytes[0]);
  EXPECT_EQ(240, bytes[16 * 16]);
  EXPECT_EQ(118, bytes[16 * 24 - 1]);
  EXPECT_TRUE(debug.Lines().empty());
}

}  // namespace
}  // namespace kalto::test
