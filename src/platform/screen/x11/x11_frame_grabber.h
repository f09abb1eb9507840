#pragma once
// The capture worker's engine: watches one monitor or window on its own X connection, grabs it
// into the pool's shared-memory buffers when it changed, draws the cursor in, and delivers.
#include <X11/Xlib.h>
#include <X11/extensions/Xrender.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "platform/screen/x11/x11_capture_service.h"
#include "platform/screen/x11/x11_frame_pool.h"
#include "platform/screen/x11/x11_resources.h"

namespace kalto::x11 {

class X11FrameGrabber {
 public:
  enum class Result {
    Delivered,
    NoFreeBuffer,  // every buffer is held by the consumer: skip this tick
    Unavailable,   // nothing to grab now (an iconified window); try again when it changes
    Gone,          // the window was destroyed or the pool closed: stop
  };

  // Uses `connection` only from the thread that calls Start, CaptureAndDeliver and Run.
  X11FrameGrabber(std::shared_ptr<Connection> connection, CaptureTarget target, std::shared_ptr<X11FramePool> pool);
  ~X11FrameGrabber();
  X11FrameGrabber(const X11FrameGrabber&) = delete;
  X11FrameGrabber& operator=(const X11FrameGrabber&) = delete;

  // Checks the extensions, selects the events the capture follows and redirects a window
  // off-screen. False when the target cannot be captured.
  bool Start();
  // One capture: a free buffer, the grab, the cursor, the frame and its handlers, synchronously.
  // `pointer`: where the pointer was this turn, if it was asked; otherwise the cursor asks itself.
  Result CaptureAndDeliver(bool withCursor, const std::optional<std::pair<int, int>>& pointer = std::nullopt);
  // Delivers the first frame, then one whenever the content (or, with cursor capture, the
  // pointer) changed, at most once per refresh period, until `control.stop` or the target goes.
  // Why it ended on its own; nothing when stopped or its pool was closed.
  std::optional<screen::CaptureEnd> Run(WorkerControl& control);

  std::chrono::nanoseconds FramePeriod() const { return m_period; }

 private:
  void ProcessEvents(bool* dirty);
  bool ConsumeDamage();
  void RefreshMonitor();
  bool RefreshWindowGeometry();
  void DropPixmap();
  // The Render picture to composite from: the root, or the window's pixmap (named on demand).
  Picture SourcePicture();
  std::shared_ptr<ShmImage> ScratchImage(uint32_t width, uint32_t height);
  // The pointer relative to the captured area; false when it is on another screen.
  bool QueryPointer(int* x, int* y);
  bool NearArea(int x, int y) const;
  void RefreshCursorImage();
  void DrawCursor(uint8_t* data, uint32_t pitch, uint32_t width, uint32_t height,
                  const std::optional<std::pair<int, int>>& pointer);

  std::shared_ptr<Connection> m_connection;
  Display* m_display;
  CaptureTarget m_target;
  std::shared_ptr<X11FramePool> m_pool;

  int m_damageEvent = 0;
  int m_fixesEvent = 0;
  int m_randrEvent = -1;
  std::chrono::nanoseconds m_period{16'666'667};

  XidHandle m_damage;
  XidHandle m_region;
  XidHandle m_pixmap;
  XidHandle m_sourcePicture;
  XRenderPictFormat* m_sourceFormat = nullptr;  // null: grab with XShmGetImage instead
  bool m_redirected = false;
  bool m_damagePending = false;

  // Monitor: the rectangle in root coordinates. Window: (0, 0, width, height).
  desktop::Rect m_area;
  bool m_areaIsScreen = false;
  Visual* m_visual = nullptr;
  int m_depth = 0;
  int m_border = 0;
  bool m_mapped = true;
  bool m_gone = false;
  std::shared_ptr<ShmImage> m_scratch;

  // The cursor image converted to BGRA premultiplied, refetched when its serial changes.
  std::vector<uint32_t> m_cursorPixels;
  int m_cursorWidth = 0, m_cursorHeight = 0, m_cursorXHot = 0, m_cursorYHot = 0;
  unsigned long m_cursorSerial = 0;
  bool m_cursorStale = true;
};

}  // namespace kalto::x11
