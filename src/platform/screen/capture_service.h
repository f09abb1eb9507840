#pragma once
// The graphics-capture service: capture items for monitors and windows, a free-threaded frame
// pool whose frames arrive on a service worker thread, and capture sessions. Calls that the
// platform reports as failed throw kalto::PlatformError, as the platform's projection does.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

#include "common/result.h"
#include "platform/desktop/desktop.h"
#include "platform/gpu/gpu_device.h"

namespace kalto::screen {

struct SizeInt32 {
  int32_t Width = 0;
  int32_t Height = 0;
  friend bool operator==(const SizeInt32&, const SizeInt32&) = default;
};

// The device wrapped for the capture service (IDirect3DDevice).
class CaptureDevice {
 public:
  virtual ~CaptureDevice() = default;
  virtual std::shared_ptr<gpu::Device> GetD3DDevice() const = 0;
};

class CaptureItem {
 public:
  virtual ~CaptureItem() = default;
  virtual SizeInt32 Size() const = 0;
};

// One captured frame. Surface is a texture of the pool's device, of the pool's size; ContentSize
// is the size of what was captured, which differs from the surface after a resize until the pool
// is recreated. Close hands the buffer back to the pool.
class CaptureFrame {
 public:
  virtual ~CaptureFrame() = default;
  virtual SizeInt32 ContentSize() const = 0;
  virtual std::shared_ptr<gpu::Texture2D> Surface() const = 0;
  virtual void Close() = 0;
};

// Optional session interfaces; a platform that lacks one answers null from the query.
class CursorCaptureSetting {
 public:
  virtual ~CursorCaptureSetting() = default;
  virtual void SetIsCursorCaptureEnabled(bool enabled) = 0;
};
class BorderSetting {
 public:
  virtual ~BorderSetting() = default;
  virtual void SetIsBorderRequired(bool required) = 0;
};

// The shortest time between two delivered frames; zero delivers every change (up to the
// display's refresh rate). Changes inside the interval are delivered at its end, not lost.
class MinUpdateIntervalSetting {
 public:
  virtual ~MinUpdateIntervalSetting() = default;
  virtual void SetMinUpdateInterval(std::chrono::nanoseconds interval) = 0;
};

// Why a session stopped delivering frames on its own.
enum class CaptureEnd {
  ItemClosed,      // the window was destroyed or the monitor went away
  ConnectionLost,  // the display server is gone
  Failed,          // the service's worker could not go on
};

class CaptureSession {
 public:
  virtual ~CaptureSession() = default;
  // Called at most once, on the service's worker thread, when the session stops delivering for
  // good without being closed. Set before StartCapture; Close returns only after a running call.
  using EndedHandler = std::function<void(CaptureEnd reason)>;
  virtual void SetEndedHandler(EndedHandler handler) = 0;
  virtual CursorCaptureSetting* QueryCursorCaptureSetting() = 0;
  virtual BorderSetting* QueryBorderSetting() = 0;
  virtual MinUpdateIntervalSetting* QueryMinUpdateIntervalSetting() = 0;
  virtual void StartCapture() = 0;
  virtual void Close() = 0;
};

using EventToken = int64_t;

class FramePool {
 public:
  virtual ~FramePool() = default;
  // Called on a service worker thread whenever a frame is ready. Handlers must not block long:
  // the pool has a fixed number of buffers.
  using FrameArrivedHandler = std::function<void(FramePool& sender)>;
  virtual EventToken AddFrameArrived(FrameArrivedHandler handler) = 0;
  // Returns after any running invocation of that handler has ended.
  virtual void RemoveFrameArrived(EventToken token) = 0;
  // Null when no frame is waiting.
  virtual std::shared_ptr<CaptureFrame> TryGetNextFrame() = 0;
  virtual void Recreate(const std::shared_ptr<CaptureDevice>& device, gpu::Format format, int32_t buffers,
                        SizeInt32 size) = 0;
  virtual std::shared_ptr<CaptureSession> CreateCaptureSession(const std::shared_ptr<CaptureItem>& item) = 0;
  virtual void Close() = 0;
};

// The activation factory of capture items (IGraphicsCaptureItemInterop).
class CaptureItemInterop {
 public:
  virtual ~CaptureItemInterop() = default;
  virtual HRESULT CreateForMonitor(desktop::MonitorHandle monitor, std::shared_ptr<CaptureItem>* item) = 0;
  virtual HRESULT CreateForWindow(desktop::WindowHandle window, std::shared_ptr<CaptureItem>* item) = 0;
};

class CaptureService {
 public:
  virtual ~CaptureService() = default;
  // Throws PlatformError when the factory cannot be obtained.
  virtual std::shared_ptr<CaptureItemInterop> GetItemInterop() = 0;
  // CreateDirect3D11DeviceFromDXGIDevice.
  virtual HRESULT CreateCaptureDevice(const std::shared_ptr<gpu::Device>& device,
                                      std::shared_ptr<CaptureDevice>* captureDevice) = 0;
  virtual std::shared_ptr<FramePool> CreateFreeThreadedFramePool(const std::shared_ptr<CaptureDevice>& device,
                                                                 gpu::Format format, int32_t buffers,
                                                                 SizeInt32 size) = 0;
};

}  // namespace kalto::screen
