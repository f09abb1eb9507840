#pragma once
// What the audio integration tests share: one private sound server for the whole program, the
// engine's way of opening and draining a stream, and the measures of what came out.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
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

// Besides the standard devices: a 44.1 kHz microphone fed through kalto_feed44, and a 1 kHz
// source that hands over its sound in bursts.
inline constexpr char kExtraScript[] =
    "load-module module-null-sink sink_name=kalto_feed44 format=s16le rate=44100 channels=1 norewinds=1\n"
    "load-module module-remap-source master=kalto_feed44.monitor source_name=kalto_mic44\n"
    "load-module module-sine-source source_name=kalto_sine rate=48000 frequency=1000\n";

// The program's server, started on first use and stopped at exit; null without pulseaudio.
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

inline double Rms(const std::vector<float>& x) {
  double sum = 0;
  for (float v : x) sum += double(v) * v;
  return x.empty() ? 0.0 : std::sqrt(sum / double(x.size()));
}

struct OpenedStream {
  std::shared_ptr<pa::AudioClient> client;
  std::shared_ptr<pa::AudioCaptureClient> capture;
  std::shared_ptr<pa::Event> event;
  pa::WaveFormat format;
};

// As the engine opens one: mix format, shared event-driven Initialize (100 ms), event, service.
inline HRESULT OpenStream(std::shared_ptr<pa::AudioClient> client, uint32_t streamFlags, OpenedStream* out) {
  out->client = std::move(client);
  std::unique_ptr<pa::WaveFormat> format;
  if (HRESULT hr = out->client->GetMixFormat(&format); Failed(hr) || !format) return Failed(hr) ? hr : E_POINTER;
  out->format = *format;
  if (HRESULT hr = out->client->Initialize(pa::AUDCLNT_SHAREMODE_SHARED,
                                           streamFlags | pa::AUDCLNT_STREAMFLAGS_EVENTCALLBACK, 1'000'000, 0,
                                           format.get());
      Failed(hr)) {
    return hr;
  }
  out->event = std::make_shared<pa::Event>(false, false);
  if (HRESULT hr = out->client->SetEventHandle(out->event); Failed(hr)) return hr;
  return out->client->GetCaptureClient(&out->capture);
}

struct Drained {
  std::vector<float> samples;  // the first channel, from `settle` frames after the onset on
  int eventWakes = 0;
  int discontinuities = 0;  // packets after a gap the queue made
  HRESULT failure = S_OK;
  bool complete = false;
};

// Waits on the stream's event and drains every packet until `frames` frames have come after the
// first sample louder than `onset` and `settle` more, the stream fails, or the time-out passes.
inline Drained Drain(OpenedStream& stream, size_t frames, size_t settle, float onset = 0.05f,
                     std::chrono::milliseconds timeout = 15s) {
  Drained out;
  std::vector<float> all;
  ptrdiff_t start = -1;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  const size_t channels = stream.format.nChannels;
  const bool isFloat = stream.format.wBitsPerSample == 32;
  while (!out.complete && Succeeded(out.failure) && std::chrono::steady_clock::now() < deadline) {
    if (pa::WaitForEvent(*stream.event, 20) == pa::WAIT_OBJECT_0) ++out.eventWakes;
    uint32_t next = 0;
    for (out.failure = stream.capture->GetNextPacketSize(&next); Succeeded(out.failure) && next > 0;
         out.failure = stream.capture->GetNextPacketSize(&next)) {
      uint8_t* data = nullptr;
      uint32_t n = 0, flags = 0;
      if (Failed(out.failure = stream.capture->GetBuffer(&data, &n, &flags, nullptr, nullptr))) break;
      if (flags & pa::AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY) ++out.discontinuities;
      for (uint32_t i = 0; i < n; ++i) {
        float v = 0.0f;
        int16_t s = 0;
        if (flags & pa::AUDCLNT_BUFFERFLAGS_SILENT) {
        } else if (isFloat) {
          std::memcpy(&v, data + i * channels * 4, 4);
        } else {
          std::memcpy(&s, data + i * channels * 2, 2);
          v = s / 32768.0f;
        }
        all.push_back(v);
        if (start < 0 && std::fabs(v) > onset) start = static_cast<ptrdiff_t>(all.size()) - 1;
      }
      stream.capture->ReleaseBuffer(n);
    }
    if (start >= 0 && all.size() >= size_t(start) + settle + frames) {
      out.samples.assign(all.begin() + start + static_cast<ptrdiff_t>(settle),
                         all.begin() + start + static_cast<ptrdiff_t>(settle + frames));
      out.complete = true;
    }
  }
  return out;
}

// Records what the recorder would receive from an AudioCapture: each chunk's stamp and left
// channel, and the source events. Declared before the capture, so it outlives its threads.
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
      if (byteCount != AudioCapture::kChunkBytes || durationHns != 213333) ++m_malformed;
      m_stamps.push_back(timestampHns);
      for (uint32_t frame = 0; frame < byteCount / 4; ++frame) {
        int16_t left = 0, right = 0;
        std::memcpy(&left, data + 4 * frame, 2);
        std::memcpy(&right, data + 4 * frame + 2, 2);
        m_unequal += left != right;
        m_left.push_back(static_cast<float>(left) / 32768.0f);
      }
      m_changed.notify_all();
    };
  }
  SourceStateCallback Sources() {
    return [this](AudioSource source, bool available, const std::wstring&) {
      std::lock_guard lock(m_mutex);
      m_events.push_back({source, available, m_stamps.size()});
      m_changed.notify_all();
    };
  }
  // The chunk at which `count` source events had come; -1 on time-out.
  long WaitForEvents(size_t count, std::chrono::milliseconds timeout = 20s) {
    std::unique_lock lock(m_mutex);
    if (!m_changed.wait_for(lock, timeout, [&] { return m_events.size() >= count; })) return -1;
    return static_cast<long>(m_events[count - 1].atChunk);
  }
  // The first chunk at or after `from` ending a tenth of a second that holds the tone at more
  // than `amplitude`; -1 on time-out.
  long WaitForTone(size_t from, double hz = 1000, double amplitude = 0.2, std::chrono::milliseconds timeout = 15s) {
    std::unique_lock lock(m_mutex);
    long found = -1;
    m_changed.wait_for(lock, timeout, [&] {
      for (; (from + 1) * AudioCapture::kChunkFrames <= m_left.size(); ++from) {
        const size_t end = (from + 1) * AudioCapture::kChunkFrames;
        if (end >= 4800 && ToneAmplitude(Slice(end - 4800, end), hz) > amplitude) {
          found = static_cast<long>(from);
          return true;
        }
      }
      return false;
    });
    return found;
  }
  bool WaitForChunks(size_t count, std::chrono::milliseconds timeout = 20s) {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_stamps.size() >= count; });
  }
  // Left-channel frames [begin, end) of the recording.
  std::vector<float> Left(size_t begin, size_t end) const {
    std::lock_guard lock(m_mutex);
    return Slice(begin, end);
  }
  // Chunks whose stamp does not follow the one before by one chunk's length, and malformed ones.
  int Faults() const {
    std::lock_guard lock(m_mutex);
    int bad = m_malformed;
    for (size_t n = 1; n < m_stamps.size(); ++n) {
      const int64_t step = m_stamps[n] - m_stamps[n - 1];
      bad += step == 213333 || step == 213334 ? 0 : 1;
    }
    return bad;
  }
  int UnequalFrames() const {
    std::lock_guard lock(m_mutex);
    return m_unequal;
  }
  std::vector<SourceEvent> Events() const {
    std::lock_guard lock(m_mutex);
    return m_events;
  }

 private:
  std::vector<float> Slice(size_t begin, size_t end) const {
    end = std::min(end, m_left.size());
    return begin < end ? std::vector<float>(m_left.begin() + static_cast<ptrdiff_t>(begin),
                                            m_left.begin() + static_cast<ptrdiff_t>(end))
                       : std::vector<float>{};
  }
  mutable std::mutex m_mutex;
  std::condition_variable m_changed;
  std::vector<int64_t> m_stamps;
  std::vector<float> m_left;
  std::vector<SourceEvent> m_events;
  int m_malformed = 0;
  int m_unequal = 0;
};

}  // namespace kalto::test
