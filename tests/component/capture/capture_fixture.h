#pragma once
// ScreenCapture on the fake desktop and capture service, with a sink that keeps what each frame
// callback saw.
#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>

#include "capture/screen_capture.h"
#include "common/steady_clock.h"
#include "platform/desktop/fake/fake_desktop.h"
#include "platform/gpu/software/software_device.h"
#include "platform/screen/fake/fake_capture_service.h"
#include "support/debug_capture.h"
#include "support/gpu_readback.h"

namespace kalto::test {

using namespace std::chrono_literals;
using screen::FakeFault;
using screen::FakePoint;

inline bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 5s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

// The texture's identity and size, its timestamp, and its corner pixels.
struct DeliveredFrame {
  const gpu::Texture2D* texture = nullptr;
  uint32_t width = 0, height = 0;
  int64_t timestampHns = 0;
  uint32_t topLeft = 0, bottomRight = 0;
};

class FrameSink {
 public:
  FrameCallback Callback() {
    return [this](gpu::Texture2D& texture, int64_t timestampHns) {
      auto pixels = ReadPixels(texture);
      std::lock_guard lock(m_mutex);
      m_frames.push_back({&texture, texture.GetDesc().width, texture.GetDesc().height, timestampHns, pixels.front(),
                          pixels.back()});
      m_cv.notify_all();
    };
  }
  bool WaitFor(size_t count, int timeoutMs = 5000) {
    std::unique_lock lock(m_mutex);
    return m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_frames.size() >= count; });
  }
  std::vector<DeliveredFrame> Frames() const {
    std::lock_guard lock(m_mutex);
    return m_frames;
  }
  size_t Count() const { return Frames().size(); }

 private:
  mutable std::mutex m_mutex;
  std::condition_variable m_cv;
  std::vector<DeliveredFrame> m_frames;
};

class CaptureTest : public ::testing::Test {
 protected:
  std::unique_ptr<ScreenCapture> MakeCapture() { return std::make_unique<ScreenCapture>(platform); }
  std::unique_ptr<ScreenCapture> Started(desktop::WindowHandle window = 0) {
    auto capture = MakeCapture();
    EXPECT_TRUE(window ? capture->InitializeForWindow(window) : capture->InitializeForMonitor(monitor));
    EXPECT_TRUE(capture->Start(sink.Callback()));
    return capture;
  }
  // Emits n frames on the last pool and waits until the worker has handled them.
  void Emit(int n) {
    auto pool = service->LastPool();
    ASSERT_TRUE(pool);
    pool->EmitFrames(n);
    ASSERT_TRUE(pool->WaitIdle(5000));
  }
  DeliveredFrame Next() {
    const size_t n = sink.Count();
    Emit(1);
    EXPECT_TRUE(sink.WaitFor(n + 1));
    return sink.Frames().back();
  }

  std::shared_ptr<desktop::FakeDesktop> desktop = std::make_shared<desktop::FakeDesktop>();
  desktop::MonitorHandle monitor = desktop->AddMonitor({0, 0, 640, 360}, true);
  std::shared_ptr<gpu::software::SoftwareDeviceFactory> gpuFactory =
      std::make_shared<gpu::software::SoftwareDeviceFactory>();
  std::shared_ptr<screen::FakeCaptureService> service = std::make_shared<screen::FakeCaptureService>(desktop);
  std::shared_ptr<platform::Platform> platform =
      std::make_shared<platform::Platform>(platform::Platform{gpuFactory, desktop, service, nullptr, nullptr});
  DebugCapture log;
  FrameSink sink;
};

}  // namespace kalto::test
