// AudioCapture over the PulseAudio backend against a private daemon: the system loopback and the
// microphones at their true pitch and level (a 44.1 kHz one resampled), process loopback of one
// process tree, a missing server, and a server killed mid-recording and started again: silence in
// place of every source, the loss and the return told once each, their sound again afterwards.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "pulse_fixture.h"
#include "support/debug_capture.h"

namespace kalto::test {
namespace {

constexpr int kRate = 48000;
constexpr size_t kChunk = AudioCapture::kChunkFrames;

class AudioCapturePulseTest : public PulseTest {};

TEST_F(AudioCapturePulseTest, EachSourceIsRecordedAtItsTruePitchAndLevel) {
  struct Case {
    const char* name;
    const wchar_t* mic;  // null: the system loopback
    const char* feed;    // what the tone is played into
    CaptureFormat format;
    double hz, amplitude, gain, wrongHz;  // wrongHz: a misread rate or a leak would show there
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"system loopback", nullptr, "", {48000, 2, 32, true}, 1000, 0.5, 0.625, 1500, {}},
      {"microphone", L"kalto_mic", "kalto_mic_feed", {48000, 1, 16, false}, 500, 0.25, 1.5, 1000, {}},
      // Read at its own rate as if it were the output's, the tone would sound at 1088 Hz.
      {"44.1 kHz microphone", L"kalto_mic44", "kalto_feed44", {44100, 1, 16, false}, 1000, 0.3, 1.5, 1088.4,
       {"[AudioCapture] Mic sample rate (44100Hz) differs from output (48000Hz) - resampling enabled (ratio: "
        "0.9187)\n"}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DebugCapture debug;
    Recording recording;
    AudioCapture capture(system);
    ASSERT_TRUE(capture.Initialize(c.mic == nullptr, c.mic != nullptr, c.mic ? c.mic : L"", kRate, 2, false, 0, 1));
    EXPECT_EQ(c.mic ? capture.GetMicFormat() : capture.GetSystemFormat(), c.format);
    EXPECT_EQ(debug.Lines(), c.lines);
    ASSERT_TRUE(capture.Start(recording.Chunks()));
    auto player = Play(*server, c.hz, c.amplitude, c.mic ? 1 : 2, c.feed, static_cast<int>(c.format.sampleRate));
    const long onset = recording.WaitForTone(0, c.hz, c.amplitude * c.gain / 3);
    ASSERT_GE(onset, 0) << "the tone did not come through";
    // A quarter of a second to settle, then one second: whole cycles of every tone.
    const size_t first = (static_cast<size_t>(onset) + 12) * kChunk;
    ASSERT_TRUE(recording.WaitForChunks(first / kChunk + kRate / kChunk + 1));
    const float peak = c.mic ? capture.GetMicPeak() : capture.GetSystemPeak();
    capture.Stop();
    const auto second = recording.Left(first, first + kRate);
    EXPECT_NEAR(MedianToneAmplitude(second, c.hz), c.amplitude * c.gain, 0.03);
    EXPECT_LT(MedianToneAmplitude(second, c.wrongHz), 0.02);
    EXPECT_NEAR(Rms(second), c.amplitude * c.gain / std::sqrt(2.0), 0.03);
    EXPECT_NEAR(peak, c.amplitude, 0.03) << "the peak is the source's own, before the mix gain";
    EXPECT_EQ(recording.Faults(), 0) << "both channels equal, every chunk on time";
  }
}

TEST_F(AudioCapturePulseTest, ProcessLoopbackHearsTheTreeIncludingStreamsOpenedLater) {
  auto other = Play(*server, 1100, 0.4, 2);
  // The target's player is a grandchild-to-be: sh starts pacat only once told to, after Start.
  const std::string go = server->Dir() + "/go";
  auto target = server->Spawn(
      {"sh", "-c", "while [ ! -e " + go + " ]; do sleep 0.02; done; " + PlayLine(*server, 700, 0.4, 2) + "; :"});
  Recording recording;
  AudioCapture capture(system);
  ASSERT_TRUE(capture.Initialize(false, false, L"", kRate, 2, false, 0, 1));
  ASSERT_TRUE(capture.InitializeProcessLoopback(static_cast<uint32_t>(target.pid())));
  EXPECT_EQ(capture.GetSystemFormat(), (CaptureFormat{48000, 2, 32, true}));
  ASSERT_TRUE(capture.Start(recording.Chunks()));
  std::ofstream(go).put('\n');
  const long onset = recording.WaitForTone(0, 700, 0.1);
  ASSERT_GE(onset, 0) << "the target's tone did not come through";
  const size_t first = (static_cast<size_t>(onset) + 12) * kChunk;
  // A whole second: the median of ten tenths outlasts a player that the busy machine starves
  // for a moment.
  ASSERT_TRUE(recording.WaitForChunks(first / kChunk + kRate / kChunk + 1));
  capture.Stop();
  const auto second = recording.Left(first, first + kRate);
  EXPECT_NEAR(MedianToneAmplitude(second, 700), 0.4 * 0.625, 0.03);
  EXPECT_LT(MedianToneAmplitude(second, 1100), 0.004) << "the other player leaks in";
  EXPECT_EQ(recording.Faults(), 0);
}

TEST(PulseServerLossTest, AMissingServerIsReportedOnceAndFailsEveryOpening) {
  DebugCapture debug;
  auto missing = std::make_shared<pa::pulse::PulseAudioSystem>("unix:/nonexistent/kalto/native");
  AudioCapture capture(missing);
  EXPECT_FALSE(capture.Initialize(true, true, L"", 48000, 2, false, 0, 1));
  AudioCapture processCapture(missing);
  ASSERT_TRUE(processCapture.Initialize(false, false, L"", 48000, 2, false, 0, 1));
  EXPECT_FALSE(processCapture.InitializeProcessLoopback(1));
  const auto lines = debug.Lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0].rfind("[PulseAudio] Cannot connect to the sound server: ", 0), 0u) << lines[0];
  EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.end()),
            (std::vector<std::string>{
                "[AudioCapture] Failed to get default render device\n",
                "[AudioCapture] Default communications mic failed (0x88890010), trying multimedia role\n",
                "[AudioCapture] Failed to get microphone device: 0x88890010\n",
                "[AudioCapture] Process loopback activation failed: 0x88890010; falling back to system audio\n"}));
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
  // A process loopback that follows no stream has only its own watch to notice.
  Recording processRecording;
  AudioCapture processCapture(std::make_shared<pa::pulse::PulseAudioSystem>(server.Address()));
  ASSERT_TRUE(processCapture.Initialize(false, false, L"", kRate, 2, false, 0, 1));
  ASSERT_TRUE(processCapture.InitializeProcessLoopback(static_cast<uint32_t>(getpid())));
  processCapture.SetSourceStateCallback(processRecording.Sources());
  ASSERT_TRUE(processCapture.Start(processRecording.Chunks()));
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
  EXPECT_GE(processRecording.WaitForEvents(2), 0) << "the process loopback's loss and return were not told";
  processCapture.Stop();
  const auto processEvents = processRecording.Events();
  EXPECT_TRUE(processEvents.size() == 2 && !processEvents[0].available && processEvents[1].available);

  const auto events = recording.Events();
  ASSERT_EQ(events.size(), 4u);
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(events[i].available, i >= 2) << "first both are lost, then both back";
  EXPECT_NE(events[0].source, events[1].source);
  EXPECT_NE(events[2].source, events[3].source);
  EXPECT_GT(backAt, lostAt) << "no chunks while the sources were away";
  // What the ring still held at the loss plays out within a few chunks; then silence.
  EXPECT_EQ(Rms(recording.Left((static_cast<size_t>(lostAt) + 10) * kChunk, static_cast<size_t>(backAt) * kChunk)),
            0.0);
  EXPECT_GE(toneAgainAt, backAt) << "the tone did not come back after the server did";
  EXPECT_EQ(recording.Faults(), 0) << "the timeline broke";
  // Once per source: the system audio of both captures.
  for (auto [source, count] : {std::pair{"Microphone", 1}, {"System audio", 2}}) {
    EXPECT_EQ(debug.CountPrefix(std::string("[AudioCapture] WARNING: ") + source + " lost (0x"), count) << source;
    EXPECT_EQ(debug.Count(std::string("[AudioCapture] ") + source + " is back\n"), count) << source;
  }
}

}  // namespace
}  // namespace kalto::test
