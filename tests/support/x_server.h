#pragma once
// A private X server (Xvfb) for integration tests, an optional window manager (twm), and small
// client helpers: windows with a known pattern, iconify, pointer warps. Every process started
// here is stopped by pid when its owner goes.
#include <X11/Xlib.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "support/process.h"

namespace kalto::test {

class XServer {
 public:
  // True when Xvfb can be found on PATH.
  static bool Available();

  // Starts `Xvfb -screen 0 <width>x<height>x24` on a free display and waits until it accepts
  // connections. Check Running(); Error() says why not.
  XServer(int width = 1280, int height = 720);
  ~XServer();
  XServer(const XServer&) = delete;
  XServer& operator=(const XServer&) = delete;

  bool Running() const { return m_xvfb.Started(); }
  const std::string& Error() const { return m_error; }
  // The display name, such as ":57".
  const std::string& Display() const { return m_display; }

  struct Monitor {
    std::string name;
    int x, y, width, height;
  };
  // Divides the screen into these monitors; the first takes the screen's output.
  bool SetMonitors(const std::vector<Monitor>& monitors);
  // LEFT 1920x1080+0+0 and RIGHT 1280x1024+1920+0 (on a 3200x1080 screen).
  bool SetTwoMonitors() { return SetMonitors({{"LEFT", 0, 0, 1920, 1080}, {"RIGHT", 1920, 0, 1280, 1024}}); }
  // Starts twm and waits until it manages the screen.
  bool StartWindowManager();
  // The server dies at once (SIGKILL), as a crashed display server would.
  void Kill() { m_xvfb.Kill(); }

 private:
  bool RunToCompletion(const std::vector<std::string>& argv);

  std::string m_dir;
  std::string m_display;
  std::string m_error;
  ChildProcess m_xvfb;
  ChildProcess m_wm;
};

// Points $DISPLAY at `display` until destroyed, then restores the previous value.
class ScopedDisplayEnv {
 public:
  explicit ScopedDisplayEnv(const std::string& display);
  ~ScopedDisplayEnv();
  ScopedDisplayEnv(const ScopedDisplayEnv&) = delete;
  ScopedDisplayEnv& operator=(const ScopedDisplayEnv&) = delete;

 private:
  std::optional<std::string> m_previous;
};

// A client connection of the test itself.
class XClient {
 public:
  explicit XClient(const std::string& display);
  ~XClient();
  XClient(const XClient&) = delete;
  XClient& operator=(const XClient&) = delete;
  ::Display* get() const { return m_display; }
  explicit operator bool() const { return m_display != nullptr; }
  Window Root() const { return DefaultRootWindow(m_display); }
  void WarpPointer(int x, int y);

 private:
  ::Display* m_display = nullptr;
};

// The test pattern as 0xAARRGGBB (BGRA in memory), opaque; `seed` tells windows apart.
uint32_t PatternPixel(int x, int y, int seed);

// A top-level window showing the pattern. Created mapped, at its requested position (the
// position hint is marked as the user's, so a window manager places it without asking).
class TestWindow {
 public:
  TestWindow(XClient& client, int x, int y, int width, int height, const std::string& title, int seed = 0);
  ~TestWindow();
  TestWindow(const TestWindow&) = delete;
  TestWindow& operator=(const TestWindow&) = delete;

  Window id() const { return m_window; }
  int Width() const { return m_width; }
  int Height() const { return m_height; }
  // Puts the pattern (or a solid colour, 0xRRGGBB) over the whole window.
  void Draw();
  void Fill(uint32_t rgb);
  // Resizes and waits for the server to have done it (the pattern is not redrawn).
  void Resize(int width, int height);
  void SetPid(uint32_t pid);
  void SetLatin1Name(const std::string& latin1);
  // Asks the window manager to iconify, and waits until WM_STATE says so.
  bool Iconify(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Maps it again and waits until it is viewable.
  bool Restore(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  bool WaitViewable(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  void Destroy();

 private:
  XClient& m_client;
  Window m_window = None;
  int m_width, m_height, m_seed;
};

}  // namespace kalto::test
