// NativeRecorder's audio on the fake audio system: the audio stream and its samples, pause, live
// volumes, the process-only source with its fallbacks, lost sources, and the stop order.
#include <cmath>

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
    mic = audio->AddEndpoint(pa::eCapture, L"mic", pa::MakeExtensibleFormat(48000, 1, 16, false, 4), L"Microphone");
    audio->SetDefault(pa::eCapture, L"mic");
  }
  // A 440 Hz tone into the system stream, 10 ms packets, for `ms` milliseconds.
  void PlayTone(int ms) {
    auto client = speakers->LastClient();
    ASSERT_TRUE(client);
    for (int p = 0; p < ms / 10; ++p) {
      std::vector<float> samples(480 * 2);
      for (int i = 0; i < 960; ++i) samples[i] = 0.25f * std::sin(2.0f * 3.14159265f * 440.0f * float(phase++ / 2) / 48000.0f);
      client->PushFloat(samples);
      std::this_thread::sleep_for(10ms);
    }
  }
  std::vector<media::fake::RecordedSample> AudioSamples() {
    std::vector<media::fake::RecordedSample> out;
    for (const auto& s : media->Writers().back()->Samples()) {
      if (s.stream == 1) out.push_back(s);
    }
    return out;
  }

  std::shared_ptr<pa::FakeAudioEndpoint> speakers, mic;
  int64_t phase = 0;
};

TEST_F(NativeRecorderAudioTest, SoundReachesTheStreamOnItsTimelineExceptWhilePausedAtClampedVolumes) {
  auto config = Config("av.mp4", true);
  config->MicrophoneVolume(5.0);
  config->SystemAudioVolume(-1.0);
  recorder->SetMicrophoneVolume(1.0);  // no audio capture yet: nothing to set, nothing breaks
  ASSERT_TRUE(Result(recorder->StartAsync(config)));
  EXPECT_EQ(2.0, recorder->AudioVolumes().microphone);
  EXPECT_EQ(0.0, recorder->AudioVolumes().system);
  recorder->SetMicrophoneVolume(3.0);
  recorder->SetSystemAudioVolume(0.75);
  EXPECT_EQ(2.0, recorder->AudioVolumes().microphone);
  EXPECT_EQ(0.75, recorder->AudioVolumes().system);
  auto systemClient = speakers->LastClient();  // kept: the recorder lets go of it at Stop
  ASSERT_EQ(2u, media->Writers().back()->OutputTypes().size());
  PlayTone(300);
  EXPECT_TRUE(recorder->GetAudioLevels().active);
  recorder->Pause();
  const size_t atPause = AudioSamples().size();
  PlayTone(300);
  EXPECT_LE(AudioSamples().size(), atPause + 1);  // a chunk already past the check may land
  recorder->Resume();
  PlayTone(300);
  recorder->Stop();

  auto samples = AudioSamples();
  ASSERT_GE(samples.size(), 10u) << "about 47 chunks a second";
  int peak = 0;
  for (size_t i = 0; i < samples.size(); ++i) {
    EXPECT_EQ(S_OK, samples[i].result);  // none came after the file was finalised
    EXPECT_EQ(4096u, samples[i].bytes.size()) << "1024 stereo 16-bit frames";
    EXPECT_EQ(213333, samples[i].duration);
    EXPECT_NEAR(213333.5, i ? samples[i].time - samples[i - 1].time : 213333, 0.5);  // no gap for the pause
    for (size_t b = 0; b + 1 < samples[i].bytes.size(); b += 2) {
      peak = std::max(peak, std::abs(int(int16_t(samples[i].bytes[b] | samples[i].bytes[b + 1] << 8))));
    }
  }
  EXPECT_GT(peak, 1000);  // the tone is in there
  EXPECT_GE(systemClient->StopCalls(), 1);
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

}  // namespace
}  // namespace kalto::recorder_test
