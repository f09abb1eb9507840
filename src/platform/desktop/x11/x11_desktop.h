#pragma once
// The desktop on an X server: RandR monitors, the window manager's client windows, the pointer.
#include <X11/Xlib.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/desktop/desktop.h"
#include "platform/desktop/x11/x11_connection.h"

namespace kalto::x11 {

struct MonitorRecord {
  Atom atom = None;  // the RandR monitor's name, which is also its handle
  desktop::Rect rect;
  bool primary = false;
  std::string name;
};

// The RandR monitors in the server's order; the whole screen as one monitor when RandR reports
// none. Call with the connection serialised.
std::vector<MonitorRecord> QueryMonitors(Display* display);
// The window's inside-border rectangle in root coordinates; false when the window is gone.
bool WindowRootRect(Display* display, Window window, desktop::Rect* rect);

class X11Desktop : public desktop::Desktop {
 public:
  // `displayName` empty means $DISPLAY. Nothing connects until the first query.
  explicit X11Desktop(std::string displayName = "");

  std::vector<desktop::MonitorHandle> EnumMonitors() override;
  desktop::MonitorHandle PrimaryMonitor() override;
  bool GetMonitorInfo(desktop::MonitorHandle monitor, desktop::MonitorInfo* info) override;
  desktop::MonitorHandle MonitorFromWindow(desktop::WindowHandle window, desktop::MonitorDefault fallback) override;
  std::vector<desktop::WindowInfo> EnumWindows() override;
  bool IsWindow(desktop::WindowHandle window) override;
  uint32_t GetWindowProcessId(desktop::WindowHandle window) override;
  bool IsIconic(desktop::WindowHandle window) override;
  bool GetCursorPos(desktop::Point* position) override;

 private:
  // The open connection, opening it on first use (and again after a failure); null when the
  // display cannot be opened. Called with m_mutex held.
  Display* DisplayLocked();
  desktop::MonitorHandle PrimaryLocked(Display* display);

  std::mutex m_mutex;
  std::string m_displayName;
  std::shared_ptr<Connection> m_connection;
};

}  // namespace kalto::x11
