// NativeRecorder's audio on the fake audio system: the audio stream and its samples, the
// process-only source with its fallbacks, live volumes, pause, and the stop order.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <thread>
#include <vector>

#include "recorder_fixture.h"

namespace kalto::recorder_test {
namespace {

namespace pa = platform::audio;
using media::fake::RecordedSample;

class NativeRecorderAudioTest : public NativeRecorderTest {
 protected:
  void SetUp() override {
    NativeRecorderTest::SetUp();
    speakers = audio->AddEndpoint(pa::eRender, L"speakers", pa::MakeExtensibleFormat(48000, 2, 32, true, 3), L"Speakers");
    audio->SetDefault(pa::eRender, L"speakers");
    mic = audio->AddEndpoint(pa::eCapture, L"mic", pa::MakeExtensibleFormat(48000, 1, 16, false, 4), L"Microphone");
    audio->SetDefault(pa::eCapture, L"mic");
  }

  std::shared_ptr<RecordingConfig> AudioConfig(const std::string& name = "av.mp4") {
    auto config = Config(name);
    config->CaptureMicrophone(true);
    config->CaptureSystemAudio(true);
    return config;
  }
  // A 440 Hz tone into the system stream, 10 ms packets, for `ms` milliseconds.
  void PlayTone(int ms, float amplitude = 0.25f) {
    auto client = speakers->LastClient();
    ASSERT_TRUE(client);
    for (int p = 0; p < ms / 10; ++p) {
      std::vector<float> samples(480 * 2);
      for (int i = 0; i < 480; ++i) {
        float v = amplitude * std::sin(2.0f * 3.14159265f * 440.0f * float(m_phase++) / 48000.0f);
        samples[2 * i] = samples[2 * i + 1] = v;
      }
      client->PushFloat(samples);
      std::this_thread::sleep_for(10ms);
    }
  }
  std::vector<RecordedSample> AudioSamples() {
    std::vector<RecordedSample> out;
    for (const auto& s : media->Writers().back()->Samples()) {
      if (s.stream == 1) out.push_back(s);
    }
    return out;
  }

  std::shared_ptr<pa::FakeAudioEndpoint> speakers, mic;
  int64_t m_phase = 0;
};

TEST_F(NativeRecorderAudioTest, SystemAudioAndMicrophoneReachTheAudioStreamOnTheRecordingTimeline) {
  ASSERT_TRUE(Result(recorder->StartAsync(AudioConfig())));
  auto writer = media->Writers().back();
  auto systemClient = speakers->LastClient();  // kept: the recorder lets go of it at Stop
  ASSERT_TRUE(systemClient);
  ASSERT_EQ(2u, writer->OutputTypes().size());
  PlayTone(600);
  recorder->Stop();

  auto samples = AudioSamples();
  ASSERT_GE(samples.size(), 10u) << "about 47 chunks a second";
  for (size_t i = 0; i < samples.size(); ++i) {
    EXPECT_EQ(S_OK, samples[i].result);
    EXPECT_EQ(4096u, samples[i].bytes.size()) << "1024 stereo 16-bit frames";
    EXPECT_EQ(213333, samples[i].duration);
    if (i > 0) {
      const int64_t step = samples[i].time - samples[i - 1].time;
      EXPECT_TRUE(step == 213333 || step == 213334) << step;
    }
  }
  // The tone is in there: some chunk carries real signal.
  int peak = 0;
  for (const auto& s : samples) {
    for (size_t i = 0; i + 1 < s.bytes.size(); i += 2) {
      peak = std::max(peak, std::abs(int(int16_t(uint16_t(s.bytes[i]) | uint16_t(s.bytes[i + 1]) << 8))));
    }
  }
  EXPECT_GT(peak, 1000);
  // The audio capture went before the file was finished: no audio after Finalize.
  auto calls = writer->CallLog();
  auto finalize = std::find_if(calls.begin(), calls.end(), [](auto& c) { return c.rfind("Finalize", 0) == 0; });
  ASSERT_NE(finalize, calls.end());
  EXPECT_EQ(calls.end(), std::find_if(finalize, calls.end(), [](auto& c) { return c.rfind("WriteSample", 0) == 0; }));
  EXPECT_GE(systemClient->StopCalls(), 1);
}

TEST_F(NativeRecorderAudioTest, VolumesAreClampedAndApplyDuringTheRecording) {
  auto config = AudioConfig();
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
  recorder->Stop();
}

TEST_F(NativeRecorderAudioTest, PausedRecordingWritesNoAudio) {
  ASSERT_TRUE(Result(recorder->StartAsync(AudioConfig())));
  PlayTone(300);
  recorder->Pause();
  std::this_thread::sleep_for(100ms);  // a chunk already mixed may still arrive
  const size_t atPause = AudioSamples().size();
  PlayTone(400);
  EXPECT_EQ(atPause, AudioSamples().size());
  recorder->Resume();
  PlayTone(300);
  recorder->Stop();
  EXPECT_GT(AudioSamples().size(), atPause);
}

TEST_F(NativeRecorderAudioTest, ProcessOnlyAudioFallsBackToSystemAudio) {
  auto window = desktop->AddWindow({10, 10, 210, 160}, 0, "no pid");
  auto config = AudioConfig();
  config->CaptureMode(1);
  config->WindowHandle(window);
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

TEST_F(NativeRecorderAudioTest, AudioThatCannotOpenIsLoggedAndTheRecordingGoesOn) {
  audio->RemoveEndpoint(L"speakers");
  audio->RemoveEndpoint(L"mic");
  ASSERT_TRUE(Result(recorder->StartAsync(AudioConfig())));
  EXPECT_TRUE(recorder->IsRecording());
  EXPECT_TRUE(log.Contains("[NativeRecorder] WARNING: Audio capture initialization failed!\n"));
  EXPECT_EQ(2u, media->Writers().back()->OutputTypes().size());
  recorder->Stop();
  EXPECT_TRUE(media->Writers().back()->Finalized());
}

TEST_F(NativeRecorderAudioTest, RecordingWithoutSoundReleasesAPreparedAudioCapture) {
  ASSERT_TRUE(Result(recorder->PrepareAsync(AudioConfig("prepared.mp4"))));
  ASSERT_TRUE(Result(recorder->StartAsync(Config("silent.mp4"))));  // audio off
  EXPECT_EQ(1u, media->Writers().back()->OutputTypes().size());
  EXPECT_FALSE(recorder->AudioVolumes().present);
  recorder->Stop();
  EXPECT_TRUE(AudioSamples().empty());
}

// A microphone that goes away is a warning, not the end of the recording; its return is another.
TEST_F(NativeRecorderAudioTest, LostAndReturningMicrophoneAreWarningsAndTheRecordingGoesOn) {
  Recorded<std::wstring> warnings;
  recorder->Warning().Add([&](NativeRecorder&, std::wstring text) { warnings.Add(text); });
  ASSERT_TRUE(Result(recorder->StartAsync(AudioConfig())));
  mic->SetFault(pa::FakeAudioPoint::GetNextPacketSize, pa::FakeAudioFault::Code(AUDCLNT_E_DEVICE_INVALIDATED));
  for (int i = 0; i < 300 && warnings.Get().empty(); ++i) std::this_thread::sleep_for(10ms);
  mic->ClearFaults();
  for (int i = 0; i < 500 && warnings.Get().size() < 2; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_TRUE(recorder->IsRecording());
  recorder->Stop();
  const auto seen = warnings.Get();
  ASSERT_EQ(2u, seen.size());
  EXPECT_EQ(0u, seen[0].rfind(L"Microphone lost", 0)) << WideToUtf8(seen[0]);
  EXPECT_EQ(L"Microphone is back", seen[1]);
  EXPECT_TRUE(errors.Get().empty());
  EXPECT_TRUE(media->Writers().back()->Finalized());
}

}  // namespace
}  // namespace kalto::recorder_test
