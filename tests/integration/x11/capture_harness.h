#pragma once
// The program's Xvfb servers, and the capture backend driven as the engine drives it.
#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>

#include "platform/desktop/x11/x11_desktop.h"
#include "platform/gpu/software/software_device.h"
#include "platform/screen/x11/x11_capture_service.h"
#include "support/gpu_readback.h"
#include "support/require.h"
#include "support/x_server.h"

namespace kalto::test {

using namespace std::chrono_literals;

// One server for every test of the program, started on first use: LEFT 1920x1080 and RIGHT
// 1280x1024 side by side.
class XTest : public ::testing::Test {
 protected:
  void SetUp() override {
    KALTO_REQUIRE(XServer::Available(), "Xvfb is not installed");
    static const auto server = [] {
      auto s = std::make_unique<XServer>(3200, 1080);
      if (s->Running() && !s->SetTwoMonitors()) s->Kill();
      return s;
    }();
    ASSERT_TRUE(server->Running()) << server->Error();
    display = server->Display();
    client.emplace(display);
    ASSERT_TRUE(*client);
  }

  std::string display;
  std::optional<XClient> client;
};

struct CapturedFrame {
  screen::SizeInt32 content;
  uint32_t width = 0, height = 0;
  std::vector<uint32_t> pixels;  // read through a staging copy, as the engine reads them
  uint32_t At(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }
};

// A pool of the item's size whose handler reads every frame back, and its session, started.
class CaptureHarness {
 public:
  CaptureHarness(const std::string& display, bool window, uint64_t handle, bool cursor = false) : service(display) {
    static auto factory = std::make_shared<gpu::software::SoftwareDeviceFactory>();
    std::shared_ptr<gpu::Device> device;
    std::shared_ptr<gpu::DeviceContext> context;
    factory->CreateDevice(nullptr, gpu::DriverType::Hardware, gpu::CREATE_DEVICE_BGRA_SUPPORT, nullptr, 0, &device,
                          &context);
    interop = service.GetItemInterop();
    EXPECT_EQ(S_OK, service.CreateCaptureDevice(device, &captureDevice));
    if (!window) handle = x11::X11Desktop(display).EnumMonitors().at(handle);
    EXPECT_EQ(S_OK, window ? interop->CreateForWindow(handle, &item) : interop->CreateForMonitor(handle, &item));
    pool = service.CreateFreeThreadedFramePool(captureDevice, gpu::Format::B8G8R8A8_UNORM, 2, item->Size());
    pool->AddFrameArrived([this](screen::FramePool& sender) {
      std::shared_ptr<screen::CaptureFrame> frame = sender.TryGetNextFrame();
      if (!frame) return;
      auto surface = frame->Surface();
      CapturedFrame copy{frame->ContentSize(), surface->GetDesc().width, surface->GetDesc().height, ReadPixels(*surface)};
      frame->Close();
      std::lock_guard lock(mutex);
      frames.push_back(std::move(copy));
      arrived.notify_all();
    });
    session = pool->CreateCaptureSession(item);
    session->QueryCursorCaptureSetting()->SetIsCursorCaptureEnabled(cursor);
    session->StartCapture();
  }
  ~CaptureHarness() {
    session->Close();
    pool->Close();
  }
  size_t Count() {
    std::lock_guard lock(mutex);
    return frames.size();
  }
  // The first frame delivered at index >= `from` that satisfies `pred`.
  std::optional<CapturedFrame> WaitFor(const std::function<bool(const CapturedFrame&)>& pred = {}, size_t from = 0,
                                       std::chrono::milliseconds timeout = 15s) {
    std::unique_lock lock(mutex);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (size_t next = from;;) {
      for (; next < frames.size(); ++next) {
        if (!pred || pred(frames[next])) return frames[next];
      }
      if (arrived.wait_until(lock, deadline) == std::cv_status::timeout && next >= frames.size()) return std::nullopt;
    }
  }

  x11::X11CaptureService service;
  std::shared_ptr<screen::CaptureItemInterop> interop;
  std::shared_ptr<screen::CaptureDevice> captureDevice;
  std::shared_ptr<screen::CaptureItem> item;
  std::shared_ptr<screen::FramePool> pool;
  std::shared_ptr<screen::CaptureSession> session;

 private:
  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<CapturedFrame> frames;
};

// Pixels of the window-sized pattern at (left, top) of `frame` that differ from it.
inline int PatternMismatches(const CapturedFrame& frame, int left, int top, int width, int height, int seed) {
  int mismatches = 0;
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) mismatches += frame.At(left + x, top + y) != PatternPixel(x, y, seed);
  return mismatches;
}

}  // namespace kalto::test
