// The encoder's CPU conversion: exact bytes for each input subtype, the letterbox layout, and the
// fast identity rows against a literal per-pixel reference.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <utility>
#include <vector>

#include "encoding/bgra_image.h"
#include "encoding/encoder.h"
#include "platform/gpu/software/software_device.h"

namespace kalto {
namespace {

using media::Guid;

constexpr uint32_t Bgra(uint32_t r, uint32_t g, uint32_t b) { return b | g << 8 | r << 16 | 0xFFu << 24; }

struct Image {
  uint32_t width = 0, height = 0, pitch = 0;  // pitch in bytes
  std::vector<uint8_t> bytes;
  uint32_t At(uint32_t x, uint32_t y) const {
    uint32_t p;
    std::memcpy(&p, bytes.data() + size_t(y) * pitch + size_t(x) * 4, 4);
    return p;
  }
};

// Rows padded by `padPixels` so the pitch differs from the width.
Image MakeImage(uint32_t width, uint32_t height, const std::function<uint32_t(uint32_t, uint32_t)>& pixel,
                uint32_t padPixels = 3) {
  Image image{width, height, (width + padPixels) * 4, {}};
  image.bytes.assign(size_t(image.pitch) * height, 0xEE);
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      const uint32_t p = pixel(x, y);
      std::memcpy(image.bytes.data() + size_t(y) * image.pitch + size_t(x) * 4, &p, 4);
    }
  }
  return image;
}

// A busy picture: every channel changes from pixel to pixel.
uint32_t Busy(uint32_t x, uint32_t y) {
  const uint32_t h = (x * 2654435761u) ^ (y * 40503u + 0x9E37u);
  return Bgra((h >> 3) & 0xFF, (h >> 11) & 0xFF, (h >> 19) & 0xFF);
}

std::vector<uint8_t> Convert(const Image& src, uint32_t wt, uint32_t ht, const Guid& subtype) {
  std::vector<uint8_t> out(Encoder::ConvertBufferSize(subtype, wt, ht), 0xAB);
  Encoder::ConvertBgraImage(src.bytes.data(), src.pitch, src.width, src.height, out.data(), wt, ht, subtype);
  return out;
}

// ---- A literal reference: one pixel at a time, as the algorithm is written ------------------
struct Rgb {
  int r, g, b;
};

Rgb RefSample(const Image& s, float x, float y) {
  x = std::clamp(x, 0.0f, float(s.width - 1));
  y = std::clamp(y, 0.0f, float(s.height - 1));
  const uint32_t x0 = uint32_t(x), y0 = uint32_t(y);
  const float fx = x - float(x0), fy = y - float(y0);
  const uint32_t x1 = std::min(x0 + 1, s.width - 1), y1 = std::min(y0 + 1, s.height - 1);
  int c[3];
  for (int k = 0; k < 3; ++k) {
    auto p = [&](uint32_t px, uint32_t py) { return float((s.At(px, py) >> (8 * k)) & 0xFF); };
    const float v = p(x0, y0) * (1 - fx) * (1 - fy) + p(x1, y0) * fx * (1 - fy) + p(x0, y1) * (1 - fx) * fy +
                    p(x1, y1) * fx * fy;
    c[k] = int(v);
  }
  return {c[2], c[1], c[0]};
}
int RefY(Rgb c) { return bgra::Luma(c.r, c.g, c.b); }
int RefU(Rgb c) { return bgra::ChromaU(c.r, c.g, c.b); }
int RefV(Rgb c) { return bgra::ChromaV(c.r, c.g, c.b); }

std::vector<uint8_t> RefConvert(const Image& s, uint32_t wt, uint32_t ht, const Guid& subtype) {
  const float sa = float(s.width) / float(s.height), ta = float(wt) / float(ht);
  uint32_t wc, hc, x0, y0;
  if (sa > ta) {
    wc = wt;
    hc = uint32_t(float(wt) / sa);
    x0 = 0;
    y0 = (ht - hc) >> 1;
  } else {
    hc = ht;
    wc = uint32_t(float(ht) * sa);
    x0 = (wt - wc) >> 1;
    y0 = 0;
  }
  wc &= ~1u, hc &= ~1u, x0 &= ~1u, y0 &= ~1u;
  const float sx = float(s.width) / float(wc), sy = float(s.height) / float(hc);
  std::vector<uint8_t> out(Encoder::ConvertBufferSize(subtype, wt, ht));
  const bool rgb = subtype == media::MFVideoFormat_RGB32 || subtype == media::MFVideoFormat_ARGB32;
  if (rgb) {
    std::fill(out.begin(), out.end(), 0);
    for (uint32_t r = 0; r < hc; ++r) {
      for (uint32_t c = 0; c < wc; ++c) {
        const Rgb p = RefSample(s, float(c) * sx, float(r) * sy);
        uint8_t* d = &out[(size_t(y0 + r) * wt + x0 + c) * 4];
        d[0] = uint8_t(p.b), d[1] = uint8_t(p.g), d[2] = uint8_t(p.r), d[3] = 255;
      }
    }
    return out;
  }
  if (subtype == media::MFVideoFormat_YUY2) {
    for (size_t i = 0; i < out.size(); ++i) out[i] = i % 2 == 0 ? 16 : 128;
    const uint32_t offset = (wt - wc) & ~3u;  // bytes
    for (uint32_t r = 0; r < hc; ++r) {
      for (uint32_t i = 0; i < wc / 2; ++i) {
        const Rgb a = RefSample(s, float(2 * i) * sx, float(r) * sy);
        const Rgb b = RefSample(s, float(2 * i + 1) * sx, float(r) * sy);
        const Rgb m{(a.r + b.r) >> 1, (a.g + b.g) >> 1, (a.b + b.b) >> 1};
        uint8_t* d = &out[size_t(y0 + r) * wt * 2 + offset + 4 * i];
        d[0] = uint8_t(RefY(a)), d[1] = uint8_t(RefU(m)), d[2] = uint8_t(RefY(b)), d[3] = uint8_t(RefV(m));
      }
    }
    return out;
  }
  std::fill(out.begin(), out.begin() + size_t(wt) * ht, 16);
  std::fill(out.begin() + size_t(wt) * ht, out.end(), 128);
  for (uint32_t r = 0; r < hc; ++r) {
    for (uint32_t c = 0; c < wc; ++c) out[size_t(y0 + r) * wt + x0 + c] = uint8_t(RefY(RefSample(s, float(c) * sx, float(r) * sy)));
  }
  uint8_t* chroma = out.data() + size_t(wt) * ht;
  const size_t quarter = size_t(wt / 2) * (ht / 2);
  for (uint32_t j = 0; j < hc / 2; ++j) {
    for (uint32_t i = 0; i < wc / 2; ++i) {
      const Rgb p = RefSample(s, (float(2 * i) + 0.5f) * sx, (float(2 * j) + 0.5f) * sy);
      const uint32_t cx = x0 / 2 + i, cy = y0 / 2 + j;
      const auto u = uint8_t(RefU(p)), v = uint8_t(RefV(p));
      if (subtype == media::MFVideoFormat_IYUV) {
        chroma[size_t(cy) * (wt / 2) + cx] = u;
        chroma[quarter + size_t(cy) * (wt / 2) + cx] = v;
      } else if (subtype == media::MFVideoFormat_YV12) {
        chroma[size_t(cy) * (wt / 2) + cx] = v;
        chroma[quarter + size_t(cy) * (wt / 2) + cx] = u;
      } else {
        chroma[size_t(cy) * wt + 2 * cx] = u;
        chroma[size_t(cy) * wt + 2 * cx + 1] = v;
      }
    }
  }
  return out;
}

const Guid kSubtypes[] = {media::MFVideoFormat_NV12, media::MFVideoFormat_IYUV, media::MFVideoFormat_YV12,
                          media::MFVideoFormat_YUY2, media::MFVideoFormat_RGB32, media::MFVideoFormat_ARGB32};

// ---- The colour matrix -----------------------------------------------------------------------
TEST(ConvertBgraImageColour, IntegerMatrixGivesBt709LimitedRangeForThePrimaries) {
  EXPECT_EQ(235, bgra::Luma(255, 255, 255));
  EXPECT_EQ(128, bgra::ChromaU(255, 255, 255));
  EXPECT_EQ(128, bgra::ChromaV(255, 255, 255));
  EXPECT_EQ(16, bgra::Luma(0, 0, 0));
  EXPECT_EQ(63, bgra::Luma(255, 0, 0));
  EXPECT_EQ(102, bgra::ChromaU(255, 0, 0));
  EXPECT_EQ(240, bgra::ChromaV(255, 0, 0));
  EXPECT_EQ(32, bgra::Luma(0, 0, 255));
  EXPECT_EQ(240, bgra::ChromaU(0, 0, 255));
  EXPECT_EQ(118, bgra::ChromaV(0, 0, 255));
  EXPECT_EQ(173, bgra::Luma(0, 255, 0));
  EXPECT_EQ(42, bgra::ChromaU(0, 255, 0));
  EXPECT_EQ(26, bgra::ChromaV(0, 255, 0));
}

// Exact BT.709 limited range, halves rounded up, in doubles.
int Exact(double value) { return int(std::floor(value + 0.5)); }

TEST(ConvertBgraImageColour, MatrixIsWithinOneOfExactRoundingAndRarelyOff) {
  int off = 0, total = 0;
  for (int r = 0; r < 256; r += 3) {
    for (int g = 0; g < 256; g += 5) {
      for (int b = 0; b < 256; b += 7) {
        const int y = Exact(16 + 219 * (0.2126 * r + 0.7152 * g + 0.0722 * b) / 255);
        const int u = Exact(128 + 224 * (-0.1146 * r - 0.3854 * g + 0.5 * b) / 255);
        const int v = Exact(128 + 224 * (0.5 * r - 0.4542 * g - 0.0458 * b) / 255);
        for (auto [got, want] : {std::pair{int(bgra::Luma(r, g, b)), y}, std::pair{int(bgra::ChromaU(r, g, b)), u},
                                 std::pair{int(bgra::ChromaV(r, g, b)), v}}) {
          ASSERT_LE(std::abs(got - want), 1) << r << "," << g << "," << b;
          off += got != want;
          ++total;
        }
      }
    }
  }
  EXPECT_LT(off * 1000, total);
}

TEST(ConvertBgraImageColour, EveryGreyHasNeutralChromaAndLumaStaysInRange) {
  for (int v = 0; v < 256; ++v) {
    EXPECT_EQ(128, bgra::ChromaU(v, v, v)) << v;
    EXPECT_EQ(128, bgra::ChromaV(v, v, v)) << v;
    // Within one step of 16 + 219 v / 255.
    EXPECT_NEAR(16.0 + 219.0 * v / 255.0, bgra::Luma(v, v, v), 1.0) << v;
  }
  int lo = 255, hi = 0;
  for (int r = 0; r < 256; r += 15) {
    for (int g = 0; g < 256; g += 15) {
      for (int b = 0; b < 256; b += 15) {
        for (int x : {int(bgra::ChromaU(r, g, b)), int(bgra::ChromaV(r, g, b))}) lo = std::min(lo, x), hi = std::max(hi, x);
      }
    }
  }
  EXPECT_EQ(16, lo);
  EXPECT_EQ(240, hi);
}

// ---- Solid colours at the identity scale -----------------------------------------------------
struct Solid {
  uint32_t pixel;
  uint8_t y, u, v;
};
const Solid kSolids[] = {{Bgra(255, 255, 255), 235, 128, 128},
                         {Bgra(0, 0, 0), 16, 128, 128},
                         {Bgra(255, 0, 0), 63, 102, 240},
                         {Bgra(0, 0, 255), 32, 240, 118}};

TEST(ConvertBgraImage, SolidColoursFillEachPlanarLayoutExactly) {
  for (const Solid& s : kSolids) {
    const Image src = MakeImage(32, 16, [&](uint32_t, uint32_t) { return s.pixel; });
    const size_t luma = 32 * 16, quarter = 16 * 8;
    const auto nv12 = Convert(src, 32, 16, media::MFVideoFormat_NV12);
    ASSERT_EQ(luma * 3 / 2, nv12.size());
    for (size_t i = 0; i < luma; ++i) ASSERT_EQ(s.y, nv12[i]) << i;
    for (size_t i = luma; i < nv12.size(); i += 2) {
      ASSERT_EQ(s.u, nv12[i]) << i;
      ASSERT_EQ(s.v, nv12[i + 1]) << i;
    }
    const auto iyuv = Convert(src, 32, 16, media::MFVideoFormat_IYUV);
    const auto yv12 = Convert(src, 32, 16, media::MFVideoFormat_YV12);
    for (size_t i = 0; i < luma; ++i) ASSERT_EQ(s.y, iyuv[i]);
    for (size_t i = 0; i < quarter; ++i) {
      ASSERT_EQ(s.u, iyuv[luma + i]);
      ASSERT_EQ(s.v, iyuv[luma + quarter + i]);
      ASSERT_EQ(s.v, yv12[luma + i]);
      ASSERT_EQ(s.u, yv12[luma + quarter + i]);
    }
  }
}

TEST(ConvertBgraImage, SolidColoursInPackedLayouts) {
  for (const Solid& s : kSolids) {
    const Image src = MakeImage(16, 16, [&](uint32_t, uint32_t) { return s.pixel & 0x00FFFFFFu; });
    const auto yuy2 = Convert(src, 16, 16, media::MFVideoFormat_YUY2);
    ASSERT_EQ(16u * 16 * 2, yuy2.size());
    for (size_t i = 0; i < yuy2.size(); i += 4) {
      ASSERT_EQ((std::vector<uint8_t>{s.y, s.u, s.y, s.v}), std::vector<uint8_t>(yuy2.begin() + i, yuy2.begin() + i + 4));
    }
    // Alpha is always written opaque, whatever the source's alpha.
    for (const Guid& rgb : {media::MFVideoFormat_RGB32, media::MFVideoFormat_ARGB32}) {
      const auto out = Convert(src, 16, 16, rgb);
      ASSERT_EQ(16u * 16 * 4, out.size());
      for (size_t i = 0; i < out.size(); i += 4) {
        uint32_t p;
        std::memcpy(&p, &out[i], 4);
        ASSERT_EQ(s.pixel | 0xFF000000u, p);
      }
    }
  }
}

TEST(ConvertBgraImage, ChromaOfABlockIsTheFlooredMeanOfItsFourPixels) {
  // Block (0,0): red, blue / black, white -> mean (127, 63, 127); block (1,0): greys.
  const uint32_t px[2][4] = {{Bgra(255, 0, 0), Bgra(0, 0, 255), Bgra(10, 10, 10), Bgra(11, 11, 11)},
                             {Bgra(0, 0, 0), Bgra(255, 255, 255), Bgra(12, 12, 12), Bgra(13, 13, 13)}};
  const Image src = MakeImage(4, 2, [&](uint32_t x, uint32_t y) { return px[y][x]; });
  const auto out = Convert(src, 4, 2, media::MFVideoFormat_NV12);
  const std::vector<uint8_t> expected = {63, 32, bgra::Luma(10, 10, 10), bgra::Luma(11, 11, 11),
                                         16, 235, bgra::Luma(12, 12, 12), bgra::Luma(13, 13, 13),
                                         bgra::ChromaU(127, 63, 127), bgra::ChromaV(127, 63, 127), 128, 128};
  EXPECT_EQ(expected, out);
  EXPECT_EQ(expected, RefConvert(src, 4, 2, media::MFVideoFormat_NV12));
  // YUY2 pairs horizontally: (red, blue) gives mean (127, 0, 127).
  const auto yuy2 = Convert(src, 4, 2, media::MFVideoFormat_YUY2);
  EXPECT_EQ(63, yuy2[0]);
  EXPECT_EQ(bgra::ChromaU(127, 0, 127), yuy2[1]);
  EXPECT_EQ(32, yuy2[2]);
  EXPECT_EQ(bgra::ChromaV(127, 0, 127), yuy2[3]);
}

// ---- Layout -----------------------------------------------------------------------------------
TEST(ConvertBgraImageLayout, FullHdIntoTheEncodedSizeGetsFourBlackRowsAboveAndBelow) {
  const auto l = bgra::ComputeLayout(1920, 1080, 1920, 1088);
  EXPECT_EQ(1920u, l.contentWidth);
  EXPECT_EQ(1080u, l.contentHeight);
  EXPECT_EQ(0u, l.x0);
  EXPECT_EQ(4u, l.y0);
  EXPECT_TRUE(l.identity);
}

TEST(ConvertBgraImageLayout, SquareFrameIsCentredAndNeverStretched) {
  const auto l = bgra::ComputeLayout(1000, 1000, 1920, 1088);
  EXPECT_EQ(1088u, l.contentWidth);
  EXPECT_EQ(1088u, l.contentHeight);
  EXPECT_EQ(416u, l.x0);
  EXPECT_EQ(0u, l.y0);
  EXPECT_FALSE(l.identity);
  EXPECT_FLOAT_EQ(1000.0f / 1088.0f, l.sx);
}

TEST(ConvertBgraImageLayout, OddSizesRoundContentAndOffsetsDownToEven) {
  // 1366x768 into 1376x768: width 1366 at x = 5 becomes 1366 at x = 4.
  auto l = bgra::ComputeLayout(1366, 768, 1376, 768);
  EXPECT_EQ(1366u, l.contentWidth);
  EXPECT_EQ(4u, l.x0);
  EXPECT_TRUE(l.identity);
  // 101x51 into 64x32: content 63 -> 62 wide, 32 high, x0 0.
  l = bgra::ComputeLayout(101, 51, 64, 32);
  EXPECT_EQ(62u, l.contentWidth);
  EXPECT_EQ(32u, l.contentHeight);
  EXPECT_EQ(0u, l.x0);
  EXPECT_FALSE(l.identity);
}

TEST(ConvertBgraImage, SquareFrameLeavesBlackSidesInEverySubtype) {
  const Image src = MakeImage(100, 100, [](uint32_t, uint32_t) { return Bgra(255, 255, 255); });
  // 160x96: content 96x96 at x = 32.
  const auto nv12 = Convert(src, 160, 96, media::MFVideoFormat_NV12);
  for (uint32_t y : {0u, 47u, 95u}) {
    EXPECT_EQ(16, nv12[y * 160 + 31]) << y;
    EXPECT_EQ(235, nv12[y * 160 + 32]) << y;
    EXPECT_EQ(235, nv12[y * 160 + 127]) << y;
    EXPECT_EQ(16, nv12[y * 160 + 128]) << y;
  }
  const auto yuy2 = Convert(src, 160, 96, media::MFVideoFormat_YUY2);
  EXPECT_EQ((std::vector<uint8_t>{16, 128, 16, 128, 235, 128, 235, 128}),
            std::vector<uint8_t>(yuy2.begin() + 60, yuy2.begin() + 68));
  const auto rgb = Convert(src, 160, 96, media::MFVideoFormat_RGB32);
  EXPECT_EQ((std::vector<uint8_t>{0, 0, 0, 0, 255, 255, 255, 255}),
            std::vector<uint8_t>(rgb.begin() + 31 * 4, rgb.begin() + 33 * 4));
}

TEST(ConvertBgraImage, LetterboxedFullHdMatchesTheSourceRowForRow) {
  const Image src = MakeImage(1920, 1080, Busy, 0);
  const auto out = Convert(src, 1920, 1088, media::MFVideoFormat_NV12);
  for (uint32_t y : {0u, 3u, 1084u, 1087u}) {
    EXPECT_TRUE(std::all_of(out.begin() + y * 1920, out.begin() + (y + 1) * 1920, [](uint8_t v) { return v == 16; }));
  }
  for (uint32_t y : {4u, 700u, 1083u}) {
    for (uint32_t x : {0u, 1u, 999u, 1919u}) {
      const uint32_t p = src.At(x, y - 4);
      ASSERT_EQ(bgra::Luma((p >> 16) & 255, (p >> 8) & 255, p & 255), out[y * 1920 + x]) << x << "," << y;
    }
  }
  EXPECT_EQ(RefConvert(src, 1920, 1088, media::MFVideoFormat_NV12), out);
}

// ---- Everything against the reference --------------------------------------------------------
struct Case {
  uint32_t ws, hs, wt, ht;
};
const Case kCases[] = {
    {64, 32, 64, 32},     // identity
    {66, 30, 64, 32},     // downscale; the 1-row offset rounds down to 0
    {62, 32, 64, 32},     // identity; the 1-column offset rounds down, 2 black columns on the right
    {101, 51, 64, 32},    // odd source, downscale
    {37, 23, 96, 64},     // odd source, upscale
    {50, 120, 64, 48},    // tall source into wide target
    {1366, 768, 1376, 768},
    {640, 360, 320, 192},
};

TEST(ConvertBgraImage, EverySubtypeMatchesTheLiteralReference) {
  for (const Case& c : kCases) {
    const Image src = MakeImage(c.ws, c.hs, Busy);
    for (const Guid& subtype : kSubtypes) {
      EXPECT_EQ(RefConvert(src, c.wt, c.ht, subtype), Convert(src, c.wt, c.ht, subtype))
          << c.ws << "x" << c.hs << " -> " << c.wt << "x" << c.ht << " " << media::SubtypeName(subtype);
    }
  }
}

TEST(ConvertBgraImage, SingleThreadedRowsGiveTheSameBytes) {
  const Image src = MakeImage(1366, 768, Busy);
  for (const Guid& subtype : kSubtypes) {
    const auto threaded = Convert(src, 1376, 768, subtype);
    gpu::software::ScopedSerialRows serial;
    EXPECT_EQ(threaded, Convert(src, 1376, 768, subtype)) << media::SubtypeName(subtype);
  }
}

TEST(ConvertBgraImage, NoPictureGivesABlackFrame) {
  std::vector<uint8_t> out(Encoder::ConvertBufferSize(media::MFVideoFormat_NV12, 16, 16), 0xAB);
  Encoder::ConvertBgraImage(nullptr, 0, 16, 16, out.data(), 16, 16, media::MFVideoFormat_NV12);
  EXPECT_TRUE(std::all_of(out.begin(), out.begin() + 256, [](uint8_t v) { return v == 16; }));
  EXPECT_TRUE(std::all_of(out.begin() + 256, out.end(), [](uint8_t v) { return v == 128; }));
}

TEST(ConvertBgraImage, BufferSizesFollowTheSubtype) {
  EXPECT_EQ(1920u * 1088 * 3 / 2, Encoder::ConvertBufferSize(media::MFVideoFormat_NV12, 1920, 1088));
  EXPECT_EQ(1920u * 1088 * 3 / 2, Encoder::ConvertBufferSize(media::MFVideoFormat_IYUV, 1920, 1088));
  EXPECT_EQ(1920u * 1088 * 3 / 2, Encoder::ConvertBufferSize(media::MFVideoFormat_YV12, 1920, 1088));
  EXPECT_EQ(1920u * 1088 * 2, Encoder::ConvertBufferSize(media::MFVideoFormat_YUY2, 1920, 1088));
  EXPECT_EQ(1920u * 1088 * 4, Encoder::ConvertBufferSize(media::MFVideoFormat_RGB32, 1920, 1088));
  EXPECT_EQ(1920u * 1088 * 4, Encoder::ConvertBufferSize(media::MFVideoFormat_ARGB32, 1920, 1088));
}

}  // namespace
}  // namespace kalto
