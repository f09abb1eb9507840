#include "audio_fixture.h"

#include <algorithm>
#include <chrono>

namespace kalto::test {

bool DeliveredChunk::Silent() const { return FirstNonZero() < 0; }

int DeliveredChunk::FirstNonZero() const {
  auto it = std::find_if(pcm.begin(), pcm.end(), [](int16_t s) { return s != 0; });
  return it == pcm.end() ? -1 : static_cast<int>(it - pcm.begin());
}

AudioDataCallback ChunkSink::Callback() {
  return [this](const uint8_t* data, uint32_t byteCount, int64_t timestampHns, int64_t durationHns) {
    DeliveredChunk chunk;
    chunk.byteCount = byteCount;
    chunk.timestampHns = timestampHns;
    chunk.durationHns = durationHns;
    const auto* samples = reinterpret_cast<const int16_t*>(data);
    chunk.pcm.assign(samples, samples + byteCount / sizeof(int16_t));
    {
      std::lock_guard lock(m_mutex);
      m_chunks.push_back(std::move(chunk));
    }
    m_cv.notify_all();
  };
}

bool ChunkSink::WaitFor(size_t count, int timeoutMs) {
  std::unique_lock lock(m_mutex);
  return m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_chunks.size() >= count; });
}

int ChunkSink::WaitForChunk(const std::function<bool(const DeliveredChunk&)>& match, int timeoutMs, size_t from) {
  std::unique_lock lock(m_mutex);
  size_t checked = from;
  int found = -1;
  m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
    for (; checked < m_chunks.size(); ++checked) {
      if (match(m_chunks[checked])) {
        found = static_cast<int>(checked);
        return true;
      }
    }
    return false;
  });
  return found;
}

std::vector<DeliveredChunk> ChunkSink::Chunks() const {
  std::lock_guard lock(m_mutex);
  return m_chunks;
}

size_t ChunkSink::Count() const {
  std::lock_guard lock(m_mutex);
  return m_chunks.size();
}

std::shared_ptr<fa::FakeAudioEndpoint> AudioCaptureTest::AddSpeakers(fa::WaveFormat format) {
  auto endpoint = system->AddEndpoint(fa::eRender, L"{0.0.0.00000000}.{speakers}", format, L"Speakers");
  system->SetDefault(fa::eRender, L"{0.0.0.00000000}.{speakers}");
  return endpoint;
}

std::shared_ptr<fa::FakeAudioEndpoint> AudioCaptureTest::AddMic(fa::WaveFormat format, const std::wstring& id,
                                                                bool makeDefault) {
  auto endpoint = system->AddEndpoint(fa::eCapture, id, format, L"Microphone");
  if (makeDefault) system->SetDefault(fa::eCapture, id);
  return endpoint;
}

bool AudioCaptureTest::InitializeDefault(AudioCapture& capture, bool systemAudio, bool mic, const std::wstring& micId) {
  return capture.Initialize(systemAudio, mic, micId, 48000, 2, false, 0, 1);
}

std::vector<float> FloatFrames(size_t frames, const std::vector<float>& values) {
  std::vector<float> out;
  out.reserve(frames * values.size());
  for (size_t f = 0; f < frames; ++f) out.insert(out.end(), values.begin(), values.end());
  return out;
}

}  // namespace kalto::test
