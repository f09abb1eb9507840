#pragma once
// What the audio integration tests share: one private sound server for the whole program, tone
// players, and a recording of what an AudioCapture delivers with the measures of it.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "audio/audio_capture.h"
#include "platform/audio/pulse/pulse_audio_system.h"
#include "support/pulse_server.h"
#include "support/require.h"

namespace kalto::test {

namespace pa = platform::audio;
using namespace std::chrono_literals;

// Besides the standard devices: a 44.1 kHz microphone fed through kalto_feed44.
inline constexpr char kExtraScript[] =
    "load-module module-null-sink sink_name=kalto_feed44 format=s16le rate=44100 channels=1 norewinds=1\n"
    "load-module module-remap-source master=kalto_feed44.monitor source_name=kalto_mic44\n";

// The program's server, started on first use and stopped at exit; null without pulseaudio.
// Tests that kill their server start their own.
inline PulseServer* SharedPulseServer() {
  static const auto server = PulseServer::Available() ? std::make_unique<PulseServer>(kExtraScript) : nullptr;
  return server.get();
}

// pacat playing a sine of `seconds` into `sink` (the default sink when empty), as a shell line.
inline std::string PlayLine(PulseServer& server, double hz, double amplitude, int channels, const std::string& sink = {},
                            int rate = 48000, double seconds = 8) {
  const std::string file = server.Dir() + "/tone" + std::to_string(static_cast<int>(hz)) + "_" + std::to_string(rate) +
                           "_" + std::to_string(channels) + ".raw";
  WriteFile(file, SineS16(hz, amplitude, rate, channels, seconds));
  return "pacat --raw --format=s16le --latency-msec=50 --rate=" + std::to_string(rate) +
         " --channels=" + std::to_string(channels) + (sink.empty() ? "" : " --device=" + sink) + " " + file;
}
// The player runs as a child of a shell (the trailing ':' keeps sh from exec'ing it).
inline ChildProcess Play(PulseServer& server, double hz, double amplitude, int channels, const std::string& sink = {},
                         int rate = 48000) {
  return server.Spawn({"sh", "-c", PlayLine(server, hz, amplitude, channels, sink, rate) + "; :"});
}

class PulseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server = SharedPulseServer();
    KALTO_REQUIRE(server != nullptr, "pulseaudio and pacat are not installed");
    ASSERT_TRUE(server->Running()) << server->Error();
    system = std::make_shared<pa::pulse::PulseAudioSystem>(server->Address());
  }
  PulseServer* server = nullptr;
  std::shared_ptr<pa::pulse::PulseAudioSystem> system;
};

// The amplitude of the sine of `frequency` in `x` (a correlation over whole cycles).
inline double ToneAmplitude(const std::vector<float>& x, double frequency, double rate = 48000) {
  double c = 0, s = 0;
  for (size_t i = 0; i < x.size(); ++i) {
    const double phase = 2.0 * M_PI * frequency * double(i) / rate;
    c += x[i] * std::cos(phase);
    s += x[i] * std::sin(phase);
  }
  return x.empty() ? 0.0 : 2.0 * std::sqrt(c * c + s * s) / double(x.size());
}

// Median over tenths of a second: a ring that ran short pads a chunk's end with silence, which
// would pull a single correlation down.
inline double MedianToneAmplitude(const std::vector<float>& x, double frequency) {
  std::vector<double> amplitudes;
  for (size_t b = 0; b + 4800 <= x.size(); b += 4800) {
    amplitudes.push_back(ToneAmplitude({x.begin() + long(b), x.begin() + long(b + 4800)}, frequency));
  }
  if (amplitudes.empty()) return 0.0;
  std::nth_element(amplitudes.begin(), amplitudes.begin() + long(amplitudes.size() / 2), amplitudes.end());
  return amplitudes[amplitudes.size() / 2];
}

inline double Rms(const std::vector<float>& x) {
  double sum = 0;
  for (float v : x) sum += double(v) * v;
  return x.empty() ? 0.0 : std::sqrt(sum / double(x.size()));
}

// Records what the recorder would receive from an AudioCapture: each chunk's left channel, the
// source events, and the faults every chunk is checked for. Declared before the capture, so it
// outlives the capture's threads.
class Recording {
 public:
  struct SourceEvent {
    AudioSource source;
    bool available;
    size_t atChunk;
  };
  AudioDataCallback Chunks() {
    return [this](const uint8_t* data, uint32_t byteCount, int64_t timestampHns, int64_t durationHns) {
      std::lock_guard lock(m_mutex);
      // Malformed, off the timeline, or channels apart (every source here is mono).
      const int64_t step = timestampHns - m_lastStamp;
      m_faults += byteCount != AudioCapture::kChunkBytes || durationHns != 213333 ||
                  (m_chunks++ > 0 && step != 213333 && step != 213334);
      m_lastStamp = timestampHns;
      for (uint32_t frame = 0; frame < byteCount / 4; ++frame) {
        int16_t left = 0, right = 0;
        std::memcpy(&left, data + 4 * frame, 2);
        std::memcpy(&right, data + 4 * frame + 2, 2);
        m_faults += left != right;
        m_left.push_back(static_cast<float>(left) / 32768.0f);
      }
      m_changed.notify_all();
    };
  }
  SourceStateCallback Sources() {
    return [this](AudioSource source, bool available, const std::wstring&) {
      std::lock_guard lock(m_mutex);
      m_events.push_back({source, available, m_chunks});
      m_changed.notify_all();
    };
  }
  // The chunk at which `count` source events had come; -1 on time-out.
  long WaitForEvents(size_t count) {
    return Wait([&] { return m_events.size() >= count; }, 20s) ? long(m_events[count - 1].atChunk) : -1;
  }
  // The first chunk at or after `from` ending a tenth of a second that holds the tone at more
  // than `amplitude`; -1 on time-out.
  long WaitForTone(size_t from, double hz = 1000, double amplitude = 0.2) {
    long found = -1;
    Wait([&] {
      for (size_t end; found < 0 && (end = (from + 1) * AudioCapture::kChunkFrames) <= m_left.size(); ++from) {
        if (end >= 4800 && ToneAmplitude(Slice(end - 4800, end), hz) > amplitude) found = long(from);
      }
      return found >= 0;
    }, 15s);
    return found;
  }
  bool WaitForChunks(size_t count) {
    return Wait([&] { return m_chunks >= count; }, 20s);
  }
  // Left-channel frames [begin, end) of the recording.
  std::vector<float> Left(size_t begin, size_t end) const {
    std::lock_guard lock(m_mutex);
    return Slice(begin, end);
  }
  int Faults() const {
    std::lock_guard lock(m_mutex);
    return m_faults;
  }
  std::vector<SourceEvent> Events() const {
    std::lock_guard lock(m_mutex);
    return m_events;
  }

 private:
  bool Wait(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, timeout, done);
  }
  std::vector<float> Slice(size_t begin, size_t end) const {
    end = std::min(end, m_left.size());
    return begin < end ? std::vector<float>(m_left.begin() + long(begin), m_left.begin() + long(end))
                       : std::vector<float>{};
  }
  mutable std::mutex m_mutex;
  std::condition_variable m_changed;
  std::vector<float> m_left;
  std::vector<SourceEvent> m_events;
  size_t m_chunks = 0;
  int64_t m_lastStamp = 0;
  int m_faults = 0;
};

}  // namespace kalto::test
