#pragma once
#include <cstdint>

namespace kalto {

// One progress report: immutable once made. Default-constructed, every field is zero.
class RecordingProgress {
 public:
  RecordingProgress() = default;
  RecordingProgress(double durationSeconds, int64_t durationMicroseconds, double averageFrameRate,
                    int32_t droppedFrames) noexcept
      : m_durationSeconds(durationSeconds),
        m_durationMicroseconds(durationMicroseconds),
        m_averageFrameRate(averageFrameRate),
        m_droppedFrames(droppedFrames) {}

  // The report the progress timer makes: microseconds = seconds x 1e6 truncated toward zero,
  // average rate = frames written / seconds, 0 when the duration is not positive.
  static RecordingProgress FromDuration(double durationSeconds, int64_t framesWritten,
                                        int32_t droppedFrames) noexcept;

  // Getters in their published order.
  double DurationSeconds() const noexcept { return m_durationSeconds; }
  int64_t DurationMicroseconds() const noexcept { return m_durationMicroseconds; }
  double AverageFrameRate() const noexcept { return m_averageFrameRate; }
  int32_t DroppedFrames() const noexcept { return m_droppedFrames; }

 private:
  double m_durationSeconds = 0.0;
  int64_t m_durationMicroseconds = 0;
  double m_averageFrameRate = 0.0;
  int32_t m_droppedFrames = 0;
};

// Seconds x 1e6 truncated toward zero; NaN gives 0 and values beyond Int64 saturate.
int64_t SecondsToMicrosecondsTruncated(double seconds) noexcept;

}  // namespace kalto
