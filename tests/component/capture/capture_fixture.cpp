#include "capture_fixture.h"

#include "common/steady_clock.h"

namespace kalto::test {

FrameCallback FrameSink::Callback() {
  return [this](gpu::Texture2D& texture, int64_t timestampHns) {
    DeliveredFrame f;
    f.arrivalNs = SteadyNowNs();
    auto desc = texture.GetDesc();
    f.texture = &texture;
    f.width = desc.width;
    f.height = desc.height;
    f.timestampHns = timestampHns;
    auto pixels = ReadPixels(texture);
    if (!pixels.empty()) {
      f.topLeft = pixels.front();
      f.bottomRight = pixels.back();
    }
    std::lock_guard lock(m_mutex);
    m_frames.push_back(f);
    m_cv.notify_all();
  };
}

bool FrameSink::WaitFor(size_t count, int timeoutMs) {
  std::unique_lock lock(m_mutex);
  return m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_frames.size() >= count; });
}

std::vector<DeliveredFrame> FrameSink::Frames() const {
  std::lock_guard lock(m_mutex);
  return m_frames;
}

size_t FrameSink::Count() const {
  std::lock_guard lock(m_mutex);
  return m_frames.size();
}

CaptureTest::CaptureTest() {
  platform = std::make_shared<platform::Platform>();
  platform->gpu = gpuFactory;
  platform->desktop = desktop;
  platform->screen = service;
  ScreenCapture::ResetInvalidCropBoxCounterForTesting();
}

std::unique_ptr<ScreenCapture> CaptureTest::MakeCapture() { return std::make_unique<ScreenCapture>(platform); }

void CaptureTest::Emit(int n) {
  auto pool = service->LastPool();
  ASSERT_TRUE(pool);
  pool->EmitFrames(n);
  ASSERT_TRUE(pool->WaitIdle(5000));
}

}  // namespace kalto::test
