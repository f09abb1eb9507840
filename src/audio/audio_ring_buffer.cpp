#include "audio/audio_ring_buffer.h"

#include <algorithm>

namespace kalto {
namespace {
constexpr uint64_t kChannels = 2;
}

AudioRingBuffer::AudioRingBuffer(uint64_t capacity)
    : m_capacity(std::max<uint64_t>(capacity, 2)), m_storage(static_cast<size_t>(m_capacity), 0.0f) {}

uint64_t AudioRingBuffer::CountOf(uint64_t writeIndex, uint64_t readIndex, uint64_t capacity) {
  return writeIndex >= readIndex ? writeIndex - readIndex : writeIndex + capacity - readIndex;
}

uint64_t AudioRingBuffer::Count() const {
  return CountOf(m_writeIndex.load(std::memory_order_acquire), m_readIndex.load(std::memory_order_acquire),
                 m_capacity);
}

uint64_t AudioRingBuffer::Write(const float* src, uint64_t count) {
  if (src == nullptr || count == 0) return 0;
  if (m_skipFloats > 0) {
    const uint64_t skipped = std::min(m_skipFloats, count);
    m_skipFloats -= skipped;
    src += skipped;
    count -= skipped;
    if (count == 0) return 0;
  }
  const uint64_t writeIndex = m_writeIndex.load(std::memory_order_relaxed);
  const uint64_t readIndex = m_readIndex.load(std::memory_order_acquire);
  const uint64_t space = m_capacity - 1 - CountOf(writeIndex, readIndex, m_capacity);
  uint64_t kept = std::min(count, space);
  // Cutting a write mid-frame would swap left and right for everything after it.
  if (kept < count) kept -= kept % kChannels;
  if (kept < count) m_dropped.fetch_add(count - kept, std::memory_order_relaxed);
  if (kept == 0) return 0;

  const uint64_t first = std::min(kept, m_capacity - writeIndex);
  std::copy_n(src, first, m_storage.begin() + static_cast<std::ptrdiff_t>(writeIndex));
  std::copy_n(src + first, kept - first, m_storage.begin());
  m_writeIndex.store((writeIndex + kept) % m_capacity, std::memory_order_release);
  return kept;
}

uint64_t AudioRingBuffer::ReadChunk(float* dst) {
  const uint64_t readIndex = m_readIndex.load(std::memory_order_relaxed);
  const uint64_t writeIndex = m_writeIndex.load(std::memory_order_acquire);
  const uint64_t taken = std::min<uint64_t>(CountOf(writeIndex, readIndex, m_capacity), kChunkSamples);

  const uint64_t first = std::min(taken, m_capacity - readIndex);
  std::copy_n(m_storage.begin() + static_cast<std::ptrdiff_t>(readIndex), first, dst);
  std::copy_n(m_storage.begin(), taken - first, dst + first);
  std::fill(dst + taken, dst + kChunkSamples, 0.0f);
  m_readIndex.store((readIndex + taken) % m_capacity, std::memory_order_release);
  return taken;
}

uint64_t AudioRingBuffer::Discard(uint64_t count) {
  const uint64_t readIndex = m_readIndex.load(std::memory_order_relaxed);
  const uint64_t writeIndex = m_writeIndex.load(std::memory_order_acquire);
  uint64_t taken = std::min(CountOf(writeIndex, readIndex, m_capacity), count);
  taken -= taken % kChannels;
  m_readIndex.store((readIndex + taken) % m_capacity, std::memory_order_release);
  return taken;
}

void AudioRingBuffer::Reset() { ResetAt(0); }

void AudioRingBuffer::ResetAt(uint64_t index) {
  index %= m_capacity;
  m_writeIndex.store(index, std::memory_order_relaxed);
  m_readIndex.store(index, std::memory_order_relaxed);
  m_skipFloats = 0;
  m_dropped.store(0, std::memory_order_relaxed);
}

}  // namespace kalto
