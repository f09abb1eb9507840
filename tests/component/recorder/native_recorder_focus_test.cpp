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

}  // namespace
}  // namespace kalto::recorder_test
