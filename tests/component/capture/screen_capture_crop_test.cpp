// Crop clamping, evenness, the too-small rule, the kept texture and invalid boxes at frame time.
#include "capture_fixture.h"

namespace kalto::test {
namespace {

using screen::FakeFramePixel;

class ScreenCaptureCropTest : public CaptureTest {
 protected:
  void StartOn(desktop::MonitorHandle handle) {
    capture = MakeCapture();
    ASSERT_TRUE(capture->InitializeForMonitor(handle));
    ASSERT_TRUE(capture->Start(sink.Callback()));
  }
  DeliveredFrame Next() {
    size_t n = sink.Count();
    Emit(1);
    EXPECT_TRUE(sink.WaitFor(n + 1));
    return sink.Frames().back();
  }

  desktop::MonitorHandle fullHd = desktop->AddMonitor({0, 0, 1920, 1080}, true);
  std::unique_ptr<ScreenCapture> capture;
};

TEST_F(ScreenCaptureCropTest, NegativeCornerClampsToTheOrigin) {
  StartOn(fullHd);
  capture->SetCropRegion(-50, -50, 400, 300);
  auto f = Next();
  EXPECT_EQ(f.width, 400u);
  EXPECT_EQ(f.height, 300u);
  EXPECT_EQ(f.topLeft, FakeFramePixel(1, 0, 0));
  EXPECT_EQ(f.bottomRight, FakeFramePixel(1, 399, 299));
}

TEST_F(ScreenCaptureCropTest, OddSizesRoundDownToEven) {
  StartOn(fullHd);
  capture->SetCropRegion(10, 10, 1001, 777);
  auto f = Next();
  EXPECT_EQ(f.width, 1000u);
  EXPECT_EQ(f.height, 776u);
  EXPECT_EQ(f.topLeft, FakeFramePixel(1, 10, 10));
  EXPECT_EQ(f.bottomRight, FakeFramePixel(1, 1009, 785));
}

TEST_F(ScreenCaptureCropTest, TooSmallAfterClampingKeepsThePreviousCrop) {
  StartOn(fullHd);
  capture->SetCropRegion(100, 200, 640, 360);
  capture->SetCropRegion(1900, 1000, 400, 300);
  EXPECT_EQ(log.Count("[ScreenCapture] Crop region too small after clamping: 20x80, ignoring\n"), 1);
  auto f = Next();
  EXPECT_EQ(f.width, 640u);
  EXPECT_EQ(f.height, 360u);
  EXPECT_EQ(f.topLeft, FakeFramePixel(1, 100, 200));
}

TEST_F(ScreenCaptureCropTest, ZeroSizeTurnsCroppingOff) {
  StartOn(fullHd);
  capture->SetCropRegion(100, 100, 400, 300);
  EXPECT_EQ(Next().width, 400u);
  capture->SetCropRegion(0, 0, 0, 0);
  auto f = Next();
  EXPECT_EQ(f.width, 1920u);
  EXPECT_EQ(f.height, 1080u);
}

TEST_F(ScreenCaptureCropTest, PanningKeepsTheTextureAndResizingReplacesIt) {
  StartOn(fullHd);
  auto created = [&] { return gpuFactory->Faults().Calls(gpu::software::FaultPoint::CreateTexture); };
  capture->SetCropRegion(0, 0, 400, 300);
  auto a = Next();
  int before = created();
  capture->SetCropRegion(500, 400, 400, 300);
  EXPECT_EQ(created(), before);
  auto b = Next();
  EXPECT_EQ(a.texture, b.texture);
  EXPECT_EQ(b.topLeft, FakeFramePixel(2, 500, 400));
  before = created();
  capture->SetCropRegion(500, 400, 402, 300);
  EXPECT_EQ(created(), before + 1);
  auto c = Next();
  EXPECT_EQ(c.width, 402u);
}

TEST_F(ScreenCaptureCropTest, CropOutsideTheFrameDeliversWholeFramesWithThinnedLines) {
  // A 300x200 window on a 1920x1080 monitor: the crop is clamped against the monitor, so at
  // frame time it reaches beyond the window's frames.
  auto window = desktop->AddWindow({0, 0, 300, 200});
  capture = MakeCapture();
  ASSERT_TRUE(capture->InitializeForWindow(window));
  capture->SetCropRegion(100, 50, 400, 300);
  ASSERT_TRUE(capture->Start(sink.Callback()));
  Emit(60);
  ASSERT_TRUE(sink.WaitFor(60));
  for (const auto& f : sink.Frames()) EXPECT_EQ(f.width, 300u);
  EXPECT_EQ(log.CountPrefix("[ScreenCapture] Crop BOUNDS INVALID #"), 7);
  for (int n : {1, 2, 3, 4, 5, 30, 60}) {
    EXPECT_EQ(log.Count("[ScreenCapture] Crop BOUNDS INVALID #" + std::to_string(n) +
                        ": box=(100,50,500,350), src=300x200\n"),
              1)
        << n;
  }
}

TEST_F(ScreenCaptureCropTest, TextureCreationFailureDeliversWholeFramesUntilALaterSuccess) {
  StartOn(fullHd);
  gpuFactory->Faults().Fail(gpu::software::FaultPoint::CreateTexture, E_OUTOFMEMORY, 1);
  capture->SetCropRegion(0, 0, 400, 300);
  EXPECT_EQ(log.Count("[ScreenCapture] Failed to create cropped texture: 0x8007000E\n"), 1);
  EXPECT_EQ(Next().width, 1920u);
  capture->SetCropRegion(0, 0, 400, 300);
  EXPECT_EQ(Next().width, 400u);
}

TEST_F(ScreenCaptureCropTest, CropSurvivesStopAndRestart) {
  StartOn(fullHd);
  capture->SetCropRegion(20, 20, 200, 200);
  capture->Stop();
  ASSERT_TRUE(capture->InitializeForMonitor(fullHd));
  ASSERT_TRUE(capture->Start(sink.Callback()));
  auto f = Next();
  EXPECT_EQ(f.width, 200u);
  EXPECT_EQ(f.topLeft, FakeFramePixel(1, 20, 20));
}

}  // namespace
}  // namespace kalto::test
