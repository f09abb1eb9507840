#pragma once
// What the A/V tests of kalto-record share: playback whose latency says when a frame is heard,
// a screen that flashes at the instant each click is heard, the recording's audio decoded back,
// tone amplitudes, and the matching of recorded clicks to played ones.
#include <pulse/error.h>
#include <pulse/simple.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <future>
#include <mutex>

#include "e2e_support.h"
#include "support/require.h"

namespace kalto::test {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kWidth = 320, kHeight = 240;
constexpr int kRate = 48000;

// The bound on a median A/V offset.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// An instrumented engine runs several times slower and its sound lags the picture by about a
// 60 fps frame more (-34 ms seen under ASan, -11 to -15 ms in the normal build): those builds
// are there for memory errors, not for timing.
constexpr double kMedianBoundMs = 30.0 + 1000.0 / 60;
#else
constexpr double kMedianBoundMs = 30.0;
#endif

inline double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Float stereo playback through libpulse-simple; the stream's latency tells when a written frame
// will be heard.
class PulsePlayer {
 public:
  PulsePlayer(const std::string& server, const std::string& sink, int bufferMs) {
    const pa_sample_spec sampleSpec{PA_SAMPLE_FLOAT32LE, kRate, 2};
    pa_buffer_attr attr{};
    attr.maxlength = UINT32_MAX;
    attr.tlength = static_cast<uint32_t>(kRate / 1000 * bufferMs * 2 * sizeof(float));
    attr.prebuf = UINT32_MAX;
    attr.minreq = UINT32_MAX;
    attr.fragsize = UINT32_MAX;
    int error = 0;
    m_stream.reset(pa_simple_new(server.c_str(), "kalto-av-test", PA_STREAM_PLAYBACK, sink.c_str(), "clicks", &sampleSpec,
                                 nullptr, &attr, &error));
    if (!m_stream) m_error = pa_strerror(error);
  }

  bool Ok() const { return m_stream != nullptr; }
  const std::string& Error() const { return m_error; }
  // Blocks while the server's buffer is full, so the writer runs at the sink's pace.
  bool Write(const std::vector<float>& interleaved) {
    int error = 0;
    return pa_simple_write(m_stream.get(), interleaved.data(), interleaved.size() * sizeof(float), &error) == 0;
  }
  // Until the last written frame is heard; negative when the server cannot say.
  std::chrono::microseconds Latency() {
    int error = 0;
    const pa_usec_t usec = pa_simple_get_latency(m_stream.get(), &error);
    if (usec == static_cast<pa_usec_t>(-1)) return -1us;
    return std::chrono::microseconds(static_cast<int64_t>(usec));
  }

 private:
  struct Free {
    void operator()(pa_simple* s) const { pa_simple_free(s); }
  };
  std::unique_ptr<pa_simple, Free> m_stream;
  std::string m_error;
};

struct Flash {
  Clock::time_point due;
  Clock::time_point shown;  // midway between asking for the fill and the server confirming it
  double uncertaintyMs = 0;   // half that span
};

// Turns the screen white at `due` and black again shortly after; when it really happened. One
// at a time (`x` serialises the window's connection).
inline Flash FlashAt(TestWindow& screen, std::mutex& x, Clock::time_point due) {
  // Sleep most of the way and spin the rest: a plain sleep can wake milliseconds late.
  std::this_thread::sleep_until(due - 2ms);
  while (Clock::now() < due) std::this_thread::yield();
  std::lock_guard lock(x);
  const Clock::time_point before = Clock::now();
  screen.Fill(0xFFFFFF);  // returns after XSync: the server has drawn it
  const Clock::time_point after = Clock::now();
  std::this_thread::sleep_for(150ms);
  screen.Fill(0x000000);
  return {due, before + (after - before) / 2, Seconds(after - before) * 500.0};
}

struct DecodedAudio {
  double startSeconds = 0;    // presentation time of the first decoded frame
  std::vector<float> samples;  // interleaved stereo at kRate
  size_t Frames() const { return samples.size() / 2; }
};

inline DecodedAudio DecodeAudio(const std::string& file) {
  DecodedAudio audio;
  auto start = Shell("ffprobe -v error -select_streams a:0 -show_entries stream=start_time -of csv=p=0 '" + file + "'");
  audio.startSeconds = std::atof(start.output.c_str());
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(
      popen(("ffmpeg -v error -i '" + file + "' -map 0:a:0 -ac 2 -ar 48000 -f f32le -acodec pcm_f32le -").c_str(), "r"),
      pclose);
  if (!pipe) return audio;
  std::vector<float> block(2 * 4096);
  size_t n;
  while ((n = fread(block.data(), sizeof(float), block.size(), pipe.get())) > 0) {
    audio.samples.insert(audio.samples.end(), block.begin(), block.begin() + static_cast<ptrdiff_t>(n));
  }
  return audio;
}

// Amplitude of the sine at `hz` in one channel over [first, first + count) frames; exact when
// the span holds whole periods.
inline double ToneAmplitude(const DecodedAudio& audio, int channel, double hz, size_t first, size_t count) {
  const double w = 2.0 * M_PI * hz / kRate;
  double re = 0, im = 0;
  for (size_t i = 0; i < count; ++i) {
    const double x = audio.samples[(first + i) * 2 + static_cast<size_t>(channel)];
    re += x * std::cos(w * static_cast<double>(i));
    im -= x * std::sin(w * static_cast<double>(i));
  }
  return 2.0 * std::hypot(re, im) / static_cast<double>(count);
}

inline double Median(std::vector<double> values) {
  if (values.empty()) return NAN;
  std::sort(values.begin(), values.end());
  const size_t mid = values.size() / 2;
  return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

class AvSyncTest : public RecordTest {
 protected:
  void SetUp() override {
    RecordTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    KALTO_REQUIRE(PulseServer::Available(), "pulseaudio is not installed");
    ASSERT_TRUE(Pulse().Running()) << Pulse().Error();
  }
  // The flashing screen's part of the primary monitor.
  std::string FlashRegion() const { return "--region " + Monitor() + ":0,0," + std::to_string(kWidth) + "," + std::to_string(kHeight); }
};

// Clicks: 40 ms bursts of 2 kHz with a hard onset, played into kalto_speakers; the screen turns
// white at the instant each one is heard.
struct ClickRun {
  std::vector<Clock::time_point> heard;  // when each click is heard, by the stream's latency
  std::vector<Flash> flashes;
  bool writeFailed = false;
};
// `atFrames`: the clicks' first frames in the playback stream; `whilePlaying` runs every 10 ms.
inline ClickRun PlayClicks(PulsePlayer& player, TestWindow& screen, const std::vector<int64_t>& atFrames,
                           int64_t totalFrames, const std::function<void()>& whilePlaying = {}) {
  constexpr double kClickSeconds = 0.040, kClickHz = 2000, kClickAmplitude = 0.8;
  const auto clickLength = static_cast<int64_t>(kClickSeconds * kRate);
  ClickRun run;
  std::mutex x;
  // Each flash on a thread of its own, so that the audio writer is never held up.
  std::vector<std::future<Flash>> flashes;
  std::vector<float> block(2 * 480);
  int64_t written = 0;
  size_t next = 0, current = 0;
  while (written < totalFrames && !run.writeFailed) {
    if (whilePlaying) whilePlaying();
    for (size_t i = 0; i < block.size() / 2; ++i) {
      const int64_t frame = written + static_cast<int64_t>(i);
      while (current + 1 < atFrames.size() && atFrames[current + 1] <= frame) ++current;
      const int64_t into = frame - atFrames[current];
      float value = 0;
      if (into >= 0 && into < clickLength) {
        value = static_cast<float>(kClickAmplitude * std::sin(2.0 * M_PI * kClickHz * static_cast<double>(into) / kRate));
      }
      block[2 * i] = block[2 * i + 1] = value;
    }
    run.writeFailed = !player.Write(block);
    written += static_cast<int64_t>(block.size() / 2);
    // A click just written is heard a buffer's length from now: time enough to schedule its flash.
    while (next < atFrames.size() && atFrames[next] < written) {
      const auto latency = player.Latency();
      if (latency.count() < 0) {
        run.writeFailed = true;
        break;
      }
      const auto at = Clock::now() + latency - std::chrono::microseconds((written - atFrames[next]) * 1'000'000 / kRate);
      run.heard.push_back(at);
      flashes.push_back(std::async(std::launch::async, FlashAt, std::ref(screen), std::ref(x), at));
      ++next;
    }
  }
  for (auto& flash : flashes) run.flashes.push_back(flash.get());
  return run;
}

// Click onsets in the file: where the track first rises above half a click's mixed level
// (0.8 x 0.625 at the default system volume); AAC's pre-echo stays well below that.
inline std::vector<double> ClickOnsets(const DecodedAudio& audio) {
  std::vector<double> clicks;
  for (size_t i = 0; i < audio.Frames(); ++i) {
    if (std::max(std::fabs(audio.samples[2 * i]), std::fabs(audio.samples[2 * i + 1])) > 0.25f) {
      clicks.push_back(audio.startSeconds + static_cast<double>(i) / kRate);
      i += kRate / 2;
    }
  }
  return clicks;
}

// Flash onsets: the first white frame of each flash.
inline std::vector<double> FlashOnsets(const std::vector<RgbFrame>& frames) {
  auto luma = [](const RgbFrame& f) {
    const auto c = f.Mean(0, 0, f.width, f.height);
    return (c.r + c.g + c.b) / 3;
  };
  std::vector<double> whites;
  for (size_t i = 0; i < frames.size(); ++i) {
    if (luma(frames[i]) > 128 && (i == 0 || luma(frames[i - 1]) <= 128)) whites.push_back(frames[i].time);
  }
  return whites;
}

// Recorded clicks (file seconds) that line up with played ones (heard seconds) under the one
// shift that lines up the most, as (file time, played index); the others are left in `clicks`.
// A pause moves everything after it, so each side of it is matched on its own.
inline std::vector<std::pair<double, size_t>> MatchUnderOneShift(std::vector<double>* clicks,
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

struct ClickOffset {
  double fileTime;  // the click's onset in the recording
  double offsetMs;  // video minus audio, corrected by how far the flash missed its click
};
// The offset of each matched click's flash; `flashless` counts clicks whose flash is missing
// from a picture that was still running.
inline std::vector<ClickOffset> Offsets(const std::vector<std::pair<double, size_t>>& matched, const ClickRun& run,
                                        const std::vector<double>& whites, double lastFrameTime, size_t* flashless) {
  std::vector<ClickOffset> out;
  for (const auto& [c, played] : matched) {
    auto white = std::find_if(whites.begin(), whites.end(), [&](double w) { return w > c - 0.2 && w < c + 0.3; });
    if (white == whites.end()) {
      *flashless += c < lastFrameTime ? 1 : 0;
      continue;
    }
    // A flash whose fill took long has an uncertain instant; it says nothing about the recorder.
    if (run.flashes[played].uncertaintyMs > 8.0) continue;
    const double missMs = Seconds(run.flashes[played].shown - run.heard[played]) * 1000.0;
    out.push_back({c, (*white - c) * 1000.0 - missMs});
    std::printf("click at %7.3f s: video - audio %+6.1f ms (flash %+5.1f ms from its click, +-%.1f)\n", c,
                out.back().offsetMs, missMs, run.flashes[played].uncertaintyMs);
  }
  return out;
}

}  // namespace kalto::test
