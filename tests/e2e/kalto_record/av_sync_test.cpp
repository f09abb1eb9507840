// kalto-record's sound against its picture, end to end under a private Xvfb and PulseAudio: a
// screen that flashes white at the very instant a click is heard must show each flash on its
// click from the start to beyond a minute, and steady tones from the system and the microphone
// must come out of the AAC track at the levels the mixer promises.
#include <gtest/gtest.h>
#include <pulse/error.h>
#include <pulse/simple.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <future>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "av_support.h"
#include "e2e_support.h"
#include "support/pulse_server.h"
#include "support/x_server.h"

namespace kalto::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Clicks: a 40 ms burst of 2 kHz, hard onset. The gaps cycle so that the clicks found in the
// file can be matched to the ones played, whatever the recording's start.
constexpr double kClickSeconds = 0.040, kClickHz = 2000, kClickAmplitude = 0.8;
constexpr double kGaps[] = {0.9, 1.0, 1.1, 1.2};
constexpr double kRecordSeconds = 68, kFirstClick = 1.5;

struct ClickResult {
  double fileTime;  // the click's onset in the recording
  double offsetMs;  // video minus audio, corrected by how far the flash missed its click
};

TEST_F(AvSyncTest, FlashesStayOnTheirClicksFromTheStartToBeyondAMinute) {
  PulsePlayer player(pulse->Address(), "kalto_speakers", 100);
  ASSERT_TRUE(player.Ok()) << player.Error();
  XClient client(server->Display());
  ASSERT_TRUE(client);
  TestWindow screen(client, 0, 0, kWidth, kHeight, "flash");
  ASSERT_TRUE(screen.WaitViewable());
  screen.Fill(0x000000);

  std::vector<int64_t> clickFrames;
  for (double t = kFirstClick; t < kRecordSeconds + 1.0; t += kGaps[clickFrames.size() % 4]) {
    clickFrames.push_back(std::llround(t * kRate));
  }
  const auto clickLength = static_cast<int64_t>(kClickSeconds * kRate);
  const int64_t totalFrames = std::llround((kRecordSeconds + 2.0) * kRate);

  const std::string file = (folder / "sync.mp4").string();
  // 60 fps puts frames 16.7 ms apart, well inside the bound; --no-cursor keeps the screen still
  // between flashes.
  auto recording = std::async(std::launch::async, [command = RecordCommand(
                                                       "--fps 60 --no-cursor --duration " +
                                                       std::to_string(static_cast<int>(kRecordSeconds)) + " -o " + file)] {
    return Shell(command);
  });

  std::vector<Clock::time_point> heard;  // when each click is heard, by the stream's latency
  std::vector<Flash> flashes;
  {
    Flasher flasher(screen);
    std::vector<float> block(2 * 480);  // 10 ms
    int64_t written = 0;
    size_t next = 0, current = 0;
    bool writeFailed = false;
    while (written < totalFrames && !writeFailed) {
      for (size_t i = 0; i < block.size() / 2; ++i) {
        const int64_t frame = written + static_cast<int64_t>(i);
        while (current + 1 < clickFrames.size() && clickFrames[current + 1] <= frame) ++current;
        const int64_t into = frame - clickFrames[current];
        float value = 0;
        if (into >= 0 && into < clickLength) {
          value = static_cast<float>(kClickAmplitude * std::sin(2.0 * M_PI * kClickHz * static_cast<double>(into) / kRate));
        }
        block[2 * i] = block[2 * i + 1] = value;
      }
      writeFailed = !player.Write(block);
      written += static_cast<int64_t>(block.size() / 2);
      // A click just written is heard a buffer's length from now: time enough to schedule its flash.
      while (next < clickFrames.size() && clickFrames[next] < written) {
        const auto latency = player.Latency();
        if (latency.count() < 0) {
          writeFailed = true;
          break;
        }
        const auto at = Clock::now() + latency -
                        std::chrono::microseconds((written - clickFrames[next]) * 1'000'000 / kRate);
        heard.push_back(at);
        flasher.Schedule(at);
        ++next;
      }
    }
    EXPECT_FALSE(writeFailed) << "playback into kalto_speakers broke off";
    flashes = flasher.Finish();
  }
  const ShellRun run = recording.get();
  ASSERT_EQ(run.status, 0) << run.output;
  ASSERT_EQ(flashes.size(), heard.size());

  const StreamSummary probe = Probe(file);
  ASSERT_EQ(probe.videoStreams, 1);
  ASSERT_EQ(probe.audioStreams, 1);

  // Click onsets: where the decoded track first rises above half the click's mixed level
  // (0.8 x 0.625 at the default system volume); AAC's pre-echo stays well below that.
  const DecodedAudio audio = DecodeAudio(file);
  ASSERT_GT(audio.Frames(), static_cast<size_t>(60 * kRate)) << "the audio track is shorter than a minute";
  std::vector<double> clicks;
  for (size_t i = 0; i < audio.Frames(); ++i) {
    if (std::max(std::fabs(audio.samples[2 * i]), std::fabs(audio.samples[2 * i + 1])) > 0.25f) {
      clicks.push_back(audio.startSeconds + static_cast<double>(i) / kRate);
      i += kRate / 2;
    }
  }
  // Flash onsets: the first white frame of each flash.
  // A tiny copy of each frame: a minute at 60 fps in full size would not fit in memory.
  const std::vector<RgbFrame> frames = DecodeFrames(file, 32, 24);
  ASSERT_FALSE(frames.empty());
  auto luma = [](const RgbFrame& f) {
    const auto c = f.Mean(0, 0, f.width, f.height);
    return (c.r + c.g + c.b) / 3;
  };
  std::vector<double> whites;
  for (size_t i = 0; i < frames.size(); ++i) {
    if (luma(frames[i]) > 128 && (i == 0 || luma(frames[i - 1]) <= 128)) whites.push_back(frames[i].time);
  }
  ASSERT_GE(clicks.size(), 40u) << "clicks found in the recording";
  ASSERT_GE(whites.size(), 40u) << "flashes found in the recording";

  // Which played click is which recorded one: the shift that lines up the most onsets.
  const Clock::time_point epoch = heard.front();
  auto heardAt = [&](size_t i) { return Seconds(heard[i] - epoch); };
  double bestShift = 0;
  size_t bestCount = 0;
  for (size_t j = 0; j < std::min<size_t>(3, clicks.size()); ++j) {
    for (size_t i = 0; i < heard.size(); ++i) {
      const double shift = heardAt(i) - clicks[j];
      size_t count = 0;
      for (double c : clicks) {
        for (size_t k = 0; k < heard.size(); ++k) count += std::fabs(heardAt(k) - shift - c) < 0.03 ? 1 : 0;
      }
      if (count > bestCount) bestCount = count, bestShift = shift;
    }
  }
  EXPECT_GE(bestCount, clicks.size() - 1) << "recorded clicks that match no played click";

  std::vector<ClickResult> results;
  size_t unmatchedFlashes = 0;
  for (double c : clicks) {
    size_t played = heard.size();
    for (size_t k = 0; k < heard.size(); ++k) {
      if (std::fabs(heardAt(k) - bestShift - c) < 0.03) played = k;
    }
    if (played == heard.size()) continue;
    auto white = std::find_if(whites.begin(), whites.end(), [&](double w) { return w > c - 0.2 && w < c + 0.3; });
    if (white == whites.end()) {
      // The picture stops before the sound does: a click after the last frame has no flash.
      if (c < frames.back().time) ++unmatchedFlashes;
      continue;
    }
    const double missMs = Seconds(flashes[played].shown - heard[played]) * 1000.0;
    // A flash whose fill took long has an uncertain instant; it says nothing about the recorder.
    if (flashes[played].uncertaintyMs > 8.0) continue;
    results.push_back({c, (*white - c) * 1000.0 - missMs});
    std::printf("click at %7.3f s: video - audio %+6.1f ms (flash %+5.1f ms from its click, +-%.1f)\n", c,
                results.back().offsetMs, missMs, flashes[played].uncertaintyMs);
  }
  EXPECT_EQ(unmatchedFlashes, 0u) << "clicks without a flash in the picture";

  std::vector<double> early, late;
  for (const ClickResult& r : results) {
    if (r.fileTime < 8.0) early.push_back(r.offsetMs);
    if (r.fileTime >= 60.0) late.push_back(r.offsetMs);
  }
  ASSERT_GE(early.size(), 3u) << "measured clicks in the first 8 s";
  ASSERT_GE(late.size(), 3u) << "measured clicks after 60 s";
  const double earlyMedian = Median(early), lateMedian = Median(late);
  std::printf("A/V offset (video - audio): start median %+.1f ms over %zu clicks, after 60 s median %+.1f ms over "
              "%zu clicks\n",
              earlyMedian, early.size(), lateMedian, late.size());
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  // An instrumented engine runs several times slower and its sound lags the picture by about a
  // 60 fps frame more (-34 ms seen under ASan, -11 to -15 ms in the normal build): those builds
  // are there for memory errors, not for timing.
  constexpr double kMedianBoundMs = 30.0 + 1000.0 / 60;
#else
  constexpr double kMedianBoundMs = 30.0;
#endif
  EXPECT_LE(std::fabs(earlyMedian), kMedianBoundMs) << "audio and video disagree at the start";
  EXPECT_LE(std::fabs(lateMedian), kMedianBoundMs) << "audio and video disagree after a minute";
  // A single click may also lose one 60 fps frame period to the grab.
  for (const ClickResult& r : results) {
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
  const std::string systemTone = (folder / "system.raw").string(), micTone = (folder / "mic.raw").string();
  WriteFile(systemTone, SineS16(kSystemHz, kSystemAmplitude, kRate, 2, 20));
  WriteFile(micTone, SineS16(kMicHz, kMicAmplitude, kRate, 1, 20));
  ChildProcess system = pulse->Spawn({"pacat", "--raw", "--format=s16le", "--rate=48000", "--channels=2",
                                      "--device=kalto_speakers", "--latency-msec=300", systemTone});
  ChildProcess mic = pulse->Spawn({"pacat", "--raw", "--format=s16le", "--rate=48000", "--channels=1",
                                   "--device=kalto_mic_feed", "--latency-msec=300", micTone});
  ASSERT_TRUE(system.Started() && mic.Started());
  std::this_thread::sleep_for(1s);  // both tones are playing before the recording starts

  const std::string file = (folder / "levels.mp4").string();
  char volumes[96];
  std::snprintf(volumes, sizeof volumes, "--mic-volume %.2f --system-volume %.2f", kMicVolume, kSystemVolume);
  const ShellRun run = Shell(RecordCommand(std::string("--fps 30 --no-cursor --duration 8 ") + volumes + " -o " + file));
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
