#pragma once
#include <atomic>
#include <cstdint>

namespace kalto {

// Counts one media callback as running for as long as it is in scope, exceptions included.
class InFlightGuard {
 public:
  explicit InFlightGuard(std::atomic<int32_t>& count) : m_count(count) { ++m_count; }
  ~InFlightGuard() { --m_count; }
  InFlightGuard(const InFlightGuard&) = delete;
  InFlightGuard& operator=(const InFlightGuard&) = delete;

 private:
  std::atomic<int32_t>& m_count;
};

}  // namespace kalto
