// Frame delivery: timestamps, pause, size changes, failing callbacks, session ends, and the black
// frames of a minimised window.
#include <algorithm>
#include <atomic>

#include "capture_fixture.h"

namespace kalto::test {
namespace {

using ScreenCaptureFramesTest = CaptureTest;
std::atomic<int64_t> g_clockNs{1'000'000'000'000};

// Stamped from the shared base, or from the start without one, with the arrival time; a paused
// capture drops frames (handing each buffer back) and the pause stays in the timeline.
TEST_F(ScreenCaptureFramesTest, TimestampsCountFromTheBaseAndKeepThePause) {
  SetSteadyClockSourceForTesting([] { return g_clockNs.load(); });
  for (int64_t base : {int64_t{10'000'000}, int64_t{0}}) {
    auto capture = MakeCapture();
    ASSERT_TRUE(capture->InitializeForMonitor(monitor));
    if (base) capture->SetStartTimeBase(g_clockNs - base * 100);
    ASSERT_TRUE(capture->Start(sink.Callback()));
    g_clockNs += 5'000'000;
    const auto first = Next();
    EXPECT_EQ(base + 50'000, first.timestampHns);
    EXPECT_EQ(screen::FakeFramePixel(1, 0, 0), first.topLeft);
    capture->SetPaused(true);
    g_clockNs += 3'000'000'000;
    Emit(5);  // more than the pool's two buffers
    capture->SetPaused(false);
    EXPECT_EQ(first.timestampHns + 30'000'000, Next().timestampHns);
    EXPECT_EQ(0, service->LastPool()->FramesDropped());
  }
  EXPECT_EQ(4u, sink.Count());
  SetSteadyClockSourceForTesting(nullptr);
}

TEST_F(ScreenCaptureFramesTest, ContentSizeChangeRecreatesThePoolOnceAndAFailureIsNotRetried) {
  auto capture = Started();
  auto pool = service->LastPool();
  pool->SetContentSize({800, 450});
  EXPECT_EQ(640u, Next().width);  // the frame that announced the change comes as it was
  EXPECT_EQ(std::pair(800, 450), std::pair(capture->GetWidth(), capture->GetHeight()));
  EXPECT_EQ(800u, Next().width);
  EXPECT_EQ(1, pool->RecreateCalls());
  service->SetFault(FakePoint::Recreate, FakeFault::Platform(E_OUTOFMEMORY, "oom"));
  pool->SetContentSize({320, 180});
  Emit(3);
  EXPECT_TRUE(sink.WaitFor(5));
  EXPECT_EQ(1, log.Count("[ScreenCapture] Failed to recreate frame pool: 0x8007000E\n"));
  EXPECT_EQ(std::pair(2, 320), std::pair(pool->RecreateCalls(), capture->GetWidth()));
}

// A throwing callback loses only its frame; a session that ends on its own is reported once, with
// the reason, and nothing comes after Stop.
TEST_F(ScreenCaptureFramesTest, CallbackFailuresSessionEndsAndStopEndDeliveryCleanly) {
  auto capture = MakeCapture();
  ASSERT_TRUE(capture->InitializeForMonitor(monitor));
  std::atomic<int> ends{0}, calls{0};
  capture->SetEndedCallback([&](screen::CaptureEnd reason) { ends += reason == screen::CaptureEnd::ConnectionLost ? 1 : 100; });
  auto inner = sink.Callback();
  ASSERT_TRUE(capture->Start([&](gpu::Texture2D& texture, int64_t ts) {
    if (++calls == 1) throw std::runtime_error("consumer fault");
    inner(texture, ts);
  }));
  auto pool = service->LastPool();
  Emit(3);
  ASSERT_TRUE(sink.WaitFor(2));
  EXPECT_EQ(1, log.Count("[ScreenCapture] Frame callback SEH EXCEPTION! Skipping frame.\n"));
  EXPECT_EQ(0, pool->FramesDropped());
  pool->EndCapture(screen::CaptureEnd::ConnectionLost);
  EXPECT_TRUE(WaitUntil([&] { return ends == 1; }));
  EXPECT_EQ(1, log.Count("[ScreenCapture] WARNING: Capture ended: the connection to the display server was lost\n"));
  EXPECT_EQ(L"the connection to the display server was lost", capture->GetLastErrorText());
  pool->SetAutoFrames(2);
  capture->Stop();  // while frames flow
  const size_t atStop = sink.Count();
  pool->EndCapture(screen::CaptureEnd::ItemClosed);
  EXPECT_FALSE(WaitUntil([&] { return sink.Count() > atStop || ends > 1; }, 100ms));
}

// ---- A minimised window: black frames of its monitor's size --------------------------------------

class MinimizedWindowTest : public CaptureTest {
 protected:
  desktop::WindowHandle window = desktop->AddWindow({10, 10, 210, 160}, 42, "Editor");
  static bool Black(const DeliveredFrame& f) { return f.width == 640u; }
};

// None while the window is shown or the capture paused; then the monitor's size in black at the
// fallback cadence, one texture throughout (made again after a failure); none after Stop.
TEST_F(MinimizedWindowTest, BlackFramesOnlyWhileMinimisedAtTheFallbackCadence) {
  auto capture = Started(window);
  EXPECT_FALSE(sink.WaitFor(1, 300));
  EXPECT_GT(desktop->IsIconicCalls(), 0);
  capture->SetPaused(true);
  desktop->SetMinimized(window, true);
  EXPECT_FALSE(sink.WaitFor(1, 300));
  gpuFactory->Faults().Fail(gpu::software::FaultPoint::CreateTexture, E_OUTOFMEMORY, 1);
  capture->SetPaused(false);
  ASSERT_TRUE(sink.WaitFor(4, 3000));
  EXPECT_EQ(1, log.Count("[ScreenCapture] Failed to create black fallback texture: 0x8007000E\n"));
  capture->Stop();
  const auto frames = sink.Frames();
  EXPECT_FALSE(sink.WaitFor(frames.size() + 1, 300));
  for (size_t i = 0; i < frames.size(); ++i) {
    EXPECT_EQ(360u, frames[i].height);
    EXPECT_EQ(0xFF000000u, frames[i].topLeft);
    EXPECT_EQ(0xFF000000u, frames[i].bottomRight);
    if (i == 0) continue;
    EXPECT_GE(frames[i].timestampHns - frames[i - 1].timestampHns, 1'200'000);
    EXPECT_EQ(frames[0].texture, frames[i].texture);
  }
}

}  // namespace
}  // namespace kalto::test
