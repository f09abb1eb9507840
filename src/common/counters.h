#pragma once
#include <atomic>
#include <cstdint>

namespace kalto {

// A process-wide counter that only numbers or thins log lines. Relaxed ordering: no other
// memory depends on it, but plain ints would be data races between threads.
class ProcessCounter {
 public:
  int32_t Increment() { return m_value.fetch_add(1, std::memory_order_relaxed) + 1; }
  int32_t Load() const { return m_value.load(std::memory_order_relaxed); }
  void ResetForTesting() { m_value.store(0, std::memory_order_relaxed); }

 private:
  std::atomic<int32_t> m_value{0};
};

// Thinning rules for repeated per-frame messages (count is 1-based).
// The 1st, 1+every-th, 1+2*every-th, ...
constexpr bool IsEveryNthFromFirst(int64_t count, int64_t every) {
  return count >= 1 && (count - 1) % every == 0;
}
// The first `first` occurrences, then every multiple of `every`.
constexpr bool IsFirstFewOrEveryNth(int64_t count, int64_t first, int64_t every) {
  return (count >= 1 && count <= first) || (count > 0 && count % every == 0);
}

}  // namespace kalto
