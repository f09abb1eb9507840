// NativeRecorder's crop and cursor focus: the crop callback's monitor-origin conversion and its
// two variants, the toggle's guards and event, settings with fallbacks, recentring, SetCropRegion,
// and focus during Stop.
#include "focus/focus_zoom_manager.h"
#include "recorder_fixture.h"

namespace kalto::recorder_test {
namespace {

constexpr int32_t kOriginX = 1920;  // the captured monitor sits right of a primary one

class NativeRecorderFocusTest : public NativeRecorderTest {
 public:
  void SetUp() override {
    NativeRecorderTest::SetUp();
    FocusZoomManager::ResetCountersForTesting();
    monitor = desktop->AddMonitor({kOriginX, 0, kOriginX + 1920, 1080});
    desktop->SetCursorPos({kOriginX + 960, 540});
    recorder->CursorFocusChanged().Add([this](NativeRecorder&, bool active) { focusEvents.Add(active); });
  }
  bool WaitForCrop(const std::string& prefix, const std::string& tail) {
    return WaitUntil([&] {
      for (const auto& l : log.Lines()) {
        if (l.rfind(prefix, 0) == 0 && l.find(tail) != std::string::npos) return true;
      }
      return false;
    });
  }
  static std::string On(const std::string& start, const std::string& end) {
    return "[FocusZoomManager] Cursor focus ON (crop mode) - startRect=(" + start + "), endRect=(" + end + ")\n";
  }
  Recorded<bool> focusEvents;
};

// Cursor 608 px into the monitor: the rectangle starts at desktop x 2000, monitor x 80. A prepared
// recording numbers its crops apart from a started one.
TEST_F(NativeRecorderFocusTest, CropRectanglesReachTheCaptureInMonitorCoordinates) {
  desktop->SetCursorPos({kOriginX + 608, 540});
  for (bool prepared : {false, true}) {
    if (prepared) {
      ASSERT_TRUE(Result(recorder->PrepareAsync(Config())));
    }
    ASSERT_TRUE(Result(prepared ? recorder->StartPreparedAsync() : recorder->StartAsync(Config())));
    recorder->ToggleCursorFocus(true);
    const std::string prefix = prepared ? "[NativeRecorder] SetCropRegion(Prepare) #" : "[NativeRecorder] SetCropRegion #";
    EXPECT_TRUE(WaitForCrop(prefix, ": x=80, y=244, w=1056, h=594 (shutting=0)\n")) << prepared;
    EXPECT_EQ(1, log.CountPrefix(prefix + "1: ")) << prepared;  // numbered from 1, each variant apart
    recorder->Stop();
  }
  EXPECT_EQ(0, log.CountPrefix("[ScreenCapture] Crop region too small"));
}

// A monitor whose description cannot be read counts from the desktop's origin, whatever the
// previous recording's monitor was.
TEST_F(NativeRecorderFocusTest, UnreadableMonitorCountsFromTheDesktopOrigin) {
  auto config = Config();
  config->MonitorHandle(desktop->AddMonitor({kOriginX, 300, kOriginX + 1920, 1380}));
  ASSERT_TRUE(Result(recorder->StartAsync(config)));
  recorder->Stop();
  desktop->FailMonitorInfo(true);
  desktop->SetCursorPos({kOriginX + 960, 840});
  ASSERT_TRUE(Result(recorder->StartAsync(config)));
  recorder->ToggleCursorFocus(true);
  EXPECT_TRUE(log.Contains(On("0,0,1920x1080", "864,486,1056x594")));
  recorder->Stop();
}

TEST_F(NativeRecorderFocusTest, ToggleActsOnlyWhileRecordingAndRaisesTheEventOnAChange) {
  recorder->ToggleCursorFocus(true);
  ASSERT_TRUE(Result(recorder->PrepareAsync(Config())));
  recorder->ToggleCursorFocus(true);  // prepared is not recording
  recorder->RecenterCursorFocus();
  recorder->CancelPrepared();
  recorder->SetFocusZoomSettings({});  // no manager: kept only
  EXPECT_FALSE(recorder->IsCursorFocusActive());
  EXPECT_EQ(0, log.CountPrefix("[FocusZoomManager]"));
  ASSERT_TRUE(Result(recorder->StartAsync(Config())));
  recorder->ToggleCursorFocus(true);
  recorder->ToggleCursorFocus(true);
  EXPECT_TRUE(recorder->IsCursorFocusActive());
  EXPECT_EQ(1, log.CountPrefix("[FocusZoomManager] SetCursorFocusActive(true) ENTRY"));
  recorder->ToggleCursorFocus(false);
  EXPECT_FALSE(recorder->IsCursorFocusActive());
  EXPECT_EQ((std::vector<bool>{true, false}), focusEvents.Get());
  // The second came within 100 ms: the manager's thread applies it.
  EXPECT_TRUE(WaitForLine("[FocusZoomManager] Transition COMPLETE - will call callback: rect=(1920,0,1920x1080), "
                          "wasZoomIn=false\n"));
  recorder->Stop();
}

// Settings reach the running manager, each factor that is not positive as its fallback; the
// configured ones and the output's shape shape the rectangle of the next recording.
TEST_F(NativeRecorderFocusTest, SettingsReachTheManagerWithFallbacks) {
  ASSERT_TRUE(Result(recorder->StartAsync(Config())));
  recorder->SetFocusZoomSettings({false, true, 0.8, 0.4, 5.0, 2.0});
  recorder->ToggleCursorFocus(true);
  EXPECT_TRUE(log.Contains(On("1920,0,1920x1080", "2112,108,1536x864")));
  recorder->Stop();
  auto config = Config();
  config->FocusZoom({false, false, 0.0, -1.0, 0.0, 0.0});
  config->OutputWidth(1080);
  config->OutputHeight(1920);
  ASSERT_TRUE(Result(recorder->StartAsync(config)));
  recorder->ToggleCursorFocus(true);
  EXPECT_TRUE(log.Contains(On("1920,0,1920x1080", "2352,0,1056x1080")));
  recorder->Stop();
}

TEST_F(NativeRecorderFocusTest, RecenterZoomsAndReturnsAndSetCropRegionIsNotShifted) {
  recorder->SetCropRegion({1900, 1000, 400, 300});  // no capture yet: nothing
  ASSERT_TRUE(Result(recorder->StartAsync(Config())));
  recorder->RecenterCursorFocus();
  EXPECT_TRUE(WaitForCrop("[NativeRecorder] SetCropRegion #", ": x=696, y=392, w=528, h=300 (shutting=0)\n"));
  EXPECT_TRUE(WaitUntil([&] { return log.Lines().back().find("x=0, y=0, w=1920, h=1080") != std::string::npos; }));
  EXPECT_FALSE(recorder->IsCursorFocusActive());
  EXPECT_TRUE(focusEvents.Get().empty());
  EXPECT_EQ(0, log.CountPrefix("[ScreenCapture] Crop region too small"));
  // In the monitor's own pixels: 1900 + 400 overflows the 1920-wide monitor.
  recorder->SetCropRegion({1900, 1000, 400, 300});
  EXPECT_TRUE(log.Contains("[ScreenCapture] Crop region too small after clamping: 20x80, ignoring\n"));
  recorder->Stop();
}

TEST_F(NativeRecorderFocusTest, StopSwitchesFocusOffAndIgnoresLateCrops) {
  ASSERT_TRUE(Result(recorder->StartAsync(Config())));
  recorder->ToggleCursorFocus(true);
  // Keep the cursor moving so the tracking thread keeps producing crops while Stop runs.
  std::atomic<bool> moving{true};
  std::thread mover([&] {
    for (int i = 0; moving; ++i, std::this_thread::sleep_for(2ms)) desktop->SetCursorPos({kOriginX + (i % 2 ? 400 : 1500), 540});
  });
  ASSERT_TRUE(WaitUntil([&] { return log.CountPrefix("[NativeRecorder] SetCropRegion #") >= 12; }));
  recorder->Stop();
  const int crops = log.CountPrefix("[NativeRecorder] SetCropRegion #");
  EXPECT_FALSE(WaitUntil([&] { return log.CountPrefix("[NativeRecorder] SetCropRegion #") > crops; }, 100ms));
  moving = false;
  mover.join();
  EXPECT_FALSE(recorder->IsCursorFocusActive());
  EXPECT_TRUE(log.Contains("[FocusZoomManager] SetCursorFocusActive(false) ENTRY - isRunning=1, callback=set, "
                           "m_isFocusActive=1, m_isFocusTransitioning=0\n"));
  for (const auto& l : log.Lines()) {
    if (l.rfind("[NativeRecorder] SetCropRegion", 0) == 0) {
      EXPECT_NE(std::string::npos, l.find("(shutting=0)")) << l;
    }
  }
  EXPECT_EQ(std::vector<bool>{true}, focusEvents.Get());  // the application's toggles only
  recorder->ToggleCursorFocus(true);
  EXPECT_FALSE(recorder->IsCursorFocusActive());
}

}  // namespace
}  // namespace kalto::recorder_test
