#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "common/frame_callback.h"
#include "platform/platform.h"

namespace kalto {

// Turns one monitor or one top-level window into a stream of BGRA textures stamped from the
// recording's time origin, optionally cropped, with black frames while a captured window is
// minimised. Driven by one owner: construct, SetCaptureCursor, Initialize*, optional crop and
// start time, Start, (SetPaused, SetCropRegion), Stop, destroy.
//
// Threads: the owner's thread calls everything public; frames arrive on the capture service's
// worker thread and, for a minimised window, on this object's own thread, never two at once.
// SetCropRegion may also come from the focus-zoom thread. The frame callback may stop or destroy
// the capture; neither thread touches the object after that.
class ScreenCapture {
 public:
  explicit ScreenCapture(std::shared_ptr<platform::Platform> platform = platform::DefaultPlatform());
  ~ScreenCapture();
  ScreenCapture(const ScreenCapture&) = delete;
  ScreenCapture& operator=(const ScreenCapture&) = delete;

  bool HasDevice() const { return m_winrtDevice != nullptr; }
  void SetCaptureCursor(bool capture) { m_captureCursor = capture; }
  // The shortest time between two captured frames, applied at Start; zero: every change. A
  // recorder at N frames per second has no use for more frames than that.
  void SetMinUpdateInterval(std::chrono::nanoseconds interval) { m_minUpdateInterval = interval; }
  bool InitializeForMonitor(desktop::MonitorHandle monitor);
  bool InitializeForWindow(desktop::WindowHandle window);
  int32_t GetWidth() const { return m_width.load(std::memory_order_relaxed); }
  int32_t GetHeight() const { return m_height.load(std::memory_order_relaxed); }
  // Borrowed: frames combined with these textures must come from this device.
  gpu::Device* GetDevice() const { return m_device.get(); }

  // In the captured monitor's pixels; width or height below 1 turns cropping off.
  void SetCropRegion(int32_t x, int32_t y, int32_t width, int32_t height);
  // The steady-clock time (ns) that timestamp 0 stands for, shared with the other producers.
  void SetStartTimeBase(int64_t startTimeNs);

  // Called once, on the service's worker thread, when capture ends on its own (window closed,
  // display server lost, worker failed). Set before Start. It must not stop or destroy the
  // capture itself: Stop waits for a running call.
  using EndedCallback = std::function<void(screen::CaptureEnd reason)>;
  void SetEndedCallback(EndedCallback callback);

  bool Start(FrameCallback callback);
  void SetPaused(bool paused) { m_isPaused.store(paused); }
  std::wstring GetLastErrorText() const;
  void Stop();

  // The process-wide count of invalid crop boxes only ever grows; tests start from zero.
  static void ResetInvalidCropBoxCounterForTesting();

 private:
  void CreateDevice();
  void OnFrameArrived(screen::FramePool& pool);
  void OnCaptureEnded(screen::CaptureEnd reason);
  void RecreateFramePool(int32_t width, int32_t height);
  // Outlives the capture while a delivering thread still runs: a callback that destroyed the
  // capture leaves its thread only this to look at.
  struct Delivery {
    std::mutex mutex;
    std::condition_variable idle;
    bool open = false;  // between Start and Stop
    bool busy = false;  // a callback is running
    FrameCallback callback;
  };
  // Relays the session's end to the owner until Stop.
  struct EndedRelay {
    std::mutex mutex;
    EndedCallback callback;
  };
  void MinimizedWindowLoop(const std::shared_ptr<Delivery>& delivery, const std::shared_ptr<std::atomic<bool>>& running);
  void JoinMinimizedThread();
  void CloseDelivery();
  // One frame through the callback, after any other thread's frame; false when the capture
  // stopped or the callback failed.
  static bool DeliverFrame(Delivery& delivery, gpu::Texture2D& texture, int64_t timestampHns);
  // The texture to deliver for `frameTexture`: itself, or the cropped copy; null to skip the frame.
  std::shared_ptr<gpu::Texture2D> ChooseDeliveredTexture(const std::shared_ptr<gpu::Texture2D>& frameTexture);
  void SetLastError(std::wstring text);

  std::shared_ptr<platform::Platform> m_platform;

  std::shared_ptr<gpu::Device> m_device;
  std::shared_ptr<gpu::DeviceContext> m_context;
  std::shared_ptr<screen::CaptureDevice> m_winrtDevice;
  std::shared_ptr<screen::CaptureItem> m_item;
  std::shared_ptr<screen::FramePool> m_framePool;
  std::shared_ptr<screen::CaptureSession> m_session;
  screen::EventToken m_frameArrivedToken = 0;
  std::atomic<bool> m_isCapturing{false};
  std::atomic<bool> m_isPaused{false};
  // Written by the frame thread on a size change while the owner may read them.
  std::atomic<int32_t> m_width{0};
  std::atomic<int32_t> m_height{0};
  int32_t m_sourceWidth = 0;
  int32_t m_sourceHeight = 0;
  bool m_captureCursor = true;
  std::chrono::nanoseconds m_minUpdateInterval{0};
  mutable std::mutex m_lastErrorMutex;
  std::wstring m_lastError;
  desktop::WindowHandle m_hwnd = 0;

  int32_t m_cropX = 0;
  int32_t m_cropY = 0;
  int32_t m_cropWidth = 0;
  int32_t m_cropHeight = 0;
  bool m_cropEnabled = false;
  std::shared_ptr<gpu::Texture2D> m_croppedTexture;

  std::shared_ptr<Delivery> m_delivery = std::make_shared<Delivery>();
  std::shared_ptr<EndedRelay> m_endedRelay = std::make_shared<EndedRelay>();
  EndedCallback m_endedCallback;
  int64_t m_startTimeNs = 0;
  // Both the frame thread and the minimised-window thread update it.
  std::atomic<int64_t> m_lastFrameTimeNs{0};
  int64_t m_startTimeBaseNs = 0;
  bool m_hasStartTimeBase = false;
  std::shared_ptr<gpu::Texture2D> m_blackTexture;
  std::thread m_minimizedThread;
  std::shared_ptr<std::atomic<bool>> m_minimizedThreadRunning = std::make_shared<std::atomic<bool>>(false);
  std::mutex m_stateMutex;
  std::mutex m_cropMutex;
};

}  // namespace kalto
