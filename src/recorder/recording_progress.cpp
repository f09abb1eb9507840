#include "recorder/recording_progress.h"

#include <cmath>
#include <limits>

namespace kalto {

int64_t SecondsToMicrosecondsTruncated(double seconds) noexcept {
  double us = std::trunc(seconds * 1e6);
  if (std::isnan(us)) return 0;
  // 2^63 is exactly representable; anything at or beyond it would overflow the conversion.
  constexpr double kLimit = 9223372036854775808.0;
  if (us >= kLimit) return std::numeric_limits<int64_t>::max();
  if (us < -kLimit) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(us);
}

RecordingProgress RecordingProgress::FromDuration(double durationSeconds, int64_t framesWritten,
                                                  int32_t droppedFrames) noexcept {
  double rate = durationSeconds > 0.0 ? static_cast<double>(framesWritten) / durationSeconds : 0.0;
  return RecordingProgress(durationSeconds, SecondsToMicrosecondsTruncated(durationSeconds), rate,
                           droppedFrames);
}

}  // namespace kalto
