// The X11 desktop against a private Xvfb: monitors, windows, the pointer.
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

TEST_F(X11Desktop, OneScreenIsOnePrimaryMonitorFoundThroughTheDisplayVariable) {
  ASSERT_TRUE(Boot(800, 600));
  ScopedDisplayEnv env(Display());
  x11::X11Desktop desktop;  // no name: $DISPLAY

  std::vector<desktop::MonitorHandle> monitors = desktop.EnumMonitors();
  ASSERT_EQ(monitors.size(), 1u);
  EXPECT_EQ(desktop.PrimaryMonitor(), monitors[0]);
  desktop::MonitorInfo info;
  ASSERT_TRUE(desktop.GetMonitorInfo(monitors[0], &info));
  EXPECT_EQ(Edges(info.monitor), (std::array<int32_t, 4>{0, 0, 800, 600}));
  EXPECT_EQ(Edges(info.work), Edges(info.monitor));
  EXPECT_TRUE(info.primary);
  EXPECT_FALSE(info.name.empty());
  EXPECT_FALSE(desktop.GetMonitorInfo(monitors[0] + 100000, &info));
  EXPECT_FALSE(desktop.GetMonitorInfo(0, &info));

  client->WarpPointer(123, 456);
  desktop::Point p;
  ASSERT_TRUE(desktop.GetCursorPos(&p));
  EXPECT_EQ(p.x, 123);
  EXPECT_EQ(p.y, 456);
}

TEST_F(X11Desktop, TwoMonitorsInRandrOrderAndMonitorFromWindow) {
  ASSERT_TRUE(Boot(3200, 1080, /*twoMonitors=*/true));
  x11::X11Desktop desktop(Display());
  std::vector<desktop::MonitorHandle> monitors = desktop.EnumMonitors();
  ASSERT_EQ(monitors.size(), 2u);
  desktop::MonitorInfo left, right;
  ASSERT_TRUE(desktop.GetMonitorInfo(monitors[0], &left));
  ASSERT_TRUE(desktop.GetMonitorInfo(monitors[1], &right));
  EXPECT_EQ(left.name, "LEFT");
  EXPECT_EQ(right.name, "RIGHT");
  EXPECT_EQ(Edges(left.monitor), (std::array<int32_t, 4>{0, 0, 1920, 1080}));
  EXPECT_EQ(Edges(right.monitor), (std::array<int32_t, 4>{1920, 0, 3200, 1024}));
  // Nothing is flagged primary on Xvfb: the first monitor stands in.
  EXPECT_EQ(desktop.PrimaryMonitor(), monitors[0]);
  EXPECT_TRUE(left.primary);
  EXPECT_FALSE(right.primary);

  TestWindow onRight(*client, 2000, 100, 200, 150, "right");
  TestWindow mostlyRight(*client, 1800, 200, 300, 100, "straddling");  // 120 px left, 180 px right
  TestWindow below(*client, 1950, 1050, 100, 100, "below right");      // 26 px below RIGHT, 30 px right of LEFT
  EXPECT_EQ(desktop.MonitorFromWindow(onRight.id(), MonitorDefault::Null), monitors[1]);
  EXPECT_EQ(desktop.MonitorFromWindow(mostlyRight.id(), MonitorDefault::Null), monitors[1]);
  // On neither monitor, or not a window: each fallback does what it says.
  EXPECT_EQ(desktop.MonitorFromWindow(below.id(), MonitorDefault::Null), 0);
  EXPECT_EQ(desktop.MonitorFromWindow(below.id(), MonitorDefault::Primary), monitors[0]);
  EXPECT_EQ(desktop.MonitorFromWindow(below.id(), MonitorDefault::Nearest), monitors[1]);
  EXPECT_EQ(desktop.MonitorFromWindow(0x7FFFFFF, MonitorDefault::Null), 0);
  EXPECT_EQ(desktop.MonitorFromWindow(0x7FFFFFF, MonitorDefault::Nearest), monitors[0]);
}

TEST_F(X11Desktop, WindowsTitlesPidsAndLifetime) {
  ASSERT_TRUE(Boot(800, 600));
  x11::X11Desktop desktop(Display());
  TestWindow titled(*client, 10, 20, 200, 100, "Caf\xC3\xA9 recorder \xE2\x9C\x93");
  titled.SetPid(4242);
  TestWindow latin1(*client, 300, 20, 100, 100, "x");
  latin1.SetLatin1Name("na\xEFve");
  TestWindow front(*client, 50, 50, 100, 100, "front");

  std::vector<desktop::WindowInfo> windows = desktop.EnumWindows();
  const ptrdiff_t i = Index(windows, titled.id()), l = Index(windows, latin1.id());
  ASSERT_GE(i, 0);
  ASSERT_GE(l, 0);
  EXPECT_EQ(windows[i].title, "Caf\xC3\xA9 recorder \xE2\x9C\x93");
  EXPECT_EQ(windows[i].processId, 4242u);
  EXPECT_FALSE(windows[i].minimized);
  EXPECT_EQ(Edges(windows[i].rect), (std::array<int32_t, 4>{10, 20, 210, 120}));
  EXPECT_EQ(windows[l].title, "na\xC3\xAFve");
  EXPECT_EQ(desktop.GetWindowProcessId(latin1.id()), 0u);
  EXPECT_LT(Index(windows, front.id()), i) << "the window mapped last comes first";

  EXPECT_EQ(desktop.GetWindowProcessId(titled.id()), 4242u);
  EXPECT_TRUE(desktop.IsWindow(titled.id()));
  Window gone = titled.id();
  titled.Destroy();
  EXPECT_FALSE(desktop.IsWindow(gone));
  EXPECT_EQ(desktop.GetWindowProcessId(gone), 0u);
  EXPECT_EQ(Index(desktop.EnumWindows(), gone), -1);
}

TEST_F(X11Desktop, ReparentedClientsAndIconicStateUnderTwm) {
  ASSERT_TRUE(Boot(800, 600, false, /*windowManager=*/true));
  x11::X11Desktop desktop(Display());
  TestWindow window(*client, 100, 100, 200, 120, "managed");
  window.SetPid(77);

  // twm put the window in a frame; the entry is the client itself.
  auto windows = desktop.EnumWindows();
  ptrdiff_t i = Index(windows, window.id());
  ASSERT_GE(i, 0);
  EXPECT_EQ(windows[i].processId, 77u);
  EXPECT_EQ(windows[i].rect.Width(), 200);
  EXPECT_FALSE(windows[i].minimized);
  EXPECT_FALSE(desktop.IsIconic(window.id()));

  ASSERT_TRUE(window.Iconify());
  EXPECT_TRUE(desktop.IsIconic(window.id()));
  windows = desktop.EnumWindows();
  i = Index(windows, window.id());
  ASSERT_GE(i, 0) << "iconic windows are listed";
  EXPECT_TRUE(windows[i].minimized);

  ASSERT_TRUE(window.Restore());
  EXPECT_FALSE(desktop.IsIconic(window.id()));
}

TEST(X11DesktopWithoutServer, EveryQueryAnswersNothingAndNothingThrows) {
  x11::X11Desktop desktop(UnusedDisplay());
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

}  // namespace
}  // namespace kalto::test
