#include "platform/desktop/fake/fake_desktop.h"

#include <algorithm>
#include <climits>

namespace kalto::desktop {
namespace {

int64_t OverlapArea(const Rect& a, const Rect& b) {
  int64_t w = std::min(a.right, b.right) - std::max(a.left, b.left);
  int64_t h = std::min(a.bottom, b.bottom) - std::max(a.top, b.top);
  return (w > 0 && h > 0) ? w * h : 0;
}

int64_t DistanceSquared(const Rect& a, const Rect& b) {
  int64_t dx = std::max<int64_t>({0, int64_t{b.left} - a.right, int64_t{a.left} - b.right});
  int64_t dy = std::max<int64_t>({0, int64_t{b.top} - a.bottom, int64_t{a.top} - b.bottom});
  return dx * dx + dy * dy;
}

}  // namespace

MonitorHandle FakeDesktop::AddMonitor(Rect rect, bool primary, std::string name) {
  std::lock_guard lock(m_mutex);
  MonitorHandle h = m_nextMonitor++;
  m_monitors[h] = MonitorInfo{rect, rect, primary, name.empty() ? "FAKE-" + std::to_string(h) : std::move(name)};
  return h;
}

WindowHandle FakeDesktop::AddWindow(Rect rect, uint32_t processId, std::string title) {
  std::lock_guard lock(m_mutex);
  WindowHandle h = m_nextWindow++;
  m_windows[h] = WindowInfo{h, std::move(title), rect, processId, false};
  return h;
}

void FakeDesktop::SetMinimized(WindowHandle window, bool minimized) {
  std::lock_guard lock(m_mutex);
  if (auto it = m_windows.find(window); it != m_windows.end()) it->second.minimized = minimized;
}

void FakeDesktop::MoveWindow(WindowHandle window, Rect rect) {
  std::lock_guard lock(m_mutex);
  if (auto it = m_windows.find(window); it != m_windows.end()) it->second.rect = rect;
}

void FakeDesktop::RemoveWindow(WindowHandle window) {
  std::lock_guard lock(m_mutex);
  m_windows.erase(window);
}

void FakeDesktop::SetCursorPos(Point position) {
  std::lock_guard lock(m_mutex);
  m_cursor = position;
}

void FakeDesktop::FailCursorPos(bool fail) {
  std::lock_guard lock(m_mutex);
  m_failCursorPos = fail;
}

int FakeDesktop::CursorPosCalls() const {
  std::lock_guard lock(m_mutex);
  return m_cursorPosCalls;
}

void FakeDesktop::FailMonitorInfo(bool fail) {
  std::lock_guard lock(m_mutex);
  m_failMonitorInfo = fail;
}

int FakeDesktop::IsIconicCalls() const {
  std::lock_guard lock(m_mutex);
  return m_isIconicCalls;
}

bool FakeDesktop::FindMonitor(MonitorHandle monitor, MonitorInfo* info) const {
  std::lock_guard lock(m_mutex);
  auto it = m_monitors.find(monitor);
  if (it == m_monitors.end()) return false;
  *info = it->second;
  return true;
}

bool FakeDesktop::FindWindow(WindowHandle window, WindowInfo* info) const {
  std::lock_guard lock(m_mutex);
  auto it = m_windows.find(window);
  if (it == m_windows.end()) return false;
  *info = it->second;
  return true;
}

std::vector<MonitorHandle> FakeDesktop::EnumMonitors() {
  std::lock_guard lock(m_mutex);
  std::vector<MonitorHandle> out;
  for (const auto& [h, info] : m_monitors) out.push_back(h);
  return out;
}

MonitorHandle FakeDesktop::PrimaryMonitor() {
  std::lock_guard lock(m_mutex);
  for (const auto& [h, info] : m_monitors) {
    if (info.primary) return h;
  }
  return m_monitors.empty() ? 0 : m_monitors.begin()->first;
}

bool FakeDesktop::GetMonitorInfo(MonitorHandle monitor, MonitorInfo* info) {
  std::lock_guard lock(m_mutex);
  auto it = m_monitors.find(monitor);
  if (m_failMonitorInfo || it == m_monitors.end()) return false;
  *info = it->second;
  return true;
}

MonitorHandle FakeDesktop::MonitorFromWindow(WindowHandle window, MonitorDefault fallback) {
  std::unique_lock lock(m_mutex);
  auto w = m_windows.find(window);
  if (w == m_windows.end() || m_monitors.empty()) return 0;
  MonitorHandle best = 0;
  int64_t bestArea = 0;
  for (const auto& [h, info] : m_monitors) {
    if (int64_t a = OverlapArea(info.monitor, w->second.rect); a > bestArea) {
      bestArea = a;
      best = h;
    }
  }
  if (best != 0 || fallback == MonitorDefault::Null) return best;
  if (fallback == MonitorDefault::Primary) {
    lock.unlock();
    return PrimaryMonitor();
  }
  int64_t bestDistance = LLONG_MAX;
  for (const auto& [h, info] : m_monitors) {
    if (int64_t d = DistanceSquared(info.monitor, w->second.rect); d < bestDistance) {
      bestDistance = d;
      best = h;
    }
  }
  return best;
}

std::vector<WindowInfo> FakeDesktop::EnumWindows() {
  std::lock_guard lock(m_mutex);
  std::vector<WindowInfo> out;
  for (const auto& [h, info] : m_windows) out.push_back(info);
  return out;
}

bool FakeDesktop::IsWindow(WindowHandle window) {
  std::lock_guard lock(m_mutex);
  return m_windows.count(window) != 0;
}

uint32_t FakeDesktop::GetWindowProcessId(WindowHandle window) {
  std::lock_guard lock(m_mutex);
  auto it = m_windows.find(window);
  return it == m_windows.end() ? 0 : it->second.processId;
}

bool FakeDesktop::IsIconic(WindowHandle window) {
  std::lock_guard lock(m_mutex);
  ++m_isIconicCalls;
  auto it = m_windows.find(window);
  return it != m_windows.end() && it->second.minimized;
}

bool FakeDesktop::GetCursorPos(Point* position) {
  std::lock_guard lock(m_mutex);
  ++m_cursorPosCalls;
  if (m_failCursorPos) return false;
  *position = m_cursor;
  return true;
}

}  // namespace kalto::desktop
