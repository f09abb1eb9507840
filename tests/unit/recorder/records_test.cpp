#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <type_traits>

#include "recorder/background_effect_config.h"
#include "recorder/focus_zoom_settings.h"
#include "recorder/recording_progress.h"
#include "recorder/region_rect.h"

namespace kalto {
namespace {

// The value structures cross the component boundary by value with the platform's layout: the
// fields in their published order and nothing else.
static_assert(std::is_standard_layout_v<RegionRect> && sizeof(RegionRect) == 16);
static_assert(offsetof(RegionRect, Y) == 4 && offsetof(RegionRect, Width) == 8 && offsetof(RegionRect, Height) == 12);
static_assert(std::is_standard_layout_v<BackgroundEffectConfig> && sizeof(BackgroundEffectConfig) == 24);
static_assert(offsetof(BackgroundEffectConfig, BlurStrength) == 4 && offsetof(BackgroundEffectConfig, ColorPreset) == 8 &&
              offsetof(BackgroundEffectConfig, GradientPreset) == 12 &&
              offsetof(BackgroundEffectConfig, ImagePreset) == 16 &&
              offsetof(BackgroundEffectConfig, PerformanceMode) == 20);
static_assert(std::is_standard_layout_v<FocusZoomSettings> && sizeof(FocusZoomSettings) == 40);
static_assert(offsetof(FocusZoomSettings, ReservedFlag2) == 1 && offsetof(FocusZoomSettings, ZoomRegionFraction) == 8 &&
              offsetof(FocusZoomSettings, FollowSmoothing) == 16 && offsetof(FocusZoomSettings, MoveThreshold) == 24 &&
              offsetof(FocusZoomSettings, MagnifierScale) == 32);

// Each factor that is not positive (NaN included) is replaced on its own; the flags are copied.
TEST(FocusZoomFallbacks, EachNonPositiveFactorIsReplacedAlone) {
  EXPECT_EQ(WithFallbacks(FocusZoomSettings{}), (FocusZoomSettings{false, false, 0.55, 0.4, 5.0, 2.0}));
  const FocusZoomSettings given{true, true, 0.3, 0.2, 8.0, 3.0};
  struct Case {
    double FocusZoomSettings::*field;
    double fallback;
  } cases[] = {{&FocusZoomSettings::ZoomRegionFraction, 0.55},
               {&FocusZoomSettings::FollowSmoothing, 0.4},
               {&FocusZoomSettings::MoveThreshold, 5.0},
               {&FocusZoomSettings::MagnifierScale, 2.0}};
  for (const Case& c : cases) {
    for (double bad : {0.0, -1.0, std::nan("")}) {
      FocusZoomSettings in = given, expected = given;
      in.*c.field = bad;
      expected.*c.field = c.fallback;
      EXPECT_EQ(WithFallbacks(in), expected) << bad;
    }
  }
  FocusZoomSettings tiny{false, true, std::numeric_limits<double>::denorm_min(), 1e-300, 0.5, 100.0};
  EXPECT_EQ(WithFallbacks(tiny), tiny);
}

TEST(RecordingProgress, FromDurationTruncatesMicrosecondsSaturatesAndDerivesTheRate) {
  EXPECT_EQ(RecordingProgress().DurationMicroseconds(), 0);
  RecordingProgress p = RecordingProgress::FromDuration(2.0, 61, 4);
  EXPECT_EQ(p.DurationSeconds(), 2.0);
  EXPECT_EQ(p.DurationMicroseconds(), 2000000);
  EXPECT_DOUBLE_EQ(p.AverageFrameRate(), 30.5);
  EXPECT_EQ(p.DroppedFrames(), 4);
  // Truncated toward zero, never rounded.
  EXPECT_EQ(RecordingProgress::FromDuration(1.0000019, 0, 0).DurationMicroseconds(), 1000001);
  EXPECT_EQ(RecordingProgress::FromDuration(0.9999999, 0, 0).DurationMicroseconds(), 999999);
  EXPECT_EQ(SecondsToMicrosecondsTruncated(-1.0000019), -1000001);
  // No rate without a positive duration.
  for (double d : {0.0, -1.0, std::nan("")}) EXPECT_EQ(RecordingProgress::FromDuration(d, 10, 0).AverageFrameRate(), 0.0) << d;
  EXPECT_EQ(SecondsToMicrosecondsTruncated(std::nan("")), 0);
  EXPECT_EQ(SecondsToMicrosecondsTruncated(1e300), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(SecondsToMicrosecondsTruncated(-1e300), std::numeric_limits<int64_t>::min());
  EXPECT_EQ(SecondsToMicrosecondsTruncated(std::numeric_limits<double>::infinity()), std::numeric_limits<int64_t>::max());
}

}  // namespace
}  // namespace kalto
