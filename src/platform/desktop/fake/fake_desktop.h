#pragma once
// A scripted desktop: monitors, windows and a cursor that tests set up and change at will.
#include <map>
#include <mutex>

#include "platform/desktop/desktop.h"

namespace kalto::desktop {

class FakeDesktop : public Desktop {
 public:
  MonitorHandle AddMonitor(Rect rect, bool primary = false, std::string name = {});
  WindowHandle AddWindow(Rect rect, uint32_t processId = 0, std::string title = {});
  void SetMinimized(WindowHandle window, bool minimized);
  void MoveWindow(WindowHandle window, Rect rect);
  void RemoveWindow(WindowHandle window);
  void SetCursorPos(Point position);
  // Makes GetCursorPos fail, as it does on a secure desktop.
  void FailCursorPos(bool fail);
  int CursorPosCalls() const;
  // Makes GetMonitorInfo fail for every monitor.
  void FailMonitorInfo(bool fail);
  int IsIconicCalls() const;
  // Lookups that ignore FailMonitorInfo, for the other fakes.
  bool FindMonitor(MonitorHandle monitor, MonitorInfo* info) const;
  bool FindWindow(WindowHandle window, WindowInfo* info) const;

  std::vector<MonitorHandle> EnumMonitors() override;
  MonitorHandle PrimaryMonitor() override;
  bool GetMonitorInfo(MonitorHandle monitor, MonitorInfo* info) override;
  MonitorHandle MonitorFromWindow(WindowHandle window, MonitorDefault fallback) override;
  std::vector<WindowInfo> EnumWindows() override;
  bool IsWindow(WindowHandle window) override;
  uint32_t GetWindowProcessId(WindowHandle window) override;
  bool IsIconic(WindowHandle window) override;
  bool GetCursorPos(Point* position) override;

 private:
  mutable std::mutex m_mutex;
  std::map<MonitorHandle, MonitorInfo> m_monitors;
  std::map<WindowHandle, WindowInfo> m_windows;
  MonitorHandle m_nextMonitor = 0x10001;
  WindowHandle m_nextWindow = 0x200001;
  Point m_cursor;
  bool m_failCursorPos = false;
  int m_cursorPosCalls = 0;
  bool m_failMonitorInfo = false;
  int m_isIconicCalls = 0;
};

}  // namespace kalto::desktop
