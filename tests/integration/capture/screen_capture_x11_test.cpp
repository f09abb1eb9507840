// ScreenCapture on the real X11 backends, against an Xvfb server.
#include <gtest/gtest.h>

#include <condition_variable>

#include "capture/screen_capture.h"
#include "common/steady_clock.h"
#include "encoding/gpu_scaler.h"
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

// The encoder letterboxes each frame where the X server left it. A frame some texture still reads
// there is not grabbed into again: later frames go to other buffers (a spare one while a reader
// holds on), so what it holds keeps its picture while the capture goes on.
TEST_F(ScreenCaptureX11Test, AFrameReadInPlaceKeepsItsPictureWhileTheCaptureGoesOn) {
  TestWindow patch(*client, 100, 100, 300, 200, "patch", 1);
  ASSERT_TRUE(patch.WaitViewable());
  patch.Fill(0xFF0000);
  constexpr uint32_t kRed = 0xFFFF0000u, kGreen = 0xFF00FF00u, kBlue = 0xFF0000FFu;
  std::unique_ptr<GpuScaler> scaler;
  std::shared_ptr<gpu::Texture2D> pinned;
  std::vector<uint32_t> seen;  // the patch's colour in each letterboxed frame
  ScreenCapture capture(platform);
  capture.SetCaptureCursor(false);
  ASSERT_TRUE(capture.InitializeForMonitor(platform->desktop->PrimaryMonitor()));
  ASSERT_TRUE(capture.Start([&](gpu::Texture2D& texture, int64_t) {
    auto device = texture.GetDevice();
    auto context = device->GetImmediateContext();
    if (!scaler) {
      scaler = std::make_unique<GpuScaler>(device, context, 30);
      ASSERT_TRUE(scaler->EnsureScaler(1280, 720, 1280, 736));
    }
    ASSERT_TRUE(scaler->ScaleFrame(&texture));
    const uint32_t colour = ReadPixels(*scaler->Output())[size_t(8 + 150) * 1280 + 150];
    if (colour == kRed && !pinned) {
      gpu::TextureDesc desc = scaler->Output()->GetDesc();
      desc.usage = gpu::Usage::Staging, desc.bindFlags = 0, desc.cpuAccessFlags = gpu::CPU_ACCESS_READ;
      ASSERT_EQ(S_OK, device->CreateTexture2D(desc, nullptr, 0, &pinned));
      context->CopyResource(*pinned, *scaler->Output());
      EXPECT_TRUE(gpu::software::MemoryInUse(texture)) << "read in place, not copied";
    }
    std::lock_guard lock(mutex);
    seen.push_back(colour);
    arrived.notify_all();
  }));
  const auto waitFor = [&](uint32_t colour) {
    std::unique_lock lock(mutex);
    return arrived.wait_for(lock, 10s, [&] { return !seen.empty() && seen.back() == colour; });
  };
  ASSERT_TRUE(waitFor(kRed));
  for (int round = 0; round < 3; ++round) {
    patch.Fill(0x00FF00);
    ASSERT_TRUE(waitFor(kGreen)) << round;
    patch.Fill(0x0000FF);
    ASSERT_TRUE(waitFor(kBlue)) << round;
  }
  capture.Stop();
  const auto held = ReadPixels(*pinned);
  EXPECT_EQ(kRed, held[size_t(8 + 150) * 1280 + 150]);
  EXPECT_EQ(0xFF000000u, held[0]) << "the bar above";
  EXPECT_EQ(kRed, held[size_t(8 + 299) * 1280 + 399]) << "the patch's last pixel";
}

}  // namespace
}  // namespace kalto::test
