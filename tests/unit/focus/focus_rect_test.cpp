// The focus rectangle arithmetic: sizes and positions at the defaults, the edge shift, other
// output shapes, the ease and evenness of transitions, the zoom rectangle and the zoom animation.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "focus/focus_zoom_manager.h"

namespace kalto {
namespace {

FocusGeometry Display(int32_t offsetX, int32_t offsetY, int32_t w, int32_t h, int32_t outW, int32_t outH) {
  return {offsetX, offsetY, w, h, outW, outH};
}

TEST(ComputeFocusRect, SizesPositionsEdgesAndEvenness) {
  const double inf = std::numeric_limits<double>::infinity();
  const struct {
    FocusGeometry g;
    double fraction, cx, cy;
    FocusRect expected;
  } cases[] = {
      // left 432, top 243: the odd top rounds to the even 244 (halves away from zero).
      {Display(0, 0, 1920, 1080, 1920, 1080), 0.55, 960, 540, {432, 244, 1056, 594}},
      {Display(0, 0, 1920, 1080, 1920, 1080), 0.55, 10, 10, {0, 0, 1056, 594}},  // stops at the edge
      {Display(0, 0, 1920, 1080, 1920, 1080), 0.55, 1900, 1070, {864, 486, 1056, 594}},
      {Display(1920, 0, 1920, 1080, 1920, 1080), 0.55, 1900, 0, {864 + 1920, 0, 1056, 594}},
      {Display(7, 0, 1920, 1080, 1920, 1080), 0.55, 1900, 540, {872, 244, 1056, 594}},  // 871 made even
      {Display(0, 0, 1920, 1080, 1280, 720), 0.55, 960, 540, {432, 244, 1056, 594}},
      // Portrait output: 1056 / (1080 / 1920) = 1877.33, clamped to the display's 1080.
      {Display(0, 0, 1920, 1080, 1080, 1920), 0.55, 960, 540, {432, 0, 1056, 1080}},
      // A missing output size takes the display's shape instead of dividing by zero.
      {Display(0, 0, 1920, 1080, 0, 0), 0.55, 960, 540, {432, 244, 1056, 594}},
      // 640 x 480: 0.55 x 640 = 352 is raised to 400, and 264 to 300; a narrower display still
      // yields the minimum (the capture clamps it).
      {Display(0, 0, 640, 480, 640, 480), 0.55, 400, 260, {200, 110, 400, 300}},
      {Display(0, 0, 320, 192, 320, 192), 0.55, 160, 96, {0, 0, 400, 300}},
      {Display(0, 0, 1920, 1080, 1920, 1080), 1e300, 960, 540, {0, 0, 1920, 1080}},
      {Display(0, 0, 1920, 1080, 1920, 1080), inf, 960, 540, {0, 0, 1920, 1080}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.expected, ComputeFocusRect(c.g, c.fraction, c.cx, c.cy)) << c.g.screenWidth << " " << c.fraction << " " << c.cx;
  }
}

TEST(Transition, EaseOutAndEvenTruncation) {
  EXPECT_DOUBLE_EQ(0.0, EaseOut(0.0));
  EXPECT_DOUBLE_EQ(0.75, EaseOut(0.5));
  EXPECT_DOUBLE_EQ(0.4375, EaseOut(0.25));
  const FocusRect base{0, 0, 1920, 1080};
  const FocusRect focus{432, 244, 1056, 594};
  EXPECT_EQ(base, InterpolateFocusRect(base, focus, 0.0));
  // 183 -> 182 and 715.5 -> 714: truncated, then made even.
  EXPECT_EQ((FocusRect{324, 182, 1272, 714}), InterpolateFocusRect(base, focus, 0.75));
  EXPECT_EQ((FocusRect{188, 106, 1542, 866}), InterpolateFocusRect(base, focus, EaseOut(0.25)));
  // Toward zero on both steps for negative values: -3.5 -> -3 -> -2.
  EXPECT_EQ((FocusRect{-2, 0, 0, 0}), InterpolateFocusRect({0, 0, 0, 0}, {-7, 0, 0, 0}, 0.5));
}

TEST(ZoomRect, CentresOnAClickInsideAndOnTheRegionOtherwiseAndSaturates) {
  const auto g = Display(0, 0, 1920, 1080, 1920, 1080);
  EXPECT_EQ((FocusRect{696, 392, 528, 300}), ZoomRect(g, {432, 244, 1056, 594}, 2.0, 960, 540));
  const FocusRect corner{864, 486, 1056, 594};
  // Inside: centred on the click, then kept inside the display.
  EXPECT_EQ((FocusRect{1392, 784, 528, 300}), ZoomRect(g, corner, 2.0, 1900, 1000));
  // Outside: centred on the region.
  EXPECT_EQ((FocusRect{1128, 634, 528, 300}), ZoomRect(g, corner, 2.0, 100, 100));
  // The region's top-left corner counts as inside: centred on it, not on the region.
  EXPECT_EQ((FocusRect{600, 338, 528, 300}), ZoomRect(g, corner, 2.0, 864, 486));
  const auto offset = Display(1920, 100, 1920, 1080, 1920, 1080);
  EXPECT_EQ((FocusRect{1920 + 696, 100 + 392, 528, 300}), ZoomRect(offset, {1920 + 432, 100 + 244, 1056, 594}, 2.0, 960, 540));
  // A zero zoom cannot overflow: the rectangle saturates and starts at the display's origin.
  const FocusRect r = ZoomRect(offset, {1920 + 432, 100 + 244, 1056, 594}, 0.0, 960, 540);
  EXPECT_EQ(std::pair(1920, 100), std::pair(r.x, r.y));
  EXPECT_GE(r.width, 400);
}

TEST(ZoomAnimation, InHoldOutAndEnd) {
  const FocusRect a{432, 244, 1056, 594};
  const FocusRect b{696, 392, 528, 300};
  EXPECT_EQ(a, ZoomAnimationRect(a, b, 0.0));
  EXPECT_EQ((FocusRect{546, 308, 824, 464}), ZoomAnimationRect(a, b, 0.05));
  EXPECT_EQ((FocusRect{630, 354, 660, 372}), ZoomAnimationRect(a, b, 0.1));
  EXPECT_EQ(b, ZoomAnimationRect(a, b, 0.2));
  EXPECT_EQ(b, ZoomAnimationRect(a, b, 0.25));
  EXPECT_EQ(b, ZoomAnimationRect(a, b, 0.2999));
  EXPECT_EQ((FocusRect{548, 308, 820, 462}), ZoomAnimationRect(a, b, 0.35));
  EXPECT_TRUE(ZoomAnimationRect(a, b, 0.449).has_value());
  EXPECT_FALSE(ZoomAnimationRect(a, b, 0.45).has_value());
  EXPECT_FALSE(ZoomAnimationRect(a, b, 10.0).has_value());
}

}  // namespace
}  // namespace kalto
