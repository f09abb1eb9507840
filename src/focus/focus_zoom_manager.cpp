#include "focus/focus_zoom_manager.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <exception>
#include <limits>

#include "common/bounded_wait.h"
#include "common/counters.h"
#include "common/debug_output.h"
#include "common/exception_guard.h"
#include "common/steady_clock.h"

namespace kalto {

namespace {

using namespace std::chrono_literals;

constexpr int64_t kToggleDebounceNs = 100'000'000;
constexpr int64_t kTrackingPeriodMs = 33;
constexpr double kCallbackIntervalSeconds = 1.0 / 30.0;
constexpr double kZoomInSeconds = 0.2;
constexpr double kZoomOutSeconds = 0.15;
constexpr int32_t kMinFocusWidth = 400;
constexpr int32_t kMinFocusHeight = 300;

ProcessCounter s_transitionProgressCalls;
ProcessCounter s_transitionCallbacks;
ProcessCounter s_cropTrackingCallbacks;

// Truncation toward zero that saturates instead of overflowing (and maps NaN to 0), so odd
// settings or sizes cannot turn into undefined conversions.
int64_t TruncSaturated(double v) {
  if (std::isnan(v)) return 0;
  constexpr double kLimit = static_cast<double>(std::numeric_limits<int32_t>::max());
  return static_cast<int64_t>(std::clamp(std::trunc(v), -kLimit, kLimit));
}

int32_t ToInt32(int64_t v) {
  return static_cast<int32_t>(
      std::clamp<int64_t>(v, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max() - 1));
}

// 2 * (v / 2 rounded half away from zero): the nearest even value.
int32_t EvenRound(double v) {
  if (std::isnan(v)) return 0;
  return ToInt32(2 * TruncSaturated(std::round(v * 0.5)));
}

// Truncated toward zero, then made even toward zero.
int32_t TruncEven(double v) {
  const int64_t t = TruncSaturated(v);
  return ToInt32((t / 2) * 2);
}

const char* BoolText(bool v) { return v ? "true" : "false"; }

}  // namespace

// ---- Rectangle arithmetic -----------------------------------------------------------------------

FocusRect ComputeFocusRect(const FocusGeometry& g, double zoomRegionFraction, double cx, double cy) {
  const double W = g.screenWidth;
  const double H = g.screenHeight;
  const double w0 = W * zoomRegionFraction;
  const double w = std::min(std::max(static_cast<double>(kMinFocusWidth), w0), W);
  // A missing output size would divide by zero; the display's own shape is the natural stand-in.
  double aspect = (g.outputWidth > 0 && g.outputHeight > 0)
                      ? static_cast<double>(g.outputWidth) / static_cast<double>(g.outputHeight)
                      : (g.screenWidth > 0 && g.screenHeight > 0 ? W / H : 16.0 / 9.0);
  const double h0 = w0 / aspect;
  const double h = std::min(std::max(static_cast<double>(kMinFocusHeight), h0), H);
  const double ccx = std::max(w / 2, std::min(cx, W - w / 2));
  const double ccy = std::max(h / 2, std::min(cy, H - h / 2));
  const int64_t left = TruncSaturated(ccx - w / 2);
  const int64_t top = TruncSaturated(ccy - h / 2);
  FocusRect r;
  r.x = EvenRound(static_cast<double>(left + g.displayOffsetX));
  r.y = EvenRound(static_cast<double>(top + g.displayOffsetY));
  r.width = std::max(EvenRound(static_cast<double>(TruncSaturated(w))), kMinFocusWidth);
  r.height = std::max(EvenRound(static_cast<double>(TruncSaturated(h))), kMinFocusHeight);
  return r;
}

double EaseOut(double p) { return 1.0 - (1.0 - p) * (1.0 - p); }

FocusRect InterpolateFocusRect(const FocusRect& from, const FocusRect& to, double e) {
  auto lerp = [e](int32_t a, int32_t b) {
    return TruncEven(static_cast<double>(a) + (static_cast<double>(b) - static_cast<double>(a)) * e);
  };
  return {lerp(from.x, to.x), lerp(from.y, to.y), lerp(from.width, to.width), lerp(from.height, to.height)};
}

FocusRect ZoomRect(const FocusGeometry& g, const FocusRect& from, double zoom, double clickX, double clickY) {
  const double w = from.width / zoom;
  const double h = from.height / zoom;
  const double regionLeft = static_cast<double>(from.x) - g.displayOffsetX;
  const double regionTop = static_cast<double>(from.y) - g.displayOffsetY;
  const bool inside = clickX >= regionLeft && clickX <= regionLeft + from.width && clickY >= regionTop &&
                      clickY <= regionTop + from.height;
  const double centreX = inside ? clickX : regionLeft + from.width / 2.0;
  const double centreY = inside ? clickY : regionTop + from.height / 2.0;
  const double left = std::max(0.0, std::min(centreX - w / 2, g.screenWidth - w));
  const double top = std::max(0.0, std::min(centreY - h / 2, g.screenHeight - h));
  FocusRect r;
  r.x = EvenRound(static_cast<double>(TruncSaturated(left) + g.displayOffsetX));
  r.y = EvenRound(static_cast<double>(TruncSaturated(top) + g.displayOffsetY));
  r.width = std::max(EvenRound(static_cast<double>(TruncSaturated(w))), kMinFocusWidth);
  r.height = std::max(EvenRound(static_cast<double>(TruncSaturated(h))), kMinFocusHeight);
  return r;
}

std::optional<FocusRect> ZoomAnimationRect(const FocusRect& from, const FocusRect& to, double t) {
  if (t < 0.2) {
    const double u = 1.0 - std::max(t, 0.0) / 0.2;
    return InterpolateFocusRect(from, to, 1.0 - u * u);
  }
  if (t < 0.3) return to;
  if (t < 0.45) {
    const double u = 1.0 - (t - 0.3) / 0.15;
    return InterpolateFocusRect(to, from, 1.0 - u * u);
  }
  return std::nullopt;
}

// ---- Lifecycle ----------------------------------------------------------------------------------

FocusZoomManager::FocusZoomManager(std::shared_ptr<desktop::Desktop> desktop) : m_desktop(std::move(desktop)) {}

FocusZoomManager::~FocusZoomManager() {
  Stop();
  // Stop leaves the join to us when it was called from the tracking thread itself.
  if (m_trackingThread.joinable() && m_trackingThread.get_id() != std::this_thread::get_id()) {
    m_trackingThread.join();
  }
}

void FocusZoomManager::Configure(int32_t displayOffsetX, int32_t displayOffsetY, int32_t screenWidth,
                                 int32_t screenHeight, int32_t outputWidth, int32_t outputHeight,
                                 const FocusZoomSettings& settings) {
  std::lock_guard lock(m_mutex);
  m_displayOffsetX = displayOffsetX;
  m_displayOffsetY = displayOffsetY;
  m_screenWidth = screenWidth;
  m_screenHeight = screenHeight;
  m_outputWidth = outputWidth;
  m_outputHeight = outputHeight;
  m_settings = settings;
  m_baseRect = {displayOffsetX, displayOffsetY, screenWidth, screenHeight};
  m_focusRect = m_baseRect;
  m_cursorX = 0;
  m_cursorY = 0;
  m_hasCursor = false;
}

void FocusZoomManager::SetCallback(FocusCallback callback) {
  std::lock_guard lock(m_mutex);
  m_callback = std::move(callback);
}

void FocusZoomManager::UpdateSettings(const FocusZoomSettings& settings) {
  std::lock_guard lock(m_mutex);
  m_settings = settings;
}

FocusZoomSettings FocusZoomManager::Settings() const {
  std::lock_guard lock(m_mutex);
  return m_settings;
}

FocusRect FocusZoomManager::CurrentRect() const {
  std::lock_guard lock(m_mutex);
  return m_focusRect;
}

void FocusZoomManager::Start() {
  // A stopped manager stays stopped: the recorder builds a new one for the next recording.
  if (m_isRunning || m_stopRequested) return;
  m_isRunning = true;
  m_trackingThread = std::thread([this] { TrackingThread(); });
}

void FocusZoomManager::Stop() {
  // Final even for a manager that never ran, so that nothing is delivered after it.
  m_stopRequested = true;
  {
    std::lock_guard lock(m_wakeMutex);
    m_isRunning = false;
  }
  m_wake.notify_all();
  m_isFocusActive = false;
  m_isAnimating = false;
  m_isFocusTransitioning = false;

  // From inside a callback the thread cannot wait for itself; it ends after this pass and the
  // destructor joins it.
  if (m_trackingThread.joinable() && m_trackingThread.get_id() != std::this_thread::get_id()) {
    BoundedTask join([this] { m_trackingThread.join(); });
    if (!join.WaitFor(500ms)) {
      DebugLog<128>(L"[FocusZoomManager] WARNING: Thread join timed out after 500ms\n");
    }
  }

  std::lock_guard lock(m_mutex);
  m_callback = nullptr;
}

// ---- Requests -----------------------------------------------------------------------------------

void FocusZoomManager::SetCursorFocusActive(bool active) {
  const int64_t now = SteadyNowNs();
  if (now - m_lastToggleNs < kToggleDebounceNs) {
    m_pendingFocusState = active;
    m_hasPendingToggle = true;
    return;
  }
  m_lastToggleNs = now;
  m_hasPendingToggle = false;
  {
    bool hasCallback;
    {
      std::lock_guard lock(m_mutex);
      hasCallback = static_cast<bool>(m_callback);
    }
    DebugLog<256>(
        L"[FocusZoomManager] SetCursorFocusActive(%s) ENTRY - isRunning=%d, callback=%s, m_isFocusActive=%d, "
        L"m_isFocusTransitioning=%d\n",
        BoolText(active), m_isRunning ? 1 : 0, hasCallback ? "set" : "NULL", m_isFocusActive ? 1 : 0,
        m_isFocusTransitioning ? 1 : 0);
  }
  if (active == m_isFocusActive && !m_isFocusTransitioning) return;

  std::lock_guard lock(m_mutex);
  if (active) {
    // The cursor is read first, so that a failed read leaves a running zoom-out untouched.
    desktop::Point cursor;
    if (!m_desktop || !m_desktop->GetCursorPos(&cursor)) return;
    if (m_isFocusTransitioning && !m_transitionZoomIn) {
      m_isFocusTransitioning = false;
      m_focusRect = m_baseRect;
    }
    const double cx = static_cast<double>(cursor.x) - m_displayOffsetX;
    const double cy = static_cast<double>(cursor.y) - m_displayOffsetY;
    m_cursorX = m_lastRawX = cx;
    m_cursorY = m_lastRawY = cy;
    m_hasCursor = true;
    m_isFocusActive = true;
    DebugLog<256>(L"[FocusZoomManager] Cursor at (%.0f, %.0f), display offset (%d, %d)\n", cx, cy, m_displayOffsetX,
                  m_displayOffsetY);
    m_transitionStartRect = m_baseRect;
    m_transitionEndRect = ComputeFocusRectLocked(cx, cy);
    m_transitionDuration = kZoomInSeconds;
    m_transitionStartNs = now;
    m_isFocusTransitioning = true;
    m_transitionZoomIn = true;
    const FocusRect& s = m_transitionStartRect;
    const FocusRect& e = m_transitionEndRect;
    DebugLog<256>(
        L"[FocusZoomManager] Cursor focus ON (crop mode) - startRect=(%d,%d,%dx%d), endRect=(%d,%d,%dx%d)\n", s.x,
        s.y, s.width, s.height, e.x, e.y, e.width, e.height);
    return;
  }

  m_isFocusActive = false;
  // An interrupted zoom-in leaves its last delivered rectangle in m_focusRect: start from there.
  if (m_isFocusTransitioning && m_transitionZoomIn) m_isFocusTransitioning = false;
  FocusRect start = m_focusRect;
  if (start.width < kMinFocusWidth || start.height < kMinFocusHeight || start.width > m_screenWidth ||
      start.height > m_screenHeight) {
    DebugLog<256>(L"[FocusZoomManager] Invalid start rect (%d,%d,%dx%d), using default\n", start.x, start.y,
                  start.width, start.height);
    start = ComputeFocusRectLocked(m_screenWidth / 2, m_screenHeight / 2);
  }
  m_transitionStartRect = start;
  m_transitionEndRect = m_baseRect;
  m_transitionDuration = kZoomOutSeconds;
  m_transitionStartNs = now;
  m_isFocusTransitioning = true;
  m_transitionZoomIn = false;
  const FocusRect& s = m_transitionStartRect;
  const FocusRect& e = m_transitionEndRect;
  DebugLog<256>(L"[FocusZoomManager] Cursor focus OFF (crop mode) - startRect=(%d,%d,%dx%d), endRect=(%d,%d,%dx%d)\n",
                s.x, s.y, s.width, s.height, e.x, e.y, e.width, e.height);
}

void FocusZoomManager::StartZoomAnimation() {
  if (m_isAnimating) return;
  std::lock_guard lock(m_mutex);
  if (m_isAnimating) return;
  desktop::Point cursor;
  if (!m_desktop || !m_desktop->GetCursorPos(&cursor)) return;
  m_animationClickX = static_cast<double>(cursor.x) - m_displayOffsetX;
  m_animationClickY = static_cast<double>(cursor.y) - m_displayOffsetY;
  if (!m_isFocusActive) {
    m_cursorX = m_animationClickX;
    m_cursorY = m_animationClickY;
  }
  m_animationFromRect = ComputeFocusRectLocked(m_cursorX, m_cursorY);
  m_animationToRect =
      ZoomRect(GeometryLocked(), m_animationFromRect, m_settings.MagnifierScale, m_animationClickX, m_animationClickY);
  m_animationStartNs = SteadyNowNs();
  m_isAnimating = true;
}

// ---- Tracking -----------------------------------------------------------------------------------

void FocusZoomManager::TrackingThread() {
  while (m_isRunning) {
    const int64_t t = SteadyNowNs();
    try {
      TrackingStep();
    } catch (const std::exception& e) {
      DebugLog<512>(L"[FocusZoomManager] TrackingThread exception: %s\n", e.what());
    } catch (...) {
      DebugLog<128>(L"[FocusZoomManager] TrackingThread unknown exception\n");
    }
    const int64_t elapsedMs = (SteadyNowNs() - t) / 1'000'000;
    // Clamped: a clock that moves oddly (a scripted one in tests) must not stall the loop.
    const int64_t sleepMs = std::clamp<int64_t>(kTrackingPeriodMs - elapsedMs, 0, kTrackingPeriodMs);
    if (sleepMs > 0) {
      std::unique_lock lock(m_wakeMutex);
      m_wake.wait_for(lock, std::chrono::milliseconds(sleepMs), [this] { return !m_isRunning; });
    }
  }
}

void FocusZoomManager::TrackingStep() {
  const int64_t now = SteadyNowNs();
  if (m_hasPendingToggle && now - m_lastToggleNs >= kToggleDebounceNs) {
    m_hasPendingToggle = false;
    if (m_pendingFocusState != m_isFocusActive) {
      m_lastToggleNs = now - 110'000'000;
      SetCursorFocusActive(m_pendingFocusState);
    }
  }
  if (m_isFocusTransitioning) {
    Deliver(UpdateTransition());
  } else if (m_isFocusActive && !m_isAnimating) {
    Deliver(UpdateCropTracking());
  }
  if (m_isAnimating) Deliver(UpdateZoomAnimation());
}

std::optional<FocusZoomManager::Delivery> FocusZoomManager::UpdateTransition() {
  std::lock_guard lock(m_mutex);
  if (m_stopRequested || !m_isFocusTransitioning) return std::nullopt;
  const int64_t now = SteadyNowNs();
  const double p = std::max(0.0, static_cast<double>(now - m_transitionStartNs) / 1e9 / m_transitionDuration);
  const bool zoomIn = m_transitionZoomIn;
  if (IsEveryNthFromFirst(s_transitionProgressCalls.Increment(), 3)) {
    DebugLog<128>(L"[FocusZoomManager] Transition progress: %.1f%%, zooming %s\n", p * 100.0, zoomIn ? "IN" : "OUT");
  }
  if (p >= 1.0) {
    m_isFocusTransitioning = false;
    s_transitionProgressCalls.ResetForTesting();
    if (!m_callback) return std::nullopt;
    const FocusRect& e = m_transitionEndRect;
    if (e != m_focusRect) {
      m_focusRect = e;
      DebugLog<256>(
          L"[FocusZoomManager] Transition COMPLETE - will call callback: rect=(%d,%d,%dx%d), wasZoomIn=%s\n", e.x,
          e.y, e.width, e.height, BoolText(zoomIn));
      return Delivery{m_callback, e, L"[FocusZoomManager] WARNING: Transition callback FAILED (SEH exception)\n"};
    }
    DebugLog<256>(L"[FocusZoomManager] Transition complete - rect unchanged: (%d,%d,%dx%d)\n", e.x, e.y, e.width,
                  e.height);
    return std::nullopt;
  }
  if (!m_callback) return std::nullopt;
  const FocusRect r = InterpolateFocusRect(m_transitionStartRect, m_transitionEndRect, EaseOut(p));
  if (r == m_focusRect || ThrottledLocked(now)) return std::nullopt;
  m_focusRect = r;
  m_lastCallbackNs = now;
  const int32_t n = s_transitionCallbacks.Increment();
  if (IsFirstFewOrEveryNth(n, 3, 10)) {
    DebugLog<256>(L"[FocusZoomManager] Transition callback #%d: rect=(%d,%d,%dx%d), progress=%.0f%%\n", n, r.x, r.y,
                  r.width, r.height, p * 100.0);
  }
  return Delivery{m_callback, r, L"[FocusZoomManager] WARNING: Transition callback FAILED (SEH exception)\n"};
}

std::optional<FocusZoomManager::Delivery> FocusZoomManager::UpdateCropTracking() {
  std::lock_guard lock(m_mutex);
  if ((!m_isFocusActive && !m_isAnimating) || m_stopRequested) return std::nullopt;
  desktop::Point cursor;
  if (!m_desktop || !m_desktop->GetCursorPos(&cursor)) return std::nullopt;
  const double qx = static_cast<double>(cursor.x) - m_displayOffsetX;
  const double qy = static_cast<double>(cursor.y) - m_displayOffsetY;
  if (!m_hasCursor) {
    m_cursorX = m_lastRawX = qx;
    m_cursorY = m_lastRawY = qy;
    m_hasCursor = true;
  }
  if (std::hypot(qx - m_lastRawX, qy - m_lastRawY) < m_settings.MoveThreshold) return std::nullopt;
  m_lastRawX = qx;
  m_lastRawY = qy;
  m_cursorX += (qx - m_cursorX) * m_settings.FollowSmoothing;
  m_cursorY += (qy - m_cursorY) * m_settings.FollowSmoothing;
  if (!m_callback) return std::nullopt;
  const int64_t now = SteadyNowNs();
  const FocusRect r = ComputeFocusRectLocked(m_cursorX, m_cursorY);
  if (r == m_focusRect || ThrottledLocked(now)) return std::nullopt;
  m_focusRect = r;
  m_lastCallbackNs = now;
  const int32_t n = s_cropTrackingCallbacks.Increment();
  if (IsEveryNthFromFirst(n, 30)) {
    DebugLog<256>(L"[FocusZoomManager] Crop tracking callback #%d: rect=(%d,%d,%dx%d), cursor=(%.0f,%.0f)\n", n, r.x,
                  r.y, r.width, r.height, m_cursorX, m_cursorY);
  }
  return Delivery{m_callback, r, L"[FocusZoomManager] WARNING: Crop tracking callback FAILED (SEH exception)\n"};
}

std::optional<FocusZoomManager::Delivery> FocusZoomManager::UpdateZoomAnimation() {
  std::lock_guard lock(m_mutex);
  if (m_stopRequested || !m_isAnimating) return std::nullopt;
  const int64_t now = SteadyNowNs();
  const double t = static_cast<double>(now - m_animationStartNs) / 1e9;
  std::optional<FocusRect> step = ZoomAnimationRect(m_animationFromRect, m_animationToRect, t);
  const bool finished = !step;
  if (finished) {
    m_isAnimating = false;
    step = m_isFocusActive ? ComputeFocusRectLocked(m_cursorX, m_cursorY) : m_baseRect;
  }
  // The closing rectangle skips the rate limit: nothing else would move the crop back from the
  // zoomed-in one when the cursor stays still or focus is off.
  if (!m_callback || *step == m_focusRect || (!finished && ThrottledLocked(now))) return std::nullopt;
  m_focusRect = *step;
  m_lastCallbackNs = now;
  return Delivery{m_callback, *step, L"[FocusZoomManager] WARNING: Zoom animation callback FAILED (SEH exception)\n"};
}

void FocusZoomManager::Deliver(std::optional<Delivery> delivery) {
  if (!delivery || m_stopRequested) return;
  if (!SafeInvokeCallback(delivery->callback, delivery->rect)) DebugLog<128>(delivery->failureLine);
}

bool FocusZoomManager::SafeInvokeCallback(const FocusCallback& callback, const FocusRect& rect) {
  if (!callback) {
    DebugLog<128>(L"[FocusZoomManager] SafeInvokeCallback: callback is NULL!\n");
    return false;
  }
  return GuardedCall([&] { callback(rect); });
}

void FocusZoomManager::ResetCountersForTesting() {
  s_transitionProgressCalls.ResetForTesting();
  s_transitionCallbacks.ResetForTesting();
  s_cropTrackingCallbacks.ResetForTesting();
}

// ---- Helpers ------------------------------------------------------------------------------------

FocusGeometry FocusZoomManager::GeometryLocked() const {
  return {m_displayOffsetX, m_displayOffsetY, m_screenWidth, m_screenHeight, m_outputWidth, m_outputHeight};
}

FocusRect FocusZoomManager::ComputeFocusRectLocked(double cx, double cy) const {
  return ComputeFocusRect(GeometryLocked(), m_settings.ZoomRegionFraction, cx, cy);
}

bool FocusZoomManager::ThrottledLocked(int64_t nowNs) const {
  return static_cast<double>(nowNs - m_lastCallbackNs) / 1e9 < kCallbackIntervalSeconds;
}

}  // namespace kalto
