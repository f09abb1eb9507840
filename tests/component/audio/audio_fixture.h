#pragma once
#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "audio/audio_capture.h"
#include "platform/audio/fake/fake_audio_system.h"
#include "support/debug_capture.h"

namespace kalto::test {

namespace fa = platform::audio;

struct DeliveredChunk {
  uint32_t byteCount = 0;
  int64_t timestampHns = 0;
  int64_t durationHns = 0;
  std::vector<int16_t> pcm;
  bool Silent() const;
  // Index of the first non-zero sample, or -1.
  int FirstNonZero() const;
};

class ChunkSink {
 public:
  AudioDataCallback Callback();
  bool WaitFor(size_t count, int timeoutMs = 5000);
  // Waits for a chunk at index `from` or later that satisfies `match`; returns its index or -1.
  int WaitForChunk(const std::function<bool(const DeliveredChunk&)>& match, int timeoutMs = 5000, size_t from = 0);
  std::vector<DeliveredChunk> Chunks() const;
  size_t Count() const;

 private:
  mutable std::mutex m_mutex;
  std::condition_variable m_cv;
  std::vector<DeliveredChunk> m_chunks;
};

class AudioCaptureTest : public ::testing::Test {
 protected:
  std::unique_ptr<AudioCapture> MakeCapture() { return std::make_unique<AudioCapture>(system); }
  // Default render endpoint (every role).
  std::shared_ptr<fa::FakeAudioEndpoint> AddSpeakers(fa::WaveFormat format = fa::FakeFloatFormat(48000, 2));
  // Default capture endpoint (every role) unless `makeDefault` is false.
  std::shared_ptr<fa::FakeAudioEndpoint> AddMic(fa::WaveFormat format = fa::FakePcm16Format(48000, 1),
                                                const std::wstring& id = L"{0.0.1.00000000}.{mic}",
                                                bool makeDefault = true);
  // Initialize with the usual output (48 kHz stereo, Raw, level 1).
  bool InitializeDefault(AudioCapture& capture, bool system, bool mic, const std::wstring& micId = L"");

  std::shared_ptr<fa::FakeAudioSystem> system = std::make_shared<fa::FakeAudioSystem>();
  DebugCapture log;
  ChunkSink sink;
};

// Interleaved float frames of `channels` channels, each channel c holding values[c].
std::vector<float> FloatFrames(size_t frames, const std::vector<float>& values);

}  // namespace kalto::test
