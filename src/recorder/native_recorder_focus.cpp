// NativeRecorder's crop and cursor-focus control.
#include <algorithm>
#include <exception>
#include <limits>

#include "common/counters.h"
#include "common/debug_output.h"
#include "recorder/native_recorder.h"

namespace kalto {

namespace {

// Numbers the crop callbacks' log lines, one counter per variant.
ProcessCounter s_prepareCropCallbacks;
ProcessCounter s_startCropCallbacks;

int32_t ClampToInt32(int64_t v) {
  return static_cast<int32_t>(
      std::clamp<int64_t>(v, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()));
}

}  // namespace

// ---- Crop and cursor focus ---------------------------------------------------------------------

FocusCallback NativeRecorder::MakeCropCallback(Mode mode) {
  if (mode == Mode::Prepare) return [this](const FocusRect& rect) { OnCropRect(rect, Mode::Prepare); };
  return [this](const FocusRect& rect) {
    try {
      OnCropRect(rect, Mode::Start);
    } catch (const std::exception& e) {
      DebugLog<512>(L"[NativeRecorder] Crop callback exception: %s\n", e.what());
    } catch (...) {
      DebugLog<128>(L"[NativeRecorder] Crop callback unknown exception\n");
    }
  };
}

// Runs on the focus-zoom thread. Stop ends that thread before the capture goes, so the capture
// seen here stays alive for the call.
void NativeRecorder::OnCropRect(const FocusRect& rect, Mode mode) {
  if (m_isShuttingDown) return;
  const bool prepare = mode == Mode::Prepare;
  if (!m_screenCapture) {
    DebugLog<128>(prepare ? L"[NativeRecorder] WARNING: Crop callback (Prepare) but m_screenCapture is null!\n"
                          : L"[NativeRecorder] WARNING: Crop callback but m_screenCapture is null!\n");
    return;
  }
  const int32_t x = ClampToInt32(int64_t{rect.x} - m_monitorOriginX);
  const int32_t y = ClampToInt32(int64_t{rect.y} - m_monitorOriginY);
  const int32_t count = (prepare ? s_prepareCropCallbacks : s_startCropCallbacks).Increment();
  DebugLog<256>(prepare ? L"[NativeRecorder] SetCropRegion(Prepare) #%d: x=%d, y=%d, w=%d, h=%d (shutting=%d)\n"
                        : L"[NativeRecorder] SetCropRegion #%d: x=%d, y=%d, w=%d, h=%d (shutting=%d)\n",
                count, x, y, rect.width, rect.height, m_isShuttingDown ? 1 : 0);
  m_screenCapture->SetCropRegion(x, y, rect.width, rect.height);
}

void NativeRecorder::ResetCropCallbackCountersForTesting() {
  s_prepareCropCallbacks.ResetForTesting();
  s_startCropCallbacks.ResetForTesting();
}

void NativeRecorder::SetCropRegion(const RegionRect& rect) {
  std::lock_guard lock(m_captureMutex);
  if (m_screenCapture) m_screenCapture->SetCropRegion(rect.X, rect.Y, rect.Width, rect.Height);
}

void NativeRecorder::ToggleCursorFocus(bool active) {
  try {
    {
      // Check and change under one lock: two concurrent toggles to the same state raise one event.
      std::lock_guard focusLock(m_focusMutex);
      if (m_isShuttingDown || !m_isRecording || m_isCursorFocusActive == active) return;
      m_isCursorFocusActive = active;
      if (m_focusZoomManager) {
        m_focusZoomManager->SetCursorFocusActive(active);
      } else {
        DebugLog<128>(L"[NativeRecorder] ERROR: m_focusZoomManager is NULL!\n");
      }
    }
    if (m_isShuttingDown) return;
    // Outside the lock: a handler may toggle again.
    m_cursorFocusChanged.Raise(*this, active);
  } catch (const std::exception& e) {
    DebugLog<512>(L"[NativeRecorder] ToggleCursorFocus exception: %s\n", e.what());
  } catch (...) {
    DebugLog<128>(L"[NativeRecorder] ToggleCursorFocus unknown exception\n");
  }
}

void NativeRecorder::SetFocusZoomSettings(const FocusZoomSettings& settings) {
  try {
    std::lock_guard focusLock(m_focusMutex);
    m_focusZoomSettings = settings;
    if (m_focusZoomManager) m_focusZoomManager->UpdateSettings(WithFallbacks(settings));
  } catch (const std::exception& e) {
    DebugLog<512>(L"[NativeRecorder] SetFocusZoomSettings exception: %s\n", e.what());
  } catch (...) {
    DebugLog<128>(L"[NativeRecorder] SetFocusZoomSettings unknown exception\n");
  }
}

void NativeRecorder::RecenterCursorFocus() {
  try {
    std::lock_guard focusLock(m_focusMutex);
    if (m_isRecording && m_focusZoomManager) m_focusZoomManager->StartZoomAnimation();
  } catch (const std::exception& e) {
    DebugLog<512>(L"[NativeRecorder] RecenterCursorFocus exception: %s\n", e.what());
  } catch (...) {
    DebugLog<128>(L"[NativeRecorder] RecenterCursorFocus unknown exception\n");
  }
}

void NativeRecorder::StopFocusZoom() {
  std::lock_guard focusLock(m_focusMutex);
  if (m_isCursorFocusActive) {
    if (m_focusZoomManager) m_focusZoomManager->SetCursorFocusActive(false);
    m_isCursorFocusActive = false;
  }
  if (m_focusZoomManager) {
    m_focusZoomManager->SetCallback(nullptr);
    m_focusZoomManager->Stop();
  }
}

void NativeRecorder::DestroyFocusZoom() {
  std::lock_guard focusLock(m_focusMutex);
  m_focusZoomManager.reset();
}

}  // namespace kalto
