#include <cstring>
#include <tuple>

#include "encoding/bgra_image.h"
#include "encoding/encoder.h"
#include "encoding_fixture.h"

namespace kalto::test {
namespace {

using media::Guid;

// A busy picture, every channel (alpha too) changing from pixel to pixel, in rows padded by three
// pixels so the pitch differs from the width.
struct Image {
  uint32_t width, height;
  std::vector<uint32_t> words = std::vector<uint32_t>(size_t(width + 3) * height);
  uint32_t At(uint32_t x, uint32_t y) const { return words[size_t(y) * (width + 3) + x]; }
};
Image BusyImage(uint32_t width, uint32_t height) {
  Image image{width, height};
  for (uint32_t i = 0; i < image.words.size(); ++i) image.words[i] = ((i % (width + 3) * 2654435761u) ^ (i * 40503u)) >> 3;
  return image;
}

// The bilinear sample from its definition: clamp, truncate, weigh in single precision, truncate;
// alpha comes out opaque.
uint32_t Sample(const Image& s, float x, float y) {
  x = std::clamp(x, 0.0f, float(s.width - 1)), y = std::clamp(y, 0.0f, float(s.height - 1));
  const auto x0 = uint32_t(x), y0 = uint32_t(y), x1 = std::min(x0 + 1, s.width - 1), y1 = std::min(y0 + 1, s.height - 1);
  const float fx = x - float(x0), fy = y - float(y0);
  uint32_t out = 0xFF000000u;
  for (int shift = 0; shift < 24; shift += 8) {
    const auto p = [&](uint32_t px, uint32_t py) { return float(Channel(s.At(px, py), shift)); };
    out |= uint32_t(p(x0, y0) * (1 - fx) * (1 - fy) + p(x1, y0) * fx * (1 - fy) + p(x0, y1) * (1 - fx) * fy +
                    p(x1, y1) * fx * fy) << shift;
  }
  return out;
}

// One pixel at a time: the layout (pinned below), bilinear samples (chroma at the block centre,
// YUY2 chroma from the pair's mean), black around the picture.
std::vector<uint8_t> RefConvert(const Image& s, uint32_t wt, uint32_t ht, const Guid& subtype) {
  const bgra::Layout l = bgra::ComputeLayout(s.width, s.height, wt, ht);
  const auto at = [&](float c, float r) { return Sample(s, c * l.sx, r * l.sy); };
  const auto ch = [](uint32_t p, int shift) { return int(Channel(p, shift)); };
  const auto y = [&](uint32_t p) { return bgra::Luma(ch(p, 16), ch(p, 8), ch(p, 0)); };
  const uint32_t wc = l.contentWidth, hc = l.contentHeight;
  std::vector<uint8_t> out(Encoder::ConvertBufferSize(subtype, wt, ht), 0);
  const size_t luma = size_t(wt) * ht, quarter = luma / 4;
  if (subtype == media::MFVideoFormat_RGB32 || subtype == media::MFVideoFormat_ARGB32) {
    for (uint32_t r = 0; r < hc; ++r) {
      for (uint32_t c = 0; c < wc; ++c) {
        const uint32_t p = at(float(c), float(r));
        std::memcpy(&out[((l.y0 + r) * size_t(wt) + l.x0 + c) * 4], &p, 4);
      }
    }
  } else if (subtype == media::MFVideoFormat_YUY2) {
    for (size_t i = 0; i < out.size(); ++i) out[i] = i % 2 == 0 ? 16 : 128;
    for (uint32_t r = 0; r < hc; ++r) {
      for (uint32_t i = 0; i < wc / 2; ++i) {
        const uint32_t a = at(float(2 * i), float(r)), b = at(float(2 * i + 1), float(r));
        const int mr = (ch(a, 16) + ch(b, 16)) >> 1, mg = (ch(a, 8) + ch(b, 8)) >> 1, mb = (ch(a, 0) + ch(b, 0)) >> 1;
        uint8_t* d = &out[((l.y0 + r) * size_t(wt) + l.x0 + 2 * i) * 2];
        d[0] = y(a), d[1] = bgra::ChromaU(mr, mg, mb), d[2] = y(b), d[3] = bgra::ChromaV(mr, mg, mb);
      }
    }
  } else {
    std::fill(out.begin(), out.begin() + luma, 16);
    std::fill(out.begin() + luma, out.end(), 128);
    for (uint32_t r = 0; r < hc; ++r) {
      for (uint32_t c = 0; c < wc; ++c) out[(l.y0 + r) * size_t(wt) + l.x0 + c] = y(at(float(c), float(r)));
    }
    for (uint32_t j = 0; j < hc / 2; ++j) {
      for (uint32_t i = 0; i < wc / 2; ++i) {
        const uint32_t p = at(float(2 * i) + 0.5f, float(2 * j) + 0.5f);
        const uint8_t u = bgra::ChromaU(ch(p, 16), ch(p, 8), ch(p, 0)), v = bgra::ChromaV(ch(p, 16), ch(p, 8), ch(p, 0));
        const size_t planar = luma + (l.y0 / 2 + j) * size_t(wt / 2) + l.x0 / 2 + i;
        const size_t nv12 = luma + (l.y0 / 2 + j) * size_t(wt) + l.x0 + 2 * i;
        const bool yv12 = subtype == media::MFVideoFormat_YV12;  // V plane first
        if (subtype == media::MFVideoFormat_NV12) {
          out[nv12] = u, out[nv12 + 1] = v;
        } else {
          out[planar + (yv12 ? quarter : 0)] = u, out[planar + (yv12 ? 0 : quarter)] = v;
        }
      }
    }
  }
  return out;
}

// The integer matrix: BT.709 limited range, and exactly neutral for every grey.
TEST(ConvertBgraImageColour, PrimariesAndGreys) {
  const auto yuv = [](int r, int g, int b) {
    return std::vector<int>{bgra::Luma(r, g, b), bgra::ChromaU(r, g, b), bgra::ChromaV(r, g, b)};
  };
  EXPECT_EQ((std::vector<std::vector<int>>{{63, 102, 240}, {32, 240, 118}, {235, 128, 128}}),
            (std::vector<std::vector<int>>{yuv(255, 0, 0), yuv(0, 0, 255), yuv(255, 255, 255)}));
  for (int v = 0; v < 256; ++v) ASSERT_EQ(128 * 257, bgra::ChromaU(v, v, v) | bgra::ChromaV(v, v, v) << 8) << v;
}

// Source, target, then content size, offset and whether sampling is 1:1.
TEST(ConvertBgraImageLayout, ContentIsFittedCentredAndRoundedToEven) {
  const std::tuple<uint32_t, uint32_t, uint32_t, uint32_t, std::tuple<uint32_t, uint32_t, uint32_t, uint32_t, bool>> cases[] = {
      {1920, 1080, 1920, 1088, {1920, 1080, 0, 4, true}},     // four black rows above and below
      {1000, 1000, 1920, 1088, {1088, 1088, 416, 0, false}},  // centred, never stretched
      {1366, 768, 1376, 768, {1366, 768, 4, 0, true}},        // x = 5 rounds down to 4
      {101, 51, 64, 32, {62, 32, 0, 0, false}}};              // width 63 rounds down to 62
  for (const auto& [ws, hs, wt, ht, expected] : cases) {
    const auto l = bgra::ComputeLayout(ws, hs, wt, ht);
    EXPECT_EQ(expected, std::tuple(l.contentWidth, l.contentHeight, l.x0, l.y0, l.identity)) << ws << "x" << hs;
  }
  EXPECT_FLOAT_EQ(1000.0f / 1088.0f, bgra::ComputeLayout(1000, 1000, 1920, 1088).sx);
}

TEST(ConvertBgraImage, EverySubtypeMatchesTheReference) {
  const std::tuple<uint32_t, uint32_t, uint32_t, uint32_t> cases[] = {
      {64, 32, 64, 32},                      // identity
      {64, 28, 64, 32},                      // identity, two black rows above and below
      {62, 32, 64, 32},                      // identity; the 1-column offset rounds down, 2 black columns on the right
      {66, 30, 64, 32},                      // downscale; the 1-row offset rounds down to 0
      {101, 51, 64, 32}, {37, 23, 96, 64},   // odd sources, downscaled, and upscaled with black sides
      {50, 120, 64, 48},                     // tall source into wide target
      {1366, 768, 1376, 768}, {640, 360, 320, 192},
      {0, 0, 16, 16}};                       // no picture: all black
  // Each subtype with its size in bytes per two pixels.
  const std::pair<Guid, size_t> subtypes[] = {{media::MFVideoFormat_NV12, 3}, {media::MFVideoFormat_IYUV, 3},
                                              {media::MFVideoFormat_YV12, 3}, {media::MFVideoFormat_YUY2, 4},
                                              {media::MFVideoFormat_RGB32, 8}, {media::MFVideoFormat_ARGB32, 8}};
  for (const auto& [ws, hs, wt, ht] : cases) {
    const Image src = BusyImage(ws, hs);
    for (const auto& [subtype, bytesPerTwoPixels] : subtypes) {
      SCOPED_TRACE(::testing::Message() << ws << "x" << hs << " -> " << wt << "x" << ht << " " << media::SubtypeName(subtype));
      std::vector<uint8_t> out(Encoder::ConvertBufferSize(subtype, wt, ht), 0xAB);
      EXPECT_EQ(size_t(wt) * ht * bytesPerTwoPixels / 2, out.size());
      const auto* bytes = ws == 0 ? nullptr : reinterpret_cast<const uint8_t*>(src.words.data());
      Encoder::ConvertBgraImage(bytes, (ws + 3) * 4, ws, hs, out.data(), wt, ht, subtype);
      EXPECT_EQ(RefConvert(src, wt, ht, subtype), out);
    }
  }
}

}  // namespace
}  // namespace kalto::test
