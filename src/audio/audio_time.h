#pragma once
#include <cstdint>

namespace kalto {

// floor(frames * unitsPerSecond / rate) for frames >= 0 and rate > 0, without the product
// frames * unitsPerSecond, which would overflow on long recordings: whole seconds and the
// remainder are scaled apart. Exact; overflows only where the result itself would.
constexpr int64_t FramesToUnits(int64_t frames, int64_t rate, int64_t unitsPerSecond) {
  return (frames / rate) * unitsPerSecond + (frames % rate) * unitsPerSecond / rate;
}

constexpr int64_t FramesToHns(int64_t frames, int64_t rate) { return FramesToUnits(frames, rate, 10'000'000); }
constexpr int64_t FramesToNs(int64_t frames, int64_t rate) { return FramesToUnits(frames, rate, 1'000'000'000); }

// The fewest frames that last at least `hns` (100-ns units, >= 0) at `rate`.
constexpr int64_t HnsToFramesCeil(int64_t hns, int64_t rate) {
  const int64_t seconds = hns / 10'000'000;
  const int64_t rest = hns % 10'000'000;
  return seconds * rate + (rest * rate + 9'999'999) / 10'000'000;
}

}  // namespace kalto
