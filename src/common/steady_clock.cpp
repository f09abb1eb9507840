#include "common/steady_clock.h"

#include <atomic>
#include <ctime>

namespace kalto {
namespace {
std::atomic<SteadyClockSource> g_source{nullptr};
}

int64_t SteadyNowNs() {
  if (auto source = g_source.load(std::memory_order_acquire)) return source();
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return CounterToNs(static_cast<int64_t>(ts.tv_sec) * 1'000'000'000LL + ts.tv_nsec, 1'000'000'000LL);
}

void SetSteadyClockSourceForTesting(SteadyClockSource source) {
  g_source.store(source, std::memory_order_release);
}

}  // namespace kalto
