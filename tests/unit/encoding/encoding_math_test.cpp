// The encoder's pure arithmetic: exact BT.709 rounding of the NV12 rows, the letterbox rectangle
// and the displayed part of the rounded-up coded picture.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <tuple>

#include "encoding/encoder.h"
#include "encoding/gpu_scaler.h"
#include "encoding/nv12_rows.h"

namespace kalto::test {
namespace {

// Exact rationals in 64-bit integers, halves up: 16 + 219 (2126 r + 7152 g + 722 b) / 2,550,000.
int RefLuma(int64_t r, int64_t g, int64_t b) {
  const int64_t n = 219 * (2126 * r + 7152 * g + 722 * b), d = 2550000;
  return int(16 + (2 * n + d) / (2 * d));
}
// 128 + 224 m / 10,200,000 for the weighted 2x2 sums m.
int RefChroma(int64_t m) {
  const int64_t d = 10200000, n = 128 * d + 224 * m;
  return int((2 * n + d) / (2 * d));
}

// Every colour. Some have an exact luma ending in .5 (2126 r + 7152 g + 722 b = 425,000 x odd):
// they must round up, not to even or down. (Chroma sums are always even and never meet a half.)
TEST(Nv12Math, LumaIsExactForEveryColourHalvesRoundingUp) {
  int bad = 0, ties = 0;
  for (int64_t r = 0; r < 256; ++r) {
    for (int64_t g = 0; g < 256; ++g) {
      for (int64_t b = 0; b < 256; ++b) {
        const int64_t n = 2126 * r + 7152 * g + 722 * b;
        ties += n % 425000 == 0 && (n / 425000) % 2 == 1;
        if (nv12::Luma(r, g, b) != RefLuma(r, g, b) && ++bad < 5) ADD_FAILURE() << r << "," << g << "," << b;
      }
    }
  }
  EXPECT_EQ(0, bad);
  EXPECT_GT(ties, 0);
}

// Chroma over block sums 0..1020 per channel, every third sum of each (and both ends).
TEST(Nv12Math, ChromaIsExactAcrossBlockSums) {
  int bad = 0;
  for (int64_t r = 0; r <= 1020; r += 3) {
    for (int64_t g = 0; g <= 1020; g += 3) {
      for (int64_t b = 0; b <= 1020; b += 3) {
        const int u = RefChroma(-1146 * r - 3854 * g + 5000 * b), v = RefChroma(5000 * r - 4542 * g - 458 * b);
        if ((nv12::ChromaU(r, g, b) != u || nv12::ChromaV(r, g, b) != v) && ++bad < 5) {
          ADD_FAILURE() << r << "," << g << "," << b;
        }
      }
    }
  }
  EXPECT_EQ(0, bad);
}

// Counts that leave a tail after the vector blocks; the rows agree with the single values.
TEST(Nv12Math, RowsMatchTheSingleValues) {
  uint32_t px[2][64];
  for (uint32_t i = 0; i < 64; ++i) {
    px[0][i] = ((i * 97) & 0xFF) | ((i * 31) & 0xFF) << 8 | ((255 - i * 3) & 0xFF) << 16;
    px[1][i] = ((i * 13) & 0xFF) | ((i * 200) & 0xFF) << 8 | ((i * 7) & 0xFF) << 16 | 0xFF000000u;
  }
  uint8_t luma[64];
  uint16_t uv[32];
  std::fill(std::begin(luma), std::end(luma), 0xEE), std::fill(std::begin(uv), std::end(uv), 0xEEEE);
  nv12::LumaRow(px[0], luma, 61), nv12::ChromaRow(px[0], px[1], uv, 29);
  EXPECT_EQ(0xEE * 0x10000 + 0xEEEE, luma[61] * 0x10000 + uv[29]);  // nothing written past the count
  const auto ch = [](uint32_t p, int s) { return (p >> s) & 0xFF; };
  for (uint32_t i = 0; i < 61; ++i) EXPECT_EQ(nv12::Luma(ch(px[0][i], 16), ch(px[0][i], 8), ch(px[0][i], 0)), luma[i]) << i;
  for (uint32_t i = 0; i < 29; ++i) {
    uint32_t r = 0, g = 0, b = 0;
    for (uint32_t p : {px[0][2 * i], px[0][2 * i + 1], px[1][2 * i], px[1][2 * i + 1]}) {
      r += ch(p, 16), g += ch(p, 8), b += ch(p, 0);
    }
    EXPECT_EQ(nv12::ChromaU(r, g, b) | nv12::ChromaV(r, g, b) << 8, uv[i]) << i;
  }
}

TEST(LetterboxRect, FitsCentresAndTruncates) {
  const auto rect = [](uint32_t ws, uint32_t hs, uint32_t wt, uint32_t ht) {
    const gpu::Rect r = GpuScaler::LetterboxRect(ws, hs, wt, ht);
    return std::tuple(r.left, r.top, r.right, r.bottom);
  };
  EXPECT_EQ(std::tuple(0, 4, 1920, 1084), rect(1920, 1080, 1920, 1088));
  EXPECT_EQ(std::tuple(5, 0, 1371, 768), rect(1366, 768, 1376, 768));
  EXPECT_EQ(std::tuple(416, 0, 1504, 1088), rect(1000, 1000, 1920, 1088));
  // Odd offsets and sizes stay as computed: no rounding to even.
  EXPECT_EQ(std::tuple(415, 0, 1504, 1088), rect(1001, 1000, 1920, 1088));
  EXPECT_EQ(std::tuple(0, 139, 1920, 949), rect(2560, 1080, 1920, 1088));
}

// The letterbox's bars above and below are cropped in whole chroma rows; bars at the sides stay.
// Any zero size shows the whole coded picture.
TEST(DisplayArea, CropsTheBarsAboveAndBelowInEvenSteps) {
  struct Case {
    uint32_t width, height, codedWidth, codedHeight;
    int32_t y, shownWidth, shownHeight;
  };
  const Case cases[] = {
      {1920, 1080, 1920, 1088, 4, 1920, 1080},  // 4 rows above and below: all cropped
      {1366, 768, 1376, 768, 0, 1376, 768},     // 5 columns each side: kept
      {1000, 562, 1008, 576, 4, 1008, 568},     // 5 rows above and below, 4 cropped
      {1080, 1080, 1088, 1088, 0, 1088, 1088},  // same shape: scaled, no bars
      {1280, 720, 1280, 720, 0, 1280, 720},
      {1920, 0, 1920, 1088, 0, 1920, 1088},
      {0, 1080, 1920, 1088, 0, 1920, 1088},
      {1920, 1080, 0, 1088, 0, 0, 1088},
      {1920, 1080, 1920, 0, 0, 1920, 0},
  };
  for (const auto& c : cases) {
    const media::VideoArea a = Encoder::DisplayArea(c.width, c.height, c.codedWidth, c.codedHeight);
    EXPECT_EQ(std::tuple(0, c.y, c.shownWidth, c.shownHeight), std::tuple(a.x, a.y, a.width, a.height))
        << c.width << "x" << c.height << " in " << c.codedWidth << "x" << c.codedHeight;
  }
}

}  // namespace
}  // namespace kalto::test
