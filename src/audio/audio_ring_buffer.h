#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kalto {

// Interleaved stereo floats between one writer thread and one reader thread, without a lock.
// Holds at most capacity - 1 floats. A write that does not fit keeps whole stereo frames only,
// so the left/right order of everything read later is never shifted; the rest is dropped and
// counted.
class AudioRingBuffer {
 public:
  static constexpr uint64_t kDefaultCapacity = 48000;
  static constexpr size_t kChunkSamples = 2048;

  explicit AudioRingBuffer(uint64_t capacity = kDefaultCapacity);
  AudioRingBuffer(const AudioRingBuffer&) = delete;
  AudioRingBuffer& operator=(const AudioRingBuffer&) = delete;

  // Writer thread. Returns the number of floats kept. Pays off the skip debt first.
  uint64_t Write(const float* src, uint64_t count);
  // Writer thread (or while neither runs): the next `frames` stereo frames written are thrown
  // away, as sound from before the recording's origin.
  void SetSkipFrames(uint64_t frames) { m_skipFloats = frames * 2; }
  uint64_t SkipFrames() const { return m_skipFloats / 2; }
  // Floats a full ring refused since the last Reset. Exact only while the writer is idle.
  uint64_t DroppedSamples() const { return m_dropped.load(std::memory_order_relaxed); }
  // Reader thread: fills exactly kChunkSamples floats, zeros after what the ring held; returns
  // how many came from the ring.
  uint64_t ReadChunk(float* dst);
  // Reader thread: throws away up to `count` of the oldest floats (whole frames); returns how many.
  uint64_t Discard(uint64_t count);
  // Either thread; exact only while the other side is idle.
  uint64_t Count() const;
  uint64_t Capacity() const { return m_capacity; }
  // Only while neither thread runs. Also clears the skip debt and the dropped count.
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
  uint64_t m_skipFloats = 0;  // the writer's
  std::atomic<uint64_t> m_dropped{0};
};

}  // namespace kalto
