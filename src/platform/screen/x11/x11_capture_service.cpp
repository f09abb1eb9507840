#include "platform/screen/x11/x11_capture_service.h"

#include "platform/desktop/x11/x11_desktop.h"
#include "platform/screen/x11/x11_frame_pool.h"

namespace kalto::x11 {
namespace {

class X11ItemInterop : public screen::CaptureItemInterop {
 public:
  explicit X11ItemInterop(std::shared_ptr<Connection> connection) : m_connection(std::move(connection)) {}

  HRESULT CreateForMonitor(desktop::MonitorHandle monitor, std::shared_ptr<screen::CaptureItem>* item) override {
    if (!item) return E_POINTER;
    item->reset();
    std::lock_guard lock(m_mutex);
    if (monitor <= 0 || m_connection->Broken()) return E_INVALIDARG;
    for (const MonitorRecord& m : QueryMonitors(m_connection->get())) {
      if (static_cast<desktop::MonitorHandle>(m.atom) != monitor) continue;
      CaptureTarget target;
      target.kind = CaptureTarget::Kind::Monitor;
      target.displayName = m_connection->Name();
      target.monitor = m.atom;
      target.monitorRect = m.rect;
      *item = std::make_shared<X11CaptureItem>(std::move(target), screen::SizeInt32{m.rect.Width(), m.rect.Height()});
      return S_OK;
    }
    return E_INVALIDARG;
  }

  HRESULT CreateForWindow(desktop::WindowHandle window, std::shared_ptr<screen::CaptureItem>* item) override {
    if (!item) return E_POINTER;
    item->reset();
    std::lock_guard lock(m_mutex);
    if (window <= 0 || window > 0xFFFFFFFFll || m_connection->Broken()) return E_INVALIDARG;
    Display* display = m_connection->get();
    XWindowAttributes attributes{};
    {
      ErrorTrap trap(display);
      if (!XGetWindowAttributes(display, static_cast<Window>(window), &attributes) || trap.Error(false) != Success) {
        return E_INVALIDARG;
      }
    }
    // The root window is the desktop, captured through its monitors.
    if (static_cast<Window>(window) == attributes.root) return E_INVALIDARG;
    CaptureTarget target;
    target.kind = CaptureTarget::Kind::Window;
    target.displayName = m_connection->Name();
    target.window = static_cast<Window>(window);
    *item = std::make_shared<X11CaptureItem>(std::move(target), screen::SizeInt32{attributes.width, attributes.height});
    return S_OK;
  }

 private:
  std::mutex m_mutex;
  std::shared_ptr<Connection> m_connection;
};

}  // namespace

X11CaptureService::X11CaptureService(std::string displayName) : m_displayName(std::move(displayName)) {}

std::shared_ptr<screen::CaptureItemInterop> X11CaptureService::GetItemInterop() {
  std::lock_guard lock(m_mutex);
  if (m_interop) return m_interop;
  std::shared_ptr<Connection> connection = Connection::Open(m_displayName);
  if (!connection) {
    throw PlatformError(REGDB_E_CLASSNOTREG, "Cannot open X display " + Connection::ResolveName(m_displayName));
  }
  m_interop = std::make_shared<X11ItemInterop>(std::move(connection));
  return m_interop;
}

HRESULT X11CaptureService::CreateCaptureDevice(const std::shared_ptr<gpu::Device>& device,
                                               std::shared_ptr<screen::CaptureDevice>* captureDevice) {
  if (!captureDevice) return E_POINTER;
  captureDevice->reset();
  if (!device) return E_INVALIDARG;
  *captureDevice = std::make_shared<X11CaptureDevice>(device);
  return S_OK;
}

std::shared_ptr<screen::FramePool> X11CaptureService::CreateFreeThreadedFramePool(
    const std::shared_ptr<screen::CaptureDevice>& device, gpu::Format format, int32_t buffers, screen::SizeInt32 size) {
  return X11FramePool::Create(device, format, buffers, size);
}

}  // namespace kalto::x11
