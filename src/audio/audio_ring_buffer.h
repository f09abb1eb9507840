#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kalto {

// Interleaved stereo floats between one writer thread and one reader thread, without a lock.
// Holds at most capacity - 1 floats. A write that does not fit keeps whole stereo frames only,
// so the left/right order of everything read later is never shifted; the rest is dropped.
class AudioRingBuffer {
 public:
  static constexpr uint64_t kDefaultCapacity = 48000;
  static constexpr size_t kChunkSamples = 2048;

  explicit AudioRingBuffer(uint64_t capacity = kDefaultCapacity);
  AudioRingBuffer(const AudioRingBuffer&) = delete;
  AudioRingBuffer& operator=(const AudioRingBuffer&) = delete;

  // Writer thread. Returns the number of floats kept.
  uint64_t Write(const float* src, uint64_t count);
  // Reader thread: fills exactly kChunkSamples floats, zeros after what the ring held; returns
  // how many came from the ring.
  uint64_t ReadChunk(float* dst);
  // Either thread; exact only while the other side is idle.
  uint64_t Count() const;
  uint64_t Capacity() const { return m_capacity; }
  // Only while neither thread runs.
  void Reset();
  // Starts both indices at `index` (empty ring), so tests can cross the wrap point.
  void ResetAt(uint64_t index);

 private:
  static uint64_t CountOf(uint64_t writeIndex, uint64_t readIndex, uint64_t capacity);

  const uint64_t m_capacity;
  std::vector<float> m_storage;
  // Each index has one writer; release on store and acquire on load publish the samples.
  std::atomic<uint64_t> m_writeIndex{0};
  std::atomic<uint64_t> m_readIndex{0};
};

}  // namespace kalto
