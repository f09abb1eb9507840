// NativeRecorder's media routing: frames and audio into the encoder, the held last picture,
// failures and warnings that reach the application while a recording runs, and progress.
#include <algorithm>
#include <chrono>
#include <exception>
#include <limits>
#include <utility>

#include "common/debug_output.h"
#include "common/steady_clock.h"
#include "recorder/in_flight_guard.h"
#include "recorder/native_recorder.h"

namespace kalto {

// ---- Media routing ------------------------------------------------------------------------------

void NativeRecorder::OnVideoFrame(gpu::Texture2D& texture, int64_t timestamp) {
  InFlightGuard guard(m_inFlightCallbacks);
  try {
    if (m_isShuttingDown || !m_isRecording || m_isPaused || !m_encoder) return;
    const int64_t ts = std::max<int64_t>(timestamp - m_pausedTotalUs * 10, 0);
    m_lastVideoTimestamp = ts;

    std::lock_guard videoLock(m_videoMutex);
    // The file's frames sit on the requested rate's grid, each at its nearest slot: a screen that
    // changes faster than that rate offers only the first frame of each slot.
    const int64_t last = m_lastEncodedTimestamp;
    const auto slot = [fps = int64_t{m_encoder->GetFps()}](int64_t timeHns) { return (timeHns * fps + 5'000'000) / 10'000'000; };
    if (last != kNoFrame && slot(ts) <= slot(last)) return;
    m_lastEncodedTimestamp = ts;

    // The bubble's frame keeps the screen's time: camera time would freeze the video while a
    // camera stalls, and jump back or judder against the screen's pacing.
    gpu::Texture2D* frame = CompositeCameraOverlay(texture);
    if (frame != &texture) m_lastCompositedTimestamp = ts;
    if (m_encoder->WriteVideoFrame(frame, ts)) {
      ++m_framesWritten;
    } else {
      const int32_t dropped = ++m_droppedFrames;
      if (dropped % 10 == 1) DebugLog<128>(L"[NativeRecorder] WriteVideoFrame failed, dropped=%d\n", dropped);
      CheckWriterFailure();
    }
  } catch (const std::exception& e) {
    DebugLog<512>(L"[NativeRecorder] OnVideoFrame exception: %s\n", e.what());
  } catch (...) {
    DebugLog<128>(L"[NativeRecorder] OnVideoFrame unknown exception\n");
  }
}

void NativeRecorder::OnAudioData(const uint8_t* data, uint32_t byteCount, int64_t timestamp, int64_t duration) {
  InFlightGuard guard(m_inFlightCallbacks);
  try {
    if (m_isShuttingDown || !m_isRecording || m_isPaused || !m_encoder) return;
    // Used as delivered: the audio capture's own pause already keeps its timeline continuous.
    m_lastAudioTimestamp = timestamp;
    m_encoder->WriteAudioSamples(data, byteCount, timestamp, duration);
    CheckWriterFailure();
  } catch (const std::exception& e) {
    DebugLog<512>(L"[NativeRecorder] OnAudioData exception: %s\n", e.what());
  } catch (...) {
    DebugLog<128>(L"[NativeRecorder] OnAudioData unknown exception\n");
  }
}

int64_t NativeRecorder::RecordedTimeHns(int64_t steadyNs) const {
  return (steadyNs - m_sessionStartNs) / 100 - m_pausedTotalUs * 10;
}

void NativeRecorder::HoldLastFrame(int64_t timestampHns, int64_t minGapHns) {
  std::lock_guard videoLock(m_videoMutex);
  const int64_t last = m_lastEncodedTimestamp;
  if (last == kNoFrame || timestampHns - last < minGapHns) return;
  if (m_encoder->RepeatLastFrame(timestampHns)) {
    m_lastEncodedTimestamp = timestampHns;
    ++m_framesWritten;
  } else {
    CheckWriterFailure();
  }
}

void NativeRecorder::CheckWriterFailure() {
  const HRESULT hr = m_encoder->GetWriterError();
  if (Failed(hr)) FailRecording(Encoder::DescribeWriteError(hr, false));
}

void NativeRecorder::FailRecording(const std::wstring& message) {
  if (m_failureReported.exchange(true)) return;
  DebugLog<512>(L"[NativeRecorder] ERROR: %ls; stopping the recording\n", message.c_str());
  {
    std::lock_guard lock(m_failureMutex);
    m_pendingFailure = message;
  }
  const uint64_t id = m_recordingId;
  Enqueue([this, id] {
    if (!m_isRecording || m_recordingId != id) return false;
    const std::wstring failure = TakePendingFailure();
    if (!failure.empty()) m_errorOccurred.Raise(*this, failure);
    Stop();
    return true;
  });
}

std::wstring NativeRecorder::TakePendingFailure() {
  std::lock_guard lock(m_failureMutex);
  return std::exchange(m_pendingFailure, {});
}

void NativeRecorder::RaiseWarning(const std::wstring& message) {
  DebugLog<512>(L"[NativeRecorder] WARNING: %ls\n", message.c_str());
  const uint64_t id = m_recordingId;
  Enqueue([this, id, message] {
    if (!m_isRecording || m_recordingId != id) return false;
    m_warning.Raise(*this, message);
    return true;
  });
}

void NativeRecorder::OnCaptureEnded(screen::CaptureEnd reason) {
  switch (reason) {
    case screen::CaptureEnd::ItemClosed:
      // The rest of the recording (its sound above all) is still worth keeping: the last picture
      // stays on screen until the user stops.
      RaiseWarning(L"The recorded window or monitor is gone; the recording goes on with its last picture");
      break;
    case screen::CaptureEnd::ConnectionLost:
      FailRecording(L"Screen capture failed: the connection to the display server was lost");
      break;
    case screen::CaptureEnd::Failed:
      FailRecording(L"Screen capture failed: the capture could not go on");
      break;
  }
}

int64_t NativeRecorder::SaturatingDeadlineNs(int64_t nowNs, int64_t deltaNs) {
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  return nowNs > kMax - deltaNs ? kMax : nowNs + deltaNs;
}

void NativeRecorder::ProgressLoop() {
  using Clock = std::chrono::steady_clock;
  while (m_progressRunning) {
    {
      const int64_t nowNs = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
      const Clock::time_point deadline{std::chrono::duration_cast<Clock::duration>(
          std::chrono::nanoseconds(SaturatingDeadlineNs(nowNs, 1'000'000'000)))};
      std::unique_lock lock(m_progressMutex);
      m_progressWake.wait_until(lock, deadline, [this] { return !m_progressRunning; });
    }
    if (!m_progressRunning) return;
    try {
      {
        // A still screen sends no frames: hold the last picture so the video keeps up.
        InFlightGuard guard(m_inFlightCallbacks);
        if (!m_isShuttingDown && m_isRecording && !m_isPaused && m_encoder) {
          HoldLastFrame(RecordedTimeHns(SteadyNowNs()), kHoldIntervalHns);
        }
      }
      const double duration = DurationSeconds();
      m_progressChanged.Raise(*this, RecordingProgress::FromDuration(duration, m_framesWritten, m_droppedFrames));
    } catch (const std::exception& e) {
      DebugLog<512>(L"[NativeRecorder] ProgressTimer exception: %s\n", e.what());
    } catch (...) {
      DebugLog<128>(L"[NativeRecorder] ProgressTimer unknown exception\n");
    }
  }
}

}  // namespace kalto
