#include "support/x_server.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xrandr.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

extern char** environ;

namespace kalto::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kStartTimeout = 20s;
constexpr auto kStopTimeout = 5s;

long WmState(::Display* display, Window window) {
  Atom wmState = XInternAtom(display, "WM_STATE", False);
  Atom type = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  long state = -1;
  if (XGetWindowProperty(display, window, wmState, 0, 2, False, wmState, &type, &format, &count, &after, &data) ==
          Success &&
      data && count > 0 && format == 32) {
    state = reinterpret_cast<long*>(data)[0];
  }
  if (data) XFree(data);
  return state;
}

}  // namespace

bool XServer::Available() { return OnPath("Xvfb"); }

XServer::XServer(int width, int height) {
  char dirTemplate[] = "/tmp/kalto-xvfb-XXXXXX";
  if (!mkdtemp(dirTemplate)) {
    m_error = "mkdtemp failed";
    return;
  }
  m_dir = dirTemplate;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    m_error = "pipe failed";
    return;
  }
  // dup2 onto fd 3 clears close-on-exec only when the source is another descriptor.
  int writeFd = fcntl(fds[1], F_DUPFD_CLOEXEC, 10);
  close(fds[1]);
  std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
  m_xvfb = ChildProcess(SpawnProcess({"Xvfb", "-displayfd", "3", "-screen", "0", screen, "-nolisten", "tcp", "-noreset"},
                                      EnvironmentWith({}), m_dir + "/xvfb.log", false, -1, writeFd));
  close(writeFd);
  if (!m_xvfb.Started()) {
    close(fds[0]);
    m_error = "cannot start Xvfb";
    return;
  }
  // Xvfb writes its display number once it accepts connections.
  std::string number;
  auto deadline = Clock::now() + kStartTimeout;
  while (Clock::now() < deadline && (number.empty() || number.back() != '\n')) {
    pollfd p{fds[0], POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char c = 0;
    ssize_t n = read(fds[0], &c, 1);
    if (n <= 0) break;
    number += c;
  }
  close(fds[0]);
  while (!number.empty() && (number.back() == '\n' || number.back() == '\r')) number.pop_back();
  if (number.empty()) {
    m_error = "Xvfb did not report a display";
    m_xvfb.Stop();
    return;
  }
  m_display = ":" + number;
  ::Display* probe = XOpenDisplay(m_display.c_str());
  if (!probe) {
    m_error = "cannot connect to " + m_display;
    m_xvfb.Stop();
    return;
  }
  XCloseDisplay(probe);
}

XServer::~XServer() {
  m_wm.Stop();
  m_xvfb.Stop();
  if (!m_dir.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(m_dir, ignored);
  }
}

bool XServer::RunToCompletion(const std::vector<std::string>& argv) {
  return ChildProcess(SpawnProcess(argv, EnvironmentWith({}), m_dir + "/tools.log", false))
             .Wait(std::chrono::duration_cast<std::chrono::milliseconds>(kStartTimeout)) == 0;
}

bool XServer::SetMonitors(const std::vector<Monitor>& monitors) {
  if (!Running()) return false;
  bool ok = true;
  for (size_t i = 0; i < monitors.size() && ok; ++i) {
    const Monitor& m = monitors[i];
    // Sizes in millimetres at 96 dpi.
    const std::string geometry = std::to_string(m.width) + "/" + std::to_string(m.width * 254 / 960) + "x" +
                                 std::to_string(m.height) + "/" + std::to_string(m.height * 254 / 960) + "+" +
                                 std::to_string(m.x) + "+" + std::to_string(m.y);
    ok = RunToCompletion({"xrandr", "-display", m_display, "--setmonitor", m.name, geometry, i == 0 ? "screen" : "none"});
  }
  if (!ok) m_error = "xrandr --setmonitor failed";
  return ok;
}

bool XServer::StartWindowManager() {
  if (!Running()) return false;
  // Xvfb has only the core fonts; twm's defaults name fonts it does not have.
  std::string rc = m_dir + "/twmrc";
  {
    std::ofstream out(rc);
    out << "TitleFont \"fixed\"\nResizeFont \"fixed\"\nMenuFont \"fixed\"\nIconFont \"fixed\"\n"
           "IconManagerFont \"fixed\"\nRandomPlacement\nUsePPosition \"on\"\nNoGrabServer\n";
  }
  m_wm = StartProcess({"twm", "-display", m_display, "-f", rc}, m_dir + "/twm.log");
  if (!m_wm.Started()) {
    m_error = "cannot start twm";
    return false;
  }
  XClient client(m_display);
  if (!client) return false;
  // A window manager is whoever selected SubstructureRedirect on the root.
  bool managed = WaitFor(
      [&] {
        XWindowAttributes attributes{};
        XGetWindowAttributes(client.get(), client.Root(), &attributes);
        return (attributes.all_event_masks & SubstructureRedirectMask) != 0;
      },
      kStartTimeout);
  if (!managed) m_error = "twm did not take the screen";
  return managed;
}

ScopedDisplayEnv::ScopedDisplayEnv(const std::string& display) {
  if (const char* old = std::getenv("DISPLAY")) m_previous = old;
  setenv("DISPLAY", display.c_str(), 1);
}

ScopedDisplayEnv::~ScopedDisplayEnv() {
  if (m_previous) {
    setenv("DISPLAY", m_previous->c_str(), 1);
  } else {
    unsetenv("DISPLAY");
  }
}

XClient::XClient(const std::string& display) : m_display(XOpenDisplay(display.c_str())) {}

XClient::~XClient() {
  if (m_display) XCloseDisplay(m_display);
}

void XClient::WarpPointer(int x, int y) {
  XWarpPointer(m_display, None, Root(), 0, 0, 0, 0, x, y);
  XSync(m_display, False);
}

uint32_t PatternPixel(int x, int y, int seed) {
  uint32_t b = static_cast<uint32_t>(x * 3 + seed * 31) & 0xFF;
  uint32_t g = static_cast<uint32_t>(y * 5 + seed * 17) & 0xFF;
  uint32_t r = static_cast<uint32_t>((x ^ y) + seed * 7) & 0xFF;
  return 0xFF000000u | r << 16 | g << 8 | b;
}

TestWindow::TestWindow(XClient& client, int x, int y, int width, int height, const std::string& title, int seed)
    : m_client(client), m_width(width), m_height(height), m_seed(seed) {
  ::Display* d = client.get();
  XSetWindowAttributes attributes{};
  attributes.background_pixmap = None;
  attributes.event_mask = StructureNotifyMask;
  m_window = XCreateWindow(d, client.Root(), x, y, static_cast<unsigned>(width), static_cast<unsigned>(height), 0,
                           CopyFromParent, InputOutput, CopyFromParent, CWBackPixmap | CWEventMask, &attributes);
  XSizeHints hints{};
  hints.flags = USPosition | USSize;
  hints.x = x, hints.y = y, hints.width = width, hints.height = height;
  XSetWMNormalHints(d, m_window, &hints);
  XStoreName(d, m_window, title.c_str());
  XChangeProperty(d, m_window, XInternAtom(d, "_NET_WM_NAME", False), XInternAtom(d, "UTF8_STRING", False), 8,
                  PropModeReplace, reinterpret_cast<const unsigned char*>(title.data()), static_cast<int>(title.size()));
  XMapWindow(d, m_window);
  WaitViewable();
  Draw();
}

TestWindow::~TestWindow() { Destroy(); }

void TestWindow::Destroy() {
  if (m_window == None) return;
  XDestroyWindow(m_client.get(), m_window);
  XSync(m_client.get(), False);
  m_window = None;
}

void TestWindow::Draw() {
  std::vector<uint32_t> pixels(static_cast<size_t>(m_width) * m_height);
  for (int y = 0; y < m_height; ++y) {
    for (int x = 0; x < m_width; ++x) pixels[static_cast<size_t>(y) * m_width + x] = PatternPixel(x, y, m_seed);
  }
  ::Display* d = m_client.get();
  int screen = DefaultScreen(d);
  XImage* image = XCreateImage(d, DefaultVisual(d, screen), 24, ZPixmap, 0, reinterpret_cast<char*>(pixels.data()),
                               static_cast<unsigned>(m_width), static_cast<unsigned>(m_height), 32, 0);
  XPutImage(d, m_window, DefaultGC(d, screen), image, 0, 0, 0, 0, static_cast<unsigned>(m_width),
            static_cast<unsigned>(m_height));
  image->data = nullptr;  // the vector owns the pixels
  XDestroyImage(image);
  XSync(d, False);
}

void TestWindow::Fill(uint32_t rgb) {
  ::Display* d = m_client.get();
  GC gc = XCreateGC(d, m_window, 0, nullptr);
  XSetForeground(d, gc, rgb);
  XFillRectangle(d, m_window, gc, 0, 0, static_cast<unsigned>(m_width), static_cast<unsigned>(m_height));
  XFreeGC(d, gc);
  XSync(d, False);
}

void TestWindow::Resize(int width, int height) {
  m_width = width;
  m_height = height;
  XResizeWindow(m_client.get(), m_window, static_cast<unsigned>(width), static_cast<unsigned>(height));
  XSync(m_client.get(), False);
  WaitFor(
      [&] {
        XWindowAttributes a{};
        XGetWindowAttributes(m_client.get(), m_window, &a);
        return a.width == width && a.height == height;
      },
      10s);
}

void TestWindow::SetPid(uint32_t pid) {
  long value = pid;
  XChangeProperty(m_client.get(), m_window, XInternAtom(m_client.get(), "_NET_WM_PID", False), XA_CARDINAL, 32,
                  PropModeReplace, reinterpret_cast<const unsigned char*>(&value), 1);
  XSync(m_client.get(), False);
}

void TestWindow::SetLatin1Name(const std::string& latin1) {
  ::Display* d = m_client.get();
  XDeleteProperty(d, m_window, XInternAtom(d, "_NET_WM_NAME", False));
  XChangeProperty(d, m_window, XA_WM_NAME, XA_STRING, 8, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(latin1.data()), static_cast<int>(latin1.size()));
  XSync(d, False);
}

bool TestWindow::Iconify(std::chrono::milliseconds timeout) {
  ::Display* d = m_client.get();
  XIconifyWindow(d, m_window, DefaultScreen(d));
  XSync(d, False);
  return WaitFor([&] { return WmState(d, m_window) == IconicState; }, timeout);
}

bool TestWindow::Restore(std::chrono::milliseconds timeout) {
  XMapWindow(m_client.get(), m_window);
  XSync(m_client.get(), False);
  return WaitViewable(timeout);
}

bool TestWindow::WaitViewable(std::chrono::milliseconds timeout) {
  return WaitFor(
      [&] {
        XWindowAttributes a{};
        XGetWindowAttributes(m_client.get(), m_window, &a);
        return a.map_state == IsViewable;
      },
      timeout);
}

}  // namespace kalto::test
