// Pausing kalto-record end to end, with keys sent through its standard input: a tone played only
// while paused must be absent from the file, and after the resume the sound stays on the
// picture (clicks against flashes) as closely as without a pause.
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "av_support.h"

namespace kalto::test {
namespace {

using PauseTest = AvSyncTest;

// One tone at a time, each over a span of heard time (seconds after the recording began).
struct ToneSpan {
  double from, to, hz;
};

TEST_F(PauseTest, AToneHeardOnlyWhilePausedIsAbsentFromTheFile) {
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

TEST_F(PauseTest, AfterAPauseTheFlashesStayOnTheirClicks) {
  constexpr double kPauseAt = 6.0, kResumeAt = 9.5, kRecordSeconds = 19;
  PulsePlayer player(Pulse().Address(), "kalto_speakers", 100);
  ASSERT_TRUE(player.Ok()) << player.Error();
  XClient client(X().Display());
  ASSERT_TRUE(client);
  TestWindow screen(client, 0, 0, kWidth, kHeight, "flash");
  ASSERT_TRUE(screen.WaitViewable());
  screen.Fill(0x000000);

  const std::string file = File("pause_sync.mp4");
  KeyedRecording recording(Command(FlashRegion() + " --fps 60 --no-cursor --no-mic --duration " +
                                   std::to_string(static_cast<int>(kRecordSeconds)) + " -o " + file),
                           File("pause_sync.log"));
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

  const std::vector<double> clicks = ClickOnsets(DecodeAudio(file));
  const std::vector<RgbFrame> frames = DecodeFrames(file, 32, 24);
  ASSERT_FALSE(frames.empty());
  const std::vector<double> whites = FlashOnsets(frames);
  std::vector<double> heard;
  for (const auto& h : played.heard) heard.push_back(Seconds(h - t0));

  // Two sides of the pause, each under its own shift; the later one in the file is after the resume.
  std::vector<double> unmatched = clicks;
  auto first = MatchUnderOneShift(&unmatched, heard);
  auto second = MatchUnderOneShift(&unmatched, heard);
  ASSERT_FALSE(first.empty());
  ASSERT_FALSE(second.empty());
  auto shiftOf = [&](const std::vector<std::pair<double, size_t>>& side) {
    return heard[side.front().second] - side.front().first;
  };
  if (first.front().first > second.front().first) std::swap(first, second);
  std::printf("[ figures  ] %zu clicks in the file: %zu before the pause, %zu after the resume, %zu unmatched; the "
              "pause cut %.2f s of heard time\n",
              clicks.size(), first.size(), second.size(), unmatched.size(), shiftOf(second) - shiftOf(first));
  EXPECT_LE(unmatched.size(), 1u) << "recorded clicks that match no played click";

  size_t flashless = 0;
  std::vector<double> before, after;
  for (const ClickOffset& r : Offsets(first, played, whites, frames.back().time, &flashless)) before.push_back(r.offsetMs);
  for (const ClickOffset& r : Offsets(second, played, whites, frames.back().time, &flashless)) after.push_back(r.offsetMs);
  ASSERT_GE(before.size(), 3u) << "measured clicks before the pause";
  ASSERT_GE(after.size(), 5u) << "measured clicks after the resume";
  std::printf("[ figures  ] A/V offset (video - audio): before the pause median %+.1f ms over %zu clicks, after the "
              "resume median %+.1f ms over %zu clicks\n",
              Median(before), before.size(), Median(after), after.size());
  // The bound the test without a pause holds to.
  EXPECT_LE(std::fabs(Median(before)), kMedianBoundMs);
  EXPECT_LE(std::fabs(Median(after)), kMedianBoundMs) << "audio and video disagree after the resume";
  for (double offset : after) EXPECT_LE(std::fabs(offset), 30.0 + 1000.0 / 60);
}

}  // namespace
}  // namespace kalto::test
