// The encoder's GPU scaler on the software device: reuse by size, and each failure with its line.
#include "encoding/gpu_scaler.h"

#include "encoding_fixture.h"

namespace kalto::test {
namespace {

using gpu::software::FaultPoint;

constexpr uint32_t kBlack = Bgra(0, 0, 0), kWhite = Bgra(255, 255, 255);

class GpuScalerTest : public EncodingTest {
 protected:
  std::unique_ptr<GpuScaler> Make() { return std::make_unique<GpuScaler>(device, context, 30); }
  std::vector<uint32_t> Scale(GpuScaler& scaler, gpu::Texture2D& frame) {
    EXPECT_TRUE(scaler.ScaleFrame(&frame));
    return ReadPixels(*scaler.Output());
  }
};

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

using ScalerFault = std::pair<FaultPoint, std::string>;
class GpuScalerCreationTest : public GpuScalerTest, public ::testing::WithParamInterface<ScalerFault> {};

TEST_P(GpuScalerCreationTest, FailureIsLoggedReleasedAndRetriedOnTheNextFrame) {
  const auto& [point, step] = GetParam();
  const std::string line = "[Encoder] GPU Scaler: Failed to " + step + ": 0x80004002\n";
  auto frame = Solid(16, 16, kWhite);
  Faults().Fail(point, E_NOINTERFACE);
  auto scaler = Make();
  EXPECT_FALSE(scaler->EnsureScaler(1920, 1080, 1920, 1088));
  EXPECT_FALSE(scaler->EnsureScaler(1280, 720, 1920, 1088));
  EXPECT_EQ((std::vector<std::string>{line, line}), debug.Lines());
  EXPECT_FALSE(scaler->IsReady() || scaler->Output() || scaler->ScaleFrame(frame.get()));
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

// Without a device every attempt says so; frame failures are logged and leave the scaler ready.
TEST_F(GpuScalerTest, FrameFailuresAreLoggedAndLeaveTheScalerReady) {
  GpuScaler none(nullptr, nullptr, 30);
  EXPECT_FALSE(none.EnsureScaler(1920, 1080, 1920, 1088));
  EXPECT_FALSE(none.EnsureScaler(1920, 1080, 1920, 1088));
  EXPECT_EQ(std::vector<std::string>(2, "[Encoder] GPU Scaler: No D3D device available\n"), debug.Lines());
  debug.Clear();
  auto scaler = Make();
  auto frame = Solid(64, 36, kWhite);
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
