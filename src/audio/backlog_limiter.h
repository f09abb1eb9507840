#pragma once
#include <cstdint>

namespace kalto {

// Keeps the lasting delay of one ring near a target without cutting bursts. The output thread
// reports how many frames the ring holds before each read; the lowest fill over a window longer
// than any burst period is the delay that stayed all along (a bursty source runs nearly dry
// between bursts, so its minimum is near zero). When that minimum is above the target at the
// end of a window, the excess is what to discard: the oldest frames, so the output is on time
// again.
class BacklogLimiter {
 public:
  BacklogLimiter(uint64_t windowReads, uint64_t targetFrames) : m_windowReads(windowReads), m_target(targetFrames) {}

  // Frames to discard now (0 mostly).
  uint64_t Observe(uint64_t heldFrames) {
    if (heldFrames < m_min) m_min = heldFrames;
    if (++m_reads < m_windowReads) return 0;
    const uint64_t excess = m_min > m_target ? m_min - m_target : 0;
    Reset();
    return excess;
  }
  // Starts a new window (after a pause, or when the ring was emptied).
  void Reset() {
    m_reads = 0;
    m_min = UINT64_MAX;
  }

 private:
  uint64_t m_windowReads;
  uint64_t m_target;
  uint64_t m_reads = 0;
  uint64_t m_min = UINT64_MAX;
};

}  // namespace kalto
