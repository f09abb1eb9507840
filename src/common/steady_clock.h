#pragma once
#include <cstdint>

namespace kalto {

// Monotonic time in nanoseconds, the unit every component measures time in.
int64_t SteadyNowNs();

// Tests substitute a scripted clock; nullptr restores the monotonic one.
using SteadyClockSource = int64_t (*)();
void SetSteadyClockSourceForTesting(SteadyClockSource source);

// Counter-to-nanosecond conversion that cannot overflow for realistic counters:
// whole seconds first, then the remainder.
constexpr int64_t CounterToNs(int64_t counter, int64_t frequency) {
  return (counter / frequency) * 1'000'000'000LL + (counter % frequency) * 1'000'000'000LL / frequency;
}

}  // namespace kalto
