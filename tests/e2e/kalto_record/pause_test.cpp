// Pausing kalto-record end to end, with keys sent through its standard input: a tone played only
// while paused must be absent from the file, and after the resume the sound stays on the
// picture (clicks against flashes) as closely as without a pause.
#include <signal.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "av_support.h"

namespace kalto::test {
namespace {

// kalto-record with a pipe on its standard input, its output in a log file.
class KeyedRecording {
 public:
  KeyedRecording(const std::string& command, std::string log) : m_log(std::move(log)) {
    // A recorder that exits early must fail the test, not kill it with SIGPIPE.
    signal(SIGPIPE, SIG_IGN);
    m_pipe = popen((command + " >'" + m_log + "' 2>&1").c_str(), "w");
  }
  ~KeyedRecording() { Finish(); }
  KeyedRecording(const KeyedRecording&) = delete;
  KeyedRecording& operator=(const KeyedRecording&) = delete;

  // Waits until the recorder says it records; the instant it was seen.
  bool WaitStarted(Clock::time_point* at, std::chrono::seconds timeout = 30s) {
    const auto deadline = Clock::now() + timeout;
    while (m_pipe && Clock::now() < deadline) {
      if (Log().find("recording to") != std::string::npos) {
        *at = Clock::now();
        return true;
      }
      std::this_thread::sleep_for(5ms);
    }
    return false;
  }
  bool Key(char key) {
    return m_pipe && std::fputc(key, m_pipe) != EOF && std::fflush(m_pipe) == 0;
  }
  // Closes its input and waits for it to end; its exit status.
  int Finish() {
    if (!m_pipe) return m_status;
    const int raw = pclose(m_pipe);
    m_pipe = nullptr;
    m_status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return m_status;
  }
  std::string Log() const {
    std::ifstream in(m_log);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }

 private:
  std::string m_log;
  FILE* m_pipe = nullptr;
  int m_status = -1;
};

class PauseTest : public AvSyncTest {
 protected:
  std::string KeyedCommand(const std::string& args) const {
    return "PULSE_SERVER='" + pulse->Address() + "' DISPLAY=" + server->Display() + " " KALTO_RECORD_PATH " " + args;
  }
};

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
  PulsePlayer player(pulse->Address(), "kalto_speakers", 100);
  ASSERT_TRUE(player.Ok()) << player.Error();

  const std::string file = (folder / "paused.mp4").string();
  KeyedRecording recording(
      KeyedCommand("--fps 30 --no-cursor --no-mic --duration " + std::to_string(static_cast<int>(kRecordSeconds)) +
                   " -o " + file),
      (folder / "paused.log").string());
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

// Recorded clicks that line up with the played ones (heard instants, seconds) under one shift:
// a pause moves everything after it, so each side of it is matched on its own.
std::vector<std::pair<double, size_t>> MatchUnderOneShift(std::vector<double>* clicks,
                                                          const std::vector<double>& heard) {
  double bestShift = 0;
  size_t bestCount = 0;
  for (double c0 : *clicks) {
    for (double h : heard) {
      const double shift = h - c0;
      size_t count = 0;
      for (double c : *clicks) {
        for (double k : heard) count += std::fabs(k - shift - c) < 0.03 ? 1 : 0;
      }
      if (count > bestCount) bestCount = count, bestShift = shift;
    }
  }
  std::vector<std::pair<double, size_t>> matched;
  std::vector<double> rest;
  for (double c : *clicks) {
    size_t played = heard.size();
    for (size_t k = 0; k < heard.size(); ++k) played = std::fabs(heard[k] - bestShift - c) < 0.03 ? k : played;
    if (played < heard.size()) {
      matched.emplace_back(c, played);
    } else {
      rest.push_back(c);
    }
  }
  *clicks = rest;
  return matched;
}

TEST_F(PauseTest, AfterAPauseTheFlashesStayOnTheirClicks) {
  constexpr double kClickSeconds = 0.040, kClickHz = 2000, kClickAmplitude = 0.8;
  constexpr double kPauseAt = 6.0, kResumeAt = 9.5, kRecordSeconds = 19;
  PulsePlayer player(pulse->Address(), "kalto_speakers", 100);
  ASSERT_TRUE(player.Ok()) << player.Error();
  XClient client(server->Display());
  ASSERT_TRUE(client);
  TestWindow screen(client, 0, 0, kWidth, kHeight, "flash");
  ASSERT_TRUE(screen.WaitViewable());
  screen.Fill(0x000000);

  const std::string file = (folder / "pause_sync.mp4").string();
  KeyedRecording recording(KeyedCommand("--fps 60 --no-cursor --no-mic --duration " +
                                        std::to_string(static_cast<int>(kRecordSeconds)) + " -o " + file),
                           (folder / "pause_sync.log").string());
  Clock::time_point t0;
  ASSERT_TRUE(recording.WaitStarted(&t0)) << recording.Log();

  // Clicks by frame of the playback stream, from 1.5 s of playback on.
  std::vector<int64_t> clickFrames;
  // Gaps that never repeat their pattern: the clicks after the resume can only line up with the
  // played ones under the one true shift.
  for (double t = 1.5; t < kRecordSeconds; t += 0.9 + 0.3 * std::fmod(0.618034 * static_cast<double>(clickFrames.size()), 1.0)) {
    clickFrames.push_back(std::llround(t * kRate));
  }
  const auto clickLength = static_cast<int64_t>(kClickSeconds * kRate);
  const int64_t totalFrames = std::llround((kRecordSeconds - 0.5) * kRate);
  std::vector<Clock::time_point> heard;
  std::vector<Flash> flashes;
  bool paused = false, resumed = false;
  {
    Flasher flasher(screen);
    std::vector<float> block(2 * 480);
    int64_t written = 0;
    size_t next = 0, current = 0;
    bool writeFailed = false;
    while (written < totalFrames && !writeFailed) {
      const double now = Seconds(Clock::now() - t0);
      if (!paused && now >= kPauseAt) paused = recording.Key('p');
      if (!resumed && now >= kResumeAt) resumed = recording.Key('p');
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
      while (next < clickFrames.size() && clickFrames[next] < written) {
        const auto latency = player.Latency();
        if (latency.count() < 0) {
          writeFailed = true;
          break;
        }
        const auto at =
            Clock::now() + latency - std::chrono::microseconds((written - clickFrames[next]) * 1'000'000 / kRate);
        heard.push_back(at);
        flasher.Schedule(at);
        ++next;
      }
    }
    EXPECT_FALSE(writeFailed) << "playback into kalto_speakers broke off";
    flashes = flasher.Finish();
  }
  ASSERT_TRUE(paused && resumed) << "the keys could not be sent";
  ASSERT_EQ(recording.Finish(), 0) << recording.Log();

  const DecodedAudio audio = DecodeAudio(file);
  std::vector<double> clicks;
  for (size_t i = 0; i < audio.Frames(); ++i) {
    if (std::max(std::fabs(audio.samples[2 * i]), std::fabs(audio.samples[2 * i + 1])) > 0.25f) {
      clicks.push_back(audio.startSeconds + static_cast<double>(i) / kRate);
      i += kRate / 2;
    }
  }
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
  std::vector<double> heardSeconds;
  for (const auto& h : heard) heardSeconds.push_back(Seconds(h - t0));

  // Two sides of the pause, each under its own shift; the later one in the file is after the resume.
  std::vector<double> unmatched = clicks;
  auto first = MatchUnderOneShift(&unmatched, heardSeconds);
  auto second = MatchUnderOneShift(&unmatched, heardSeconds);
  ASSERT_FALSE(first.empty());
  ASSERT_FALSE(second.empty());
  auto shiftOf = [&](const std::vector<std::pair<double, size_t>>& side) {
    return heardSeconds[side.front().second] - side.front().first;
  };
  if (first.front().first > second.front().first) std::swap(first, second);
  std::printf("[ figures  ] %zu clicks in the file: %zu before the pause, %zu after the resume, %zu unmatched; the "
              "pause cut %.2f s of heard time\n",
              clicks.size(), first.size(), second.size(), unmatched.size(), shiftOf(second) - shiftOf(first));
  EXPECT_LE(unmatched.size(), 1u) << "recorded clicks that match no played click";

  auto offsets = [&](const std::vector<std::pair<double, size_t>>& side, const char* name) {
    std::vector<double> out;
    for (const auto& [c, played] : side) {
      auto white = std::find_if(whites.begin(), whites.end(), [&](double w) { return w > c - 0.2 && w < c + 0.3; });
      if (white == whites.end() || flashes[played].uncertaintyMs > 8.0) continue;
      const double missMs = Seconds(flashes[played].shown - heard[played]) * 1000.0;
      out.push_back((*white - c) * 1000.0 - missMs);
      std::printf("%s click at %7.3f s: video - audio %+6.1f ms\n", name, c, out.back());
    }
    return out;
  };
  const std::vector<double> before = offsets(first, "before");
  const std::vector<double> after = offsets(second, "after ");
  ASSERT_GE(before.size(), 3u) << "measured clicks before the pause";
  ASSERT_GE(after.size(), 5u) << "measured clicks after the resume";
  std::printf("[ figures  ] A/V offset (video - audio): before the pause median %+.1f ms over %zu clicks, after the "
              "resume median %+.1f ms over %zu clicks\n",
              Median(before), before.size(), Median(after), after.size());
  // The bound the test without a pause holds to.
  EXPECT_LE(std::fabs(Median(before)), 30.0);
  EXPECT_LE(std::fabs(Median(after)), 30.0) << "audio and video disagree after the resume";
  for (double offset : after) EXPECT_LE(std::fabs(offset), 30.0 + 1000.0 / 60);
}

}  // namespace
}  // namespace kalto::test
