// NativeRecorder's crop and cursor-focus control on the fakes: the crop callback's monitor-origin
// conversion and its two variants, ToggleCursorFocus's guards and event, the settings fallbacks,
// RecenterCursorFocus, SetCropRegion, and focus during Stop and CancelPrepared.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "focus/focus_zoom_manager.h"
#include "recorder_fixture.h"

namespace kalto::recorder_test {
namespace {

// The captured monitor sits right of a primary one, so desktop and monitor coordinates differ.
constexpr int32_t kOriginX = 1920;

class NativeRecorderFocusTest : public NativeRecorderTest {
 protected:
  void SetUp() override {
    NativeRecorderTest::SetUp();
    NativeRecorder::ResetCropCallbackCountersForTesting();
    FocusZoomManager::ResetCountersForTesting();
    monitor = desktop->AddMonitor({kOriginX, 0, kOriginX + 1920, 1080});
    desktop->SetCursorPos({kOriginX + 960, 540});
    recorder->CursorFocusChanged().Add([this](NativeRecorder&, bool active) {
      std::lock_guard lock(mutex);
      focusEvents.push_back(active);
    });
  }

  bool WaitForLine(const std::string& line) {
    return WaitUntil([&] { return log.Contains(line); });
  }
  static bool WaitUntil(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!condition()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(5ms);
    }
    return true;
  }
  std::vector<bool> FocusEvents() {
    std::lock_guard lock(mutex);
    return focusEvents;
  }

  std::mutex mutex;
  std::vector<bool> focusEvents;
};

// ---- Crop callback ------------------------------------------------------------------------------

TEST_F(NativeRecorderFocusTest, CropRectanglesReachTheCaptureInMonitorCoordinates) {
  // Cursor 608 px into the monitor: the focus rectangle starts at desktop x 2000, monitor x 80.
  desktop->SetCursorPos({kOriginX + 608, 540});
  ASSERT_TRUE(Result(recorder->StartAsync(Config())));
  recorder->ToggleCursorFocus(true);
  ASSERT_TRUE(WaitForLine("[FocusZoomManager] Transition COMPLETE - will call callback: rect=(2000,244,1056x594), "
                          "wasZoomIn=true\n"));
  ASSERT_TRUE(WaitUntil([&] { return log.CountPrefix("[NativeRecorder] SetCropRegion #") >= 1; }));
  const auto lines = log.Lines();
  std::string lastCrop;
  for (const auto& l : lines) {
    if (l.rfind("[NativeRecorder] SetCropRegion #", 0) == 0) lastCrop = l;
  }
  EXPECT_NE(std::string::npos, lastCrop.find(": x=80, y=244, w=1056, h=594 (shutting=0)\n")) << lastCrop;
  EXPECT_EQ(1, log.CountPrefix("[NativeRecorder] SetCropRegion #1: "));  // numbered from 1
  EXPECT_EQ(0, log.CountPrefix("[ScreenCapture] Crop region too small"));
  EXPECT_EQ(0, log.CountPrefix("[NativeRecorder] SetCropRegion(Prepare)"));
  recorder->Stop();
}

TEST_F(NativeRecorderFocusTest, PreparedRecordingUsesThePrepareVariant) {
  ASSERT_TRUE(Result(recorder->PrepareAsync(Config())));
  ASSERT_TRUE(Result(recorder->StartPreparedAsync()));
  recorder->ToggleCursorFocus(true);
  ASSERT_TRUE(WaitForLine("[FocusZoomManager] Transition COMPLETE - will call callback: rect=(2352,244,1056x594), "
                          "wasZoomIn=true\n"));
  ASSERT_TRUE(WaitUntil([&] {
    for (const auto& l : log.Lines()) {
      if (l.rfind("[NativeRecorder] SetCropRegion(Prepare) #", 0) == 0 &&
          l.find(": x=432, y=244, w=1056, h=594 (shutting=0)\n") != std::string::npos) {
        return true;
      }
    }
    return false;
  }));
  EXPECT_EQ(1, log.CountPrefix("[NativeRecorder] SetCropRegion(Prepare) #1: "));
  EXPECT_EQ(0, log.CountPrefix("[NativeRecorder] SetCropRegion #"));
  recorder->Stop();
}

// ---- ToggleCursorFocus --------------------------------------------------------------------------

TEST_F(NativeRecorderFocusTest, ToggleWhileNotRecordingChangesNothing) {
  recorder->ToggleCursorFocus(true);
  ASSERT_TRUE(Result(recorder->PrepareAsync(Config())));
  recorder->ToggleCursorFocus(true);  // prepared is not recording
  EXPECT_FALSE(recorder->IsCursorFocusActive());
  EXPECT_TRUE(FocusEvents().empty());
  EXPECT_EQ(0, log.CountPrefix("[FocusZoomManager] SetCursorFocusActive"));
  recorder->CancelPrepared();
  recorder->ToggleCursorFocus(true);
  recorder->RecenterCursorFocus();
  EXPECT_FALSE(recorder->IsCursorFocusActive());
  EXPECT_TRUE(FocusEvents().empty());
}

TEST_F(NativeRecorderFocusTest, ToggleRaisesTheEventOnlyOnAChange) {
  ASSERT_TRUE(Result(recorder->StartAsync(Config())));
  recorder->ToggleCursorFocus(true);
  recorder->ToggleCursorFocus(true);
  EXPECT_TRUE(recorder->IsCursorFocusActive());
  EXPECT_EQ(std::vector<bool>{true}, FocusEvents());
  EXPECT_EQ(1, log.CountPrefix("[FocusZoomManager] SetCursorFocusActive(true) ENTRY"));
  recorder->ToggleCursorFocus(false);
  EXPECT_FALSE(recorder->IsCursorFocusActive());
  EXPECT_EQ((std::vector<bool>{true, false}), FocusEvents());
  // The second came within 100 ms: the manager's thread applies it.
  ASSERT_TRUE(WaitForLine("[FocusZoomManager] Transition COMPLETE - will call callback: rect=(1920,0,1920x1080), "
                          "wasZoomIn=false\n"));
  recorder->Stop();
}

// ---- Settings -----------------------------------------------------------------------------------

TEST_F(NativeRecorderFocusTest, SettingsReachTheRunningManagerWithFallbacks) {
  ASSERT_TRUE(Result(recorder->StartAsync(Config())));
  recorder->SetFocusZoomSettings({false, true, 0.8, 0.4, 5.0, 2.0});
  recorder->ToggleCursorFocus(true);
  ASSERT_TRUE(WaitForLine("[FocusZoomManager] Cursor focus ON (crop mode) - startRect=(1920,0,1920x1080), "
                          "endRect=(2112,108,1536x864)\n"));
  ASSERT_TRUE(WaitForLine("[FocusZoomManager] Transition COMPLETE - will call callback: rect=(2112,108,1536x864), "
                          "wasZoomIn=true\n"));
  recorder->ToggleCursorFocus(false);
  ASSERT_TRUE(WaitForLine("[FocusZoomManager] Transition COMPLETE - will call callback: rect=(1920,0,1920x1080), "
                          "wasZoomIn=false\n"));
  // Every factor zero: the manager gets 0.55, 0.4, 5.0 and 2.0.
  recorder->SetFocusZoomSettings({});
  std::this_thread::sleep_for(120ms);  // past the toggle debounce
  recorder->ToggleCursorFocus(true);
  ASSERT_TRUE(WaitForLine("[FocusZoomManager] Cursor focus ON (crop mode) - startRect=(1920,0,1920x1080), "
                          "endRect=(2352,244,1056x594)\n"));
  recorder->Stop();
}

TEST_F(NativeRecorderFocusTest, ConfiguredSettingsAndOutputSizeShapeTheRectangle) {
  auto config = Config();
  config->FocusZoom({false, false, 0.0, -1.0, 0.0, 0.0});  // fallbacks all round
  config->OutputWidth(1080);
  config->OutputHeight(1920);
  ASSERT_TRUE(Result(recorder->StartAsync(config)));
  recorder->ToggleCursorFocus(true);
  ASSERT_TRUE(WaitForLine("[FocusZoomManager] Cursor focus ON (crop mode) - startRect=(1920,0,1920x1080), "
                          "endRect=(2352,0,1056x1080)\n"));
  recorder->Stop();
}

// ---- Recenter and SetCropRegion -----------------------------------------------------------------

TEST_F(NativeRecorderFocusTest, RecenterPlaysTheZoomAnimationAndReturnsToTheWholeMonitor) {
  ASSERT_TRUE(Result(recorder->StartAsync(Config())));
  recorder->RecenterCursorFocus();
  ASSERT_TRUE(WaitUntil([&] {
    return log.CountPrefix("[NativeRecorder] SetCropRegion #") >= 2 &&
           log.Lines().back().find("x=0, y=0, w=1920, h=1080") != std::string::npos;
  }));
  EXPECT_FALSE(recorder->IsCursorFocusActive());
  EXPECT_TRUE(FocusEvents().empty());
  recorder->Stop();
}

TEST_F(NativeRecorderFocusTest, SetCropRegionPassesMonitorCoordinatesUnchanged) {
  recorder->SetCropRegion({1900, 1000, 400, 300});  // no capture yet: nothing
  EXPECT_EQ(0, log.CountPrefix("[ScreenCapture]"));
  ASSERT_TRUE(Result(recorder->StartAsync(Config())));
  // Not shifted by the monitor's origin: 1900 + 400 overflows the 1920-wide monitor.
  recorder->SetCropRegion({1900, 1000, 400, 300});
  EXPECT_TRUE(log.Contains("[ScreenCapture] Crop region too small after clamping: 20x80, ignoring\n"));
  EXPECT_EQ(0, log.CountPrefix("[NativeRecorder] SetCropRegion"));
  recorder->Stop();
}

// ---- Stop and cancel ----------------------------------------------------------------------------

TEST_F(NativeRecorderFocusTest, StopSwitchesFocusOffAndIgnoresLateCrops) {
  ASSERT_TRUE(Result(recorder->StartAsync(Config())));
  recorder->ToggleCursorFocus(true);
  ASSERT_TRUE(WaitForLine("[FocusZoomManager] Transition COMPLETE - will call callback: rect=(2352,244,1056x594), "
                          "wasZoomIn=true\n"));
  // Keep the cursor moving so the tracking thread keeps producing crops while Stop runs.
  std::atomic<bool> moving{true};
  std::thread mover([&] {
    for (int i = 0; moving; ++i) {
      desktop->SetCursorPos({kOriginX + (i % 2 ? 400 : 1500), 540});
      std::this_thread::sleep_for(2ms);
    }
  });
  ASSERT_TRUE(WaitUntil([&] { return log.CountPrefix("[NativeRecorder] SetCropRegion #") >= 6; }));
  recorder->Stop();
  const int crops = log.CountPrefix("[NativeRecorder] SetCropRegion #");
  std::this_thread::sleep_for(100ms);
  moving = false;
  mover.join();
  EXPECT_FALSE(recorder->IsCursorFocusActive());
  EXPECT_TRUE(log.Contains("[FocusZoomManager] SetCursorFocusActive(false) ENTRY - isRunning=1, callback=set, "
                           "m_isFocusActive=1, m_isFocusTransitioning=0\n"));
  // Crops that came while shutting down were dropped before reaching the capture.
  for (const auto& l : log.Lines()) {
    if (l.rfind("[NativeRecorder] SetCropRegion", 0) == 0) {
      EXPECT_NE(std::string::npos, l.find("(shutting=0)")) << l;
    }
  }
  EXPECT_EQ(crops, log.CountPrefix("[NativeRecorder] SetCropRegion #"));
  // The event is for the application's toggles only.
  EXPECT_EQ(std::vector<bool>{true}, FocusEvents());
  // After Stop the recorder is idle again: toggles do nothing.
  recorder->ToggleCursorFocus(true);
  EXPECT_FALSE(recorder->IsCursorFocusActive());
}

TEST_F(NativeRecorderFocusTest, CancelPreparedReleasesTheManager) {
  ASSERT_TRUE(Result(recorder->PrepareAsync(Config())));
  recorder->CancelPrepared();
  EXPECT_FALSE(recorder->IsPrepared());
  recorder->SetFocusZoomSettings({});  // no manager: kept only
  recorder->RecenterCursorFocus();
  ASSERT_TRUE(Result(recorder->StartAsync(Config())));  // a fresh manager for the next recording
  recorder->ToggleCursorFocus(true);
  EXPECT_EQ(std::vector<bool>{true}, FocusEvents());
  recorder->Stop();
}

}  // namespace
}  // namespace kalto::recorder_test
