// A small animated scene for demos and end-to-end runs: moving shapes, a running clock and
// text, redrawn every 16 ms (62.5 Hz) in a window that covers the screen (or a given geometry).
// Tests read it back from recordings: three fixed colour markers and a binary clock are drawn
// over everything else (see the layout constants below).
// Usage: kalto-scene [--geometry WxH+X+Y] [--seconds S]
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

namespace {

volatile std::sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

struct DisplayCloser {
  void operator()(Display* d) const { XCloseDisplay(d); }
};

unsigned long Rgb(int r, int g, int b) {
  return (static_cast<unsigned long>(r) << 16) | (static_cast<unsigned long>(g) << 8) | static_cast<unsigned long>(b);
}

// Markers: kMarker pixels square, kInset from the edges: green top-right, magenta bottom-left,
// yellow bottom-right. The clock: kClockBits cells of kCell pixels, most significant first,
// centred kClockRise pixels above the bottom edge; white cells are ones, the value is the
// scene's running time in tenths of a second (modulo 4096).
constexpr int kMarker = 48, kInset = 16, kCell = 24, kClockBits = 12, kClockRise = 80;

}  // namespace

int main(int argc, char** argv) {
  int width = 0, height = 0, x = 0, y = 0;
  double seconds = 0;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--geometry") && i + 1 < argc) {
      if (std::sscanf(argv[++i], "%dx%d+%d+%d", &width, &height, &x, &y) < 2) {
        std::fprintf(stderr, "kalto-scene: bad geometry '%s'\n", argv[i]);
        return 2;
      }
    } else if (!std::strcmp(argv[i], "--seconds") && i + 1 < argc) {
      seconds = std::atof(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: kalto-scene [--geometry WxH+X+Y] [--seconds S]\n");
      return 2;
    }
  }
  std::unique_ptr<Display, DisplayCloser> display(XOpenDisplay(nullptr));
  if (!display) {
    std::fprintf(stderr, "kalto-scene: cannot open display\n");
    return 1;
  }
  Display* d = display.get();
  int screen = DefaultScreen(d);
  if (width <= 0 || height <= 0) {
    width = DisplayWidth(d, screen);
    height = DisplayHeight(d, screen);
  }
  XSetWindowAttributes attrs{};
  attrs.override_redirect = True;
  attrs.background_pixel = Rgb(24, 28, 40);
  Window win = XCreateWindow(d, RootWindow(d, screen), x, y, static_cast<unsigned>(width),
                             static_cast<unsigned>(height), 0, CopyFromParent, InputOutput, CopyFromParent,
                             CWOverrideRedirect | CWBackPixel, &attrs);
  XStoreName(d, win, "Kalto demo scene");
  XMapRaised(d, win);
  Pixmap back = XCreatePixmap(d, win, static_cast<unsigned>(width), static_cast<unsigned>(height),
                              static_cast<unsigned>(DefaultDepth(d, screen)));
  GC gc = XCreateGC(d, win, 0, nullptr);
  XFontStruct* font = XLoadQueryFont(d, "fixed");
  if (font) XSetFont(d, gc, font->fid);

  std::signal(SIGTERM, OnSignal);
  std::signal(SIGINT, OnSignal);
  auto begin = std::chrono::steady_clock::now();
  // Deadlines, not sleeps: a sleep after each draw drifts below 60 Hz on a busy machine, and a
  // 60 fps recording would then find slots in which nothing changed.
  auto deadline = begin;
  constexpr auto kPeriod = std::chrono::milliseconds(16);
  for (long frame = 0; !g_stop; ++frame) {
    double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    if (seconds > 0 && t >= seconds) break;
    XSetForeground(d, gc, Rgb(24, 28, 40));
    XFillRectangle(d, back, gc, 0, 0, static_cast<unsigned>(width), static_cast<unsigned>(height));
    // Stripes give the encoder fine detail to keep.
    for (int sx = 0; sx < width; sx += 40) {
      XSetForeground(d, gc, (sx / 40) % 2 ? Rgb(40, 44, 60) : Rgb(32, 36, 52));
      XFillRectangle(d, back, gc, sx, 0, 20, static_cast<unsigned>(height));
    }
    int r = std::max(20, height / 10);
    int bx = static_cast<int>((width - 2 * r) * (0.5 + 0.5 * std::sin(t * 1.3)));
    int by = static_cast<int>((height - 2 * r) * (0.5 + 0.5 * std::cos(t * 0.9)));
    XSetForeground(d, gc, Rgb(230, 80, 60));
    XFillArc(d, back, gc, bx, by, static_cast<unsigned>(2 * r), static_cast<unsigned>(2 * r), 0, 360 * 64);
    int qx = static_cast<int>((width - r) * (0.5 + 0.5 * std::cos(t * 2.1)));
    XSetForeground(d, gc, Rgb(60, 170, 240));
    XFillRectangle(d, back, gc, qx, height / 2, static_cast<unsigned>(r), static_cast<unsigned>(r));
    XSetForeground(d, gc, Rgb(250, 250, 250));
    char text[128];
    std::snprintf(text, sizeof text, "Kalto demo  %02d:%02d.%03d  frame %ld", static_cast<int>(t) / 60,
                  static_cast<int>(t) % 60, static_cast<int>(t * 1000) % 1000, frame);
    XDrawString(d, back, gc, 20, 30, text, static_cast<int>(std::strlen(text)));
    XSetForeground(d, gc, Rgb(40, 200, 80));
    XFillRectangle(d, back, gc, width - kInset - kMarker, kInset, kMarker, kMarker);
    XSetForeground(d, gc, Rgb(220, 60, 200));
    XFillRectangle(d, back, gc, kInset, height - kInset - kMarker, kMarker, kMarker);
    XSetForeground(d, gc, Rgb(240, 220, 40));
    XFillRectangle(d, back, gc, width - kInset - kMarker, height - kInset - kMarker, kMarker, kMarker);
    auto tenths = static_cast<long>(t * 10);
    int clockX = width / 2 - kClockBits * kCell / 2;
    for (int bit = 0; bit < kClockBits; ++bit) {
      bool one = (tenths >> (kClockBits - 1 - bit)) & 1;
      XSetForeground(d, gc, one ? Rgb(255, 255, 255) : Rgb(0, 0, 0));
      XFillRectangle(d, back, gc, clockX + bit * kCell, height - kClockRise, kCell, kCell);
    }
    XCopyArea(d, back, win, gc, 0, 0, static_cast<unsigned>(width), static_cast<unsigned>(height), 0, 0);
    XFlush(d);
    deadline += kPeriod;
    const auto now = std::chrono::steady_clock::now();
    if (deadline < now - kPeriod) deadline = now;  // far behind (stopped, suspended): no burst
    std::this_thread::sleep_until(deadline);
  }
  if (font) XFreeFont(d, font);
  XFreeGC(d, gc);
  XFreePixmap(d, back);
  XDestroyWindow(d, win);
  return 0;
}
