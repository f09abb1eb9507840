#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/desktop/desktop.h"
#include "recorder/focus_zoom_settings.h"

namespace kalto {

// A crop rectangle in desktop pixels; everything the manager computes is even.
struct FocusRect {
  int32_t x = 0;
  int32_t y = 0;
  int32_t width = 0;
  int32_t height = 0;
  friend bool operator==(const FocusRect&, const FocusRect&) = default;
};

using FocusCallback = std::function<void(const FocusRect&)>;

// What the rectangle arithmetic needs to know about the captured display and the output.
struct FocusGeometry {
  int32_t displayOffsetX = 0;
  int32_t displayOffsetY = 0;
  int32_t screenWidth = 1920;
  int32_t screenHeight = 1080;
  int32_t outputWidth = 1920;
  int32_t outputHeight = 1080;
};

// The focus rectangle centred on a display-relative point, kept inside the display.
FocusRect ComputeFocusRect(const FocusGeometry& geometry, double zoomRegionFraction, double cx, double cy);
// Ease-out progress for p in [0, 1).
double EaseOut(double p);
// from + (to - from) * e per component, truncated and made even.
FocusRect InterpolateFocusRect(const FocusRect& from, const FocusRect& to, double e);
// `from` shrunk by `zoom` around the display-relative click (or its own centre when the click is outside).
FocusRect ZoomRect(const FocusGeometry& geometry, const FocusRect& from, double zoom, double clickX, double clickY);
// The zoom animation's rectangle `seconds` after its start: in to `to`, hold, back to `from`;
// empty once it has ended.
std::optional<FocusRect> ZoomAnimationRect(const FocusRect& from, const FocusRect& to, double seconds);

// The cursor-focus zoom: on request it zooms towards the cursor in timed transitions, follows
// the cursor while focused, and can play a short extra zoom around the cursor. It only computes
// rectangles and hands each new one to the callback.
//
// Threads: SetCursorFocusActive, StartZoomAnimation and UpdateSettings may come from any thread;
// the callback always runs on the tracking thread, without the manager's lock held, so it may call
// back into the manager (but not Stop it from there). Stopping is final.
class FocusZoomManager {
 public:
  explicit FocusZoomManager(std::shared_ptr<desktop::Desktop> desktop);
  ~FocusZoomManager();
  FocusZoomManager(const FocusZoomManager&) = delete;
  FocusZoomManager& operator=(const FocusZoomManager&) = delete;

  void Configure(int32_t displayOffsetX, int32_t displayOffsetY, int32_t screenWidth, int32_t screenHeight,
                 int32_t outputWidth, int32_t outputHeight, const FocusZoomSettings& settings);
  // An empty callback removes it.
  void SetCallback(FocusCallback callback);
  void Start();
  void Stop();
  void SetCursorFocusActive(bool active);
  void StartZoomAnimation();
  // Replaces the flags and factors as given (the caller applies fallbacks).
  void UpdateSettings(const FocusZoomSettings& settings);

  FocusZoomSettings Settings() const;
  FocusRect CurrentRect() const;
  bool IsRunning() const { return m_isRunning; }
  bool IsFocusActive() const { return m_isFocusActive; }
  bool IsTransitioning() const { return m_isFocusTransitioning; }
  bool IsAnimating() const { return m_isAnimating; }

  // One pass of the tracking loop; the thread runs it every 33 ms, tests may drive it directly.
  void TrackingStep();

  static bool SafeInvokeCallback(const FocusCallback& callback, const FocusRect& rect);
  // The process-wide counters only number log lines; tests start from zero.
  static void ResetCountersForTesting();

 private:
  struct Delivery {
    FocusCallback callback;
    FocusRect rect;
    const wchar_t* failureLine;
  };

  void TrackingThread();
  std::optional<Delivery> UpdateTransition();
  std::optional<Delivery> UpdateCropTracking();
  std::optional<Delivery> UpdateZoomAnimation();
  void Deliver(std::optional<Delivery> delivery);
  // Callers hold m_mutex.
  FocusRect ComputeFocusRectLocked(double cx, double cy) const;
  FocusGeometry GeometryLocked() const;
  bool ThrottledLocked(int64_t nowNs) const;

  std::shared_ptr<desktop::Desktop> m_desktop;

  int32_t m_displayOffsetX = 0;
  int32_t m_displayOffsetY = 0;
  int32_t m_screenWidth = 1920;
  int32_t m_screenHeight = 1080;
  int32_t m_outputWidth = 1920;
  int32_t m_outputHeight = 1080;
  FocusZoomSettings m_settings{false, true, 0.55, 0.4, 5.0, 2.0};

  std::atomic<bool> m_isRunning{false};
  std::atomic<bool> m_isFocusActive{false};
  std::atomic<bool> m_isAnimating{false};
  std::atomic<bool> m_stopRequested{false};

  double m_cursorX = 0;
  double m_cursorY = 0;
  double m_lastRawX = 0;
  double m_lastRawY = 0;
  bool m_hasCursor = false;

  int64_t m_animationStartNs = 0;
  double m_animationClickX = 0;
  double m_animationClickY = 0;
  FocusRect m_animationFromRect;
  FocusRect m_animationToRect;

  FocusRect m_focusRect;
  FocusRect m_baseRect;

  std::atomic<bool> m_isFocusTransitioning{false};
  std::atomic<bool> m_transitionZoomIn{false};
  int64_t m_transitionStartNs = 0;
  double m_transitionDuration = 0;
  FocusRect m_transitionStartRect;
  FocusRect m_transitionEndRect;

  int64_t m_lastCallbackNs = 0;
  // Atomic: the debounce test reads it before taking the lock, and the thread rewrites it.
  std::atomic<int64_t> m_lastToggleNs{0};
  std::atomic<bool> m_pendingFocusState{false};
  std::atomic<bool> m_hasPendingToggle{false};

  mutable std::mutex m_mutex;
  FocusCallback m_callback;

  // Lets Stop end the 33 ms sleep at once.
  std::mutex m_wakeMutex;
  std::condition_variable m_wake;
  std::thread m_trackingThread;
};

}  // namespace kalto
