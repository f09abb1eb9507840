#pragma once
// What the AudioCapture component tests share: the capture over the fake audio system, a sink
// that keeps every delivered chunk, and waits on conditions.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "audio/audio_capture.h"
#include "audio/audio_time.h"
#include "platform/audio/fake/fake_audio_system.h"
#include "support/debug_capture.h"

namespace kalto::test {

namespace fa = platform::audio;
using namespace std::chrono_literals;
using fa::FakeAudioFault;
using fa::FakeAudioPoint;

// Polls `done` until it holds or `timeout` passes; its last answer.
inline bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 10s) {
  for (const auto deadline = std::chrono::steady_clock::now() + timeout; !done();) {
    if (std::chrono::steady_clock::now() > deadline) return done();
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

// Waits until the capture thread has taken every queued packet of `client`.
inline bool WaitDrained(const fa::FakeAudioClient& client) {
  return WaitUntil([&] { return client.QueuedPackets() == 0; });
}

struct DeliveredChunk {
  uint32_t byteCount = 0;
  int64_t timestampHns = 0, durationHns = 0;
  std::vector<int16_t> pcm;
  // Index of the first non-zero sample, or -1.
  int FirstNonZero() const {
    auto it = std::find_if(pcm.begin(), pcm.end(), [](int16_t s) { return s != 0; });
    return it == pcm.end() ? -1 : static_cast<int>(it - pcm.begin());
  }
  bool Silent() const { return FirstNonZero() < 0; }
  bool Contains(int16_t value) const { return std::find(pcm.begin(), pcm.end(), value) != pcm.end(); }
};

// Keeps what the recorder would receive, and the source events.
class ChunkSink {
 public:
  struct SourceEvent {
    AudioSource source;
    bool available;
    std::wstring message;
  };
  AudioDataCallback Callback() {
    return [this](const uint8_t* data, uint32_t byteCount, int64_t timestampHns, int64_t durationHns) {
      const auto* samples = reinterpret_cast<const int16_t*>(data);
      Add([&] { m_chunks.push_back({byteCount, timestampHns, durationHns, {samples, samples + byteCount / 2}}); });
    };
  }
  SourceStateCallback Sources() {
    return [this](AudioSource source, bool available, const std::wstring& message) {
      Add([&] { m_events.push_back({source, available, message}); });
    };
  }
  bool WaitFor(size_t count, std::chrono::milliseconds timeout = 5s) {
    return Wait([&] { return m_chunks.size() >= count; }, timeout);
  }
  bool WaitForEvents(size_t count) {
    return Wait([&] { return m_events.size() >= count; }, 10s);
  }
  // The first chunk at `from` or later that matches (with sound by default), or -1.
  int WaitForSound(size_t from = 0) {
    return WaitForChunk([](const DeliveredChunk& c) { return !c.Silent(); }, from);
  }
  int WaitForChunk(const std::function<bool(const DeliveredChunk&)>& match, size_t from = 0) {
    int found = -1;
    Wait([&] {
      for (; found < 0 && from < m_chunks.size(); ++from) found = match(m_chunks[from]) ? int(from) : -1;
      return found >= 0;
    }, 5s);
    return found;
  }
  void Clear() {
    std::lock_guard lock(m_mutex);
    m_chunks.clear();
    m_events.clear();
  }
  std::vector<DeliveredChunk> Chunks() const {
    std::lock_guard lock(m_mutex);
    return m_chunks;
  }
  size_t Count() const {
    std::lock_guard lock(m_mutex);
    return m_chunks.size();
  }
  std::vector<SourceEvent> Events() const {
    std::lock_guard lock(m_mutex);
    return m_events;
  }

 private:
  void Add(const std::function<void()>& add) {
    std::lock_guard lock(m_mutex);
    add();
    m_changed.notify_all();
  }
  bool Wait(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, timeout, done);
  }
  mutable std::mutex m_mutex;
  std::condition_variable m_changed;
  std::vector<DeliveredChunk> m_chunks;
  std::vector<SourceEvent> m_events;
};

// Interleaved float frames, each channel c holding values[c].
inline std::vector<float> FloatFrames(size_t frames, const std::vector<float>& values) {
  std::vector<float> out;
  for (size_t f = 0; f < frames; ++f) out.insert(out.end(), values.begin(), values.end());
  return out;
}

// A system sample after the mix's starting system gain (0.5 x 1.25).
inline int16_t SystemPcm(float value) { return static_cast<int16_t>(static_cast<float>(value * 0.625) * 32767.0f); }

class AudioCaptureTest : public ::testing::Test {
 protected:
  static constexpr const wchar_t* kMicId = L"{0.0.1.00000000}.{mic}";
  std::unique_ptr<AudioCapture> MakeCapture() { return std::make_unique<AudioCapture>(system); }
  // The default render endpoint (every role).
  std::shared_ptr<fa::FakeAudioEndpoint> AddSpeakers(fa::WaveFormat format = fa::FakeFloatFormat(48000, 2)) {
    auto endpoint = system->AddEndpoint(fa::eRender, L"{0.0.0.00000000}.{speakers}", format, L"Speakers");
    system->SetDefault(fa::eRender, L"{0.0.0.00000000}.{speakers}");
    return endpoint;
  }
  // A capture endpoint, the default (every role) unless `makeDefault` is false.
  std::shared_ptr<fa::FakeAudioEndpoint> AddMic(fa::WaveFormat format = fa::FakePcm16Format(48000, 1),
                                                const std::wstring& id = kMicId, bool makeDefault = true) {
    auto endpoint = system->AddEndpoint(fa::eCapture, id, format, L"Microphone");
    if (makeDefault) system->SetDefault(fa::eCapture, id);
    return endpoint;
  }
  // The usual output: 48 kHz stereo, Raw, level 1.
  bool InitializeDefault(AudioCapture& capture, bool systemAudio, bool mic, const std::wstring& micId = L"") {
    return capture.Initialize(systemAudio, mic, micId, 48000, 2, false, 0, 1);
  }
  // Starts `capture`, runs `feed`, and returns the first chunk with sound (empty when none came).
  DeliveredChunk FirstSound(AudioCapture& capture, const std::function<void()>& feed) {
    EXPECT_TRUE(capture.Start(sink.Callback()));
    feed();
    const int index = sink.WaitForSound();
    capture.Stop();
    EXPECT_GE(index, 0) << "no sound came through";
    return index < 0 ? DeliveredChunk{} : sink.Chunks()[static_cast<size_t>(index)];
  }
  // Every chunk whole, one chunk long, and stamped where the timeline puts it.
  static void ExpectOnTimeline(const AudioCapture& capture, const std::vector<DeliveredChunk>& chunks) {
    for (size_t n = 0; n < chunks.size(); ++n) {
      EXPECT_EQ(chunks[n].byteCount, 4096u);
      EXPECT_EQ(chunks[n].durationHns, 213333);
      const int64_t position = capture.GetFirstFramePosition() + static_cast<int64_t>(n) * 1024;
      ASSERT_EQ(chunks[n].timestampHns,
                capture.GetStartOffset() + FramesToHns(position, 48000) - capture.GetStreamLatency())
          << "chunk " << n;
    }
  }

  std::shared_ptr<fa::FakeAudioSystem> system = std::make_shared<fa::FakeAudioSystem>();
  DebugCapture log;
  ChunkSink sink;
};

}  // namespace kalto::test
