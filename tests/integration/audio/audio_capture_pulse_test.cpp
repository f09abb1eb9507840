// AudioCapture over the PulseAudio backend: a 44.1 kHz microphone at its true pitch and level,
// a source that delivers in bursts, and sources that go away mid-recording (the microphone's
// module unloaded, the sound server killed) and come back: silence in their place, the loss and
// the return told once each, their sound again afterwards.
#include <gtest/gtest.h>

#include <algorithm>

#include "pulse_fixture.h"
#include "support/debug_capture.h"

namespace kalto::test {
namespace {

constexpr int kRate = 48000;
constexpr size_t kChunk = AudioCapture::kChunkFrames;

class AudioCapturePulseTest : public PulseTest {};

TEST_F(AudioCapturePulseTest, A44kHzMicrophoneIsResampledTo48kHzAtItsTruePitchAndLevel) {
  DebugCapture debug;
  Recording recording;
  AudioCapture capture(system);
  ASSERT_TRUE(capture.Initialize(false, true, L"kalto_mic44", kRate, 2, false, 0, 1));
  EXPECT_EQ(capture.GetMicFormat(), (CaptureFormat{44100, 1, 16, false}));
  EXPECT_EQ(debug.Lines(), (std::vector<std::string>{"[AudioCapture] Mic sample rate (44100Hz) differs from output "
                                                     "(48000Hz) - resampling enabled (ratio: 0.9187)\n"}));
  ASSERT_TRUE(capture.Start(recording.Chunks()));
  auto player = Play(*server, 1000, 0.3, 1, "kalto_feed44", 44100);
  const long onset = recording.WaitForTone(0, 1000, 0.1);
  ASSERT_GE(onset, 0) << "the tone did not come through";
  // A quarter of a second to settle, then one second: whole cycles of 1 kHz at 48 kHz.
  const size_t first = (static_cast<size_t>(onset) + 12) * kChunk;
  ASSERT_TRUE(recording.WaitForChunks(first / kChunk + kRate / kChunk + 1));
  const float micPeak = capture.GetMicPeak();
  capture.Stop();
  const auto second = recording.Left(first, first + kRate);
  // 0.3 at the raw mix gain of 1.5; read at the microphone's rate as if it were the output's,
  // the tone would sound at 1088 Hz.
  // Median over tenths of a second: a ring that ran short pads a chunk's end with silence.
  auto median = [&](double hz) {
    std::vector<double> amplitudes;
    for (size_t b = 0; b + 4800 <= second.size(); b += 4800) {
      amplitudes.push_back(ToneAmplitude({second.begin() + b, second.begin() + b + 4800}, hz));
    }
    std::nth_element(amplitudes.begin(), amplitudes.begin() + 5, amplitudes.end());
    return amplitudes[5];
  };
  EXPECT_NEAR(median(1000), 0.45, 0.03);
  EXPECT_LT(median(1000.0 * 48000 / 44100), 0.05);
  EXPECT_NEAR(Rms(second), 0.45 / std::sqrt(2.0), 0.03);
  EXPECT_NEAR(micPeak, 0.3, 0.03) << "the peak is the microphone's own, before the mix gain";
  EXPECT_EQ(recording.Faults(), 0);
  EXPECT_EQ(recording.UnequalFrames(), 0) << "a mono microphone fills both channels";
}

TEST_F(AudioCapturePulseTest, ASourceThatDeliversInBurstsLosesNothing) {
  Recording recording;
  AudioCapture capture(system);
  ASSERT_TRUE(capture.Initialize(false, true, L"kalto_sine", kRate, 2, false, 0, 1));
  ASSERT_TRUE(capture.Start(recording.Chunks()));
  const long onset = recording.WaitForTone(0);
  ASSERT_GE(onset, 0) << "the sine never came through";
  const size_t first = static_cast<size_t>(onset) + kRate / kChunk, span = 8 * kRate / kChunk;
  ASSERT_TRUE(recording.WaitForChunks(first + span + 1, 30s));
  capture.Stop();
  // Runs of three or more exact zeros are padding: the sine never holds zero that long.
  const auto left = recording.Left(first * kChunk, (first + span) * kChunk);
  size_t padded = 0;
  for (size_t i = 0, j = 0; i < left.size(); i = std::max(j, i + 1)) {
    for (j = i; j < left.size() && left[j] == 0.0f;) ++j;
    if (j - i >= 3) padded += j - i;
  }
  EXPECT_LT(static_cast<double>(padded) / static_cast<double>(left.size()), 0.02);
}

TEST_F(AudioCapturePulseTest, AnUnloadedMicrophoneIsSilentUntilItsModuleIsLoadedAgain) {
  // A microphone of this test's own, so the others keep theirs.
  const std::vector<std::string> load = {"pactl", "load-module", "module-remap-source",
                                         "master=kalto_mic_feed.monitor", "source_name=kalto_lost"};
  auto loadModule = [&] {
    const std::string module = server->Output(load);
    return module.substr(0, module.find_first_of("\r\n"));
  };
  std::string module = loadModule();
  ASSERT_FALSE(module.empty());
  DebugCapture debug;
  Recording recording;
  AudioCapture capture(system);
  ASSERT_TRUE(capture.Initialize(false, true, L"kalto_lost", kRate, 2, false, 0, 1));
  capture.SetSourceStateCallback(recording.Sources());
  ASSERT_TRUE(capture.Start(recording.Chunks()));
  auto player = Play(*server, 1000, 0.5, 1, "kalto_mic_feed");
  ASSERT_GE(recording.WaitForTone(0), 0) << "the tone never came through";

  ASSERT_EQ(server->Run({"pactl", "unload-module", module}), 0);
  const long lostAt = recording.WaitForEvents(1);
  ASSERT_GE(lostAt, 0) << "the loss was not reported";
  // Two seconds without it: the attempts to reopen it fail meanwhile.
  ASSERT_TRUE(recording.WaitForChunks(static_cast<size_t>(lostAt) + 2 * kRate / kChunk));
  module = loadModule();
  ASSERT_FALSE(module.empty());
  const long backAt = recording.WaitForEvents(2);
  ASSERT_GE(backAt, 0) << "the return was not reported";
  const long toneAgainAt = recording.WaitForTone(static_cast<size_t>(backAt));
  capture.Stop();
  server->Run({"pactl", "unload-module", module});

  EXPECT_GE(toneAgainAt, backAt) << "the tone did not come back with the microphone";
  // What the ring still held at the loss plays out within a few chunks; then silence.
  const auto away = recording.Left((static_cast<size_t>(lostAt) + 10) * kChunk, static_cast<size_t>(backAt) * kChunk);
  EXPECT_EQ(Rms(away), 0.0) << "something else was recorded in the microphone's place";
  EXPECT_EQ(recording.Faults(), 0);
  const auto events = recording.Events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_FALSE(events[0].available);
  EXPECT_TRUE(events[1].available);
  EXPECT_EQ(debug.CountPrefix("[AudioCapture] WARNING: Microphone lost (0x"), 1);
  EXPECT_EQ(debug.Count("[AudioCapture] Microphone is back\n"), 1);
}

TEST(AudioCaptureServerRestartTest, ASoundServerRestartIsRecordedAsSilenceAndBothSourcesComeBack) {
  KALTO_REQUIRE(PulseServer::Available(), "pulseaudio and pacat are not installed");
  // Its own server: this one is killed and started again.
  PulseServer server;
  ASSERT_TRUE(server.Running()) << server.Error();
  DebugCapture debug;
  Recording recording;
  AudioCapture capture(std::make_shared<pa::pulse::PulseAudioSystem>(server.Address()));
  ASSERT_TRUE(capture.Initialize(true, true, L"kalto_mic", kRate, 2, false, 0, 1));
  capture.SetSourceStateCallback(recording.Sources());
  ASSERT_TRUE(capture.Start(recording.Chunks()));
  auto player = Play(server, 1000, 0.5, 1, "kalto_mic_feed");
  ASSERT_GE(recording.WaitForTone(0), 0) << "the tone never came through";

  ASSERT_TRUE(server.Restart()) << server.Error();
  const long lostAt = recording.WaitForEvents(2);
  ASSERT_GE(lostAt, 0) << "the loss of both sources was not reported";
  const long backAt = recording.WaitForEvents(4);
  ASSERT_GE(backAt, 0) << "the return of both sources was not reported";
  player = Play(server, 1000, 0.5, 1, "kalto_mic_feed");  // the first player died with its server
  const long toneAgainAt = recording.WaitForTone(static_cast<size_t>(backAt));
  capture.Stop();

  const auto events = recording.Events();
  ASSERT_EQ(events.size(), 4u);
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(events[i].available, i >= 2) << "first both are lost, then both back";
  EXPECT_NE(events[0].source, events[1].source);
  EXPECT_NE(events[2].source, events[3].source);
  EXPECT_GT(backAt, lostAt) << "no chunks while the sources were away";
  EXPECT_GE(toneAgainAt, backAt) << "the tone did not come back after the server did";
  EXPECT_EQ(recording.Faults(), 0) << "the timeline broke";
  for (const char* source : {"Microphone", "System audio"}) {
    EXPECT_EQ(debug.CountPrefix(std::string("[AudioCapture] WARNING: ") + source + " lost (0x"), 1) << source;
    EXPECT_EQ(debug.Count(std::string("[AudioCapture] ") + source + " is back\n"), 1) << source;
  }
}

}  // namespace
}  // namespace kalto::test
