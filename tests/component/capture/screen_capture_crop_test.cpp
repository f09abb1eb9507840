// Crop clamping, evenness, the too-small rule, the kept texture and invalid boxes at frame time.
#include "capture_fixture.h"

namespace kalto::test {
namespace {

using screen::FakeFramePixel;

class ScreenCaptureCropTest : public CaptureTest {
 protected:
  ScreenCaptureCropTest() { monitor = desktop->AddMonitor({0, 0, 1920, 1080}); }
};

// Each crop in turn, then the frame it gives: clamped to the origin, made even, a too-small one
// ignored (the previous stays), and an empty one switching cropping off.
TEST_F(ScreenCaptureCropTest, ClampsRoundsToEvenIgnoresTooSmallAndSwitchesOff) {
  struct Step {
    int x, y, w, h;
    uint32_t width, height;
    int left, top;
  } steps[] = {{-50, -50, 400, 300, 400, 300, 0, 0},
               {10, 10, 1001, 777, 1000, 776, 10, 10},
               {100, 200, 640, 360, 640, 360, 100, 200},
               {1900, 1000, 400, 300, 640, 360, 100, 200},
               {0, 0, 0, 0, 1920, 1080, 0, 0}};
  auto capture = Started();
  int frame = 0;
  for (const Step& s : steps) {
    SCOPED_TRACE(s.x);
    capture->SetCropRegion(s.x, s.y, s.w, s.h);
    const auto f = Next();
    ++frame;
    EXPECT_EQ(s.width, f.width);
    EXPECT_EQ(s.height, f.height);
    EXPECT_EQ(FakeFramePixel(frame, s.left, s.top), f.topLeft);
    EXPECT_EQ(FakeFramePixel(frame, s.left + s.width - 1, s.top + s.height - 1), f.bottomRight);
  }
  EXPECT_EQ(1, log.Count("[ScreenCapture] Crop region too small after clamping: 20x80, ignoring\n"));
}

TEST_F(ScreenCaptureCropTest, PanningKeepsTheTextureResizingReplacesItAndAFailedOneIsRetried) {
  auto capture = Started();
  auto created = [&] { return gpuFactory->Faults().Calls(gpu::software::FaultPoint::CreateTexture); };
  gpuFactory->Faults().Fail(gpu::software::FaultPoint::CreateTexture, E_OUTOFMEMORY, 1);
  capture->SetCropRegion(0, 0, 400, 300);
  EXPECT_EQ(1, log.Count("[ScreenCapture] Failed to create cropped texture: 0x8007000E\n"));
  EXPECT_EQ(1920u, Next().width);  // whole frames until a texture exists
  capture->SetCropRegion(0, 0, 400, 300);
  const auto a = Next();
  const int before = created();
  capture->SetCropRegion(500, 400, 400, 300);
  EXPECT_EQ(before, created());
  const auto b = Next();
  EXPECT_EQ(a.texture, b.texture);
  EXPECT_EQ(FakeFramePixel(3, 500, 400), b.topLeft);
  const int beforeResize = created();
  capture->SetCropRegion(500, 400, 402, 300);
  EXPECT_EQ(beforeResize + 1, created());
  EXPECT_EQ(402u, Next().width);
  // The crop outlives a stop and restart.
  capture->Stop();
  ASSERT_TRUE(capture->InitializeForMonitor(monitor));
  ASSERT_TRUE(capture->Start(sink.Callback()));
  EXPECT_EQ(402u, Next().width);
}

TEST_F(ScreenCaptureCropTest, CropOutsideTheFrameDeliversWholeFramesWithThinnedLines) {
  // A 300x200 window on a 640x360 monitor: the crop is clamped against the monitor, so at frame
  // time it reaches beyond the window's frames.
  auto capture = MakeCapture();
  ASSERT_TRUE(capture->InitializeForWindow(desktop->AddWindow({0, 0, 300, 200})));
  capture->SetCropRegion(100, 50, 400, 300);
  ASSERT_TRUE(capture->Start(sink.Callback()));
  Emit(60);
  ASSERT_TRUE(sink.WaitFor(60));
  for (const auto& f : sink.Frames()) EXPECT_EQ(300u, f.width);
  EXPECT_EQ(7, log.CountPrefix("[ScreenCapture] Crop BOUNDS INVALID #"));
  for (int n : {1, 2, 3, 4, 5, 30, 60}) {
    EXPECT_EQ(1, log.Count("[ScreenCapture] Crop BOUNDS INVALID #" + std::to_string(n) +
                           ": box=(100,50,500,350), src=300x200\n")) << n;
  }
}

}  // namespace
}  // namespace kalto::test
