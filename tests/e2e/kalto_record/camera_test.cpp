// kalto-record with a camera bubble: the camera's picture inside a circle at the given place, the
// screen around it, and cameras that name nothing refused before anything is recorded.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <thread>

#include "e2e_support.h"

namespace kalto::test {
namespace {

using namespace std::chrono_literals;
using CameraRecordTest = RecordTest;

TEST_F(CameraRecordTest, TheBubbleShowsTheCameraInsideACircleAndTheScreenAroundIt) {
  const std::string picture = File("red.png");
  ASSERT_EQ(Shell("ffmpeg -v error -f lavfi -i color=c=red:s=64x48 -frames:v 1 " + picture).status, 0);
  XClient client(X().Display());
  TestWindow window(client, 100, 80, 320, 240, "screen", 2);
  ASSERT_TRUE(window.WaitViewable());
  std::optional<Painter> painter(std::in_place, window, 0x3060C0u, 0x2050B0u);
  char handle[32];
  std::snprintf(handle, sizeof handle, "0x%lx", window.id());
  const std::string file = File("bubble.mp4");
  // A circle of 120 pixels centred at (160, 120) of the 320x240 frame; after a second the right
  // arrow moves it 16 pixels right, after two `c` hides it.
  KeyedRecording recorder(Command(std::string("--window ") + handle + " --camera file:" + picture +
                                  " --camera-rect 0.3125,0.25,0.375,0.5 --duration 3 -o " + file),
                          File("record.log"));
  ASSERT_TRUE(recorder.WaitStarted()) << recorder.Log();
  std::this_thread::sleep_for(1000ms);
  for (char key : {'\x1b', '[', 'C'}) recorder.Key(key);
  std::this_thread::sleep_for(1000ms);
  recorder.Key('c');
  ASSERT_EQ(0, recorder.Finish()) << recorder.Log();
  painter.reset();
  EXPECT_EQ(recorder.Log().find("recording without the bubble"), std::string::npos) << recorder.Log();
  EXPECT_NE(recorder.Log().find("[camera hidden]"), std::string::npos) << recorder.Log();

  auto frames = DecodeFrames(file);
  ASSERT_GE(frames.size(), 30u);
  const auto red = [](RgbFrame::Colour c) { return Near(c, 255, 0, 0); };
  const auto screen = [](RgbFrame::Colour c) { return Near(c, 0x30, 0x60, 0xC0, 50); };
  std::string phases;  // one letter per frame: b bubble, m moved, h hidden, ? between
  for (const auto& f : frames) {
    const bool atStart = red(f.Mean(102, 112, 6, 6)), atMoved = red(f.Mean(224, 112, 6, 6));
    const char phase = atStart && !atMoved ? 'b' : atMoved && !atStart ? 'm' : !red(f.Mean(150, 110, 20, 20)) ? 'h' : '?';
    if (phases.empty() || phases.back() != phase) phases += phase;
    if (phase != 'b') continue;
    for (auto [x, y] : {std::pair{162, 68}, {162, 164}, {108, 112}, {204, 112}}) {
      EXPECT_TRUE(red(f.Mean(x, y, 6, 6))) << "inside the circle at " << x << "," << y << " t=" << f.time;
    }
    for (auto [x, y] : {std::pair{101, 61}, {213, 61}, {101, 173}, {213, 173}}) {
      EXPECT_TRUE(screen(f.Mean(x, y, 6, 6))) << "the bounding square's corner at " << x << "," << y << " t=" << f.time;
    }
  }
  // The first frames may come before the camera's first picture; edges between phases may blur.
  std::erase(phases, '?');
  EXPECT_TRUE(phases == "bmh" || phases == "hbmh") << phases;
}

TEST_F(CameraRecordTest, TheSyntheticCameraIsListedAndRecordedAndUnknownCamerasAreRefused) {
  auto list = Shell(Command("--list-cameras"));
  ASSERT_EQ(list.status, 0) << list.output;
  EXPECT_NE(list.output.find("synthetic:"), std::string::npos) << list.output;
  EXPECT_NE(list.output.find("file:PATH"), std::string::npos) << list.output;

  auto scene = StartScene();
  const std::string file = File("synthetic.mp4");
  auto run = Record("--monitor " + Monitor() + " --camera synthetic: --camera-mirror --camera-border FFFFFFFF:0.1" +
                    " --duration 2 -o " + file);
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(run.output.find("recording without the bubble"), std::string::npos) << run.output;
  EXPECT_NEAR(Probe(file).duration, 2.0, 0.3);

  for (const std::string& camera : {std::string("/dev/video99"), "file:" + File("missing.mp4"), std::string("synthetic")}) {
    const std::string refused = File("refused.mp4");
    auto bad = Record("--monitor " + Monitor() + " --camera " + camera + " --duration 1 -o " + refused);
    EXPECT_EQ(bad.status, 1) << camera;
    EXPECT_NE(bad.output.find("no camera with id " + camera + " (see --list-cameras)"), std::string::npos)
        << bad.output;
    EXPECT_FALSE(std::filesystem::exists(refused)) << camera;
  }
  for (const char* option : {"--camera-rect 0.9,0,0.2,0.2", "--camera-shape oval", "--camera-fill stretch",
                                   "--camera-border FFFFFF:0.1", "--camera-opacity 2", "--camera-fps 0"}) {
    auto bad = Record(std::string(option) + " --duration 1 -o " + File("bad.mp4"));
    EXPECT_EQ(bad.status, 1) << option << ": " << bad.output;
  }
}

}  // namespace
}  // namespace kalto::test
