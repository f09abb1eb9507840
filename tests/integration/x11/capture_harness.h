#pragma once
// The program's Xvfb servers, and the capture backend driven as the engine drives it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/desktop/x11/x11_desktop.h"
#include "platform/gpu/software/software_device.h"
#include "platform/screen/x11/x11_capture_service.h"
#include "support/gpu_readback.h"
#include "support/require.h"
#include "support/x_server.h"

namespace kalto::test {

using namespace std::chrono_literals;

// A display name no server listens on.
inline std::string UnusedDisplay() {
  for (int n = 4000; n < 4200; ++n) {
    if (access(("/tmp/.X11-unix/X" + std::to_string(n)).c_str(), F_OK) != 0) return ":" + std::to_string(n);
  }
  return {};
}

// Shared by every test of the program, each started on first use: LEFT 1920x1080 and RIGHT
// 1280x1024 side by side, or one 640x480 screen under twm for the cases that iconify.
class XTest : public ::testing::Test {
 protected:
  void SetUp() override { KALTO_REQUIRE(XServer::Available(), "Xvfb is not installed"); }
  ::testing::AssertionResult Boot(bool windowManager = false) {
    static std::unique_ptr<XServer> servers[2];
    auto& s = servers[windowManager];
    if (!s) {
      s = std::make_unique<XServer>(windowManager ? 640 : 3200, windowManager ? 480 : 1080);
      if (s->Running()) windowManager ? s->StartWindowManager() : s->SetTwoMonitors();
    }
    if (!s->Running() || !s->Error().empty()) return ::testing::AssertionFailure() << s->Error();
    server = s.get();
    client.emplace(server->Display());
    return *client ? ::testing::AssertionSuccess() : ::testing::AssertionFailure() << "no client connection";
  }
  const std::string& Display() const { return server->Display(); }

  XServer* server = nullptr;
  std::optional<XClient> client;
};

struct CapturedFrame {
  screen::SizeInt32 content;
  uint32_t width = 0, height = 0;
  std::vector<uint32_t> pixels;  // read through a staging copy, as the engine reads them
  uint32_t At(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }
};

class CaptureHarness {
 public:
  explicit CaptureHarness(const std::string& display) : service(display), m_display(display) {
    static auto factory = std::make_shared<gpu::software::SoftwareDeviceFactory>();
    std::shared_ptr<gpu::DeviceContext> context;
    factory->CreateDevice(nullptr, gpu::DriverType::Hardware, gpu::CREATE_DEVICE_BGRA_SUPPORT, nullptr, 0, &device,
                          &context);
    interop = service.GetItemInterop();
    EXPECT_EQ(S_OK, service.CreateCaptureDevice(device, &captureDevice));
  }
  ~CaptureHarness() {
    if (session) session->Close();
    if (pool) pool->Close();
  }

  std::shared_ptr<screen::CaptureItem> MonitorItem(int index = 0) {
    std::shared_ptr<screen::CaptureItem> result;
    EXPECT_EQ(S_OK, interop->CreateForMonitor(x11::X11Desktop(m_display).EnumMonitors().at(index), &result));
    return result;
  }
  std::shared_ptr<screen::CaptureItem> WindowItem(::Window window) {
    std::shared_ptr<screen::CaptureItem> result;
    EXPECT_EQ(S_OK, interop->CreateForWindow(static_cast<desktop::WindowHandle>(window), &result));
    return result;
  }
  // A pool of the item's size whose handler reads every frame back, and its session, started.
  void Run(std::shared_ptr<screen::CaptureItem> captureItem, bool cursor = false) {
    item = std::move(captureItem);
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
  size_t Count() {
    std::lock_guard lock(mutex);
    return frames.size();
  }
  // The first frame delivered at index >= `from` that satisfies `pred`.
  std::optional<CapturedFrame> WaitFor(const std::function<bool(const CapturedFrame&)>& pred, size_t from = 0,
                                       std::chrono::milliseconds timeout = 15s) {
    std::unique_lock lock(mutex);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (size_t next = from;;) {
      for (; next < frames.size(); ++next) {
        if (pred(frames[next])) return frames[next];
      }
      if (arrived.wait_until(lock, deadline) == std::cv_status::timeout && next >= frames.size()) return std::nullopt;
    }
  }
  std::optional<CapturedFrame> WaitForAny(size_t from = 0) { return WaitFor([](auto&) { return true; }, from); }
  // True when no frame beyond `count` arrives within `quiet`.
  bool StaysAt(size_t count, std::chrono::milliseconds quiet = 300ms) {
    return !WaitFor([](auto&) { return true; }, count, quiet);
  }

  x11::X11CaptureService service;
  std::shared_ptr<gpu::Device> device;
  std::shared_ptr<screen::CaptureItemInterop> interop;
  std::shared_ptr<screen::CaptureDevice> captureDevice;
  std::shared_ptr<screen::CaptureItem> item;
  std::shared_ptr<screen::FramePool> pool;
  std::shared_ptr<screen::CaptureSession> session;

 private:
  std::string m_display;
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
