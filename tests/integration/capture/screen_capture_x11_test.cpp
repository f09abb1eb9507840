// ScreenCapture on the real X11 backends, against an Xvfb server.
#include <gtest/gtest.h>

#include <condition_variable>

#include "capture/screen_capture.h"
#include "common/steady_clock.h"
#include "platform/desktop/x11/x11_desktop.h"
#include "platform/gpu/software/software_device.h"
#include "platform/screen/x11/x11_capture_service.h"
#include "support/gpu_readback.h"
#include "support/require.h"
#include "support/x_server.h"

namespace kalto::test {
namespace {

using namespace std::chrono_literals;

struct Captured {
  uint32_t width = 0, height = 0;
  int64_t timestampHns = 0;
  std::vector<uint32_t> pixels;
};

class ScreenCaptureX11Test : public ::testing::Test {
 protected:
  // One 1280x720 screen for the whole program, started on first use.
  void SetUp() override {
    KALTO_REQUIRE(XServer::Available(), "Xvfb is not installed");
    static auto s = std::make_unique<XServer>(1280, 720);
    ASSERT_TRUE(s->Running()) << s->Error();
    *platform = {std::make_shared<gpu::software::SoftwareDeviceFactory>(), std::make_shared<x11::X11Desktop>(s->Display()),
                 std::make_shared<x11::X11CaptureService>(s->Display()), nullptr, nullptr};
    client = std::make_unique<XClient>(s->Display());
    ASSERT_TRUE(*client);
  }
  FrameCallback Collect() {
    return [this](gpu::Texture2D& texture, int64_t ts) {
      Captured c{texture.GetDesc().width, texture.GetDesc().height, ts, ReadPixels(texture)};
      std::lock_guard lock(mutex);
      frames.push_back(std::move(c));
      arrived.notify_all();
    };
  }
  Captured Wait(size_t n = 1) {
    std::unique_lock lock(mutex);
    const size_t target = seen + n;
    EXPECT_TRUE(arrived.wait_for(lock, 10s, [&] { return frames.size() >= target; }));
    seen = frames.size();
    return frames.empty() ? Captured{} : frames.back();
  }

  std::shared_ptr<platform::Platform> platform = std::make_shared<platform::Platform>();
  std::unique_ptr<XClient> client;
  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<Captured> frames;
  size_t seen = 0;
};

// The screen's pattern, from the shared time base, whole and through an odd-sized crop.
TEST_F(ScreenCaptureX11Test, MonitorFramesCarryTheScreenAndCountFromTheBase) {
  TestWindow scene(*client, 0, 0, 1280, 720, "scene", 3);
  ASSERT_TRUE(scene.WaitViewable());
  scene.Draw();
  ScreenCapture capture(platform);
  capture.SetCaptureCursor(false);
  ASSERT_TRUE(capture.InitializeForMonitor(platform->desktop->PrimaryMonitor()));
  capture.SetStartTimeBase(SteadyNowNs() - 2'000'000'000);
  ASSERT_TRUE(capture.Start(Collect()));
  Captured f = Wait();
  ASSERT_EQ(1280u * 720u, f.pixels.size());
  EXPECT_GE(f.timestampHns, 20'000'000);
  int mismatches = 0;
  for (int y = 0; y < 720; ++y) {
    for (int x = 0; x < 1280; ++x) mismatches += f.pixels[size_t(y) * 1280 + x] != PatternPixel(x, y, 3);
  }
  EXPECT_EQ(0, mismatches);
  capture.SetCropRegion(101, 51, 401, 301);  // odd sizes round down: 400 x 300
  scene.Draw();
  f = Wait();
  EXPECT_EQ(std::pair(400u, 300u), std::pair(f.width, f.height));
  EXPECT_EQ(PatternPixel(101 + 399, 51 + 299, 3), f.pixels.back());
}

}  // namespace
}  // namespace kalto::test
