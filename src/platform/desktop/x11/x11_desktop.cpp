#include "platform/desktop/x11/x11_desktop.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xrandr.h>

#include <algorithm>
#include <cstdint>

namespace kalto::x11 {
namespace {

constexpr long kWithdrawnState = 0;
constexpr long kNormalState = 1;
constexpr long kIconicState = 3;

bool Valid(desktop::WindowHandle window) { return window > 0 && window <= 0xFFFFFFFFll; }

int64_t Overlap(const desktop::Rect& a, const desktop::Rect& b) {
  int64_t w = std::min(a.right, b.right) - std::max(a.left, b.left);
  int64_t h = std::min(a.bottom, b.bottom) - std::max(a.top, b.top);
  return w > 0 && h > 0 ? w * h : 0;
}

int64_t DistanceSquared(const desktop::Rect& a, const desktop::Rect& b) {
  int64_t dx = std::max({0, b.left - a.right, a.left - b.right});
  int64_t dy = std::max({0, b.top - a.bottom, a.top - b.bottom});
  return dx * dx + dy * dy;
}

std::string Latin1ToUtf8(const unsigned char* text, unsigned long length) {
  std::string out;
  out.reserve(length);
  for (unsigned long i = 0; i < length && text[i]; ++i) {
    unsigned char c = text[i];
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::string WindowTitle(Display* display, Window window) {
  Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
  Property net = GetProperty(display, window, XInternAtom(display, "_NET_WM_NAME", False), utf8);
  if (!net.Empty() && net.format == 8) {
    return std::string(reinterpret_cast<const char*>(net.data.get()), net.count);
  }
  Property name = GetProperty(display, window, XA_WM_NAME);
  if (name.Empty() || name.format != 8) return {};
  if (name.type == XA_STRING) return Latin1ToUtf8(name.data.get(), name.count);
  return std::string(reinterpret_cast<const char*>(name.data.get()), name.count);
}

// WM_STATE's state field, or -1 when the window has no WM_STATE.
long WmState(Display* display, Window window) {
  Atom wmState = XInternAtom(display, "WM_STATE", True);
  if (wmState == None) return -1;
  Property state = GetProperty(display, window, wmState, wmState, 2);
  if (state.Empty() || state.format != 32) return -1;
  return state.Long(0);
}

std::vector<Window> Children(Display* display, Window window) {
  Window root = None, parent = None;
  Window* children = nullptr;
  unsigned int count = 0;
  ErrorTrap trap(display);
  if (!XQueryTree(display, window, &root, &parent, &children, &count)) return {};
  XPtr<Window> owned(children);
  return std::vector<Window>(children, children + count);
}

// The window itself when it carries WM_STATE, else the first descendant that does: a window
// manager reparents each client into a frame of its own.
Window FindClient(Display* display, Window window, int depth = 0) {
  if (WmState(display, window) >= 0) return window;
  if (depth > 4) return None;
  for (Window child : Children(display, window)) {
    if (Window client = FindClient(display, child, depth + 1)) return client;
  }
  return None;
}

}  // namespace

std::vector<MonitorRecord> QueryMonitors(Display* display) {
  std::vector<MonitorRecord> result;
  int count = 0;
  XRRMonitorInfo* monitors = XRRGetMonitors(display, DefaultRootWindow(display), True, &count);
  std::unique_ptr<XRRMonitorInfo, decltype(&XRRFreeMonitors)> owned(monitors, XRRFreeMonitors);
  for (int i = 0; monitors && i < count; ++i) {
    const XRRMonitorInfo& m = monitors[i];
    MonitorRecord record;
    record.atom = m.name;
    record.rect = {m.x, m.y, m.x + m.width, m.y + m.height};
    record.primary = m.primary;
    XPtr<char> name(XGetAtomName(display, m.name));
    if (name) record.name = name.get();
    result.push_back(std::move(record));
  }
  if (result.empty()) {
    // Without RandR the screen is the one monitor; name it after the screen's own atom.
    MonitorRecord record;
    record.atom = XInternAtom(display, "screen", False);
    record.rect = {0, 0, DisplayWidth(display, DefaultScreen(display)), DisplayHeight(display, DefaultScreen(display))};
    record.primary = true;
    record.name = "screen";
    result.push_back(record);
  }
  return result;
}

bool WindowRootRect(Display* display, Window window, desktop::Rect* rect) {
  ErrorTrap trap(display);
  XWindowAttributes attributes{};
  if (!XGetWindowAttributes(display, window, &attributes)) return false;
  int x = 0, y = 0;
  Window child = None;
  if (!XTranslateCoordinates(display, window, attributes.root, 0, 0, &x, &y, &child)) return false;
  if (trap.Error(false) != Success) return false;
  *rect = {x, y, x + attributes.width, y + attributes.height};
  return true;
}

X11Desktop::X11Desktop(std::string displayName) : m_displayName(std::move(displayName)) {}

Display* X11Desktop::DisplayLocked() {
  if (m_connection && m_connection->Broken()) m_connection.reset();
  if (!m_connection) m_connection = Connection::Open(m_displayName);
  return m_connection ? m_connection->get() : nullptr;
}

std::vector<desktop::MonitorHandle> X11Desktop::EnumMonitors() {
  std::lock_guard lock(m_mutex);
  Display* display = DisplayLocked();
  if (!display) return {};
  std::vector<desktop::MonitorHandle> handles;
  for (const MonitorRecord& m : QueryMonitors(display)) handles.push_back(static_cast<desktop::MonitorHandle>(m.atom));
  return handles;
}

desktop::MonitorHandle X11Desktop::PrimaryLocked(Display* display) {
  std::vector<MonitorRecord> monitors = QueryMonitors(display);
  for (const MonitorRecord& m : monitors) {
    if (m.primary) return static_cast<desktop::MonitorHandle>(m.atom);
  }
  return monitors.empty() ? 0 : static_cast<desktop::MonitorHandle>(monitors.front().atom);
}

desktop::MonitorHandle X11Desktop::PrimaryMonitor() {
  std::lock_guard lock(m_mutex);
  Display* display = DisplayLocked();
  return display ? PrimaryLocked(display) : 0;
}

bool X11Desktop::GetMonitorInfo(desktop::MonitorHandle monitor, desktop::MonitorInfo* info) {
  std::lock_guard lock(m_mutex);
  Display* display = DisplayLocked();
  if (!display || !info || monitor == 0) return false;
  std::vector<MonitorRecord> monitors = QueryMonitors(display);
  bool anyPrimary = std::any_of(monitors.begin(), monitors.end(), [](const MonitorRecord& m) { return m.primary; });
  for (size_t i = 0; i < monitors.size(); ++i) {
    const MonitorRecord& m = monitors[i];
    if (static_cast<desktop::MonitorHandle>(m.atom) != monitor) continue;
    info->monitor = m.rect;
    info->work = m.rect;
    info->primary = anyPrimary ? m.primary : i == 0;
    info->name = m.name;
    return true;
  }
  return false;
}

desktop::MonitorHandle X11Desktop::MonitorFromWindow(desktop::WindowHandle window, desktop::MonitorDefault fallback) {
  std::lock_guard lock(m_mutex);
  Display* display = DisplayLocked();
  if (!display) return 0;
  desktop::Rect rect;
  bool exists = Valid(window) && WindowRootRect(display, static_cast<Window>(window), &rect);
  std::vector<MonitorRecord> monitors = QueryMonitors(display);
  if (exists) {
    const MonitorRecord* best = nullptr;
    int64_t bestArea = 0;
    for (const MonitorRecord& m : monitors) {
      int64_t area = Overlap(rect, m.rect);
      if (area > bestArea) best = &m, bestArea = area;
    }
    if (best) return static_cast<desktop::MonitorHandle>(best->atom);
  }
  switch (fallback) {
    case desktop::MonitorDefault::Null:
      return 0;
    case desktop::MonitorDefault::Primary:
      return PrimaryLocked(display);
    case desktop::MonitorDefault::Nearest:
      break;
  }
  if (!exists) return PrimaryLocked(display);
  const MonitorRecord* nearest = nullptr;
  int64_t nearestDistance = INT64_MAX;
  for (const MonitorRecord& m : monitors) {
    int64_t d = DistanceSquared(rect, m.rect);
    if (d < nearestDistance) nearest = &m, nearestDistance = d;
  }
  return nearest ? static_cast<desktop::MonitorHandle>(nearest->atom) : 0;
}

std::vector<desktop::WindowInfo> X11Desktop::EnumWindows() {
  std::lock_guard lock(m_mutex);
  Display* display = DisplayLocked();
  if (!display) return {};
  std::vector<Window> topLevel = Children(display, DefaultRootWindow(display));
  std::vector<desktop::WindowInfo> result;
  // XQueryTree lists bottom to top; callers want front to back.
  for (auto it = topLevel.rbegin(); it != topLevel.rend(); ++it) {
    XWindowAttributes attributes{};
    {
      ErrorTrap trap(display);
      if (!XGetWindowAttributes(display, *it, &attributes)) continue;
    }
    Window client = FindClient(display, *it);
    long state = kNormalState;
    if (client != None) {
      state = WmState(display, client);
      if (state == kWithdrawnState || (state == kNormalState && attributes.map_state != IsViewable)) continue;
      if (state != kNormalState && state != kIconicState) continue;
    } else {
      // No window manager claimed it: a plain mapped top-level window is the client itself.
      if (attributes.override_redirect || attributes.map_state != IsViewable) continue;
      client = *it;
    }
    desktop::WindowInfo info;
    info.handle = static_cast<desktop::WindowHandle>(client);
    info.title = WindowTitle(display, client);
    if (info.title.empty()) continue;
    if (!WindowRootRect(display, client, &info.rect)) continue;
    Property pid = GetProperty(display, client, XInternAtom(display, "_NET_WM_PID", False), XA_CARDINAL, 1);
    info.processId = !pid.Empty() && pid.format == 32 ? static_cast<uint32_t>(pid.Long(0)) : 0;
    info.minimized = state == kIconicState;
    result.push_back(std::move(info));
  }
  return result;
}

bool X11Desktop::IsWindow(desktop::WindowHandle window) {
  std::lock_guard lock(m_mutex);
  Display* display = DisplayLocked();
  if (!display || !Valid(window)) return false;
  ErrorTrap trap(display);
  XWindowAttributes attributes{};
  return XGetWindowAttributes(display, static_cast<Window>(window), &attributes) != 0 && trap.Error(false) == Success;
}

uint32_t X11Desktop::GetWindowProcessId(desktop::WindowHandle window) {
  std::lock_guard lock(m_mutex);
  Display* display = DisplayLocked();
  if (!display || !Valid(window)) return 0;
  Property pid =
      GetProperty(display, static_cast<Window>(window), XInternAtom(display, "_NET_WM_PID", False), XA_CARDINAL, 1);
  return !pid.Empty() && pid.format == 32 ? static_cast<uint32_t>(pid.Long(0)) : 0;
}

bool X11Desktop::IsIconic(desktop::WindowHandle window) {
  std::lock_guard lock(m_mutex);
  Display* display = DisplayLocked();
  if (!display || !Valid(window)) return false;
  return WmState(display, static_cast<Window>(window)) == kIconicState;
}

bool X11Desktop::GetCursorPos(desktop::Point* position) {
  std::lock_guard lock(m_mutex);
  Display* display = DisplayLocked();
  if (!display || !position) return false;
  Window root = None, child = None;
  int rootX = 0, rootY = 0, winX = 0, winY = 0;
  unsigned int mask = 0;
  if (!XQueryPointer(display, DefaultRootWindow(display), &root, &child, &rootX, &rootY, &winX, &winY, &mask)) {
    return false;
  }
  *position = {rootX, rootY};
  return true;
}

}  // namespace kalto::x11
