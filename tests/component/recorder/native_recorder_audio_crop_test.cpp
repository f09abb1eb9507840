// NativeRecorder's audio on the fake audio system (the audio stream, pause, live volumes, the stop
// order, the process-only source with its fallbacks) and its crop callbacks' monitor coordinates.
#include "focus/focus_zoom_manager.h"
#include "recorder_fixture.h"

namespace kalto::recorder_test {
namespace {

namespace pa = platform::audio;

class NativeRecorderAudioTest : public NativeRecorderTest {
 public:
  void SetUp() override {
    NativeRecorderTest::SetUp();
    speakers = audio->AddEndpoint(pa::eRender, L"speakers", pa::MakeExtensibleFormat(48000, 2, 32, true, 3), L"Speakers");
    audio->SetDefault(pa::eRender, L"speakers");
    audio->AddEndpoint(pa::eCapture, L"mic", pa::MakeExtensibleFormat(48000, 1, 16, false, 4), L"Microphone");
    audio->SetDefault(pa::eCapture, L"mic");
  }
  // A square wave into the system stream, 10 ms packets, for `ms` milliseconds.
  void Play(int ms) {
    for (int p = 0; p < ms / 10; ++p, std::this_thread::sleep_for(10ms)) {
      speakers->LastClient()->PushFloat(std::vector<float>(960, p % 2 ? 0.25f : -0.25f));
    }
  }
  std::vector<media::fake::RecordedSample> AudioSamples() {
    std::vector<media::fake::RecordedSample> out;
    for (const auto& s : media->Writers().back()->Samples()) {
      if (s.stream == 1) out.push_back(s);
    }
    return out;
  }

  std::shared_ptr<pa::FakeAudioEndpoint> speakers;
};

TEST_F(NativeRecorderAudioTest, SoundReachesTheStreamOnItsTimelineExceptWhilePausedAtClampedVolumes) {
  auto config = Config("av.mp4", true);
  config->MicrophoneVolume(5.0);
  config->SystemAudioVolume(-1.0);
  recorder->SetMicrophoneVolume(1.0);  // no audio capture yet: nothing to set, nothing breaks
  ASSERT_TRUE(Result(recorder->StartAsync(config)));
  EXPECT_EQ(std::pair(2.0, 0.0), std::pair(recorder->AudioVolumes().microphone, recorder->AudioVolumes().system));
  recorder->SetMicrophoneVolume(3.0);
  recorder->SetSystemAudioVolume(0.75);
  EXPECT_EQ(std::pair(2.0, 0.75), std::pair(recorder->AudioVolumes().microphone, recorder->AudioVolumes().system));
  Play(300);
  recorder->Pause();
  const size_t atPause = AudioSamples().size();
  Play(300);
  EXPECT_LE(AudioSamples().size(), atPause + 1);  // a chunk already past the check may land
  recorder->Resume();
  Play(300);
  recorder->Stop();

  auto samples = AudioSamples();
  ASSERT_GE(samples.size(), 10u) << "about 47 chunks a second";
  int peak = 0;
  for (size_t i = 0; i < samples.size(); ++i) {
    EXPECT_EQ(S_OK, samples[i].result);  // none came after the file was finalised
    EXPECT_NEAR(213333.5, i ? samples[i].time - samples[i - 1].time : 213333, 0.5);  // no gap for the pause
    peak = std::max(peak, std::abs(int(int16_t(samples[i].bytes[0] | samples[i].bytes[1] << 8))));
  }
  EXPECT_GT(peak, 1000);  // the sound is in there
}

// A still screen sends only the picture it shows as the capture starts: that frame opens the
// file even when the sound is slow to start, and is held to the end.
TEST_F(NativeRecorderAudioTest, TheFrameSentAsTheCaptureStartsIsKeptWhileTheSoundStarts) {
  service->SetFramesOnStart(1);
  speakers->SetDelayOnce(pa::FakeAudioPoint::Start, 300);
  ASSERT_TRUE(Result(recorder->StartAsync(Config("still.mp4", true))));
  recorder->Stop();
  EXPECT_EQ(1, speakers->DelaysStarted());
  EXPECT_EQ(2, recorder->FramesWritten());
}

TEST_F(NativeRecorderAudioTest, ProcessOnlyAudioFallsBackToSystemAudio) {
  auto config = Config("av.mp4", true);
  config->CaptureMode(1);
  config->WindowHandle(desktop->AddWindow({10, 10, 210, 160}, 0, "no pid"));
  config->CaptureWindowProcessAudioOnly(true);
  ASSERT_TRUE(Result(recorder->StartAsync(config)));
  recorder->Stop();
  EXPECT_TRUE(log.Contains("[NativeRecorder] Could not get process ID, falling back to system audio\n"));
  EXPECT_EQ(1, speakers->ActivateCalls());
  // With a process id whose loopback cannot be activated: a fresh capture of all system audio.
  config->WindowHandle(desktop->AddWindow({10, 10, 210, 160}, 4242, "app"));
  audio->SetActivation({.activateResult = static_cast<HRESULT>(0x800705B4)});
  ASSERT_TRUE(Result(recorder->StartAsync(config)));
  recorder->Stop();
  EXPECT_TRUE(log.Contains("[NativeRecorder] Process loopback failed, falling back to system audio\n"));
  EXPECT_EQ(2, speakers->ActivateCalls());
  EXPECT_EQ(0, log.CountPrefix("[NativeRecorder] WARNING: Audio capture initialization failed!"));
}

// ---- Crop and cursor focus ---------------------------------------------------------------------

constexpr int32_t kOriginX = 1920;  // the captured monitor sits right of a primary one

class NativeRecorderFocusTest : public NativeRecorderTest {
 public:
  void SetUp() override {
    NativeRecorderTest::SetUp();
    FocusZoomManager::ResetCountersForTesting();
    monitor = desktop->AddMonitor({kOriginX, 0, kOriginX + 1920, 1080});
    desktop->SetCursorPos({kOriginX + 960, 540});
  }
};

// Cursor 608 px into the monitor: the rectangle starts at desktop x 2000, monitor x 80.
TEST_F(NativeRecorderFocusTest, CropRectanglesReachTheCaptureInMonitorCoordinates) {
  desktop->SetCursorPos({kOriginX + 608, 540});
  ASSERT_TRUE(Result(recorder->StartAsync(Config())));
  recorder->ToggleCursorFocus(true);
  // The last crop of the zoom-in is the whole rectangle; crops are numbered from 1.
  EXPECT_TRUE(WaitUntil([&] {
    const auto lines = log.Lines();
    return std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
      return l.rfind("[NativeRecorder] SetCropRegion #", 0) == 0 && l.find(": x=80, y=244, w=1056, h=594 (shutting=0)\n") != std::string::npos;
    });
  }));
  EXPECT_EQ(1, log.CountPrefix("[NativeRecorder] SetCropRegion #1: "));
  EXPECT_EQ(0, log.CountPrefix("[ScreenCapture] Crop region too small"));
  recorder->Stop();
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
  EXPECT_TRUE(log.Contains("[FocusZoomManager] Cursor focus ON (crop mode) - startRect=(0,0,1920x1080), "
                           "endRect=(864,486,1056x594)\n"));
  recorder->Stop();
}

}  // namespace
}  // namespace kalto::recorder_test
