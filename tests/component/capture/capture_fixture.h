#pragma once
#include <gtest/gtest.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "capture/screen_capture.h"
#include "platform/desktop/fake/fake_desktop.h"
#include "platform/gpu/software/software_device.h"
#include "platform/screen/fake/fake_capture_service.h"
#include "support/debug_capture.h"
#include "support/gpu_readback.h"

namespace kalto::test {

// What a frame callback saw: the texture's identity and size, its timestamp, and a few pixels.
struct DeliveredFrame {
  const gpu::Texture2D* texture = nullptr;
  uint32_t width = 0;
  uint32_t height = 0;
  int64_t timestampHns = 0;
  int64_t arrivalNs = 0;
  uint32_t topLeft = 0;
  uint32_t bottomRight = 0;
};

class FrameSink {
 public:
  FrameCallback Callback();
  bool WaitFor(size_t count, int timeoutMs = 5000);
  std::vector<DeliveredFrame> Frames() const;
  size_t Count() const;

 private:
  mutable std::mutex m_mutex;
  std::condition_variable m_cv;
  std::vector<DeliveredFrame> m_frames;
};

class CaptureTest : public ::testing::Test {
 protected:
  CaptureTest();
  std::unique_ptr<ScreenCapture> MakeCapture();
  // Emits n frames on the last pool and waits until the worker has handled them.
  void Emit(int n);

  std::shared_ptr<desktop::FakeDesktop> desktop = std::make_shared<desktop::FakeDesktop>();
  std::shared_ptr<gpu::software::SoftwareDeviceFactory> gpuFactory =
      std::make_shared<gpu::software::SoftwareDeviceFactory>();
  std::shared_ptr<screen::FakeCaptureService> service = std::make_shared<screen::FakeCaptureService>(desktop);
  std::shared_ptr<platform::Platform> platform;
  DebugCapture log;
  FrameSink sink;
};

}  // namespace kalto::test
