// The X11 desktop and capture backends against the program's Xvfb: monitors, windows and the
// pointer as the server has them, and what is on screen is what arrives.
// gtest goes before any X header: Xlib's macros (None, Bool) clash with its internals.
#include <gtest/gtest.h>

#include "capture_harness.h"

#include <algorithm>
#include <array>

namespace kalto::test {
namespace {

using desktop::MonitorDefault;
using X11Capture = XTest;
using X11Desktop = XTest;

std::array<int32_t, 4> Edges(const desktop::Rect& r) { return {r.left, r.top, r.right, r.bottom}; }

// Position of the window in the list (front to back), -1 when it is not there.
ptrdiff_t Index(const std::vector<desktop::WindowInfo>& windows, Window id) {
  auto it = std::find_if(windows.begin(), windows.end(), [&](auto& w) { return w.handle == (desktop::WindowHandle)id; });
  return it == windows.end() ? -1 : it - windows.begin();
}

TEST_F(X11Desktop, MonitorsInRandrOrderMonitorFromWindowAndThePointer) {
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
  EXPECT_EQ(monitors[0], desktop.MonitorFromWindow(0x7FFFFFF, MonitorDefault::Nearest));

  client->WarpPointer(2123, 456);
  desktop::Point p;
  ASSERT_TRUE(desktop.GetCursorPos(&p));
  EXPECT_EQ(2123, p.x);
  EXPECT_EQ(456, p.y);
}

// Titles in UTF-8 (Latin-1 ones converted), pids, the window mapped last first, a destroyed window gone.
TEST_F(X11Desktop, WindowsTitlesPidsAndLifetime) {
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
  EXPECT_EQ((std::array<int32_t, 4>{10, 20, 210, 120}), Edges(windows[i].rect));
  EXPECT_FALSE(windows[i].minimized || desktop.IsIconic(titled.id()));
  EXPECT_EQ("na\xC3\xAFve", windows[l].title);
  EXPECT_EQ(std::pair(4242u, 0u), std::pair(desktop.GetWindowProcessId(titled.id()), desktop.GetWindowProcessId(latin1.id())));
  const Window gone = titled.id();
  titled.Destroy();
  EXPECT_FALSE(desktop.IsWindow(gone) || desktop.GetWindowProcessId(gone));
  EXPECT_EQ(-1, Index(desktop.EnumWindows(), gone));
}

TEST_F(X11Capture, EachMonitorShowsItsPatternExactlyAndTheCursorOnlyWhenAsked) {
  TestWindow window(*client, 100, 100, 300, 200, "pattern", 5);
  TestWindow onRight(*client, 1920 + 100, 100, 200, 100, "right", 2);
  client->WarpPointer(250, 200);  // over the pattern
  for (bool cursor : {false, true}) {
    CaptureHarness h(display, false, 0, cursor);
    auto frame = h.WaitFor();
    ASSERT_TRUE(frame);
    EXPECT_EQ((screen::SizeInt32{1920, 1080}), frame->content);
    ASSERT_EQ(1920u * 1080u, frame->pixels.size());
    // Opaque everywhere, also where the server's memory left the top byte alone.
    EXPECT_TRUE(std::all_of(frame->pixels.begin(), frame->pixels.end(), [](uint32_t p) { return p >> 24 == 0xFF; }));
    int near = 0, far = 0;
    for (int y = 0; y < 200; ++y) {
      for (int x = 0; x < 300; ++x) {
        const bool close = std::abs(100 + x - 250) < 40 && std::abs(100 + y - 200) < 40;
        (close ? near : far) += frame->At(100 + x, 100 + y) != PatternPixel(x, y, 5);
      }
    }
    EXPECT_EQ(cursor, near > 10) << "the cursor shows around the pointer only when asked";
    EXPECT_EQ(0, far);
  }
  CaptureHarness right(display, false, 1);
  EXPECT_TRUE(right.WaitFor([](const CapturedFrame& f) { return PatternMismatches(f, 100, 100, 200, 100, 2) == 0; }));
}

// A covered window is read from its own pixmap (what was hidden arrives once repainted); a
// resized one reports its new content size in surfaces of the pool's size until it is recreated.
TEST_F(X11Capture, WindowIsReadFromItsOwnPixmapAndReportsItsNewSize) {
  TestWindow target(*client, 50, 50, 240, 160, "target", 6);
  TestWindow cover(*client, 100, 80, 300, 200, "cover", 7);
  CaptureHarness h(display, true, target.id());
  ASSERT_TRUE(h.WaitFor());
  target.Draw();
  ASSERT_TRUE(h.WaitFor([](const CapturedFrame& f) { return PatternMismatches(f, 0, 0, 240, 160, 6) == 0; }));
  size_t before = h.Count();
  target.Resize(200, 90);
  target.Draw();
  auto resized = h.WaitFor([](const CapturedFrame& f) { return f.content == screen::SizeInt32{200, 90}; }, before);
  ASSERT_TRUE(resized);
  EXPECT_EQ(240u, resized->width);
  EXPECT_EQ(0xFF000000u, resized->At(10, 120)) << "outside the content is black";
  h.pool->Recreate(h.captureDevice, gpu::Format::B8G8R8A8_UNORM, 2, {200, 90});
  before = h.Count();
  target.Draw();
  EXPECT_TRUE(h.WaitFor(
      [](const CapturedFrame& f) { return f.width == 200 && PatternMismatches(f, 0, 0, 200, 90, 6) == 0; }, before));
}

}  // namespace
}  // namespace kalto::test
