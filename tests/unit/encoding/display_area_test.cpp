// The displayed part of the rounded-up coded picture: the letterbox's bars above and below,
// cropped as far as whole 4:2:0 chroma rows allow; bars at the sides stay.
#include <gtest/gtest.h>

#include "encoding/encoder.h"

namespace kalto {
namespace {

struct AreaCase {
  uint32_t width, height;
  int32_t x, y, shownWidth, shownHeight;
};

TEST(DisplayArea, CropsTheRoundingBarsAboveAndBelowInEvenSteps) {
  const AreaCase cases[] = {
      {1920, 1080, 0, 4, 1920, 1080},  // 4 rows above and below: all cropped
      {1366, 768, 0, 0, 1376, 768},    // 5 columns each side: kept
      {1000, 562, 0, 4, 1008, 568},    // coded 1008x576, scaled to its width: 5 rows above and below, 4 cropped
      {1080, 1080, 0, 0, 1088, 1088},  // same shape: scaled, no bars
      {1280, 720, 0, 0, 1280, 720},    // nothing to crop
      {640, 480, 0, 0, 640, 480},
      {100, 100, 0, 0, 112, 112},      // same shape: scaled, no bars
  };
  for (const auto& c : cases) {
    const uint32_t codedWidth = (c.width + 15) & ~15u, codedHeight = (c.height + 15) & ~15u;
    const media::VideoArea area = Encoder::DisplayArea(c.width, c.height, codedWidth, codedHeight);
    EXPECT_EQ(c.x, area.x) << c.width << "x" << c.height;
    EXPECT_EQ(c.y, area.y) << c.width << "x" << c.height;
    EXPECT_EQ(c.shownWidth, area.width) << c.width << "x" << c.height;
    EXPECT_EQ(c.shownHeight, area.height) << c.width << "x" << c.height;
  }
}

}  // namespace
}  // namespace kalto
