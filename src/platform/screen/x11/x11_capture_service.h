#pragma once
// Graphics capture on an X server: capture items for RandR monitors and windows, free-threaded
// frame pools over MIT-SHM buffers that are textures of the software device.
#include <X11/Xlib.h>

#include <memory>
#include <mutex>
#include <string>

#include "platform/desktop/desktop.h"
#include "platform/desktop/x11/x11_connection.h"
#include "platform/screen/capture_service.h"

namespace kalto::x11 {

// What a capture item names, with what the worker needs to find it on its own connection.
struct CaptureTarget {
  enum class Kind { Monitor, Window };
  Kind kind = Kind::Monitor;
  std::string displayName;  // resolved, never empty
  Atom monitor = None;
  desktop::Rect monitorRect;  // at the time the item was made
  Window window = None;
};

class X11CaptureItem : public screen::CaptureItem {
 public:
  X11CaptureItem(CaptureTarget target, screen::SizeInt32 size) : m_target(std::move(target)), m_size(size) {}
  screen::SizeInt32 Size() const override { return m_size; }
  const CaptureTarget& Target() const { return m_target; }

 private:
  CaptureTarget m_target;
  screen::SizeInt32 m_size;
};

class X11CaptureDevice : public screen::CaptureDevice {
 public:
  explicit X11CaptureDevice(std::shared_ptr<gpu::Device> device) : m_device(std::move(device)) {}
  std::shared_ptr<gpu::Device> GetD3DDevice() const override { return m_device; }

 private:
  std::shared_ptr<gpu::Device> m_device;
};

class X11CaptureService : public screen::CaptureService {
 public:
  // `displayName` empty means $DISPLAY, read when the interop is first asked for.
  explicit X11CaptureService(std::string displayName = "");

  std::shared_ptr<screen::CaptureItemInterop> GetItemInterop() override;
  HRESULT CreateCaptureDevice(const std::shared_ptr<gpu::Device>& device,
                              std::shared_ptr<screen::CaptureDevice>* captureDevice) override;
  std::shared_ptr<screen::FramePool> CreateFreeThreadedFramePool(const std::shared_ptr<screen::CaptureDevice>& device,
                                                                 gpu::Format format, int32_t buffers,
                                                                 screen::SizeInt32 size) override;

 private:
  std::mutex m_mutex;
  std::string m_displayName;
  std::shared_ptr<screen::CaptureItemInterop> m_interop;
};

}  // namespace kalto::x11
