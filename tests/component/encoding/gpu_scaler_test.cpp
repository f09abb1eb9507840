#include "encoding/gpu_scaler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "encoding_fixture.h"

namespace kalto::test {
namespace {

using gpu::software::FaultPoint;

constexpr uint32_t kBlack = Bgra(0, 0, 0, 255);

uint32_t Pattern(uint32_t x, uint32_t y) { return Bgra((x * 7 + y * 3) & 0xFF, (x ^ y) & 0xFF, (x + 5 * y) & 0xFF, 17); }

// The encoder's sampling, written out from its definition: clamp, truncate, weight in single
// precision, truncate.
uint32_t SampleBilinear(const std::function<uint32_t(uint32_t, uint32_t)>& pixel, uint32_t ws, uint32_t hs, float x,
                        float y) {
  x = std::clamp(x, 0.0f, float(ws - 1));
  y = std::clamp(y, 0.0f, float(hs - 1));
  const auto x0 = uint32_t(x), y0 = uint32_t(y);
  const float fx = x - float(x0), fy = y - float(y0);
  const uint32_t x1 = std::min(x0 + 1, ws - 1), y1 = std::min(y0 + 1, hs - 1);
  uint32_t out = 0xFF000000u;
  for (int shift = 0; shift < 24; shift += 8) {
    const auto p = [&](uint32_t px, uint32_t py) { return float((pixel(px, py) >> shift) & 0xFF); };
    const float v = p(x0, y0) * (1 - fx) * (1 - fy) + p(x1, y0) * fx * (1 - fy) + p(x0, y1) * (1 - fx) * fy +
                    p(x1, y1) * fx * fy;
    out |= uint32_t(v) << shift;
  }
  return out;
}

class GpuScalerTest : public EncodingTest {
 protected:
  std::unique_ptr<GpuScaler> Make(uint32_t fps = 30) { return std::make_unique<GpuScaler>(device, context, fps); }

  std::vector<uint32_t> Scale(GpuScaler& scaler, gpu::Texture2D& frame) {
    EXPECT_TRUE(scaler.ScaleFrame(&frame));
    const auto bytes = Read(*scaler.Output());
    std::vector<uint32_t> words(bytes.size() / 4);
    std::memcpy(words.data(), bytes.data(), bytes.size());
    return words;
  }
};

TEST_F(GpuScalerTest, SixteenByNineFrameGetsFourBlackRowsAboveAndBelow) {
  auto scaler = Make();
  ASSERT_TRUE(scaler->EnsureScaler(1920, 1080, 1920, 1088));
  const auto desc = scaler->Output()->GetDesc();
  EXPECT_EQ(1920u, desc.width);
  EXPECT_EQ(1088u, desc.height);
  EXPECT_EQ(gpu::Format::B8G8R8A8_UNORM, desc.format);
  EXPECT_EQ(uint32_t(gpu::BIND_RENDER_TARGET), desc.bindFlags);

  auto frame = Frame(1920, 1080, Pattern);
  const auto out = Scale(*scaler, *frame);
  ASSERT_EQ(size_t(1920) * 1088, out.size());
  for (uint32_t y = 0; y < 1088; ++y) {
    for (uint32_t x = 0; x < 1920; ++x) {
      // 1:1 inside the picture, exact, alpha opaque.
      const uint32_t expected = (y < 4 || y >= 1084) ? kBlack : (Pattern(x, y - 4) | 0xFF000000u);
      ASSERT_EQ(expected, out[size_t(y) * 1920 + x]) << x << "," << y;
    }
  }
  EXPECT_TRUE(debug.Lines().empty());
}

TEST_F(GpuScalerTest, NarrowFrameIsCentredWithBarsOnBothSides) {
  auto scaler = Make();
  ASSERT_TRUE(scaler->EnsureScaler(1366, 768, 1376, 768));
  auto frame = Frame(1366, 768, Pattern, gpu::Format::R8G8B8A8_UNORM);
  const auto out = Scale(*scaler, *frame);
  ASSERT_EQ(size_t(1376) * 768, out.size());
  for (uint32_t y = 0; y < 768; ++y) {
    for (uint32_t x = 0; x < 1376; ++x) {
      const uint32_t expected = (x < 5 || x >= 1371) ? kBlack : (Pattern(x - 5, y) | 0xFF000000u);
      ASSERT_EQ(expected, out[size_t(y) * 1376 + x]) << x << "," << y;
    }
  }
}

TEST_F(GpuScalerTest, SquareFrameIsScaledUpBilinearlyBetweenBlackSides) {
  auto scaler = Make();
  ASSERT_TRUE(scaler->EnsureScaler(1000, 1000, 1920, 1088));
  auto frame = Frame(1000, 1000, Pattern);
  const auto out = Scale(*scaler, *frame);
  ASSERT_EQ(size_t(1920) * 1088, out.size());
  const float s = 1000.0f / 1088.0f;
  for (uint32_t y = 0; y < 1088; ++y) {
    for (uint32_t x = 0; x < 1920; ++x) {
      const uint32_t expected =
          (x < 416 || x >= 1504) ? kBlack : SampleBilinear(Pattern, 1000, 1000, float(x - 416) * s, float(y) * s);
      ASSERT_EQ(expected, out[size_t(y) * 1920 + x]) << x << "," << y;
    }
  }
}

TEST_F(GpuScalerTest, KnownGradientHalvesBetweenPixels) {
  auto scaler = Make();
  ASSERT_TRUE(scaler->EnsureScaler(5, 1, 10, 2));
  // Blue 0, 50, 100, 150, 200 across; sampled every half pixel, the last position clamped.
  auto frame = Frame(5, 1, [](uint32_t x, uint32_t) { return Bgra(200 - 50 * x, 7, 50 * x); });
  const auto out = Scale(*scaler, *frame);
  const int blue[10] = {0, 25, 50, 75, 100, 125, 150, 175, 200, 200};
  for (uint32_t y = 0; y < 2; ++y) {
    for (uint32_t x = 0; x < 10; ++x) {
      ASSERT_EQ(Bgra(200 - blue[x], 7, blue[x]), out[y * 10 + x]) << x << "," << y;
    }
  }
}

TEST_F(GpuScalerTest, SmallerSourceReusesTheScalerLargerOneRebuildsIt) {
  auto scaler = Make();
  ASSERT_TRUE(scaler->EnsureScaler(1920, 1080, 1920, 1088));
  const auto output = scaler->Output();
  ASSERT_TRUE(scaler->EnsureScaler(1280, 1024, 1920, 1088));
  EXPECT_EQ(output, scaler->Output());
  EXPECT_EQ(1, Faults().Calls(FaultPoint::CreateVideoProcessor));
  EXPECT_EQ(1920u, scaler->MaxInputWidth());
  EXPECT_EQ(1080u, scaler->MaxInputHeight());

  // The reused scaler letterboxes the smaller frame by its own aspect ratio: 1280x1024 is 5:4,
  // so it fills 1360 of 1920 columns at x = 280.
  auto small = Frame(1280, 1024, [](uint32_t, uint32_t) { return Bgra(255, 255, 255); });
  const auto out = Scale(*scaler, *small);
  EXPECT_EQ(kBlack, out[279]);
  EXPECT_EQ(Bgra(255, 255, 255), out[280]);
  EXPECT_EQ(Bgra(255, 255, 255), out[1639]);
  EXPECT_EQ(kBlack, out[1640]);

  ASSERT_TRUE(scaler->EnsureScaler(2560, 1440, 1920, 1088));
  EXPECT_NE(output, scaler->Output());
  EXPECT_EQ(2, Faults().Calls(FaultPoint::CreateVideoProcessor));
  EXPECT_EQ(2560u, scaler->MaxInputWidth());
  EXPECT_EQ(1440u, scaler->MaxInputHeight());
  // Wider but not taller also rebuilds.
  ASSERT_TRUE(scaler->EnsureScaler(2561, 100, 1920, 1088));
  EXPECT_EQ(3, Faults().Calls(FaultPoint::CreateVideoProcessor));
  EXPECT_TRUE(debug.Lines().empty());
}

TEST_F(GpuScalerTest, WithoutADeviceEveryAttemptSaysSo) {
  GpuScaler scaler(nullptr, nullptr, 30);
  EXPECT_FALSE(scaler.EnsureScaler(1920, 1080, 1920, 1088));
  EXPECT_FALSE(scaler.EnsureScaler(1920, 1080, 1920, 1088));
  EXPECT_EQ(2, debug.Count("[Encoder] GPU Scaler: No D3D device available\n"));
  EXPECT_EQ(2u, debug.Lines().size());
  EXPECT_FALSE(scaler.IsReady());
}

using ScalerFault = std::pair<FaultPoint, std::string>;
class GpuScalerCreationTest : public GpuScalerTest, public ::testing::WithParamInterface<ScalerFault> {};

TEST_P(GpuScalerCreationTest, FailureIsLoggedReleasedAndRetriedOnTheNextFrame) {
  const auto& [point, line] = GetParam();
  auto frame = Frame(16, 16, Pattern);
  Faults().Fail(point, E_NOINTERFACE);
  auto scaler = Make();
  EXPECT_FALSE(scaler->EnsureScaler(1920, 1080, 1920, 1088));
  EXPECT_FALSE(scaler->EnsureScaler(1280, 720, 1920, 1088));
  EXPECT_EQ((std::vector<std::string>{line, line}), debug.Lines());
  EXPECT_FALSE(scaler->IsReady());
  EXPECT_FALSE(scaler->Output());
  EXPECT_FALSE(scaler->ScaleFrame(frame.get()));

  Faults().Clear(point);
  EXPECT_TRUE(scaler->EnsureScaler(1280, 720, 1920, 1088));
  EXPECT_TRUE(scaler->ScaleFrame(frame.get()));
  EXPECT_EQ(2u, debug.Lines().size());
}

INSTANTIATE_TEST_SUITE_P(
    Steps, GpuScalerCreationTest,
    ::testing::Values(
        ScalerFault{FaultPoint::QueryVideoDevice, "[Encoder] GPU Scaler: Failed to get ID3D11VideoDevice: 0x80004002\n"},
        ScalerFault{FaultPoint::QueryVideoContext,
                    "[Encoder] GPU Scaler: Failed to get ID3D11VideoContext: 0x80004002\n"},
        ScalerFault{FaultPoint::CreateVideoProcessorEnumerator,
                    "[Encoder] GPU Scaler: Failed to create enumerator: 0x80004002\n"},
        ScalerFault{FaultPoint::CreateVideoProcessor, "[Encoder] GPU Scaler: Failed to create processor: 0x80004002\n"},
        ScalerFault{FaultPoint::CreateTexture, "[Encoder] GPU Scaler: Failed to create output texture: 0x80004002\n"},
        ScalerFault{FaultPoint::CreateVideoProcessorOutputView,
                    "[Encoder] GPU Scaler: Failed to create output view: 0x80004002\n"}));

TEST_F(GpuScalerTest, FrameFailuresAreLoggedAndLeaveTheScalerReady) {
  auto scaler = Make();
  auto frame = Frame(64, 36, Pattern);
  EXPECT_FALSE(scaler->ScaleFrame(frame.get()));  // not ready: quiet
  ASSERT_TRUE(scaler->EnsureScaler(64, 36, 64, 48));
  EXPECT_FALSE(scaler->ScaleFrame(nullptr));
  EXPECT_TRUE(debug.Lines().empty());

  Faults().Fail(FaultPoint::CreateVideoProcessorInputView, E_INVALIDARG, 1);
  EXPECT_FALSE(scaler->ScaleFrame(frame.get()));
  Faults().Fail(FaultPoint::VideoProcessorBlt, DXGI_ERROR_DEVICE_REMOVED, 1);
  EXPECT_FALSE(scaler->ScaleFrame(frame.get()));
  EXPECT_EQ((std::vector<std::string>{"[Encoder] GPU Scaler: Failed to create input view\n",
                                      "[Encoder] GPU Scaler: VideoProcessorBlt failed: 0x887A0005\n"}),
            debug.Lines());
  EXPECT_TRUE(scaler->IsReady());
  EXPECT_TRUE(scaler->ScaleFrame(frame.get()));
}

// The output is written whole every frame: bars from an earlier, differently placed picture do
// not survive.
TEST_F(GpuScalerTest, EachFrameRepaintsTheBars) {
  auto scaler = Make();
  ASSERT_TRUE(scaler->EnsureScaler(32, 32, 32, 16));
  auto wide = Frame(32, 8, [](uint32_t, uint32_t) { return Bgra(255, 255, 255); });
  auto tall = Frame(8, 32, [](uint32_t, uint32_t) { return Bgra(255, 255, 255); });
  Scale(*scaler, *wide);
  const auto out = Scale(*scaler, *tall);
  // 8x32 into 32x16: 4 wide at x = 14.
  for (uint32_t x = 0; x < 32; ++x) {
    EXPECT_EQ((x >= 14 && x < 18) ? Bgra(255, 255, 255) : kBlack, out[8 * 32 + x]) << x;
  }
}

}  // namespace
}  // namespace kalto::test
