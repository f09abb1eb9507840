#include "recorder/focus_zoom_settings.h"

namespace kalto {
namespace {

// Written as "not greater than zero" so that NaN also takes the fallback.
double PositiveOr(double value, double fallback) { return value > 0.0 ? value : fallback; }

}  // namespace

FocusZoomSettings WithFallbacks(const FocusZoomSettings& settings) noexcept {
  FocusZoomSettings out = settings;
  out.ZoomRegionFraction = PositiveOr(settings.ZoomRegionFraction, kFallbackZoomRegionFraction);
  out.FollowSmoothing = PositiveOr(settings.FollowSmoothing, kFallbackFollowSmoothing);
  out.MoveThreshold = PositiveOr(settings.MoveThreshold, kFallbackMoveThreshold);
  out.MagnifierScale = PositiveOr(settings.MagnifierScale, kFallbackMagnifierScale);
  return out;
}

}  // namespace kalto
