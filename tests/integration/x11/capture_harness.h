#pragma once
// Drives the real capture backend the way the engine does: device, item, pool, session, and a
// FrameArrived handler that copies every frame out and closes it.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/gpu/software/software_device.h"
#include "platform/screen/x11/x11_capture_service.h"
#include "support/x_server.h"

namespace kalto::test {

struct CapturedFrame {
  screen::SizeInt32 content;
  uint32_t width = 0, height = 0;
  std::vector<uint32_t> pixels;  // width x height, tightly packed
  uint32_t At(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }
};

template <typename Pred>
bool WaitUntil(Pred pred, std::chrono::milliseconds timeout = std::chrono::seconds(15)) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

inline std::shared_ptr<gpu::Device> MakeDevice() {
  static auto factory = std::make_shared<gpu::software::SoftwareDeviceFactory>();
  std::shared_ptr<gpu::Device> device;
  std::shared_ptr<gpu::DeviceContext> context;
  factory->CreateDevice(nullptr, gpu::DriverType::Hardware, gpu::CREATE_DEVICE_BGRA_SUPPORT, nullptr, 0, &device,
                        &context);
  return device;
}

inline CapturedFrame CopyFrame(screen::CaptureFrame& frame) {
  CapturedFrame out;
  out.content = frame.ContentSize();
  gpu::TexturePixels pixels = gpu::PixelsOf(*frame.Surface());
  out.width = pixels.width;
  out.height = pixels.height;
  out.pixels.resize(static_cast<size_t>(pixels.width) * pixels.height);
  for (uint32_t y = 0; y < pixels.height; ++y) {
    std::memcpy(out.pixels.data() + static_cast<size_t>(y) * pixels.width, pixels.data + y * pixels.rowPitch,
                pixels.width * 4u);
  }
  return out;
}

class CaptureHarness {
 public:
  using Clock = std::chrono::steady_clock;

  explicit CaptureHarness(const std::string& display) : service(display) {
    device = MakeDevice();
    interop = service.GetItemInterop();
    EXPECT_EQ(service.CreateCaptureDevice(device, &captureDevice), S_OK);
  }
  ~CaptureHarness() { Stop(); }

  // Makes the pool (of the item's size unless given) and the session; does not start.
  void Prepare(std::shared_ptr<screen::CaptureItem> captureItem, screen::SizeInt32 size = {}) {
    item = std::move(captureItem);
    if (size.Width == 0) size = item->Size();
    pool = service.CreateFreeThreadedFramePool(captureDevice, gpu::Format::B8G8R8A8_UNORM, 2, size);
    token = pool->AddFrameArrived([this](screen::FramePool& sender) {
      std::shared_ptr<screen::CaptureFrame> frame = sender.TryGetNextFrame();
      if (!frame) return;
      CapturedFrame copy = CopyFrame(*frame);
      frame->Close();
      std::lock_guard lock(mutex);
      frames.push_back(std::move(copy));
      arrived.notify_all();
    });
    session = pool->CreateCaptureSession(item);
  }

  void Start(bool cursor) {
    session->QueryCursorCaptureSetting()->SetIsCursorCaptureEnabled(cursor);
    session->StartCapture();
  }

  void Stop() {
    if (session) session->Close();
    if (pool) pool->Close();
  }

  size_t Count() {
    std::lock_guard lock(mutex);
    return frames.size();
  }

  // Waits until a frame delivered at index >= `from` satisfies `pred`; returns it.
  std::optional<CapturedFrame> WaitFor(const std::function<bool(const CapturedFrame&)>& pred, size_t from = 0,
                                       std::chrono::milliseconds timeout = std::chrono::seconds(15)) {
    std::unique_lock lock(mutex);
    auto deadline = Clock::now() + timeout;
    size_t next = from;
    while (true) {
      for (; next < frames.size(); ++next) {
        if (pred(frames[next])) return frames[next];
      }
      if (arrived.wait_until(lock, deadline) == std::cv_status::timeout && next >= frames.size()) return std::nullopt;
    }
  }

  std::optional<CapturedFrame> WaitForAny(size_t from = 0) {
    return WaitFor([](const CapturedFrame&) { return true; }, from);
  }

  x11::X11CaptureService service;
  std::shared_ptr<gpu::Device> device;
  std::shared_ptr<screen::CaptureItemInterop> interop;
  std::shared_ptr<screen::CaptureDevice> captureDevice;
  std::shared_ptr<screen::CaptureItem> item;
  std::shared_ptr<screen::FramePool> pool;
  std::shared_ptr<screen::CaptureSession> session;
  screen::EventToken token = 0;

  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<CapturedFrame> frames;
};

// Counts the pixels of the window-sized pattern at (left, top) of `frame` that differ.
inline int PatternMismatches(const CapturedFrame& frame, int left, int top, int width, int height, int seed) {
  int mismatches = 0;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      if (frame.At(left + x, top + y) != PatternPixel(x, y, seed)) ++mismatches;
    }
  }
  return mismatches;
}

}  // namespace kalto::test

#define KALTO_REQUIRE_XVFB()                                         \
  do {                                                               \
    if (!::kalto::test::XServer::Available()) GTEST_SKIP() << "Xvfb is not installed"; \
  } while (0)
