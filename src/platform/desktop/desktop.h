#pragma once
// Monitors, top-level windows and the cursor: the stand-in for the Win32 calls the engine makes
// (MonitorFromWindow, GetMonitorInfoW, GetWindowThreadProcessId, IsIconic, GetCursorPos).
#include <cstdint>
#include <string>
#include <vector>

namespace kalto::desktop {

// A monitor handle names one monitor of the desktop; a window handle is the window's id.
// 0 is never a valid handle.
using MonitorHandle = int64_t;
using WindowHandle = int64_t;

struct Rect {
  int32_t left = 0, top = 0, right = 0, bottom = 0;
  int32_t Width() const { return right - left; }
  int32_t Height() const { return bottom - top; }
};

struct Point {
  int32_t x = 0, y = 0;
};

struct MonitorInfo {
  Rect monitor;   // desktop coordinates
  Rect work;      // the part not taken by panels; the whole monitor where unknown
  bool primary = false;
  std::string name;
};

struct WindowInfo {
  WindowHandle handle = 0;
  std::string title;
  Rect rect;  // desktop coordinates of the client area
  uint32_t processId = 0;
  bool minimized = false;
};

enum class MonitorDefault { Null = 0, Primary = 1, Nearest = 2 };

class Desktop {
 public:
  virtual ~Desktop() = default;
  virtual std::vector<MonitorHandle> EnumMonitors() = 0;
  virtual MonitorHandle PrimaryMonitor() = 0;
  // False when the handle names no monitor.
  virtual bool GetMonitorInfo(MonitorHandle monitor, MonitorInfo* info) = 0;
  // The monitor with the largest overlap with the window; otherwise as `fallback` says.
  virtual MonitorHandle MonitorFromWindow(WindowHandle window, MonitorDefault fallback) = 0;
  // Top-level windows a user would pick for capture (mapped, with a title), front to back.
  virtual std::vector<WindowInfo> EnumWindows() = 0;
  virtual bool IsWindow(WindowHandle window) = 0;
  // 0 when unknown.
  virtual uint32_t GetWindowProcessId(WindowHandle window) = 0;
  virtual bool IsIconic(WindowHandle window) = 0;
  virtual bool GetCursorPos(Point* position) = 0;
};

}  // namespace kalto::desktop
