// kalto-record end to end: recordings of the animated scene (whole monitor and a region) and of
// one window, read back frame by frame.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "e2e_support.h"

namespace kalto::test {
namespace {

constexpr int kWidth = RecordTest::kScreenWidth, kHeight = RecordTest::kScreenHeight;

using KaltoRecordTest = RecordTest;

TEST_F(KaltoRecordTest, RecordsTheAnimatedSceneWithItsMarkersAndARunningClock) {
  auto scene = StartScene();
  auto file = File("scene.mp4");
  auto run = Record("--monitor " + Monitor() + " --duration 5 --fps 30 -o " + file);
  ASSERT_EQ(run.status, 0) << run.output;

  auto probe = Probe(file);
  EXPECT_EQ(probe.videoStreams, 1);
  EXPECT_EQ(probe.videoCodec, "h264");
  EXPECT_EQ(probe.width, kWidth);
  EXPECT_EQ(probe.height, kHeight);
  EXPECT_NEAR(probe.duration, 5.0, 0.3);

  auto frames = DecodeFrames(file);
  ASSERT_GE(frames.size(), 100u) << "a 5 s recording of a 60 Hz scene at 30 fps";
  int firstClock = -1, lastClock = -1;
  double firstTime = 0;
  int unreadable = 0;
  const int right = kWidth - kSceneInset - kSceneMarker, bottom = kHeight - kSceneInset - kSceneMarker;
  for (const auto& f : frames) {
    EXPECT_TRUE(Near(f.Mean(right + 8, kSceneInset + 8, 32, 32), 40, 200, 80)) << "green at " << f.time;
    EXPECT_TRUE(Near(f.Mean(kSceneInset + 8, bottom + 8, 32, 32), 220, 60, 200)) << "magenta at " << f.time;
    EXPECT_TRUE(Near(f.Mean(right + 8, bottom + 8, 32, 32), 240, 220, 40)) << "yellow at " << f.time;
    int clock = ReadSceneClock(f, kWidth, kHeight);
    if (clock < 0) {
      ++unreadable;  // a frame caught mid-redraw
      continue;
    }
    if (firstClock < 0) {
      firstClock = clock;
      firstTime = f.time;
    } else {
      EXPECT_GE(clock, lastClock) << "the clock went back at " << f.time;
      // Each frame shows the scene as it was at its own timestamp (a tenth's reading step
      // plus a loaded machine's capture latency).
      EXPECT_NEAR((clock - firstClock) / 10.0, f.time - firstTime, 0.35) << "at " << f.time;
    }
    lastClock = clock;
  }
  EXPECT_LE(unreadable, static_cast<int>(frames.size() / 10));
  EXPECT_NEAR((lastClock - firstClock) / 10.0, 5.0, 0.5) << "the clock runs through the recording";
}

TEST_F(KaltoRecordTest, RegionModeRecordsExactlyTheRegion) {
  auto scene = StartScene();
  auto file = File("region.mp4");
  // The bottom-right quarter: the yellow marker and the clock's low bits, not the green marker.
  const int x = 320, y = 240, w = 320, h = 240;
  auto run = Record("--region " + Monitor() + ":" + std::to_string(x) + "," + std::to_string(y) + "," +
                    std::to_string(w) + "," + std::to_string(h) + " --duration 2 -o " + file);
  ASSERT_EQ(run.status, 0) << run.output;
  auto probe = Probe(file);
  EXPECT_EQ(probe.width, w);
  EXPECT_EQ(probe.height, h);
  auto frames = DecodeFrames(file);
  ASSERT_GE(frames.size(), 30u);
  const int markerLeft = kWidth - kSceneInset - kSceneMarker - x, markerTop = kHeight - kSceneInset - kSceneMarker - y;
  const int clockTop = kHeight - kSceneClockRise - y;
  for (const auto& f : frames) {
    // The marker's edges sit where the region's offset puts them, to within compression blur.
    EXPECT_TRUE(Near(f.Mean(markerLeft + 3, markerTop + 3, 4, 4), 240, 220, 40)) << f.time;
    EXPECT_TRUE(Near(f.Mean(markerLeft + kSceneMarker - 7, markerTop + kSceneMarker - 7, 4, 4), 240, 220, 40)) << f.time;
    EXPECT_FALSE(Near(f.Mean(markerLeft - 7, markerTop + 20, 4, 4), 240, 220, 40)) << f.time;
    EXPECT_FALSE(Near(f.Mean(markerLeft + 20, markerTop + kSceneMarker + 3, 4, 4), 240, 220, 40)) << f.time;
    // The clock's cells straddle the region's left edge: the region starts with cell 6.
    auto cell = f.Mean(6, clockTop + 6, kSceneCell - 12, kSceneCell - 12);
    int luma = (cell.r + cell.g + cell.b) / 3;
    EXPECT_TRUE(luma < 65 || luma > 190) << "a clock cell at the region's left edge, at " << f.time;
  }
}

TEST_F(KaltoRecordTest, WindowModeRecordsTheWindow) {
  XClient client(X().Display());
  TestWindow window(client, 100, 80, 320, 240, "recorded", 2);
  ASSERT_TRUE(window.WaitViewable());
  std::optional<Painter> painter(std::in_place, window, 0xC06030u, 0x3060C0u);
  char handle[32];
  std::snprintf(handle, sizeof handle, "0x%lx", window.id());
  auto file = File("window.mp4");
  auto run = Record(std::string("--window ") + handle + " --duration 2 -o " + file);
  painter.reset();
  ASSERT_EQ(run.status, 0) << run.output;
  auto probe = Probe(file);
  EXPECT_EQ(probe.width, 320);
  EXPECT_EQ(probe.height, 240);
  EXPECT_NEAR(probe.duration, 2.0, 0.3);
  auto frames = DecodeFrames(file);
  ASSERT_GE(frames.size(), 20u);
  for (const auto& f : frames) {
    for (auto [px, py] : {std::pair{8, 8}, {156, 116}, {304, 224}}) {
      auto c = f.Mean(px, py, 8, 8);
      EXPECT_TRUE(Near(c, 0x30, 0x60, 0xC0) || Near(c, 0xC0, 0x60, 0x30))
          << "at " << px << "," << py << " " << c.r << "," << c.g << "," << c.b << " t=" << f.time;
    }
  }
}

}  // namespace
}  // namespace kalto::test
