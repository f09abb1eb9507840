#include "platform/screen/x11/x11_frame_grabber.h"

#include <X11/extensions/Xcomposite.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/Xrandr.h>
#include <poll.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cstring>
#include <tuple>

#include "common/debug_output.h"
#include "platform/desktop/x11/x11_desktop.h"

namespace kalto::x11 {
namespace {

using Clock = std::chrono::steady_clock;

// How soon to look again for a free buffer when the consumer holds them all.
constexpr std::chrono::milliseconds kBufferRetry{4};
// How often to retry a window that is mapped but cannot be grabbed.
constexpr std::chrono::milliseconds kUnviewableRetry{100};
// How far outside the area the pointer may be and still show part of the cursor.
constexpr int kCursorMargin = 64;

void FreePixmap(Display* display, XID id) { XFreePixmap(display, id); }
void DestroyDamage(Display* display, XID id) { XDamageDestroy(display, id); }
void DestroyRegion(Display* display, XID id) { XFixesDestroyRegion(display, id); }
void FreePicture(Display* display, XID id) { XRenderFreePicture(display, id); }

std::chrono::nanoseconds RefreshPeriod(Display* display) {
  std::unique_ptr<XRRScreenConfiguration, decltype(&XRRFreeScreenConfigInfo)> config(
      XRRGetScreenInfo(display, DefaultRootWindow(display)), XRRFreeScreenConfigInfo);
  short rate = config ? XRRConfigCurrentRate(config.get()) : 0;
  // Virtual servers report no rate; 60 Hz is what a desktop would run at.
  if (rate <= 0 || rate > 1000) rate = 60;
  return std::chrono::nanoseconds(1'000'000'000 / rate);
}

// Depth-24 drawables leave the top byte undefined; the engine wants opaque BGRA. Only the
// XShmGetImage path needs this: it costs about as much again as the grab.
void ForceOpaque(uint8_t* data, uint32_t pitch, uint32_t width, uint32_t height) {
  for (uint32_t y = 0; y < height; ++y) {
    uint8_t* row = data + static_cast<size_t>(y) * pitch;
    uint32_t x = 0;
#if defined(__SSE2__)
    const __m128i opaque = _mm_set1_epi32(static_cast<int>(0xFF000000u));
    for (; x + 4 <= width; x += 4) {
      auto* p = reinterpret_cast<__m128i*>(row + x * 4u);
      _mm_storeu_si128(p, _mm_or_si128(_mm_loadu_si128(p), opaque));
    }
#endif
    auto* pixels = reinterpret_cast<uint32_t*>(row);
    for (; x < width; ++x) pixels[x] |= 0xFF000000u;
  }
}

// Opaque black where the content does not reach (the pool is larger than the content).
void FillOutside(uint8_t* data, uint32_t pitch, uint32_t width, uint32_t height, uint32_t contentWidth,
                 uint32_t contentHeight) {
  for (uint32_t y = 0; y < height; ++y) {
    auto* row = reinterpret_cast<uint32_t*>(data + static_cast<size_t>(y) * pitch);
    std::fill(row + (y < contentHeight ? contentWidth : 0), row + width, 0xFF000000u);
  }
}

void CopyOverlap(const ShmImage& from, uint8_t* to, uint32_t toPitch, uint32_t toWidth, uint32_t toHeight) {
  uint32_t width = std::min(from.Width(), toWidth), height = std::min(from.Height(), toHeight);
  for (uint32_t y = 0; y < height; ++y) {
    std::memcpy(to + static_cast<size_t>(y) * toPitch, from.Data() + static_cast<size_t>(y) * from.Pitch(), width * 4u);
  }
  FillOutside(to, toPitch, toWidth, toHeight, width, height);
}

}  // namespace

X11FrameGrabber::X11FrameGrabber(std::shared_ptr<Connection> connection, CaptureTarget target,
                                 std::shared_ptr<X11FramePool> pool)
    : m_connection(std::move(connection)),
      m_display(m_connection->get()),
      m_target(std::move(target)),
      m_pool(std::move(pool)) {}

X11FrameGrabber::~X11FrameGrabber() {
  if (m_connection->Broken()) {
    // The server is gone and with it everything it held; only our side is released.
    m_scratch.reset();
    m_sourcePicture.reset();
    m_pixmap.reset();
    m_damage.reset();
    m_region.reset();
    return;
  }
  // The window may be gone already; what fails here fails quietly.
  ErrorTrap trap(m_display);
  m_scratch.reset();
  m_sourcePicture.reset();
  m_pixmap.reset();
  m_damage.reset();
  m_region.reset();
  if (m_redirected) XCompositeUnredirectWindow(m_display, m_target.window, CompositeRedirectAutomatic);
  trap.Error();
}

bool X11FrameGrabber::Start() {
  Display* d = m_display;
  int errorBase = 0, major = 0, minor = 0;
  if (!XShmQueryExtension(d)) {
    DebugLog<64>(L"[X11Capture] the server lacks MIT-SHM\n");
    return false;
  }
  if (!XDamageQueryExtension(d, &m_damageEvent, &errorBase) || !XFixesQueryExtension(d, &m_fixesEvent, &errorBase)) {
    DebugLog<64>(L"[X11Capture] the server lacks DAMAGE or XFIXES\n");
    return false;
  }
  major = 1, minor = 1;
  XDamageQueryVersion(d, &major, &minor);
  major = 5, minor = 0;
  XFixesQueryVersion(d, &major, &minor);
  if (XRRQueryExtension(d, &m_randrEvent, &errorBase)) {
    major = 1, minor = 5;
    XRRQueryVersion(d, &major, &minor);
  } else {
    m_randrEvent = -1;
  }
  m_period = RefreshPeriod(d);
  const bool render = XRenderQueryExtension(d, &major, &errorBase);

  Window root = DefaultRootWindow(d);
  XFixesSelectCursorInput(d, root, XFixesDisplayCursorNotifyMask);
  m_region = XidHandle(d, XFixesCreateRegion(d, nullptr, 0), DestroyRegion);

  if (m_target.kind == CaptureTarget::Kind::Monitor) {
    XWindowAttributes attributes{};
    XGetWindowAttributes(d, root, &attributes);
    m_visual = attributes.visual;
    m_depth = attributes.depth;
    m_area = m_target.monitorRect;
    if (m_randrEvent >= 0) XRRSelectInput(d, root, RRScreenChangeNotifyMask);
    RefreshMonitor();
    m_damage = XidHandle(d, XDamageCreate(d, root, XDamageReportNonEmpty), DestroyDamage);
    if (render && m_depth == 24) m_sourceFormat = XRenderFindVisualFormat(d, m_visual);
    return true;
  }

  if (!XCompositeQueryExtension(d, &major, &errorBase)) {
    DebugLog<64>(L"[X11Capture] the server lacks Composite\n");
    return false;
  }
  major = 0, minor = 4;
  XCompositeQueryVersion(d, &major, &minor);
  ErrorTrap trap(d);
  // Events first, so no resize between the query and the selection goes unseen.
  XSelectInput(d, m_target.window, StructureNotifyMask);
  XWindowAttributes attributes{};
  if (!XGetWindowAttributes(d, m_target.window, &attributes)) {
    m_gone = true;
    return false;
  }
  XCompositeRedirectWindow(d, m_target.window, CompositeRedirectAutomatic);
  m_damage = XidHandle(d, XDamageCreate(d, m_target.window, XDamageReportNonEmpty), DestroyDamage);
  if (trap.Error() != Success) {
    m_gone = true;
    return false;
  }
  m_redirected = true;
  m_area = {0, 0, attributes.width, attributes.height};
  m_border = attributes.border_width;
  m_visual = attributes.visual;
  m_depth = attributes.depth;
  m_mapped = attributes.map_state != IsUnmapped;
  return true;
}

void X11FrameGrabber::RefreshMonitor() {
  for (const MonitorRecord& m : QueryMonitors(m_display)) {
    if (m.atom == m_target.monitor) m_area = m.rect;
  }
  Screen* screen = DefaultScreenOfDisplay(m_display);
  m_areaIsScreen = m_area.left <= 0 && m_area.top <= 0 && m_area.right >= WidthOfScreen(screen) &&
                   m_area.bottom >= HeightOfScreen(screen);
  m_period = RefreshPeriod(m_display);
}

bool X11FrameGrabber::RefreshWindowGeometry() {
  ErrorTrap trap(m_display);
  XWindowAttributes attributes{};
  if (!XGetWindowAttributes(m_display, m_target.window, &attributes) || trap.Error(false) != Success) {
    m_gone = true;
    return false;
  }
  m_area = {0, 0, attributes.width, attributes.height};
  m_border = attributes.border_width;
  m_mapped = attributes.map_state != IsUnmapped;
  return true;
}

void X11FrameGrabber::DropPixmap() {
  if (!m_pixmap) return;
  // A pixmap named for a window that was never viewable does not exist on the server.
  ErrorTrap trap(m_display);
  m_sourcePicture.reset();
  m_pixmap.reset();
  trap.Error();
}

Picture X11FrameGrabber::SourcePicture() {
  if (m_sourcePicture) return static_cast<Picture>(m_sourcePicture.get());
  Drawable from = DefaultRootWindow(m_display);
  if (m_target.kind == CaptureTarget::Kind::Window) {
    if (!m_pixmap) m_pixmap = XidHandle(m_display, XCompositeNameWindowPixmap(m_display, m_target.window), FreePixmap);
    from = m_pixmap.get();
  }
  // Children of the root (every window on the screen) are part of what it shows.
  XRenderPictureAttributes attributes{};
  attributes.subwindow_mode = IncludeInferiors;
  m_sourcePicture = XidHandle(
      m_display, XRenderCreatePicture(m_display, from, m_sourceFormat, CPSubwindowMode, &attributes), FreePicture);
  return static_cast<Picture>(m_sourcePicture.get());
}

std::shared_ptr<ShmImage> X11FrameGrabber::ScratchImage(uint32_t width, uint32_t height) {
  if (!m_scratch || m_scratch->Width() != width || m_scratch->Height() != height || m_scratch->Depth() != m_depth) {
    m_scratch.reset();
    m_scratch = ShmImage::Create(m_connection, m_visual, m_depth, width, height);
  }
  return m_scratch;
}

X11FrameGrabber::Result X11FrameGrabber::CaptureAndDeliver(bool withCursor,
                                                           const std::optional<std::pair<int, int>>& pointer) {
  if (m_gone) return Result::Gone;
  const bool window = m_target.kind == CaptureTarget::Kind::Window;
  if (window && !m_mapped) return Result::Unavailable;
  if (m_area.Width() <= 0 || m_area.Height() <= 0) return Result::Unavailable;
  screen::SizeInt32 content{m_area.Width(), m_area.Height()};

  std::shared_ptr<FrameBuffer> buffer = m_pool->AcquireBuffer(m_connection, m_visual, m_depth);
  if (!buffer) return m_pool->Closed() ? Result::Gone : Result::NoFreeBuffer;
  ShmImage& out = *buffer->image;
  const uint32_t width = std::min<uint32_t>(out.Width(), content.Width);
  const uint32_t height = std::min<uint32_t>(out.Height(), content.Height);
  const bool direct = out.Width() == static_cast<uint32_t>(content.Width) &&
                      out.Height() == static_cast<uint32_t>(content.Height);
  const int sourceX = window ? m_border : m_area.left, sourceY = window ? m_border : m_area.top;

  bool grabbed = false;
  if (m_sourceFormat && out.RenderTarget() != None) {
    // One server-side pass: the opaque source lands in the buffer with alpha 255.
    ErrorTrap trap(m_display);
    XRenderComposite(m_display, PictOpSrc, SourcePicture(), None, out.RenderTarget(), sourceX, sourceY, 0, 0, 0, 0,
                     width, height);
    grabbed = trap.Error() == Success;  // the sync also means the pixels are in memory
    if (grabbed && !direct) FillOutside(out.Data(), out.Pitch(), out.Width(), out.Height(), width, height);
  } else {
    std::shared_ptr<ShmImage> grabInto =
        direct && out.Packed() ? buffer->image
                               : ScratchImage(static_cast<uint32_t>(content.Width), static_cast<uint32_t>(content.Height));
    if (grabInto) {
      ErrorTrap trap(m_display);
      Drawable from = DefaultRootWindow(m_display);
      if (window) {
        if (!m_pixmap) {
          m_pixmap = XidHandle(m_display, XCompositeNameWindowPixmap(m_display, m_target.window), FreePixmap);
        }
        from = m_pixmap.get();
      }
      grabbed = grabInto->Grab(from, sourceX, sourceY) && trap.Error(false) == Success;
    }
    if (grabbed) {
      if (grabInto != buffer->image) CopyOverlap(*grabInto, out.Data(), out.Pitch(), out.Width(), out.Height());
      if (!direct) FillOutside(out.Data(), out.Pitch(), out.Width(), out.Height(), width, height);
      ForceOpaque(out.Data(), out.Pitch(), width, height);
    }
  }
  if (!grabbed) {
    buffer->inUse.store(false, std::memory_order_release);
    if (window) {
      // Iconified, resized under us or destroyed: the events that follow say which.
      DropPixmap();
      if (!RefreshWindowGeometry()) return Result::Gone;
    }
    return Result::Unavailable;
  }

  if (withCursor) DrawCursor(out.Data(), out.Pitch(), width, height, pointer);
  m_pool->Deliver(std::move(buffer), content);
  return Result::Delivered;
}

bool X11FrameGrabber::QueryPointer(int* x, int* y) {
  const bool window = m_target.kind == CaptureTarget::Kind::Window;
  Window root = None, child = None;
  int rootX = 0, rootY = 0, winX = 0, winY = 0;
  unsigned int mask = 0;
  ErrorTrap trap(m_display);
  Window from = window ? m_target.window : DefaultRootWindow(m_display);
  if (!XQueryPointer(m_display, from, &root, &child, &rootX, &rootY, &winX, &winY, &mask)) return false;
  if (trap.Error(false) != Success) return false;
  *x = window ? winX : rootX - m_area.left;
  *y = window ? winY : rootY - m_area.top;
  return true;
}

bool X11FrameGrabber::NearArea(int x, int y) const {
  int margin = std::max({kCursorMargin, m_cursorWidth, m_cursorHeight});
  return x >= -margin && y >= -margin && x < m_area.Width() + margin && y < m_area.Height() + margin;
}

void X11FrameGrabber::RefreshCursorImage() {
  XPtr<XFixesCursorImage> image(XFixesGetCursorImage(m_display));
  m_cursorStale = false;
  if (!image) {
    m_cursorPixels.clear();
    m_cursorWidth = m_cursorHeight = 0;
    return;
  }
  if (image->cursor_serial == m_cursorSerial && !m_cursorPixels.empty()) return;
  m_cursorSerial = image->cursor_serial;
  m_cursorWidth = image->width;
  m_cursorHeight = image->height;
  m_cursorXHot = image->xhot;
  m_cursorYHot = image->yhot;
  // ARGB premultiplied, one pixel per unsigned long: 0xAARRGGBB is BGRA in memory.
  size_t count = static_cast<size_t>(image->width) * image->height;
  m_cursorPixels.resize(count);
  for (size_t i = 0; i < count; ++i) m_cursorPixels[i] = static_cast<uint32_t>(image->pixels[i]);
}

void X11FrameGrabber::DrawCursor(uint8_t* data, uint32_t pitch, uint32_t width, uint32_t height,
                                 const std::optional<std::pair<int, int>>& pointer) {
  // The loop asked a moment ago; a second round trip per frame would buy a millisecond's motion.
  int px = 0, py = 0;
  if (pointer) {
    std::tie(px, py) = *pointer;
  } else if (!QueryPointer(&px, &py)) {
    return;
  }
  if (m_cursorStale) RefreshCursorImage();
  if (m_cursorPixels.empty()) return;
  int left = px - m_cursorXHot, top = py - m_cursorYHot;
  int x0 = std::max(0, left), y0 = std::max(0, top);
  int x1 = std::min<int>(static_cast<int>(width), left + m_cursorWidth);
  int y1 = std::min<int>(static_cast<int>(height), top + m_cursorHeight);
  for (int y = y0; y < y1; ++y) {
    auto* row = reinterpret_cast<uint32_t*>(data + static_cast<size_t>(y) * pitch);
    const uint32_t* src = m_cursorPixels.data() + static_cast<size_t>(y - top) * m_cursorWidth;
    for (int x = x0; x < x1; ++x) {
      uint32_t s = src[x - left];
      uint32_t alpha = s >> 24;
      if (alpha == 0) continue;
      uint32_t d = row[x], inverse = 255 - alpha, blended = 0xFF000000u;
      for (int shift = 0; shift < 24; shift += 8) {
        uint32_t channel = ((s >> shift) & 0xFF) + (((d >> shift) & 0xFF) * inverse + 127) / 255;
        blended |= std::min<uint32_t>(channel, 255) << shift;
      }
      row[x] = blended;
    }
  }
}

bool X11FrameGrabber::ConsumeDamage() {
  m_damagePending = false;
  if (!m_damage) return false;
  // Subtracting before the grab means anything drawn after it raises a new notification.
  if (m_target.kind == CaptureTarget::Kind::Window || m_areaIsScreen) {
    XDamageSubtract(m_display, m_damage.get(), None, None);
    return true;
  }
  XDamageSubtract(m_display, m_damage.get(), None, m_region.get());
  int count = 0;
  XPtr<XRectangle> rects(XFixesFetchRegion(m_display, m_region.get(), &count));
  for (int i = 0; rects && i < count; ++i) {
    const XRectangle& r = rects.get()[i];
    desktop::Rect damaged{r.x, r.y, r.x + r.width, r.y + r.height};
    if (damaged.left < m_area.right && damaged.right > m_area.left && damaged.top < m_area.bottom &&
        damaged.bottom > m_area.top) {
      return true;
    }
  }
  return false;
}

void X11FrameGrabber::ProcessEvents(bool* dirty) {
  while (XPending(m_display) > 0) {
    XEvent event;
    XNextEvent(m_display, &event);
    if (event.type == m_damageEvent + XDamageNotify) {
      m_damagePending = true;
    } else if (event.type == m_fixesEvent + XFixesCursorNotify) {
      if (reinterpret_cast<XFixesCursorNotifyEvent&>(event).cursor_serial != m_cursorSerial) m_cursorStale = true;
    } else if (m_randrEvent >= 0 && event.type == m_randrEvent + RRScreenChangeNotify) {
      XRRUpdateConfiguration(&event);
      if (m_target.kind == CaptureTarget::Kind::Monitor) RefreshMonitor();
      *dirty = true;
    } else if (m_target.kind == CaptureTarget::Kind::Window && event.xany.window == m_target.window) {
      switch (event.type) {
        case ConfigureNotify: {
          const XConfigureEvent& c = event.xconfigure;
          if (c.width != m_area.Width() || c.height != m_area.Height() || c.border_width != m_border) {
            DropPixmap();
            m_area = {0, 0, c.width, c.height};
            m_border = c.border_width;
          }
          *dirty = true;
          break;
        }
        case MapNotify:
          m_mapped = true;
          DropPixmap();  // a remapped window gets a new pixmap
          *dirty = true;
          break;
        case UnmapNotify:
          m_mapped = false;
          DropPixmap();
          break;
        case DestroyNotify:
          m_gone = true;
          break;
        default:
          break;
      }
    }
  }
}

std::optional<screen::CaptureEnd> X11FrameGrabber::Run(WorkerControl& control) {
  const auto ended = [this]() -> std::optional<screen::CaptureEnd> {
    if (m_connection->Broken()) return screen::CaptureEnd::ConnectionLost;
    if (m_pool->Closed()) return std::nullopt;
    return m_gone ? screen::CaptureEnd::ItemClosed : screen::CaptureEnd::Failed;
  };
  if (!Start()) return ended();
  bool dirty = true;  // the first frame goes out right away
  bool lastCursor = control.cursor.load();
  bool havePointer = false;
  int pointerX = 0, pointerY = 0;
  Clock::time_point next = Clock::now();
  const int xfd = ConnectionNumber(m_display);

  while (!control.stop.load()) {
    control.Drain();
    ProcessEvents(&dirty);
    if (m_gone || m_connection->Broken()) return ended();
    if (m_damagePending && ConsumeDamage()) dirty = true;

    bool cursor = control.cursor.load();
    if (cursor != lastCursor) dirty = true, lastCursor = cursor;
    std::optional<std::pair<int, int>> pointer;
    if (cursor) {
      int x = 0, y = 0;
      if (QueryPointer(&x, &y)) pointer.emplace(x, y);
      if (pointer && (!havePointer || x != pointerX || y != pointerY)) {
        if (havePointer && (NearArea(x, y) || NearArea(pointerX, pointerY))) dirty = true;
        pointerX = x, pointerY = y, havePointer = true;
      }
      if (m_cursorStale && havePointer && NearArea(pointerX, pointerY)) dirty = true;
    }

    Clock::time_point now = Clock::now();
    Clock::time_point wakeAt = Clock::time_point::max();
    if (dirty && now >= next) {
      switch (CaptureAndDeliver(cursor, pointer)) {
        case Result::Gone:
          if (!m_pool->Closed()) m_gone = true;
          return ended();
        case Result::NoFreeBuffer:
          wakeAt = now + kBufferRetry;
          break;
        case Result::Delivered: {
          const std::chrono::nanoseconds minInterval(control.minIntervalNs.load());
          if (minInterval > m_period) {
            // On a grid, so a steady stream of changes yields one frame per interval; a late
            // grab keeps the grid but the next one never follows it closer than 4/5 of it
            // (a consumer pacing at 3/4 would skip that frame).
            next += minInterval;
            next = std::max(next, now + minInterval * 4 / 5);
          } else {
            next += m_period;
            if (next < now) next = now;
          }
          dirty = false;
          break;
        }
        case Result::Unavailable:
          // A mapped window can be unviewable for a moment (its frame is not mapped yet);
          // nothing announces the end of that, so look again shortly.
          if (m_target.kind == CaptureTarget::Kind::Window && m_mapped) {
            next = now + kUnviewableRetry;
            wakeAt = next;
          } else {
            dirty = false;
          }
          break;
      }
    } else if (dirty) {
      wakeAt = next;
    }
    if (cursor) wakeAt = std::min(wakeAt, Clock::now() + m_period);
    if (XPending(m_display) > 0) continue;  // events that arrived while grabbing

    pollfd fds[2] = {{xfd, POLLIN, 0}, {control.WakeFd(), POLLIN, 0}};
    timespec timeout{};
    timespec* timeoutPtr = nullptr;
    if (wakeAt != Clock::time_point::max()) {
      auto wait = std::max(Clock::duration::zero(), wakeAt - Clock::now());
      auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
      timeout.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
      timeout.tv_nsec = static_cast<long>(ns % 1'000'000'000);
      timeoutPtr = &timeout;
    }
    ppoll(fds, 2, timeoutPtr, nullptr);
  }
  return std::nullopt;
}

}  // namespace kalto::x11
