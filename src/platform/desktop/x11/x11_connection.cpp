#include "platform/desktop/x11/x11_connection.h"

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "common/debug_output.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace kalto::x11 {
namespace {

constexpr int kCloseWaitMs = 1000;

struct DisplayState {
  int traps = 0;
  int firstError = Success;
  bool broken = false;
  bool registered = false;  // opened through Connection, as opposed to trapped in passing
};

// Xlib's handlers are process-wide, so the state they record is kept per display here.
std::mutex g_mutex;
std::unordered_map<Display*, DisplayState>& States() {
  static std::unordered_map<Display*, DisplayState> states;
  return states;
}

int OnError(Display* display, XErrorEvent* event) {
  {
    std::lock_guard lock(g_mutex);
    auto it = States().find(display);
    if (it != States().end() && it->second.traps > 0) {
      if (it->second.firstError == Success) it->second.firstError = event->error_code;
      return 0;
    }
  }
  DebugLog<256>(L"[X11] untrapped X error %d (request %d.%d, resource 0x%lx)\n", event->error_code,
                event->request_code, event->minor_code, event->resourceid);
  return 0;
}

int OnIoError(Display* display) {
  {
    std::lock_guard lock(g_mutex);
    auto it = States().find(display);
    if (it != States().end()) it->second.broken = true;
  }
  DebugLog<128>(L"[X11] connection to the X server lost\n");
  return 0;
}

// Returning here instead of exiting leaves the display marked broken: later calls do nothing.
void OnIoErrorExit(Display* display, void*) {
  std::lock_guard lock(g_mutex);
  auto it = States().find(display);
  if (it != States().end()) it->second.broken = true;
}

void InitXlibOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    XInitThreads();
    XSetErrorHandler(OnError);
    XSetIOErrorHandler(OnIoError);
  });
}

}  // namespace

std::string Connection::ResolveName(const std::string& name) {
  if (!name.empty()) return name;
  const char* env = std::getenv("DISPLAY");
  return env ? env : "";
}

std::shared_ptr<Connection> Connection::Open(const std::string& name) {
  InitXlibOnce();
  std::string resolved = ResolveName(name);
  if (resolved.empty()) return nullptr;
  Display* display = XOpenDisplay(resolved.c_str());
  if (!display) return nullptr;
  {
    std::lock_guard lock(g_mutex);
    States()[display] = DisplayState{.registered = true};
  }
  XSetIOErrorExitHandler(display, OnIoErrorExit, nullptr);
  return std::shared_ptr<Connection>(new Connection(display, std::move(resolved)));
}

Connection::~Connection() {
  bool broken = false;
  {
    std::lock_guard lock(g_mutex);
    auto it = States().find(m_display);
    broken = it != States().end() && it->second.broken;
    States().erase(m_display);
  }
  if (!broken) {
    // XCloseDisplay syncs with the server first: one that hangs would hold the owner (at worst the
    // process's exit) for ever. Bounded, then left to finish on its own.
    auto closed = std::make_shared<std::promise<void>>();
    std::future<void> done = closed->get_future();
    std::thread closer([display = m_display, closed] {
      XCloseDisplay(display);
      closed->set_value();
    });
    if (done.wait_for(std::chrono::milliseconds(kCloseWaitMs)) == std::future_status::ready) {
      closer.join();
    } else {
      DebugLog<128>(L"[X11] WARNING: the X server does not answer; its connection closes on its own\n");
      closer.detach();
    }
    return;
  }
  // After an I/O error XCloseDisplay can wait for ever on the display's lock: give the socket
  // back and leave the few kilobytes of the structure to the process.
  ::close(ConnectionNumber(m_display));
#if defined(__SANITIZE_ADDRESS__)
  __lsan_ignore_object(m_display);
#endif
}

bool Connection::Broken() const { return DisplayBroken(m_display); }

bool Connection::DisplayBroken(Display* display) {
  std::lock_guard lock(g_mutex);
  auto it = States().find(display);
  return it == States().end() || it->second.broken;
}

ErrorTrap::ErrorTrap(Display* display) : m_display(display) {
  InitXlibOnce();
  std::lock_guard lock(g_mutex);
  DisplayState& state = States()[m_display];
  if (state.traps++ == 0) state.firstError = Success;
}

ErrorTrap::~ErrorTrap() {
  std::lock_guard lock(g_mutex);
  auto it = States().find(m_display);
  if (it == States().end()) return;
  if (--it->second.traps == 0 && !it->second.registered) States().erase(it);
}

int ErrorTrap::Error(bool sync) {
  if (sync) XSync(m_display, False);
  std::lock_guard lock(g_mutex);
  auto it = States().find(m_display);
  if (it == States().end()) return BadImplementation;
  if (it->second.broken) return BadImplementation;
  return it->second.firstError;
}

Property GetProperty(Display* display, Window window, Atom property, Atom type, long maxLongs) {
  Property result;
  if (property == None) return result;
  unsigned long after = 0;
  unsigned char* data = nullptr;
  ErrorTrap trap(display);
  int status = XGetWindowProperty(display, window, property, 0, maxLongs, False, type, &result.type, &result.format,
                                  &result.count, &after, &data);
  if (status != Success || trap.Error(false) != Success) {
    if (data) XFree(data);
    return Property{};
  }
  if (data) result.data.reset(data, [](unsigned char* p) { XFree(p); });
  if (!result.data) result.count = 0;
  return result;
}

}  // namespace kalto::x11
