#pragma once

namespace kalto {

// Cursor-focus zoom parameters; fields in their published order. A fresh value is all zero; the
// recorder replaces the factors that are not positive by their fallbacks before handing it on.
struct FocusZoomSettings {
  bool ReservedFlag1 = false;
  bool ReservedFlag2 = false;
  double ZoomRegionFraction = 0.0;
  double FollowSmoothing = 0.0;
  double MoveThreshold = 0.0;
  double MagnifierScale = 0.0;
  friend bool operator==(const FocusZoomSettings&, const FocusZoomSettings&) = default;
};

inline constexpr double kFallbackZoomRegionFraction = 0.55;
inline constexpr double kFallbackFollowSmoothing = 0.4;
inline constexpr double kFallbackMoveThreshold = 5.0;
inline constexpr double kFallbackMagnifierScale = 2.0;

// The settings the focus-zoom manager receives: each factor that is not positive (NaN included)
// becomes its fallback; the flags are copied.
FocusZoomSettings WithFallbacks(const FocusZoomSettings& settings) noexcept;

}  // namespace kalto
