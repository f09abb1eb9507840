// kalto-record's sound against its picture, end to end under a private Xvfb and PulseAudio: a
// screen that flashes white at the very instant a click is heard must show each flash on its
// click from the start to beyond a minute, and steady tones from the system and the microphone
// must come out of the AAC track at the levels the mixer promises.
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "av_support.h"

namespace kalto::test {
namespace {

// The gaps cycle so that the clicks found in the file can be matched to the ones played,
// whatever the recording's start.
constexpr double kGaps[] = {0.9, 1.0, 1.1, 1.2};
constexpr double kRecordSeconds = 68, kFirstClick = 1.5;

TEST_F(AvSyncTest, FlashesStayOnTheirClicksFromTheStartToBeyondAMinute) {
  PulsePlayer player(Pulse().Address(), "kalto_speakers", 100);
  ASSERT_TRUE(player.Ok()) << player.Error();
  XClient client(X().Display());
  ASSERT_TRUE(client);
  TestWindow screen(client, 0, 0, kWidth, kHeight, "flash");
  ASSERT_TRUE(screen.WaitViewable());
  screen.Fill(0x000000);

  std::vector<int64_t> clickFrames;
  for (double t = kFirstClick; t < kRecordSeconds + 1.0; t += kGaps[clickFrames.size() % 4]) {
    clickFrames.push_back(std::llround(t * kRate));
  }
  const std::string file = File("sync.mp4");
  // 60 fps puts frames 16.7 ms apart, well inside the bound; --no-cursor keeps the screen still
  // between flashes.
  Background recording(Command(FlashRegion() + " --fps 60 --no-cursor --duration " +
                               std::to_string(static_cast<int>(kRecordSeconds)) + " -o " + file + " </dev/null"));
  const ClickRun clicksPlayed = PlayClicks(player, screen, clickFrames, std::llround((kRecordSeconds + 2.0) * kRate));
  EXPECT_FALSE(clicksPlayed.writeFailed) << "playback into kalto_speakers broke off";
  const ShellRun run = recording.Wait();
  ASSERT_EQ(run.status, 0) << run.output;
  ASSERT_EQ(clicksPlayed.flashes.size(), clicksPlayed.heard.size());

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

  std::vector<double> heard, unmatched = clicks;
  for (const auto& h : clicksPlayed.heard) heard.push_back(Seconds(h - clicksPlayed.heard.front()));
  const auto matched = MatchUnderOneShift(&unmatched, heard);
  EXPECT_LE(unmatched.size(), 1u) << "recorded clicks that match no played click";
  size_t flashless = 0;
  const std::vector<ClickOffset> results = Offsets(matched, clicksPlayed, whites, frames.back().time, &flashless);
  EXPECT_EQ(flashless, 0u) << "clicks without a flash in the picture";

  std::vector<double> early, late;
  for (const ClickOffset& r : results) {
    if (r.fileTime < 8.0) early.push_back(r.offsetMs);
    if (r.fileTime >= 60.0) late.push_back(r.offsetMs);
  }
  ASSERT_GE(early.size(), 3u) << "measured clicks in the first 8 s";
  ASSERT_GE(late.size(), 3u) << "measured clicks after 60 s";
  const double earlyMedian = Median(early), lateMedian = Median(late);
  std::printf("A/V offset (video - audio): start median %+.1f ms over %zu clicks, after 60 s median %+.1f ms over "
              "%zu clicks\n",
              earlyMedian, early.size(), lateMedian, late.size());
  EXPECT_LE(std::fabs(earlyMedian), kMedianBoundMs) << "audio and video disagree at the start";
  EXPECT_LE(std::fabs(lateMedian), kMedianBoundMs) << "audio and video disagree after a minute";
  // A single click may also lose one 60 fps frame period to the grab.
  for (const ClickOffset& r : results) {
    if (r.fileTime < 8.0 || r.fileTime >= 60.0) {
      EXPECT_LE(std::fabs(r.offsetMs), 30.0 + 1000.0 / 60) << "at " << r.fileTime;
    }
  }
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

}  // namespace
}  // namespace kalto::test
