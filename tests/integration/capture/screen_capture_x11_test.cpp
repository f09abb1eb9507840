// ScreenCapture on the real X11 backends, against a private Xvfb.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "capture/screen_capture.h"
#include "common/steady_clock.h"
#include "platform/desktop/x11/x11_desktop.h"
#include "platform/gpu/software/software_device.h"
#include "platform/screen/x11/x11_capture_service.h"
#include "support/gpu_readback.h"
#include "support/x_server.h"
#include "support/require.h"

namespace kalto::test {
namespace {

using namespace std::chrono_literals;

struct Captured {
  uint32_t width = 0, height = 0;
  int64_t timestampHns = 0;
  std::vector<uint32_t> pixels;
};

// Keeps CPU copies of delivered frames (the texture is only borrowed for the call).
class Collector {
 public:
  FrameCallback Callback() {
    return [this](gpu::Texture2D& texture, int64_t ts) {
      auto desc = texture.GetDesc();
      Captured c{desc.width, desc.height, ts, ReadPixels(texture)};
      ASSERT_EQ(c.pixels.size(), size_t{desc.width} * desc.height);
      std::lock_guard lock(m_mutex);
      m_frames.push_back(std::move(c));
      m_cv.notify_all();
    };
  }
  bool WaitFor(size_t n, std::chrono::milliseconds timeout = 10s) {
    std::unique_lock lock(m_mutex);
    return m_cv.wait_for(lock, timeout, [&] { return m_frames.size() >= n; });
  }
  Captured Last() {
    std::lock_guard lock(m_mutex);
    return m_frames.back();
  }
  size_t Count() {
    std::lock_guard lock(m_mutex);
    return m_frames.size();
  }
  void Clear() {
    std::lock_guard lock(m_mutex);
    m_frames.clear();
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_cv;
  std::vector<Captured> m_frames;
};

class ScreenCaptureX11Test : public ::testing::Test {
 protected:
  void SetUp() override {
    KALTO_REQUIRE(XServer::Available(), "Xvfb is not installed");
    ASSERT_TRUE(server.Running()) << server.Error();
    platform = std::make_shared<platform::Platform>();
    platform->gpu = std::make_shared<gpu::software::SoftwareDeviceFactory>();
    platform->desktop = std::make_shared<x11::X11Desktop>(server.Display());
    platform->screen = std::make_shared<x11::X11CaptureService>(server.Display());
  }

  // Covers the screen with the test pattern of `seed`.
  void ShowPattern(int seed) {
    client = std::make_unique<XClient>(server.Display());
    ASSERT_TRUE(*client);
    scene = std::make_unique<TestWindow>(*client, 0, 0, 1280, 720, "scene", seed);
    ASSERT_TRUE(scene->WaitViewable());
    scene->Draw();
    XSync(client->get(), False);
  }
  // Captures the primary monitor without the cursor until one frame arrives.
  Captured CaptureOneFrame(const std::function<void(ScreenCapture&)>& configure) {
    ScreenCapture capture(platform);
    capture.SetCaptureCursor(false);
    EXPECT_TRUE(capture.InitializeForMonitor(platform->desktop->PrimaryMonitor()));
    configure(capture);
    EXPECT_TRUE(capture.Start(frames.Callback()));
    EXPECT_TRUE(frames.WaitFor(1));
    capture.Stop();
    return frames.Count() ? frames.Last() : Captured{};
  }

  XServer server{1280, 720};
  std::shared_ptr<platform::Platform> platform;
  std::unique_ptr<XClient> client;
  std::unique_ptr<TestWindow> scene;
  Collector frames;
};

TEST_F(ScreenCaptureX11Test, MonitorFramesCarryTheScreenAndCountFromTheBase) {
  ShowPattern(3);
  int64_t baseNs = SteadyNowNs() - 2'000'000'000;
  auto f = CaptureOneFrame([&](ScreenCapture& capture) {
    EXPECT_EQ(capture.GetWidth(), 1280);
    capture.SetStartTimeBase(baseNs);
  });
  ASSERT_EQ(f.width, 1280u);
  ASSERT_EQ(f.height, 720u);
  EXPECT_GE(f.timestampHns, 20'000'000);
  int mismatches = 0;
  for (int y = 0; y < 720; ++y) {
    for (int x = 0; x < 1280; ++x) mismatches += f.pixels[size_t(y) * 1280 + x] != PatternPixel(x, y, 3);
  }
  EXPECT_EQ(mismatches, 0);
}

TEST_F(ScreenCaptureX11Test, RegionCropDeliversTheRectangleOfTheScreen) {
  ShowPattern(5);
  // Odd sizes round down: 400 x 300.
  auto f = CaptureOneFrame([](ScreenCapture& capture) { capture.SetCropRegion(101, 51, 401, 301); });
  ASSERT_EQ(f.width, 400u);
  ASSERT_EQ(f.height, 300u);
  EXPECT_EQ(f.pixels[0], PatternPixel(101, 51, 5));
  EXPECT_EQ(f.pixels.back(), PatternPixel(101 + 399, 51 + 299, 5));
}

TEST_F(ScreenCaptureX11Test, MinimisedWindowYieldsBlackFramesOfTheMonitorSize) {
  ASSERT_TRUE(server.StartWindowManager());
  XClient client(server.Display());
  TestWindow window(client, 200, 150, 320, 240, "editor", 7);
  ASSERT_TRUE(window.WaitViewable());
  window.Draw();
  XSync(client.get(), False);

  ScreenCapture capture(platform);
  ASSERT_TRUE(capture.InitializeForWindow(static_cast<desktop::WindowHandle>(window.id())));
  EXPECT_EQ(capture.GetWidth(), 320);
  ASSERT_TRUE(capture.Start(frames.Callback()));
  ASSERT_TRUE(frames.WaitFor(1));
  EXPECT_EQ(frames.Last().width, 320u);

  ASSERT_TRUE(window.Iconify());
  frames.Clear();
  ASSERT_TRUE(frames.WaitFor(3));
  capture.Stop();
  auto f = frames.Last();
  EXPECT_EQ(f.width, 1280u);
  EXPECT_EQ(f.height, 720u);
  EXPECT_EQ(f.pixels[0], 0xFF000000u);
  EXPECT_EQ(f.pixels[f.pixels.size() / 2], 0xFF000000u);
}

}  // namespace
}  // namespace kalto::test
