#pragma once
// What the A/V tests of kalto-record share: playback whose latency says when a frame is heard,
// a screen that flashes at given instants, the recording's audio decoded back, tone amplitudes,
// and a fixture with a private Xvfb and PulseAudio.
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
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "e2e_support.h"
#include "support/require.h"
#include "support/pulse_server.h"
#include "support/x_server.h"

namespace kalto::test {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kWidth = 320, kHeight = 240;
constexpr int kRate = 48000;

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

// Turns the screen white at the given instants, and black again shortly after, from a thread of
// its own so that the audio writer is never held up; notes when each flash really happened.
class Flasher {
 public:
  explicit Flasher(TestWindow& screen) : m_screen(screen), m_thread([this] { Run(); }) {}
  ~Flasher() {
    {
      std::lock_guard lock(m_mutex);
      m_stop = true;
    }
    m_wake.notify_all();
    m_thread.join();
  }
  Flasher(const Flasher&) = delete;
  Flasher& operator=(const Flasher&) = delete;

  void Schedule(Clock::time_point at) {
    {
      std::lock_guard lock(m_mutex);
      m_pending.push_back(at);
    }
    m_wake.notify_all();
  }
  // Waits until every scheduled flash is over; what happened, in schedule order.
  std::vector<Flash> Finish() {
    std::unique_lock lock(m_mutex);
    m_wake.wait(lock, [this] { return m_pending.empty() && !m_busy; });
    return m_done;
  }

 private:
  void Run() {
    std::unique_lock lock(m_mutex);
    for (;;) {
      m_wake.wait(lock, [this] { return m_stop || !m_pending.empty(); });
      if (m_stop) return;
      const Clock::time_point due = m_pending.front();
      m_busy = true;
      lock.unlock();
      // Sleep most of the way and spin the rest: a plain sleep can wake milliseconds late.
      std::this_thread::sleep_until(due - 2ms);
      while (Clock::now() < due) std::this_thread::yield();
      const Clock::time_point before = Clock::now();
      m_screen.Fill(0xFFFFFF);  // returns after XSync: the server has drawn it
      const Clock::time_point after = Clock::now();
      std::this_thread::sleep_for(150ms);
      m_screen.Fill(0x000000);
      lock.lock();
      m_done.push_back({due, before + (after - before) / 2, Seconds(after - before) * 500.0});
      m_pending.pop_front();
      m_busy = false;
      m_wake.notify_all();
    }
  }

  TestWindow& m_screen;
  std::mutex m_mutex;
  std::condition_variable m_wake;
  std::deque<Clock::time_point> m_pending;
  std::vector<Flash> m_done;
  bool m_busy = false;
  bool m_stop = false;
  std::thread m_thread;  // last: starts once everything it uses exists
};

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

class AvSyncTest : public ::testing::Test {
 protected:
  void SetUp() override {
    KALTO_REQUIRE(XServer::Available(), "Xvfb is not installed");
    KALTO_REQUIRE(PulseServer::Available(), "pulseaudio is not installed");
    server = std::make_unique<XServer>(kWidth, kHeight);
    ASSERT_TRUE(server->Running()) << server->Error();
    pulse = std::make_unique<PulseServer>();
    ASSERT_TRUE(pulse->Running()) << pulse->Error();
    folder = fs::temp_directory_path() / ("kalto-avsync-" + std::to_string(::getpid()));
    fs::create_directories(folder);
  }
  void TearDown() override {
    if (!folder.empty()) fs::remove_all(folder);
  }

  std::string RecordCommand(const std::string& args) const {
    return "PULSE_SERVER='" + pulse->Address() + "' DISPLAY=" + server->Display() + " " KALTO_RECORD_PATH " " + args +
           " </dev/null";
  }

  std::unique_ptr<XServer> server;
  std::unique_ptr<PulseServer> pulse;
  fs::path folder;
};

}  // namespace kalto::test
