// The X11 desktop against the program's Xvfb: monitors, windows, the pointer.
// gtest goes before any X header: Xlib's macros (None, Bool) clash with its internals.
#include <gtest/gtest.h>

#include "capture_harness.h"

#include <algorithm>
#include <array>

namespace kalto::test {
namespace {

using desktop::MonitorDefault;
using X11Desktop = XTest;

std::array<int32_t, 4> Edges(const desktop::Rect& r) { return {r.left, r.top, r.right, r.bottom}; }

// Position of the window in the list (front to back), -1 when it is not there.
ptrdiff_t Index(const std::vector<desktop::WindowInfo>& windows, Window id) {
  auto it = std::find_if(windows.begin(), windows.end(), [&](auto& w) { return w.handle == (desktop::WindowHandle)id; });
  return it == windows.end() ? -1 : it - windows.begin();
}

TEST_F(X11Desktop, MonitorsInRandrOrderMonitorFromWindowAndThePointer) {
  ASSERT_TRUE(Boot());
  ScopedDisplayEnv env(display);
  x11::X11Desktop desktop;  // no name: $DISPLAY
  std::vector<desktop::MonitorHandle> monitors = desktop.EnumMonitors();
  ASSERT_EQ(2u, monitors.size());
  desktop::MonitorInfo left, right;
  ASSERT_TRUE(desktop.GetMonitorInfo(monitors[0], &left));
  ASSERT_TRUE(desktop.GetMonitorInfo(monitors[1], &right));
  EXPECT_EQ("LEFT", left.name);
  EXPECT_EQ("RIGHT", right.name);
  EXPECT_EQ((std::array<int32_t, 4>{0, 0, 1920, 1080}), Edges(left.monitor));
  EXPECT_EQ((std::array<int32_t, 4>{1920, 0, 3200, 1024}), Edges(right.monitor));
  EXPECT_EQ(Edges(left.monitor), Edges(left.work));
  // Nothing is flagged primary on Xvfb: the first monitor stands in.
  EXPECT_EQ(monitors[0], desktop.PrimaryMonitor());
  EXPECT_TRUE(left.primary);
  EXPECT_FALSE(right.primary);
  EXPECT_FALSE(desktop.GetMonitorInfo(monitors[0] + 100000, &left));
  EXPECT_FALSE(desktop.GetMonitorInfo(0, &left));

  TestWindow onRight(*client, 2000, 100, 200, 150, "right");
  TestWindow mostlyRight(*client, 1800, 200, 300, 100, "straddling");  // 120 px left, 180 px right
  TestWindow below(*client, 1950, 1050, 100, 100, "below right");      // 26 px below RIGHT, 30 px right of LEFT
  EXPECT_EQ(monitors[1], desktop.MonitorFromWindow(onRight.id(), MonitorDefault::Null));
  EXPECT_EQ(monitors[1], desktop.MonitorFromWindow(mostlyRight.id(), MonitorDefault::Null));
  // On neither monitor, or not a window: each fallback does what it says.
  EXPECT_EQ(0, desktop.MonitorFromWindow(below.id(), MonitorDefault::Null));
  EXPECT_EQ(monitors[0], desktop.MonitorFromWindow(below.id(), MonitorDefault::Primary));
  EXPECT_EQ(monitors[1], desktop.MonitorFromWindow(below.id(), MonitorDefault::Nearest));
  EXPECT_EQ(0, desktop.MonitorFromWindow(0x7FFFFFF, MonitorDefault::Null));
  EXPECT_EQ(monitors[0], desktop.MonitorFromWindow(0x7FFFFFF, MonitorDefault::Nearest));

  client->WarpPointer(2123, 456);
  desktop::Point p;
  ASSERT_TRUE(desktop.GetCursorPos(&p));
  EXPECT_EQ(2123, p.x);
  EXPECT_EQ(456, p.y);
}

// Under twm: the entry of a reparented window is the client itself, with its title, pid and
// iconic state; the window mapped last comes first; a destroyed window is gone.
TEST_F(X11Desktop, WindowsTitlesPidsIconicStateAndLifetime) {
  ASSERT_TRUE(Boot(/*windowManager=*/true));
  x11::X11Desktop desktop(display);
  TestWindow titled(*client, 10, 20, 200, 100, "Caf\xC3\xA9 recorder \xE2\x9C\x93");
  titled.SetPid(4242);
  TestWindow latin1(*client, 300, 20, 100, 100, "x");
  latin1.SetLatin1Name("na\xEFve");
  auto windows = desktop.EnumWindows();
  const ptrdiff_t i = Index(windows, titled.id()), l = Index(windows, latin1.id());
  ASSERT_GE(i, 0);
  ASSERT_GE(l, 0);
  EXPECT_LT(l, i);
  EXPECT_EQ("Caf\xC3\xA9 recorder \xE2\x9C\x93", windows[i].title);
  EXPECT_EQ(4242u, windows[i].processId);
  EXPECT_EQ(200, windows[i].rect.Width());
  EXPECT_FALSE(windows[i].minimized);
  EXPECT_EQ("na\xC3\xAFve", windows[l].title);
  EXPECT_EQ(0u, desktop.GetWindowProcessId(latin1.id()));
  EXPECT_EQ(4242u, desktop.GetWindowProcessId(titled.id()));
  ASSERT_TRUE(titled.Iconify());
  EXPECT_TRUE(desktop.IsIconic(titled.id()));
  windows = desktop.EnumWindows();
  ASSERT_GE(Index(windows, titled.id()), 0) << "iconic windows are listed";
  EXPECT_TRUE(windows[Index(windows, titled.id())].minimized);
  const Window gone = titled.id();
  titled.Destroy();
  EXPECT_FALSE(desktop.IsWindow(gone));
  EXPECT_TRUE(desktop.IsWindow(latin1.id()));
  EXPECT_EQ(0u, desktop.GetWindowProcessId(gone));
  EXPECT_EQ(-1, Index(desktop.EnumWindows(), gone));
}

TEST(X11DesktopWithoutServer, EveryQueryAnswersNothingAndNothingThrows) {
  x11::X11Desktop desktop(UnusedDisplay());
  desktop::MonitorInfo info;
  desktop::Point p;
  EXPECT_TRUE(desktop.EnumMonitors().empty() && desktop.EnumWindows().empty());
  EXPECT_FALSE(desktop.PrimaryMonitor() || desktop.GetMonitorInfo(1, &info) || desktop.IsWindow(1) ||
               desktop.GetWindowProcessId(1) || desktop.IsIconic(1) || desktop.GetCursorPos(&p) ||
               desktop.MonitorFromWindow(1, MonitorDefault::Nearest));
}

}  // namespace
}  // namespace kalto::test
