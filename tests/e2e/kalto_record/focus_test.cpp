// kalto-record's cursor focus end to end under a private Xvfb: a fine, known pattern fills the
// screen, the pointer is parked at a known place, and `z` written to the recorder's stdin turns
// focus on and later off. Each decoded frame is compared with the pattern as a whole screen and
// with the pattern's focus region magnified to the frame: the recording must go from the whole
// screen to the magnified region and back.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "e2e_support.h"

namespace kalto::test {
namespace {

using namespace std::chrono_literals;

constexpr int kScreenW = RecordTest::kScreenWidth, kScreenH = RecordTest::kScreenHeight;
// Where the pointer is parked; the focus rectangle at the defaults on 640 x 480 is 400 x 300
// (the minimum size) around it: (200, 110) to (600, 410).
constexpr int kPointerX = 400, kPointerY = 260;
constexpr int kFocusX = 200, kFocusY = 110, kFocusW = 400, kFocusH = 300;
// Frames are compared at a quarter of the size, as 4 x 4 block averages: fine enough to tell the
// two views apart, coarse enough to ignore coding noise.
constexpr int kSmallW = kScreenW / 4, kSmallH = kScreenH / 4;

using Image = std::vector<double>;  // kSmallW x kSmallH x RGB

// The screen as the pattern window shows it, reduced to block averages; `view` maps a frame
// pixel to the screen pixel it shows.
template <typename View>
Image Expected(View view) {
  Image image(static_cast<size_t>(kSmallW) * kSmallH * 3, 0.0);
  for (int y = 0; y < kScreenH; ++y) {
    for (int x = 0; x < kScreenW; ++x) {
      auto [sx, sy] = view(x, y);
      const uint32_t p = PatternPixel(sx, sy, 0);
      const size_t at = (static_cast<size_t>(y / 4) * kSmallW + x / 4) * 3;
      image[at] += ((p >> 16) & 0xFF) / 16.0;
      image[at + 1] += ((p >> 8) & 0xFF) / 16.0;
      image[at + 2] += (p & 0xFF) / 16.0;
    }
  }
  return image;
}

double MeanAbsoluteError(const Image& a, const std::vector<uint8_t>& frame) {
  double sum = 0;
  for (size_t i = 0; i < a.size(); ++i) sum += std::abs(a[i] - frame[i]);
  return sum / static_cast<double>(a.size());
}

using KaltoRecordFocusTest = RecordTest;

TEST_F(KaltoRecordFocusTest, FocusMagnifiesTheRegionAroundThePointerAndReturnsToTheWholeScreen) {
  XClient client(X().Display());
  ASSERT_TRUE(client);
  TestWindow scene(client, 0, 0, kScreenW, kScreenH, "pattern", 0);
  ASSERT_TRUE(scene.WaitViewable());
  scene.Draw();
  client.WarpPointer(kPointerX, kPointerY);
  // The capture only sends frames when the screen changes: a small window outside the focus
  // region keeps changing, on its own connection.
  XClient flickerClient(X().Display());
  ASSERT_TRUE(flickerClient);
  TestWindow flicker(flickerClient, 8, 440, 32, 32, "flicker", 1);
  Painter painter(flicker, 0x3060C0u, 0xC06030u);

  const std::string file = File("focus.mp4");
  KeyedRecording recorder(Command("--monitor " + Monitor() + " --duration 5 --fps 30 --no-cursor -o " + file),
                          File("record.log"));
  ASSERT_TRUE(recorder.WaitStarted()) << recorder.Log();
  std::this_thread::sleep_for(1200ms);
  recorder.Key('z');
  std::this_thread::sleep_for(1500ms);
  recorder.Key('z');
  ASSERT_EQ(0, recorder.Finish()) << recorder.Log();

  const Image whole = Expected([](int x, int y) { return std::pair{x, y}; });
  const Image magnified = Expected([](int x, int y) {
    return std::pair{kFocusX + (2 * x + 1) * kFocusW / (2 * kScreenW), kFocusY + (2 * y + 1) * kFocusH / (2 * kScreenH)};
  });
  const auto frames = DecodeFrames(file, kSmallW, kSmallH);
  ASSERT_GE(frames.size(), 30u);

  // Each frame is "whole" or "magnified" when it is clearly closer to that view; frames of the
  // short transitions may be neither.
  enum class View { Whole, Magnified, Between };
  std::vector<View> views;
  std::string trace;  // each frame's distance to both views, for the failure message
  double bestMagnified = 1e9, bestWhole = 1e9;
  for (const auto& frame : frames) {
    const double toWhole = MeanAbsoluteError(whole, frame.rgb), toMagnified = MeanAbsoluteError(magnified, frame.rgb);
    views.push_back(toMagnified * 2 < toWhole ? View::Magnified : toWhole * 2 < toMagnified ? View::Whole : View::Between);
    bestMagnified = std::min(bestMagnified, toMagnified);
    bestWhole = std::min(bestWhole, toWhole);
    trace += std::to_string(static_cast<int>(toWhole)) + "/" + std::to_string(static_cast<int>(toMagnified)) + " ";
  }
  auto first = [&](View v) { return std::find(views.begin(), views.end(), v) - views.begin(); };
  auto last = [&](View v) { return views.rend() - std::find(views.rbegin(), views.rend(), v) - 1; };
  const auto magnifiedCount = std::count(views.begin(), views.end(), View::Magnified);
  EXPECT_EQ(View::Whole, views.front()) << trace;
  EXPECT_EQ(View::Whole, views.back()) << trace;
  EXPECT_GE(magnifiedCount, 5) << trace;
  EXPECT_LT(first(View::Whole), first(View::Magnified)) << trace;
  EXPECT_GT(last(View::Whole), last(View::Magnified)) << trace;
  // The views match the pattern closely, not just one better than the other.
  EXPECT_LT(bestWhole, 12.0) << trace;
  EXPECT_LT(bestMagnified, 12.0) << trace;
}

}  // namespace
}  // namespace kalto::test
