// FocusZoomManager on the fake desktop with a scripted clock, its tracking loop driven by hand
// (TrackingStep) for exact times: toggles and their debounce, the transitions, crop tracking with
// its dead zone, smoothing and rate limit.
#include <gtest/gtest.h>

#include <mutex>

#include "common/steady_clock.h"
#include "focus/focus_zoom_manager.h"
#include "platform/desktop/fake/fake_desktop.h"
#include "support/debug_capture.h"

namespace kalto {
namespace {

using namespace std::chrono_literals;

constexpr int64_t kMs = 1'000'000;
constexpr int64_t kT0 = 5'000 * 1000 * kMs;

std::atomic<int64_t> g_clockNs{kT0};

const FocusRect kBase{0, 0, 1920, 1080};
const FocusRect kCentred{432, 244, 1056, 594};

struct Delivered {
  FocusRect rect;
  int64_t atNs;
};

class FocusZoomManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_clockNs = kT0;
    SetSteadyClockSourceForTesting([] { return g_clockNs.load(); });
    FocusZoomManager::ResetCountersForTesting();
    desktop->SetCursorPos({960, 540});
    manager = std::make_unique<FocusZoomManager>(desktop);
    manager->Configure(0, 0, 1920, 1080, 1920, 1080, {false, true, 0.55, 0.4, 5.0, 2.0});
    manager->SetCallback([this](const FocusRect& r) { Record(r); });
  }
  void TearDown() override {
    manager.reset();
    SetSteadyClockSourceForTesting(nullptr);
  }
  void Record(const FocusRect& r) {
    std::lock_guard lock(mutex);
    delivered.push_back({r, g_clockNs.load()});
  }
  std::vector<Delivered> Deliveries() {
    std::lock_guard lock(mutex);
    return delivered;
  }
  FocusRect Last() {
    std::lock_guard lock(mutex);
    return delivered.empty() ? FocusRect{} : delivered.back().rect;
  }
  void StepAt(int64_t ms) {
    g_clockNs = kT0 + ms * kMs;
    manager->TrackingStep();
  }
  int ManagerLines() { return log.CountPrefix("[FocusZoomManager]"); }

  test::DebugCapture log;
  std::shared_ptr<desktop::FakeDesktop> desktop = std::make_shared<desktop::FakeDesktop>();
  std::unique_ptr<FocusZoomManager> manager;
  std::mutex mutex;
  std::vector<Delivered> delivered;
};

// ---- Toggles ------------------------------------------------------------------------------------

TEST_F(FocusZoomManagerTest, ZoomInEasesToTheCursorRectangleAndEndsThere) {
  manager->SetCursorFocusActive(true);
  EXPECT_TRUE(log.Contains("[FocusZoomManager] SetCursorFocusActive(true) ENTRY - isRunning=0, callback=set, "
                           "m_isFocusActive=0, m_isFocusTransitioning=0\n"));
  EXPECT_TRUE(log.Contains("[FocusZoomManager] Cursor at (960, 540), display offset (0, 0)\n"));
  EXPECT_TRUE(log.Contains("[FocusZoomManager] Cursor focus ON (crop mode) - startRect=(0,0,1920x1080), "
                           "endRect=(432,244,1056x594)\n"));
  StepAt(0);  // p = 0: the start rectangle, which is already current
  EXPECT_TRUE(Deliveries().empty());
  StepAt(50);
  EXPECT_EQ((FocusRect{188, 106, 1542, 866}), Last());
  EXPECT_TRUE(log.Contains(
      "[FocusZoomManager] Transition callback #1: rect=(188,106,1542x866), progress=25%\n"));
  StepAt(200);
  EXPECT_EQ(kCentred, Last());
  EXPECT_TRUE(log.Contains("[FocusZoomManager] Transition COMPLETE - will call callback: rect=(432,244,1056x594), "
                           "wasZoomIn=true\n"));
  EXPECT_FALSE(manager->IsTransitioning());
  EXPECT_TRUE(manager->IsFocusActive());
  // Progress lines on calls 1, 4, 7, ...: here call 1 (0 %) only.
  EXPECT_EQ(1, log.Count("[FocusZoomManager] Transition progress: 0.0%, zooming IN\n"));
  // Toggling on when already on only logs the entry line.
  const int lines = ManagerLines();
  const size_t deliveries = Deliveries().size();
  g_clockNs = kT0 + 300 * kMs;
  manager->SetCursorFocusActive(true);
  EXPECT_EQ(lines + 1, ManagerLines());
  StepAt(400);
  EXPECT_FALSE(manager->IsTransitioning());
  EXPECT_EQ(deliveries, Deliveries().size());
}

TEST_F(FocusZoomManagerTest, TwoTogglesFiftyMsApartBecomeZoomInThenZoomOut) {
  manager->SetCursorFocusActive(true);
  g_clockNs = kT0 + 50 * kMs;
  manager->SetCursorFocusActive(false);  // too soon: kept for the thread
  EXPECT_EQ(0, log.CountPrefix("[FocusZoomManager] SetCursorFocusActive(false)"));
  StepAt(99);
  EXPECT_EQ(0, log.CountPrefix("[FocusZoomManager] SetCursorFocusActive(false)"));
  EXPECT_EQ((FocusRect{320, 180, 1276, 716}), Last());  // p = 0.495
  StepAt(100);  // 100 ms after the first toggle: applied, from the rectangle reached so far
  EXPECT_EQ(1, log.CountPrefix("[FocusZoomManager] SetCursorFocusActive(false) ENTRY"));
  EXPECT_TRUE(log.Contains("[FocusZoomManager] Cursor focus OFF (crop mode) - startRect=(320,180,1276x716), "
                           "endRect=(0,0,1920x1080)\n"));
  EXPECT_FALSE(manager->IsFocusActive());
  StepAt(250);
  EXPECT_TRUE(log.Contains("[FocusZoomManager] Transition COMPLETE - will call callback: rect=(0,0,1920x1080), "
                           "wasZoomIn=false\n"));
  // The zoom-in never reached its end rectangle.
  for (const auto& d : Deliveries()) EXPECT_NE(kCentred, d.rect);
  // A pending toggle that no longer changes the state is dropped: the last request wins.
  g_clockNs = kT0 + 300 * kMs;
  manager->SetCursorFocusActive(true);
  g_clockNs = kT0 + 330 * kMs;
  manager->SetCursorFocusActive(false);
  g_clockNs = kT0 + 360 * kMs;
  manager->SetCursorFocusActive(true);
  StepAt(430);
  EXPECT_EQ(2, log.CountPrefix("[FocusZoomManager] SetCursorFocusActive(true) ENTRY"));
  EXPECT_EQ(1, log.CountPrefix("[FocusZoomManager] SetCursorFocusActive(false) ENTRY"));
  EXPECT_TRUE(manager->IsFocusActive());
}

// A zoom-in that interrupts a zoom-out starts again from the whole display; one whose cursor
// cannot be read changes nothing.
TEST_F(FocusZoomManagerTest, ZoomInInterruptingAZoomOutRestartsFromTheBase) {
  desktop->FailCursorPos(true);
  manager->SetCursorFocusActive(true);
  EXPECT_FALSE(manager->IsFocusActive() || manager->IsTransitioning());
  desktop->FailCursorPos(false);
  g_clockNs = kT0 + 200 * kMs;
  manager->SetCursorFocusActive(true);
  StepAt(400);
  g_clockNs = kT0 + 500 * kMs;
  manager->SetCursorFocusActive(false);
  StepAt(550);
  g_clockNs = kT0 + 620 * kMs;
  desktop->SetCursorPos({1900, 1070});
  manager->SetCursorFocusActive(true);
  EXPECT_TRUE(log.Contains("[FocusZoomManager] Cursor focus ON (crop mode) - startRect=(0,0,1920x1080), "
                           "endRect=(864,486,1056x594)\n"));
  StepAt(820);
  EXPECT_EQ((FocusRect{864, 486, 1056, 594}), Last());
}

// ---- Tracking and rate limit --------------------------------------------------------------------

TEST_F(FocusZoomManagerTest, TrackingIgnoresSmallMovesAndSmoothsLargeOnes) {
  manager->SetCursorFocusActive(true);
  StepAt(200);
  const size_t afterZoom = Deliveries().size();
  desktop->SetCursorPos({963, 543});  // 4.24 px: inside the dead zone
  StepAt(300);
  EXPECT_EQ(afterZoom, Deliveries().size());
  desktop->SetCursorPos({1160, 540});  // smoothed x = 960 + 0.4 * 200 = 1040
  StepAt(400);
  ASSERT_EQ(afterZoom + 1, Deliveries().size());
  EXPECT_EQ((FocusRect{512, 244, 1056, 594}), Last());
  EXPECT_TRUE(log.Contains(
      "[FocusZoomManager] Crop tracking callback #1: rect=(512,244,1056x594), cursor=(1040,540)\n"));
}

TEST_F(FocusZoomManagerTest, CallbacksAreLimitedToThirtyASecond) {
  manager->SetCursorFocusActive(true);
  for (int ms = 10; ms <= 200; ms += 10) StepAt(ms);  // the transition, stepped every 10 ms
  for (int i = 1; i <= 60; ++i) {
    desktop->SetCursorPos({960 + (i % 2 ? 300 : -300), 540});
    StepAt(200 + i * 10);
  }
  const auto d = Deliveries();
  ASSERT_GE(d.size(), 10u);
  int limited = 0;
  int64_t lastLimitedNs = d[0].atNs;
  for (size_t i = 1; i < d.size(); ++i) {
    // The end of a transition is neither held back nor counted by the limit.
    if (d[i].rect == kCentred && d[i].atNs == kT0 + 200 * kMs) continue;
    EXPECT_GE(d[i].atNs - lastLimitedNs, 1'000'000'000 / 30) << "delivery " << i;
    lastLimitedNs = d[i].atNs;
    ++limited;
  }
  // 790 ms of steps: at most one delivery per 40 ms step slot, about 20.
  EXPECT_LE(d.size(), 22u);
  EXPECT_GE(limited, 10);
}

}  // namespace
}  // namespace kalto
