// Frame delivery: timestamps, pause, size changes, failing callbacks and minimised windows.
#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>
#include <chrono>
#include <thread>

#include "capture_fixture.h"
#include "common/steady_clock.h"

namespace kalto::test {
namespace {

using screen::FakeFault;
using screen::FakePoint;
using namespace std::chrono_literals;

class ScreenCaptureFramesTest : public CaptureTest {
 protected:
  desktop::MonitorHandle monitor = desktop->AddMonitor({0, 0, 320, 240}, true);
};

TEST_F(ScreenCaptureFramesTest, TimestampsCountFromTheSharedStartTimeBase) {
  auto capture = MakeCapture();
  ASSERT_TRUE(capture->InitializeForMonitor(monitor));
  int64_t baseNs = SteadyNowNs() - 1'000'000'000;
  capture->SetStartTimeBase(baseNs);
  ASSERT_TRUE(capture->Start(sink.Callback()));
  Emit(1);
  ASSERT_TRUE(sink.WaitFor(1));
  auto f = sink.Frames()[0];
  EXPECT_GE(f.timestampHns, 10'000'000);
  // Stamped with the arrival time, taken before the callback ran.
  EXPECT_LE(f.timestampHns, (f.arrivalNs - baseNs) / 100);
  EXPECT_EQ(f.topLeft, screen::FakeFramePixel(1, 0, 0));
}

TEST_F(ScreenCaptureFramesTest, WithoutABaseTimestampsStartNearZero) {
  auto capture = MakeCapture();
  ASSERT_TRUE(capture->InitializeForMonitor(monitor));
  int64_t beforeNs = SteadyNowNs();
  ASSERT_TRUE(capture->Start(sink.Callback()));
  Emit(1);
  ASSERT_TRUE(sink.WaitFor(1));
  auto f = sink.Frames()[0];
  EXPECT_GE(f.timestampHns, 0);
  EXPECT_LE(f.timestampHns, (f.arrivalNs - beforeNs) / 100);
}

TEST_F(ScreenCaptureFramesTest, PausedFramesAreDroppedAndTheGapStaysInTheTimeline) {
  auto capture = MakeCapture();
  ASSERT_TRUE(capture->InitializeForMonitor(monitor));
  ASSERT_TRUE(capture->Start(sink.Callback()));
  Emit(1);
  ASSERT_TRUE(sink.WaitFor(1));
  capture->SetPaused(true);
  Emit(5);  // more than the pool's two buffers: each must have been handed back
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(sink.Count(), 1u);
  capture->SetPaused(false);
  Emit(1);
  ASSERT_TRUE(sink.WaitFor(2));
  auto frames = sink.Frames();
  EXPECT_GE(frames[1].timestampHns - frames[0].timestampHns, 3'000'000);
  EXPECT_EQ(service->LastPool()->FramesDropped(), 0);
}

TEST_F(ScreenCaptureFramesTest, ContentSizeChangeRecreatesThePoolOnce) {
  auto capture = MakeCapture();
  ASSERT_TRUE(capture->InitializeForMonitor(monitor));
  ASSERT_TRUE(capture->Start(sink.Callback()));
  auto pool = service->LastPool();
  pool->SetContentSize({400, 300});
  Emit(1);
  ASSERT_TRUE(sink.WaitFor(1));
  // The frame that announced the change is delivered as it came, at the old surface size.
  EXPECT_EQ(sink.Frames()[0].width, 320u);
  EXPECT_EQ(capture->GetWidth(), 400);
  EXPECT_EQ(capture->GetHeight(), 300);
  EXPECT_EQ(pool->RecreateCalls(), 1);
  Emit(2);
  ASSERT_TRUE(sink.WaitFor(3));
  EXPECT_EQ(sink.Frames()[2].width, 400u);
  EXPECT_EQ(pool->RecreateCalls(), 1);
}

TEST_F(ScreenCaptureFramesTest, FailedRecreateIsLoggedAndNotRetriedForTheSameSize) {
  auto capture = MakeCapture();
  ASSERT_TRUE(capture->InitializeForMonitor(monitor));
  ASSERT_TRUE(capture->Start(sink.Callback()));
  service->SetFault(FakePoint::Recreate, FakeFault::Platform(E_OUTOFMEMORY, "oom"));
  auto pool = service->LastPool();
  pool->SetContentSize({400, 300});
  Emit(3);
  ASSERT_TRUE(sink.WaitFor(3));
  EXPECT_EQ(log.Count("[ScreenCapture] Failed to recreate frame pool: 0x8007000E\n"), 1);
  EXPECT_EQ(pool->RecreateCalls(), 1);
  EXPECT_EQ(capture->GetWidth(), 400);
}

TEST_F(ScreenCaptureFramesTest, ThrowingCallbackLosesOnlyThatFrame) {
  auto capture = MakeCapture();
  ASSERT_TRUE(capture->InitializeForMonitor(monitor));
  int calls = 0;
  auto inner = sink.Callback();
  ASSERT_TRUE(capture->Start([&](gpu::Texture2D& texture, int64_t ts) {
    if (++calls == 1) throw std::runtime_error("consumer fault");
    inner(texture, ts);
  }));
  Emit(3);
  ASSERT_TRUE(sink.WaitFor(2));
  EXPECT_EQ(log.Count("[ScreenCapture] Frame callback SEH EXCEPTION! Skipping frame.\n"), 1);
  EXPECT_EQ(service->LastPool()->FramesDropped(), 0);
}

TEST_F(ScreenCaptureFramesTest, StopEndsDeliveryWhileFramesAreFlowing) {
  auto capture = MakeCapture();
  ASSERT_TRUE(capture->InitializeForMonitor(monitor));
  ASSERT_TRUE(capture->Start(sink.Callback()));
  service->LastPool()->SetAutoFrames(2);
  ASSERT_TRUE(sink.WaitFor(5));
  capture->Stop();
  size_t atStop = sink.Count();
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(sink.Count(), atStop);
  EXPECT_EQ(log.CountPrefix("[ScreenCapture] WARNING"), 0);
}

class MinimizedWindowTest : public CaptureTest {
 protected:
  desktop::MonitorHandle monitor = desktop->AddMonitor({0, 0, 640, 360}, true);
  desktop::WindowHandle window = desktop->AddWindow({10, 10, 210, 160}, 42, "Editor");
};

TEST_F(MinimizedWindowTest, BlackFramesOfTheMonitorSizeAtTheFallbackCadence) {
  auto capture = MakeCapture();
  ASSERT_TRUE(capture->InitializeForWindow(window));
  ASSERT_TRUE(capture->Start(sink.Callback()));
  desktop->SetMinimized(window, true);
  ASSERT_TRUE(sink.WaitFor(4, 3000));
  auto frames = sink.Frames();
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(frames[i].width, 640u);
    EXPECT_EQ(frames[i].height, 360u);
    EXPECT_EQ(frames[i].topLeft, 0xFF000000u);
    EXPECT_EQ(frames[i].bottomRight, 0xFF000000u);
    if (i > 0) {
      EXPECT_GE(frames[i].timestampHns - frames[i - 1].timestampHns, 1'200'000);
      EXPECT_EQ(frames[i].texture, frames[0].texture);
    }
  }
}

TEST_F(MinimizedWindowTest, NoBlackFramesWhilePaused) {
  auto capture = MakeCapture();
  ASSERT_TRUE(capture->InitializeForWindow(window));
  ASSERT_TRUE(capture->Start(sink.Callback()));
  capture->SetPaused(true);
  desktop->SetMinimized(window, true);
  std::this_thread::sleep_for(400ms);
  EXPECT_EQ(sink.Count(), 0u);
  capture->SetPaused(false);
  ASSERT_TRUE(sink.WaitFor(1, 3000));
  EXPECT_EQ(sink.Frames()[0].width, 640u);
}

TEST_F(MinimizedWindowTest, RealFramesKeepBlackFramesAwayFor120ms) {
  desktop->SetMinimized(window, true);
  auto capture = MakeCapture();
  ASSERT_TRUE(capture->InitializeForWindow(window));
  ASSERT_TRUE(capture->Start(sink.Callback()));
  service->LastPool()->SetAutoFrames(30);
  std::this_thread::sleep_for(400ms);
  service->LastPool()->SetAutoFrames(0);
  // A frame already in production may still land after the switch; the first black frame is
  // what counts.
  auto isBlack = [](const DeliveredFrame& f) { return f.width == 640u; };
  std::vector<DeliveredFrame> frames;
  for (int i = 0; i < 60; ++i) {
    frames = sink.Frames();
    if (std::any_of(frames.begin(), frames.end(), isBlack)) break;
    std::this_thread::sleep_for(50ms);
  }
  auto black = std::find_if(frames.begin(), frames.end(), isBlack);
  ASSERT_NE(black, frames.end());
  const size_t real = static_cast<size_t>(black - frames.begin());
  ASSERT_GT(real, 3u);
  for (size_t i = 0; i < real; ++i) EXPECT_EQ(frames[i].width, 200u) << i;
  EXPECT_GE(black->timestampHns - frames[real - 1].timestampHns, 1'200'000);
}

TEST_F(MinimizedWindowTest, NoBlackFramesForARestoredWindowOrAfterStop) {
  auto capture = MakeCapture();
  ASSERT_TRUE(capture->InitializeForWindow(window));
  ASSERT_TRUE(capture->Start(sink.Callback()));
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(sink.Count(), 0u);
  EXPECT_GT(desktop->IsIconicCalls(), 0);
  capture->Stop();
  desktop->SetMinimized(window, true);
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(sink.Count(), 0u);
}

// The owner may stop or even destroy the capture from a black frame's callback (its own thread):
// no deadlock, and (under ASan) no touch of the freed object afterwards.
class StopFromBlackFrameTest : public MinimizedWindowTest, public ::testing::WithParamInterface<bool> {};

TEST_P(StopFromBlackFrameTest, EndsDeliveryWithoutDeadlockOrUseAfterFree) {
  const bool destroy = GetParam();
  auto capture = MakeCapture();
  ASSERT_TRUE(capture->InitializeForWindow(window));
  std::atomic<int> calls{0};
  std::mutex ownerMutex;
  ASSERT_TRUE(capture->Start([&, destroy](gpu::Texture2D&, int64_t) {
    if (++calls != 1) return;
    std::lock_guard lock(ownerMutex);
    if (destroy) {
      capture.reset();
    } else {
      capture->Stop();
    }
  }));
  desktop->SetMinimized(window, true);
  for (int i = 0; i < 100 && calls == 0; ++i) std::this_thread::sleep_for(20ms);
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(calls, 1);
  std::lock_guard lock(ownerMutex);
  EXPECT_EQ(destroy, capture == nullptr);
  capture.reset();  // joins the thread that stopped itself
}

INSTANTIATE_TEST_SUITE_P(StopOrDestroy, StopFromBlackFrameTest, ::testing::Bool());

TEST_F(MinimizedWindowTest, RealAndBlackFramesNeverReachTheCallbackAtOnce) {
  auto capture = MakeCapture();
  ASSERT_TRUE(capture->InitializeForWindow(window));
  std::atomic<int> inside{0};
  std::atomic<int> overlaps{0};
  std::atomic<int> calls{0};
  ASSERT_TRUE(capture->Start([&](gpu::Texture2D&, int64_t) {
    if (++inside > 1) ++overlaps;
    std::this_thread::sleep_for(3ms);  // widens the window two threads would meet in
    --inside;
    ++calls;
  }));
  desktop->SetMinimized(window, true);
  // Real frames at a cadence that still lets the black-frame fallback come in between.
  service->LastPool()->SetAutoFrames(150);
  for (int i = 0; i < 200 && calls < 12; ++i) std::this_thread::sleep_for(20ms);
  service->LastPool()->SetAutoFrames(0);
  capture->Stop();
  EXPECT_GE(calls, 12);
  EXPECT_EQ(overlaps, 0);
}

// A session that ends on its own is reported once, with the reason, and never after Stop.
TEST_F(ScreenCaptureFramesTest, SessionEndIsReportedOnceWithItsReason) {
  auto capture = MakeCapture();
  ASSERT_TRUE(capture->InitializeForMonitor(monitor));
  std::mutex mutex;
  std::vector<screen::CaptureEnd> ends;
  capture->SetEndedCallback([&](screen::CaptureEnd reason) {
    std::lock_guard lock(mutex);
    ends.push_back(reason);
  });
  ASSERT_TRUE(capture->Start(sink.Callback()));
  auto pool = service->LastPool();
  pool->EndCapture(screen::CaptureEnd::ConnectionLost);
  for (int i = 0; i < 100 && log.CountPrefix("[ScreenCapture] WARNING: Capture ended") == 0; ++i) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(1, log.Count("[ScreenCapture] WARNING: Capture ended: the connection to the display server was lost\n"));
  EXPECT_EQ(L"the connection to the display server was lost", capture->GetLastErrorText());
  capture->Stop();
  pool->EndCapture(screen::CaptureEnd::ItemClosed);
  std::this_thread::sleep_for(50ms);
  std::lock_guard lock(mutex);
  EXPECT_EQ(std::vector<screen::CaptureEnd>{screen::CaptureEnd::ConnectionLost}, ends);
}

TEST_F(MinimizedWindowTest, BlackTextureFailureIsRetriedOnTheNextPass) {
  auto capture = MakeCapture();
  ASSERT_TRUE(capture->InitializeForWindow(window));
  ASSERT_TRUE(capture->Start(sink.Callback()));
  gpuFactory->Faults().Fail(gpu::software::FaultPoint::CreateTexture, E_OUTOFMEMORY, 1);
  desktop->SetMinimized(window, true);
  ASSERT_TRUE(sink.WaitFor(1, 3000));
  EXPECT_EQ(log.Count("[ScreenCapture] Failed to create black fallback texture: 0x8007000E\n"), 1);
  EXPECT_EQ(sink.Frames()[0].width, 640u);
}

}  // namespace
}  // namespace kalto::test
