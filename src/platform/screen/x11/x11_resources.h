#pragma once
// Owners for the server-side resources a capture holds: an XID freed with its own request, and a
// shared-memory image the server writes grabs into.
#include <X11/Xlib.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xrender.h>

#include <cstdint>
#include <memory>
#include <utility>

#include "platform/desktop/x11/x11_connection.h"

namespace kalto::x11 {

class XidHandle {
 public:
  using FreeFn = void (*)(Display*, XID);
  XidHandle() = default;
  XidHandle(Display* display, XID id, FreeFn free) : m_display(display), m_id(id), m_free(free) {}
  ~XidHandle() { reset(); }
  XidHandle(XidHandle&& other) noexcept
      : m_display(other.m_display), m_id(std::exchange(other.m_id, None)), m_free(other.m_free) {}
  XidHandle& operator=(XidHandle&& other) noexcept {
    if (this != &other) {
      reset();
      m_display = other.m_display;
      m_id = std::exchange(other.m_id, None);
      m_free = other.m_free;
    }
    return *this;
  }
  XidHandle(const XidHandle&) = delete;
  XidHandle& operator=(const XidHandle&) = delete;

  XID get() const { return m_id; }
  explicit operator bool() const { return m_id != None; }
  void reset() {
    // A lost server has freed everything already, and Xlib could block on the broken display.
    if (m_id != None && m_free && !Connection::DisplayBroken(m_display)) m_free(m_display, m_id);
    m_id = None;
  }

 private:
  Display* m_display = nullptr;
  XID m_id = None;
  FreeFn m_free = nullptr;
};

// A ZPixmap XImage over a System V shared-memory segment attached to the server. The segment is
// marked for removal as soon as both sides have attached, so nothing outlives the processes.
// Pixels are 32 bits, BGRA in memory. The connection is kept open while the image lives.
class ShmImage {
 public:
  // Null (with a debug line) when the server or the format does not allow it.
  // `marginRows` rows more are set aside above and below the picture, in the same segment. A
  // render target's rows may be laid out `rowPixels` wide (a pitch another reader wants).
  static std::shared_ptr<ShmImage> Create(std::shared_ptr<Connection> connection, Visual* visual, int depth,
                                          uint32_t width, uint32_t height, bool renderTarget = false,
                                          uint32_t marginRows = 0, uint32_t rowPixels = 0);
  ~ShmImage();
  ShmImage(const ShmImage&) = delete;
  ShmImage& operator=(const ShmImage&) = delete;

  XImage* Image() const { return m_image; }
  uint8_t* Data() const { return reinterpret_cast<uint8_t*>(m_image->data); }
  uint32_t Pitch() const { return static_cast<uint32_t>(m_image->bytes_per_line); }
  // Rows exactly as wide as the picture, as a grab writes them.
  bool Packed() const { return m_image->bytes_per_line == m_image->width * 4; }
  uint32_t Width() const { return static_cast<uint32_t>(m_image->width); }
  uint32_t Height() const { return static_cast<uint32_t>(m_image->height); }
  int Depth() const { return m_image->depth; }
  const std::shared_ptr<Connection>& Owner() const { return m_connection; }

  // Grabs the rectangle at (x, y) of `drawable` (of the image's depth) into a Packed() image.
  // False when the server refused (an unviewable window, a rectangle outside the drawable).
  bool Grab(Drawable drawable, int x, int y);
  // The same memory as a 32-bit ARGB Render picture (over a shared-memory pixmap), or None
  // where the server does not share pixmaps. Compositing an opaque source into it leaves the
  // pixels opaque in one server-side pass, where a grab would need a second pass for alpha.
  Picture RenderTarget() const { return static_cast<Picture>(m_picture.get()); }

 private:
  explicit ShmImage(std::shared_ptr<Connection> connection) : m_connection(std::move(connection)) {}
  void CreateRenderTarget();
  std::shared_ptr<Connection> m_connection;
  XShmSegmentInfo m_info{};
  XImage* m_image = nullptr;
  bool m_attached = false;
  XidHandle m_pixmap;
  XidHandle m_picture;
};

}  // namespace kalto::x11
