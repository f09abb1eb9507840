// kalto-record with a background effect behind the camera bubble: a photograph of a person through
// the real segmentation network; she stays as photographed, the room behind her is replaced by a
// flat colour or blurred.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <sstream>

#include "e2e_support.h"
#include "support/require.h"

namespace kalto::test {
namespace {

using CameraEffectRecordTest = RecordTest;

// A 480x480 square bubble at (80, 0) of the 640x480 frame: the 512x512 photograph covers it at
// 480/512, so a point of the network's 256x256 mask lands at 1.875 times its coordinates.
constexpr int kBubbleX = 80, kSide = 480;
constexpr double kMaskToBubble = kSide / 256.0;

struct Region {
  const char* name;
  int x0, x1, y0, y1;  // in mask coordinates
  bool person;
};
constexpr Region kRegions[] = {{"face", 100, 125, 40, 80, true},        {"torso", 60, 140, 120, 200, true},
                               {"badge", 68, 105, 172, 212, true},      {"top-left corner", 0, 32, 0, 32, false},
                               {"flag", 2, 40, 2, 90, false},           {"shuttle", 185, 235, 0, 130, false}};

struct Box {
  int x, y, w, h;
};
Box InFrame(const Region& r, int originX) {
  const auto at = [](int v) { return int(v * kMaskToBubble); };
  return {originX + at(r.x0), at(r.y0), at(r.x1) - at(r.x0), at(r.y1) - at(r.y0)};
}

// Mean absolute difference of the brightness of neighbouring pixels: what a blur takes away.
double Detail(const RgbFrame& f, Box b) {
  const auto luma = [&f](int x, int y) {
    const uint8_t* p = &f.rgb[(size_t(y) * f.width + x) * 3];
    return (p[0] + p[1] + p[2]) / 3.0;
  };
  double sum = 0;
  for (int y = b.y; y < b.y + b.h; ++y) {
    for (int x = b.x; x < b.x + b.w; ++x) {
      sum += std::abs(luma(x + 1, y) - luma(x, y)) + std::abs(luma(x, y + 1) - luma(x, y));
    }
  }
  return sum / (2.0 * b.w * b.h);
}

std::string Describe(RgbFrame::Colour c) {
  return std::to_string(c.r) + "," + std::to_string(c.g) + "," + std::to_string(c.b);
}

// What is wrong with one recorded frame, or empty: the person as photographed everywhere; behind
// her the preset colour 23,42,69, or the photograph's colours with much less detail.
std::string Check(const RgbFrame& frame, const RgbFrame& photo, bool blur) {
  std::ostringstream wrong;
  for (const Region& r : kRegions) {
    const Box at = InFrame(r, kBubbleX), want = InFrame(r, 0);
    const RgbFrame::Colour got = frame.Mean(at.x, at.y, at.w, at.h);
    const RgbFrame::Colour photographed = photo.Mean(want.x, want.y, want.w, want.h);
    const bool colourOk = r.person || blur ? Near(got, photographed.r, photographed.g, photographed.b, 8)
                                           : Near(got, 23, 42, 69, 6);
    const double detail = Detail(frame, at), photoDetail = Detail(photo, want);
    const bool detailOk = !blur || (r.person ? detail > 0.85 * photoDetail : detail < 0.6 * photoDetail);
    if (!colourOk || !detailOk) {
      wrong << r.name << " at t=" << frame.time << ": " << Describe(got) << " (photo " << Describe(photographed)
            << "), detail " << detail << " (photo " << photoDetail << ")\n";
    }
  }
  return wrong.str();
}

TEST_F(CameraEffectRecordTest, ThePersonIsKeptAndTheBackgroundReplacedByAColourOrBlurred) {
  const std::string picture = KALTO_TEST_PHOTO;
  KALTO_REQUIRE(std::filesystem::exists(picture), picture + " (scripts/setup-deps fetches it)");
  const std::vector<RgbFrame> photo = DecodeFrames(picture, kSide, kSide);
  ASSERT_EQ(photo.size(), 1u);
  for (const char* effect : {"color:2", "blur"}) {
    SCOPED_TRACE(effect);
    const std::string file = File(std::string(effect).substr(0, 4) + ".mp4");
    auto run = Record("--monitor " + Monitor() + " --camera file:" + picture +
                      " --camera-rect 0.125,0,0.75,1 --camera-shape square --camera-effect " + effect +
                      " --duration 2 -o " + file);
    ASSERT_EQ(run.status, 0) << run.output;
    int shown = 0;
    for (const RgbFrame& frame : DecodeFrames(file)) {
      const Box torso = InFrame(kRegions[1], kBubbleX);
      if (Near(frame.Mean(torso.x, torso.y, torso.w, torso.h), 0, 0, 0, 10)) continue;  // before the first picture
      ++shown;
      const std::string wrong = Check(frame, photo[0], std::string(effect) == "blur");
      ASSERT_EQ(wrong, "") << "frame " << shown;
    }
    EXPECT_GE(shown, 10);
  }
}

}  // namespace
}  // namespace kalto::test
