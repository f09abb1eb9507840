// kalto-record's sound against its picture, end to end under a private Xvfb and PulseAudio: a
// screen that flashes white at the very instant a click is heard must show each flash on its
// click from the start, through a pause, to beyond a minute; a tone heard only while paused
// must be absent from the file; and steady tones from the system and the microphone must come
// out of the AAC track at the levels the mixer promises.
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "av_support.h"

namespace kalto::test {
namespace {

// Clicks about a second apart, with a pause and a resume on the way: each side of the pause is
// matched to the played clicks on its own, and must keep its flashes on their clicks.
TEST_F(AvSyncTest, FlashesStayOnTheirClicksFromTheStartThroughAPauseToBeyondAMinute) {
  constexpr double kRecordSeconds = 72, kPauseAt = 20, kResumeAt = 23.5;
  PulsePlayer player(Pulse().Address(), "kalto_speakers", 100);
  ASSERT_TRUE(player.Ok()) << player.Error();
  XClient client(X().Display());
  ASSERT_TRUE(client);
  TestWindow screen(client, 0, 0, kWidth, kHeight, "flash");
  ASSERT_TRUE(screen.WaitViewable());
  screen.Fill(0x000000);

  const std::string file = File("sync.mp4");
  // 60 fps puts frames 16.7 ms apart, well inside the bound; --no-cursor keeps the screen still
  // between flashes.
  KeyedRecording recording(Command(FlashRegion() + " --fps 60 --no-cursor --no-mic --duration " +
                                   std::to_string(static_cast<int>(kRecordSeconds)) + " -o " + file),
                           File("sync.log"));
  Clock::time_point t0;
  ASSERT_TRUE(recording.WaitStarted(&t0)) << recording.Log();
  // Gaps that never repeat their pattern: the clicks after the resume can only line up with the
  // played ones under the one true shift.
  std::vector<int64_t> clickFrames;
  for (double t = 1.5; t < kRecordSeconds; t += 0.9 + 0.3 * std::fmod(0.618034 * static_cast<double>(clickFrames.size()), 1.0)) {
    clickFrames.push_back(std::llround(t * kRate));
  }
  bool paused = false, resumed = false;
  const ClickRun played = PlayClicks(player, screen, clickFrames, std::llround((kRecordSeconds - 0.5) * kRate), [&] {
    const double now = Seconds(Clock::now() - t0);
    if (!paused && now >= kPauseAt) paused = recording.Key('p');
    if (!resumed && now >= kResumeAt) resumed = recording.Key('p');
  });
  EXPECT_FALSE(played.writeFailed) << "playback into kalto_speakers broke off";
  ASSERT_TRUE(paused && resumed) << "the keys could not be sent";
  ASSERT_EQ(recording.Finish(), 0) << recording.Log();
  ASSERT_EQ(played.flashes.size(), played.heard.size());

  const StreamSummary probe = Probe(file);
  ASSERT_EQ(probe.videoStreams, 1);
  ASSERT_EQ(probe.audioStreams, 1);
  const DecodedAudio audio = DecodeAudio(file);
  ASSERT_GT(audio.Frames(), static_cast<size_t>(60 * kRate)) << "the audio track is shorter than a minute";
  const std::vector<double> clicks = ClickOnsets(audio);
  // A tiny copy of each frame: a minute at 60 fps in full size would not fit in memory.
  const std::vector<RgbFrame> frames = DecodeFrames(file, 32, 24);
  ASSERT_FALSE(frames.empty());
  const std::vector<double> whites = FlashOnsets(frames);
  ASSERT_GE(clicks.size(), 40u) << "clicks found in the recording";
  ASSERT_GE(whites.size(), 40u) << "flashes found in the recording";

  // Two sides of the pause, each under its own shift; the later one in the file is after the resume.
  std::vector<double> heard, unmatched = clicks;
  for (const auto& h : played.heard) heard.push_back(Seconds(h - t0));
  auto before = MatchUnderOneShift(&unmatched, heard);
  auto after = MatchUnderOneShift(&unmatched, heard);
  ASSERT_FALSE(before.empty());
  ASSERT_FALSE(after.empty());
  if (before.front().first > after.front().first) std::swap(before, after);
  const double cut = (heard[after.front().second] - after.front().first) - (heard[before.front().second] - before.front().first);
  std::printf("[ figures  ] %zu clicks in the file: %zu before the pause, %zu after the resume, %zu unmatched; the "
              "pause cut %.2f s of heard time\n",
              clicks.size(), before.size(), after.size(), unmatched.size(), cut);
  EXPECT_LE(unmatched.size(), 1u) << "recorded clicks that match no played click";
  EXPECT_NEAR(cut, kResumeAt - kPauseAt, 0.25) << "the pause left out more or less than the paused time";

  size_t flashless = 0;
  const double resumedAt = after.front().first;
  std::vector<double> early, resumedEarly, late, all;
  for (const auto* side : {&before, &after}) {
    for (const ClickOffset& r : Offsets(*side, played, whites, frames.back().time, &flashless)) {
      if (r.fileTime < 8.0) early.push_back(r.offsetMs);
      if (side == &after && r.fileTime < resumedAt + 8.0) resumedEarly.push_back(r.offsetMs);
      if (r.fileTime >= 60.0) late.push_back(r.offsetMs);
      all.push_back(r.offsetMs);
    }
  }
  // A click heard as the pause begins may keep its sound while its flash falls in the paused picture.
  EXPECT_LE(flashless, 1u) << "clicks without a flash in the picture";
  ASSERT_GE(early.size(), 3u) << "measured clicks in the first 8 s";
  ASSERT_GE(resumedEarly.size(), 3u) << "measured clicks in the 8 s after the resume";
  ASSERT_GE(late.size(), 3u) << "measured clicks after 60 s";
  std::printf("[ figures  ] A/V offset (video - audio), median: start %+.1f ms over %zu clicks, after the resume "
              "%+.1f ms over %zu, after 60 s %+.1f ms over %zu\n",
              Median(early), early.size(), Median(resumedEarly), resumedEarly.size(), Median(late), late.size());
  EXPECT_LE(std::fabs(Median(early)), kMedianBoundMs) << "audio and video disagree at the start";
  EXPECT_LE(std::fabs(Median(resumedEarly)), kMedianBoundMs) << "audio and video disagree after the resume";
  EXPECT_LE(std::fabs(Median(late)), kMedianBoundMs) << "audio and video disagree after a minute";
  // A single click may also lose one 60 fps frame period to the grab.
  for (double offset : all) EXPECT_LE(std::fabs(offset), kMedianBoundMs + 1000.0 / 60);
}

// Steady tones at levels where the limiter is at rest and the automatic microphone gain has
// settled: the system tone comes out at volume x 1.25, the microphone at the gain control's
// target RMS (0.3) x volume, whatever its input level.
TEST_F(AvSyncTest, MixedTonesComeOutAtTheMixersLevels) {
  constexpr double kSystemHz = 440, kSystemAmplitude = 0.4, kSystemVolume = 0.6;
  constexpr double kMicHz = 1000, kMicAmplitude = 0.15, kMicVolume = 0.5;
  const std::string systemTone = File("system.raw"), micTone = File("mic.raw");
  WriteFile(systemTone, SineS16(kSystemHz, kSystemAmplitude, kRate, 2, 20));
  WriteFile(micTone, SineS16(kMicHz, kMicAmplitude, kRate, 1, 20));
  ChildProcess system = Pulse().Spawn({"pacat", "--raw", "--format=s16le", "--rate=48000", "--channels=2",
                                      "--device=kalto_speakers", "--latency-msec=300", systemTone});
  ChildProcess mic = Pulse().Spawn({"pacat", "--raw", "--format=s16le", "--rate=48000", "--channels=1",
                                   "--device=kalto_mic_feed", "--latency-msec=300", micTone});
  ASSERT_TRUE(system.Started() && mic.Started());
  std::this_thread::sleep_for(1s);  // both tones are playing before the recording starts

  const std::string file = File("levels.mp4");
  char volumes[96];
  std::snprintf(volumes, sizeof volumes, "--mic-volume %.2f --system-volume %.2f", kMicVolume, kSystemVolume);
  const ShellRun run = Record(std::string("--fps 30 --no-cursor --duration 8 ") + volumes + " -o " + file);
  ASSERT_EQ(run.status, 0) << run.output;

  const DecodedAudio audio = DecodeAudio(file);
  // The gain control settles within 2 s. Levels are read in 100 ms blocks, each holding whole
  // periods of both tones, and the median taken: a dropout on a loaded machine shifts the
  // phase of everything after it and would spoil one long measurement.
  const size_t first = 3 * kRate, block = kRate / 10, blocks = 40;
  ASSERT_GE(audio.Frames(), first + blocks * block) << "the audio track is too short";
  const double expectedSystem = kSystemAmplitude * kSystemVolume * 1.25;
  const double expectedMic = 0.3 * std::sqrt(2.0) * kMicVolume;
  const double expectedRms = std::sqrt((expectedSystem * expectedSystem + expectedMic * expectedMic) / 2.0);
  for (int channel = 0; channel < 2; ++channel) {
    std::vector<double> system, mic, rms;
    size_t clean = 0;
    for (size_t b = 0; b < blocks; ++b) {
      const size_t at = first + b * block;
      system.push_back(ToneAmplitude(audio, channel, kSystemHz, at, block) / expectedSystem);
      mic.push_back(ToneAmplitude(audio, channel, kMicHz, at, block) / expectedMic);
      double energy = 0;
      for (size_t i = at; i < at + block; ++i) {
        const double x = audio.samples[2 * i + static_cast<size_t>(channel)];
        energy += x * x;
      }
      rms.push_back(std::sqrt(energy / static_cast<double>(block)) / expectedRms);
      clean += std::fabs(system.back() - 1) < 0.06 && std::fabs(mic.back() - 1) < 0.06 ? 1 : 0;
    }
    std::printf("channel %d: system tone %.4f (expected %.4f), microphone tone %.4f (expected %.4f), %zu of %zu "
                "blocks clean\n",
                channel, Median(system) * expectedSystem, expectedSystem, Median(mic) * expectedMic, expectedMic, clean,
                blocks);
    // Half a decibel: AAC at 192 kb/s keeps a pure tone's level far closer than that.
    EXPECT_NEAR(Median(system), 1.0, 0.06) << "system tone, channel " << channel;
    EXPECT_NEAR(Median(mic), 1.0, 0.06) << "microphone tone, channel " << channel;
    // Nothing else: the two tones carry all the energy (no noise, no distortion).
    EXPECT_NEAR(Median(rms), 1.0, 0.06) << "overall level, channel " << channel;
    EXPECT_GE(clean, blocks * 3 / 4) << "dropouts or level changes in most of the recording, channel " << channel;
  }
  double peak = 0;
  for (size_t i = first; i < first + blocks * block; ++i) peak = std::max<double>(peak, std::fabs(audio.samples[2 * i]));
  EXPECT_LT(peak, 0.7) << "the limiter's threshold was reached";
}

// One tone at a time, each over a span of heard time (seconds after the recording began).
struct ToneSpan {
  double from, to, hz;
};

TEST_F(AvSyncTest, AToneHeardOnlyWhilePausedIsAbsentFromTheFile) {
  // Before the pause, only during it (well inside it: the key takes up to 0.1 s to be read),
  // and after the resume.
  constexpr double kPauseAt = 4.0, kResumeAt = 8.0, kRecordSeconds = 13;
  const ToneSpan spans[] = {{1.0, 3.0, 440}, {kPauseAt + 0.7, kResumeAt - 0.7, 1000}, {9.0, 11.0, 660}};
  constexpr double kAmplitude = 0.4;
  PulsePlayer player(Pulse().Address(), "kalto_speakers", 100);
  ASSERT_TRUE(player.Ok()) << player.Error();

  const std::string file = File("paused.mp4");
  KeyedRecording recording(
      Command("--fps 30 --no-cursor --no-mic --duration " + std::to_string(static_cast<int>(kRecordSeconds)) + " -o " +
              file),
      File("paused.log"));
  Clock::time_point t0;
  ASSERT_TRUE(recording.WaitStarted(&t0)) << recording.Log();

  bool paused = false, resumed = false, writeFailed = false;
  std::vector<float> block(2 * 480);  // 10 ms
  double phase = 0;
  while (Seconds(Clock::now() - t0) < kRecordSeconds - 0.5 && !writeFailed) {
    const double now = Seconds(Clock::now() - t0);
    if (!paused && now >= kPauseAt) paused = recording.Key('p');
    if (!resumed && now >= kResumeAt) resumed = recording.Key('p');
    const auto latency = player.Latency();
    const double heard = now + std::chrono::duration<double>(std::max(latency, 0us)).count();
    double hz = 0;
    for (const ToneSpan& span : spans) hz = heard >= span.from && heard < span.to ? span.hz : hz;
    for (size_t i = 0; i < block.size() / 2; ++i) {
      phase += 2.0 * M_PI * hz / kRate;
      block[2 * i] = block[2 * i + 1] = hz > 0 ? static_cast<float>(kAmplitude * std::sin(phase)) : 0.0f;
    }
    writeFailed = !player.Write(block);
  }
  ASSERT_TRUE(paused && resumed) << "the keys could not be sent";
  ASSERT_EQ(recording.Finish(), 0) << recording.Log();
  EXPECT_FALSE(writeFailed);

  const DecodedAudio audio = DecodeAudio(file);
  const size_t block100 = kRate / 10;
  ASSERT_GT(audio.Frames(), 5 * static_cast<size_t>(kRate)) << "the audio track is too short";
  double peak440 = 0, peak660 = 0, peak1000 = 0, peak1000Alone = 0;
  for (size_t at = 0; at + block100 <= audio.Frames(); at += block100) {
    const double a440 = ToneAmplitude(audio, 0, 440, at, block100), a660 = ToneAmplitude(audio, 0, 660, at, block100);
    const double a1000 = ToneAmplitude(audio, 0, 1000, at, block100);
    peak440 = std::max(peak440, a440);
    peak660 = std::max(peak660, a660);
    peak1000 = std::max(peak1000, a1000);
    // Where neither other tone starts or stops: their edges spread a little over every frequency.
    if (a440 < 0.01 && a660 < 0.01) peak1000Alone = std::max(peak1000Alone, a1000);
  }
  const double expected = kAmplitude * 0.625;
  std::printf("[ figures  ] %.2f s of audio; strongest 100 ms of each tone: 440 Hz before the pause %.4f, 1000 Hz "
              "while paused %.5f (%.6f away from the other tones' edges), 660 Hz after the resume %.4f (each %.4f when "
              "present)\n",
              static_cast<double>(audio.Frames()) / kRate, peak440, peak1000, peak1000Alone, peak660, expected);
  EXPECT_GT(peak440, 0.8 * expected) << "the tone before the pause is missing";
  EXPECT_GT(peak660, 0.8 * expected) << "the tone after the resume is missing";
  // The other tones' hard edges leak a few thousandths into every band, wherever the blocks fall.
  EXPECT_LT(peak1000, 0.05 * expected) << "sound from the pause reached the file";
  EXPECT_LT(peak1000Alone, 0.001 * expected) << "sound from the pause reached the file";
}

}  // namespace
}  // namespace kalto::test
