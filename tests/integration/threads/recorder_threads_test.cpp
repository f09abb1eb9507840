// The recorder on the real backends while application threads start, stop, pause, resume, change
// volumes, crop and focus, and the recorded window is minimised and restored (under TSan the
// interleavings are what counts). Every recording that started must end finalised.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

// Before the X headers, whose Status macro it would not survive.
#include "common/debug_output.h"
#include "recorder/native_recorder.h"
// clang-format off
#include "platform/audio/pulse/pulse_audio_system.h"
#include "platform/desktop/x11/x11_desktop.h"
#include "platform/gpu/software/software_device.h"
#include "platform/platform.h"
#include "platform/screen/x11/x11_capture_service.h"
// clang-format on
#include "support/pulse_server.h"
#include "support/require.h"
#include "support/x_server.h"

namespace kalto::test {
namespace {

using namespace std::chrono_literals;

TEST(RecorderThreadsTest, ConcurrentControlOfARealRecordingEndsIdleWithEveryFileFinished) {
  KALTO_REQUIRE(XServer::Available(), "Xvfb is not installed");
  KALTO_REQUIRE(PulseServer::Available(), "pulseaudio and pacat are not installed");
  XServer server(640, 480);
  ASSERT_TRUE(server.Running() && server.StartWindowManager()) << server.Error();
  PulseServer pulse;
  ASSERT_TRUE(pulse.Running()) << pulse.Error();
  // A tone into the system audio, so the audio path carries sound while it is pushed around.
  const std::string tone = pulse.Dir() + "/tone.raw";
  WriteFile(tone, SineS16(440, 0.3, 48000, 2, 30));
  ChildProcess player = pulse.Spawn({"pacat", "--raw", "--rate=48000", "--channels=2", "--format=s16le", tone});
  XClient client(server.Display());
  TestWindow window(client, 40, 40, 320, 240, "threads");
  ASSERT_TRUE(window.WaitViewable());
  NativeRecorder recorder(std::make_shared<platform::Platform>(platform::Platform{
      std::make_shared<gpu::software::SoftwareDeviceFactory>(), std::make_shared<x11::X11Desktop>(server.Display()),
      std::make_shared<x11::X11CaptureService>(server.Display()),
      std::make_shared<platform::audio::pulse::PulseAudioSystem>(pulse.Address()), nullptr}));
  std::mutex filesMutex;
  std::vector<std::wstring> finished;
  recorder.Stopped().Add([&](NativeRecorder&, std::wstring path) {
    std::lock_guard lock(filesMutex);
    finished.push_back(path);
  });
  std::atomic<bool> done{false};
  std::atomic<int> starts{0};
  std::thread starter([&] {
    for (int i = 0; i < 4; ++i) {
      auto config = std::make_shared<RecordingConfig>();  // sound from both sources by default
      config->OutputPath(kalto::Utf8ToWide(pulse.Dir() + "/run" + std::to_string(i) + ".mp4"));
      config->CaptureMode(1);
      config->WindowHandle(static_cast<int64_t>(window.id()));
      auto start = recorder.StartAsync(config);
      if (i % 2 == 0) start->Wait();  // half the stops race the start itself
      std::this_thread::sleep_for(std::chrono::milliseconds(300 + 200 * i));
      recorder.Stop();
      bool ok = false;
      starts += start->WaitFor(10s) && Succeeded(start->GetResults(ok)) && ok;
    }
    done = true;
  });
  std::thread fiddler([&] {
    for (int i = 0; !done; ++i, std::this_thread::sleep_for(23ms)) {
      i % 3 ? recorder.Resume() : recorder.Pause();
      recorder.SetCropRegion({0, 0, 100 + i % 50, 100});
      recorder.SetMicrophoneVolume((i % 3) * 0.5);
      recorder.ToggleCursorFocus(i % 2 == 0);
      (void)recorder.GetAudioLevels(), (void)recorder.CurrentProgress();
    }
  });
  // The minimised window sends black frames from the capture's second thread.
  for (int i = 0; !done; ++i, std::this_thread::sleep_for(150ms)) i % 2 ? window.Restore(2s) : window.Iconify(2s);
  starter.join();
  fiddler.join();
  recorder.Stop();
  EXPECT_FALSE(recorder.IsRecording() || recorder.IsPaused());
  std::lock_guard lock(filesMutex);
  EXPECT_EQ(static_cast<size_t>(starts.load()), finished.size());
  EXPECT_GE(starts.load(), 2);
  for (const auto& path : finished) {
    std::ifstream in(WideToUtf8(path), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(bytes.find("moov") != std::string::npos && bytes.find("moof") == std::string::npos)
        << WideToUtf8(path) << " is not a finished, unfragmented file";
  }
}

}  // namespace
}  // namespace kalto::test
