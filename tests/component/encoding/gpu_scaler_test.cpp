#include "encoding/gpu_scaler.h"

#include "encoding_fixture.h"

namespace kalto::test {
namespace {

using gpu::software::FaultPoint;

constexpr uint32_t kBlack = Bgra(0, 0, 0), kWhite = Bgra(255, 255, 255);

uint32_t Pattern(uint32_t x, uint32_t y) { return Bgra((x * 7 + y * 3) & 0xFF, (x ^ y) & 0xFF, (x + 5 * y) & 0xFF, 17); }

class GpuScalerTest : public EncodingTest {
 protected:
  std::unique_ptr<GpuScaler> Make() { return std::make_unique<GpuScaler>(device, context, 30); }
  std::vector<uint32_t> Scale(GpuScaler& scaler, gpu::Texture2D& frame) {
    EXPECT_TRUE(scaler.ScaleFrame(&frame));
    return ReadPixels(*scaler.Output());
  }
};

// Every output pixel: black outside the letterbox rectangle, the bilinear sample inside (at whole
// pixels, the source pixel itself), alpha opaque, either channel order in.
TEST_F(GpuScalerTest, FramesAreLetterboxedIntoTheirRectangleExactly) {
  struct Case {
    uint32_t ws, hs, wt, ht, left, top, right;
    gpu::Format format;
  };
  const Case cases[] = {{1920, 1080, 1920, 1088, 0, 4, 1920, gpu::Format::B8G8R8A8_UNORM},
                        {1366, 768, 1376, 768, 5, 0, 1371, gpu::Format::R8G8B8A8_UNORM},
                        {1000, 1000, 1920, 1088, 416, 0, 1504, gpu::Format::B8G8R8A8_UNORM}};
  for (const Case& c : cases) {
    auto scaler = Make();
    ASSERT_TRUE(scaler->EnsureScaler(c.ws, c.hs, c.wt, c.ht));
    EXPECT_EQ(gpu::Format::B8G8R8A8_UNORM, scaler->Output()->GetDesc().format);
    const auto out = Scale(*scaler, *Frame(c.ws, c.hs, Pattern, c.format));
    ASSERT_EQ(size_t(c.wt) * c.ht, out.size());
    const uint32_t bottom = c.ht - c.top;
    const float s = float(c.ws) / float(c.right - c.left);
    for (uint32_t y = 0; y < c.ht; ++y) {
      for (uint32_t x = 0; x < c.wt; ++x) {
        const bool inside = x >= c.left && x < c.right && y >= c.top && y < bottom;
        const uint32_t expected =
            inside ? SampleBilinear(Pattern, c.ws, c.hs, float(x - c.left) * s, float(y - c.top) * s) : kBlack;
        ASSERT_EQ(expected, out[size_t(y) * c.wt + x]) << c.ws << "x" << c.hs << " at " << x << "," << y;
      }
    }
  }
  EXPECT_TRUE(debug.Lines().empty());
}

TEST_F(GpuScalerTest, SmallerSourceReusesTheScalerLargerOneRebuildsIt) {
  auto scaler = Make();
  ASSERT_TRUE(scaler->EnsureScaler(1920, 1080, 1920, 1088));
  const auto output = scaler->Output();
  ASSERT_TRUE(scaler->EnsureScaler(1280, 1024, 1920, 1088));
  EXPECT_EQ(output, scaler->Output());
  EXPECT_EQ(1, Faults().Calls(FaultPoint::CreateVideoProcessor));
  // The reused scaler letterboxes by the frame's own aspect ratio: 5:4 fills 1360 columns at x = 280.
  const auto out = Scale(*scaler, *Solid(1280, 1024, kWhite));
  EXPECT_EQ((std::vector<uint32_t>{kBlack, kWhite, kWhite, kBlack}),
            (std::vector<uint32_t>{out[279], out[280], out[1639], out[1640]}));

  ASSERT_TRUE(scaler->EnsureScaler(2560, 1440, 1920, 1088));
  EXPECT_NE(output, scaler->Output());
  EXPECT_EQ(2, Faults().Calls(FaultPoint::CreateVideoProcessor));
  EXPECT_EQ(std::pair(2560u, 1440u), std::pair(scaler->MaxInputWidth(), scaler->MaxInputHeight()));
  // Wider but not taller also rebuilds.
  ASSERT_TRUE(scaler->EnsureScaler(2561, 100, 1920, 1088));
  EXPECT_EQ(3, Faults().Calls(FaultPoint::CreateVideoProcessor));
  EXPECT_TRUE(debug.Lines().empty());
}

TEST_F(GpuScalerTest, WithoutADeviceEveryAttemptSaysSo) {
  GpuScaler scaler(nullptr, nullptr, 30);
  EXPECT_FALSE(scaler.EnsureScaler(1920, 1080, 1920, 1088));
  EXPECT_FALSE(scaler.EnsureScaler(1920, 1080, 1920, 1088));
  EXPECT_EQ(std::vector<std::string>(2, "[Encoder] GPU Scaler: No D3D device available\n"), debug.Lines());
}

using ScalerFault = std::pair<FaultPoint, std::string>;
class GpuScalerCreationTest : public GpuScalerTest, public ::testing::WithParamInterface<ScalerFault> {};

TEST_P(GpuScalerCreationTest, FailureIsLoggedReleasedAndRetriedOnTheNextFrame) {
  const auto& [point, step] = GetParam();
  const std::string line = "[Encoder] GPU Scaler: Failed to " + step + ": 0x80004002\n";
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

INSTANTIATE_TEST_SUITE_P(Steps, GpuScalerCreationTest,
                         ::testing::Values(ScalerFault{FaultPoint::QueryVideoDevice, "get ID3D11VideoDevice"},
                                           ScalerFault{FaultPoint::QueryVideoContext, "get ID3D11VideoContext"},
                                           ScalerFault{FaultPoint::CreateVideoProcessorEnumerator, "create enumerator"},
                                           ScalerFault{FaultPoint::CreateVideoProcessor, "create processor"},
                                           ScalerFault{FaultPoint::CreateTexture, "create output texture"},
                                           ScalerFault{FaultPoint::CreateVideoProcessorOutputView,
                                                       "create output view"}));

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

}  // namespace
}  // namespace kalto::test
