// The X11 desktop against a private Xvfb: monitors, windows, the pointer.
// gtest goes before any X header: Xlib's macros (None, Bool) clash with its internals.
#include <gtest/gtest.h>

#include "platform/desktop/x11/x11_desktop.h"
#include <unistd.h>

#include <algorithm>
#include <optional>

#include "capture_harness.h"
#include "support/x_server.h"

namespace kalto::test {
namespace {

using desktop::MonitorDefault;

std::optional<desktop::WindowInfo> FindWindow(const std::vector<desktop::WindowInfo>& windows, Window id) {
  for (const desktop::WindowInfo& w : windows) {
    if (w.handle == static_cast<desktop::WindowHandle>(id)) return w;
  }
  return std::nullopt;
}

TEST(X11Desktop, OneScreenIsOnePrimaryMonitor) {
  KALTO_REQUIRE_XVFB();
  XServer server(800, 600);
  ASSERT_TRUE(server.Running()) << server.Error();
  x11::X11Desktop desktop(server.Display());

  std::vector<desktop::MonitorHandle> monitors = desktop.EnumMonitors();
  ASSERT_EQ(monitors.size(), 1u);
  EXPECT_NE(monitors[0], 0);
  EXPECT_EQ(desktop.PrimaryMonitor(), monitors[0]);
  desktop::MonitorInfo info;
  ASSERT_TRUE(desktop.GetMonitorInfo(monitors[0], &info));
  EXPECT_EQ(info.monitor.left, 0);
  EXPECT_EQ(info.monitor.top, 0);
  EXPECT_EQ(info.monitor.right, 800);
  EXPECT_EQ(info.monitor.bottom, 600);
  EXPECT_EQ(info.work.Width(), 800);
  EXPECT_EQ(info.work.Height(), 600);
  EXPECT_TRUE(info.primary);
  EXPECT_FALSE(info.name.empty());
  EXPECT_FALSE(desktop.GetMonitorInfo(monitors[0] + 100000, &info));
  EXPECT_FALSE(desktop.GetMonitorInfo(0, &info));
}

TEST(X11Desktop, TwoMonitorsInRandrOrderAndMonitorFromWindow) {
  KALTO_REQUIRE_XVFB();
  XServer server(3200, 1080);
  ASSERT_TRUE(server.Running()) << server.Error();
  ASSERT_TRUE(server.SetTwoMonitors()) << server.Error();
  x11::X11Desktop desktop(server.Display());

  std::vector<desktop::MonitorHandle> monitors = desktop.EnumMonitors();
  ASSERT_EQ(monitors.size(), 2u);
  desktop::MonitorInfo left, right;
  ASSERT_TRUE(desktop.GetMonitorInfo(monitors[0], &left));
  ASSERT_TRUE(desktop.GetMonitorInfo(monitors[1], &right));
  EXPECT_EQ(left.name, "LEFT");
  EXPECT_EQ(right.name, "RIGHT");
  EXPECT_EQ(right.monitor.left, 1920);
  EXPECT_EQ(right.monitor.top, 0);
  EXPECT_EQ(right.monitor.Width(), 1280);
  EXPECT_EQ(right.monitor.Height(), 1024);
  EXPECT_EQ(left.monitor.Width(), 1920);
  // Nothing is flagged primary on Xvfb: the first monitor stands in.
  EXPECT_EQ(desktop.PrimaryMonitor(), monitors[0]);
  EXPECT_TRUE(left.primary);
  EXPECT_FALSE(right.primary);

  XClient client(server.Display());
  ASSERT_TRUE(client);
  TestWindow onRight(client, 2000, 100, 200, 150, "right");
  TestWindow mostlyRight(client, 1800, 200, 300, 100, "straddling");  // 120 px left, 180 px right
  TestWindow below(client, 1950, 1050, 100, 100, "below right");      // 26 px below RIGHT, 30 px right of LEFT
  EXPECT_EQ(desktop.MonitorFromWindow(onRight.id(), MonitorDefault::Null), monitors[1]);
  EXPECT_EQ(desktop.MonitorFromWindow(mostlyRight.id(), MonitorDefault::Null), monitors[1]);
  // A window on neither monitor: each fallback does what it says.
  EXPECT_EQ(desktop.MonitorFromWindow(below.id(), MonitorDefault::Null), 0);
  EXPECT_EQ(desktop.MonitorFromWindow(below.id(), MonitorDefault::Primary), monitors[0]);
  EXPECT_EQ(desktop.MonitorFromWindow(below.id(), MonitorDefault::Nearest), monitors[1]);
  // A window that does not exist.
  EXPECT_EQ(desktop.MonitorFromWindow(0x7FFFFFF, MonitorDefault::Null), 0);
  EXPECT_EQ(desktop.MonitorFromWindow(0x7FFFFFF, MonitorDefault::Nearest), monitors[0]);
}

TEST(X11Desktop, WindowsTitlesPidsAndLifetime) {
  KALTO_REQUIRE_XVFB();
  XServer server(800, 600);
  ASSERT_TRUE(server.Running()) << server.Error();
  x11::X11Desktop desktop(server.Display());
  XClient client(server.Display());
  ASSERT_TRUE(client);

  TestWindow titled(client, 10, 20, 200, 100, "Caf\xC3\xA9 recorder \xE2\x9C\x93");
  titled.SetPid(4242);
  TestWindow latin1(client, 300, 20, 100, 100, "x");
  latin1.SetLatin1Name("na\xEFve");
  TestWindow front(client, 50, 50, 100, 100, "front");

  std::vector<desktop::WindowInfo> windows = desktop.EnumWindows();
  auto info = FindWindow(windows, titled.id());
  ASSERT_TRUE(info);
  EXPECT_EQ(info->title, "Caf\xC3\xA9 recorder \xE2\x9C\x93");
  EXPECT_EQ(info->processId, 4242u);
  EXPECT_FALSE(info->minimized);
  EXPECT_EQ(info->rect.left, 10);
  EXPECT_EQ(info->rect.top, 20);
  EXPECT_EQ(info->rect.Width(), 200);
  EXPECT_EQ(info->rect.Height(), 100);
  auto latin = FindWindow(windows, latin1.id());
  ASSERT_TRUE(latin);
  EXPECT_EQ(latin->title, "na\xC3\xAFve");
  EXPECT_EQ(latin->processId, 0u);
  // Front to back: the window mapped last comes first.
  auto position = [&](Window id) {
    return std::find_if(windows.begin(), windows.end(), [&](auto& w) { return w.handle == (int64_t)id; }) -
           windows.begin();
  };
  EXPECT_LT(position(front.id()), position(titled.id()));

  EXPECT_EQ(desktop.GetWindowProcessId(titled.id()), 4242u);
  EXPECT_EQ(desktop.GetWindowProcessId(latin1.id()), 0u);
  EXPECT_TRUE(desktop.IsWindow(titled.id()));
  EXPECT_FALSE(desktop.IsIconic(titled.id()));
  Window gone = titled.id();
  titled.Destroy();
  EXPECT_FALSE(desktop.IsWindow(gone));
  EXPECT_EQ(desktop.GetWindowProcessId(gone), 0u);
  EXPECT_FALSE(FindWindow(desktop.EnumWindows(), gone));
  EXPECT_FALSE(desktop.IsWindow(0));
}

TEST(X11Desktop, ReparentedClientsAndIconicStateUnderTwm) {
  KALTO_REQUIRE_XVFB();
  XServer server(800, 600);
  ASSERT_TRUE(server.Running()) << server.Error();
  ASSERT_TRUE(server.StartWindowManager()) << server.Error();
  x11::X11Desktop desktop(server.Display());
  XClient client(server.Display());
  ASSERT_TRUE(client);
  TestWindow window(client, 100, 100, 200, 120, "managed");
  window.SetPid(77);

  // twm put the window in a frame; the entry is the client itself.
  auto info = FindWindow(desktop.EnumWindows(), window.id());
  ASSERT_TRUE(info);
  EXPECT_EQ(info->processId, 77u);
  EXPECT_FALSE(info->minimized);
  EXPECT_EQ(info->rect.Width(), 200);
  EXPECT_FALSE(desktop.IsIconic(window.id()));

  ASSERT_TRUE(window.Iconify());
  EXPECT_TRUE(desktop.IsIconic(window.id()));
  info = FindWindow(desktop.EnumWindows(), window.id());
  ASSERT_TRUE(info) << "iconic windows are listed";
  EXPECT_TRUE(info->minimized);

  ASSERT_TRUE(window.Restore());
  EXPECT_FALSE(desktop.IsIconic(window.id()));
}

TEST(X11Desktop, CursorPosition) {
  KALTO_REQUIRE_XVFB();
  XServer server(800, 600);
  ASSERT_TRUE(server.Running()) << server.Error();
  x11::X11Desktop desktop(server.Display());
  XClient client(server.Display());
  ASSERT_TRUE(client);
  client.WarpPointer(123, 456);
  desktop::Point p;
  ASSERT_TRUE(desktop.GetCursorPos(&p));
  EXPECT_EQ(p.x, 123);
  EXPECT_EQ(p.y, 456);
  EXPECT_FALSE(desktop.GetCursorPos(nullptr));
}

TEST(X11Desktop, UnreachableDisplayAnswersEmpty) {
  // No server runs on this display number: every query answers "nothing", nothing throws.
  std::string name;
  for (int n = 4000; n < 4100 && name.empty(); ++n) {
    if (access(("/tmp/.X11-unix/X" + std::to_string(n)).c_str(), F_OK) != 0) name = ":" + std::to_string(n);
  }
  ASSERT_FALSE(name.empty());
  x11::X11Desktop desktop(name);
  EXPECT_TRUE(desktop.EnumMonitors().empty());
  EXPECT_EQ(desktop.PrimaryMonitor(), 0);
  desktop::MonitorInfo info;
  EXPECT_FALSE(desktop.GetMonitorInfo(1, &info));
  EXPECT_EQ(desktop.MonitorFromWindow(1, MonitorDefault::Nearest), 0);
  EXPECT_TRUE(desktop.EnumWindows().empty());
  EXPECT_FALSE(desktop.IsWindow(1));
  EXPECT_EQ(desktop.GetWindowProcessId(1), 0u);
  EXPECT_FALSE(desktop.IsIconic(1));
  desktop::Point p;
  EXPECT_FALSE(desktop.GetCursorPos(&p));
}

TEST(X11Desktop, EmptyNameMeansDisplayVariable) {
  KALTO_REQUIRE_XVFB();
  XServer server(640, 480);
  ASSERT_TRUE(server.Running()) << server.Error();
  ScopedDisplayEnv env(server.Display());
  x11::X11Desktop desktop;
  desktop::MonitorInfo info;
  ASSERT_TRUE(desktop.GetMonitorInfo(desktop.PrimaryMonitor(), &info));
  EXPECT_EQ(info.monitor.Width(), 640);
}

}  // namespace
}  // namespace kalto::test
