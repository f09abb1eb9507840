#include "platform/screen/x11/x11_resources.h"

#include <X11/Xutil.h>
#include <X11/extensions/Xrender.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>

#include "common/debug_output.h"

namespace kalto::x11 {

namespace {
void FreePixmap(Display* display, XID id) { XFreePixmap(display, id); }
void FreePicture(Display* display, XID id) { XRenderFreePicture(display, id); }
}  // namespace

std::shared_ptr<ShmImage> ShmImage::Create(std::shared_ptr<Connection> connection, Visual* visual, int depth,
                                           uint32_t width, uint32_t height, bool renderTarget, uint32_t marginRows,
                                           uint32_t rowPixels) {
  if (!connection || width == 0 || height == 0) return nullptr;
  // Only a render target may be wider than the picture: a grab writes rows of the picture's width.
  const uint32_t layoutWidth = renderTarget ? std::max(width, rowPixels) : width;
  Display* display = connection->get();
  std::shared_ptr<Connection> owner = connection;
  std::shared_ptr<ShmImage> image(new ShmImage(std::move(connection)));
  image->m_info.shmid = -1;
  image->m_info.shmaddr = reinterpret_cast<char*>(-1);
  image->m_image = XShmCreateImage(display, visual, static_cast<unsigned>(depth), ZPixmap, nullptr, &image->m_info,
                                   layoutWidth, height);
  if (!image->m_image) {
    DebugLog<128>(L"[X11] XShmCreateImage %ux%u depth %d failed\n", width, height, depth);
    return nullptr;
  }
  image->m_image->width = static_cast<int>(width);  // the rows keep the layout's pitch
  if (image->m_image->bits_per_pixel != 32 || image->m_image->byte_order != LSBFirst) {
    DebugLog<128>(L"[X11] unsupported image layout (%d bits per pixel)\n", image->m_image->bits_per_pixel);
    return nullptr;
  }
  const auto pitch = static_cast<size_t>(image->m_image->bytes_per_line);
  size_t bytes = pitch * (height + 2 * size_t{marginRows});
  image->m_info.shmid = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
  if (image->m_info.shmid < 0) {
    DebugLog<128>(L"[X11] shmget of %zu bytes failed\n", bytes);
    return nullptr;
  }
  image->m_info.shmaddr = static_cast<char*>(shmat(image->m_info.shmid, nullptr, 0));
  if (image->m_info.shmaddr == reinterpret_cast<char*>(-1)) {
    shmctl(image->m_info.shmid, IPC_RMID, nullptr);
    DebugLog<64>(L"[X11] shmat failed\n");
    return nullptr;
  }
  // Requests name the picture by its offset in the segment, so it may start past the margin.
  image->m_image->data = image->m_info.shmaddr + pitch * marginRows;
  image->m_info.readOnly = False;
  int error = Success;
  {
    ErrorTrap trap(display);
    image->m_attached = XShmAttach(display, &image->m_info) != 0;
    error = trap.Error();  // the server has attached (or failed) once this returns
  }
  shmctl(image->m_info.shmid, IPC_RMID, nullptr);
  if (!image->m_attached || error != Success) {
    image->m_attached = false;
    DebugLog<64>(L"[X11] XShmAttach failed (%d)\n", error);
    return nullptr;
  }
  if (renderTarget) image->CreateRenderTarget();
  if (renderTarget && !image->m_picture && layoutWidth != width) {
    // No render target after all: grabs will land here, so the rows must be the picture's.
    image.reset();
    return Create(std::move(owner), visual, depth, width, height, false, marginRows);
  }
  return image;
}

void ShmImage::CreateRenderTarget() {
  Display* display = m_connection->get();
  int major = 0, minor = 0, event = 0, error = 0;
  Bool sharedPixmaps = False;
  if (!XShmQueryVersion(display, &major, &minor, &sharedPixmaps) || !sharedPixmaps ||
      XShmPixmapFormat(display) != ZPixmap || !XRenderQueryExtension(display, &event, &error)) {
    return;
  }
  XRenderPictFormat* argb = XRenderFindStandardFormat(display, PictStandardARGB32);
  // A 32-bit pixmap as wide as the rows: its pitch is then the image's.
  if (!argb || m_image->bytes_per_line % 4 != 0) return;
  const auto rowPixels = static_cast<unsigned>(m_image->bytes_per_line / 4);
  ErrorTrap trap(display);
  Pixmap pixmap = XShmCreatePixmap(display, DefaultRootWindow(display), m_image->data, &m_info, rowPixels, Height(), 32);
  m_pixmap = XidHandle(display, pixmap, FreePixmap);
  m_picture = XidHandle(display, XRenderCreatePicture(display, pixmap, argb, 0, nullptr), FreePicture);
  if (trap.Error() != Success) {
    m_picture.reset();
    m_pixmap.reset();
    trap.Error();  // freeing what was never made fails too, inside the trap
  }
}

ShmImage::~ShmImage() {
  Display* display = m_connection->get();
  m_picture.reset();
  m_pixmap.reset();
  if (m_attached && !m_connection->Broken()) {
    XShmDetach(display, &m_info);
    XFlush(display);
  }
  if (m_image) {
    m_image->data = nullptr;  // the segment is not Xlib's to free
    XDestroyImage(m_image);
  }
  if (m_info.shmaddr != reinterpret_cast<char*>(-1)) shmdt(m_info.shmaddr);
}

bool ShmImage::Grab(Drawable drawable, int x, int y) {
  // XShmGetImage waits for its reply, so an error of this request has arrived when it returns.
  return XShmGetImage(m_connection->get(), drawable, m_image, x, y, AllPlanes) != 0;
}

}  // namespace kalto::x11

