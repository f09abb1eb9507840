#include "platform/screen/x11/x11_frame_pool.h"

#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <exception>

#include "common/debug_output.h"
#include "platform/gpu/software/software_device.h"
#include "platform/screen/x11/x11_frame_grabber.h"

namespace kalto::x11 {
namespace {

constexpr int32_t kMaxDimension = 16384;
constexpr int32_t kMaxBuffers = 16;
// Rows above and below each frame: an encoder letterboxes a frame into its 16-row blocks there,
// in place, instead of copying it (see LetterboxInPlace).
constexpr uint32_t kMarginRows = 8;
// Frames that textures still read in place are not overwritten: while one is held that way for
// long, up to this many more buffers keep the capture going.
constexpr int32_t kSpareBuffers = 2;

[[noreturn]] void ThrowClosed() { throw PlatformError(RO_E_CLOSED, "The object has been closed."); }

std::shared_ptr<gpu::Device> ValidatedDevice(const std::shared_ptr<screen::CaptureDevice>& device, gpu::Format format,
                                             int32_t buffers, screen::SizeInt32 size) {
  std::shared_ptr<gpu::Device> gpuDevice = device ? device->GetD3DDevice() : nullptr;
  if (!gpuDevice) throw PlatformError(E_INVALIDARG, "The parameter is incorrect. (device)");
  if (format != gpu::Format::B8G8R8A8_UNORM) throw PlatformError(E_INVALIDARG, "The parameter is incorrect. (format)");
  if (buffers < 1 || buffers > kMaxBuffers) {
    throw PlatformError(E_INVALIDARG, "The parameter is incorrect. (numberOfBuffers)");
  }
  if (size.Width < 1 || size.Height < 1 || size.Width > kMaxDimension || size.Height > kMaxDimension) {
    throw PlatformError(E_INVALIDARG, "The parameter is incorrect. (size)");
  }
  return gpuDevice;
}

}  // namespace

// ---- frame ----

screen::SizeInt32 X11CaptureFrame::ContentSize() const {
  std::lock_guard lock(m_mutex);
  if (!m_buffer) ThrowClosed();
  return m_contentSize;
}

std::shared_ptr<gpu::Texture2D> X11CaptureFrame::Surface() const {
  std::lock_guard lock(m_mutex);
  if (!m_buffer) ThrowClosed();
  return m_buffer->texture;
}

void X11CaptureFrame::Close() {
  std::shared_ptr<FrameBuffer> buffer;
  {
    std::lock_guard lock(m_mutex);
    buffer = std::move(m_buffer);
  }
  if (buffer) buffer->inUse.store(false, std::memory_order_release);
}

// ---- pool ----

std::shared_ptr<X11FramePool> X11FramePool::Create(const std::shared_ptr<screen::CaptureDevice>& device,
                                                   gpu::Format format, int32_t buffers, screen::SizeInt32 size) {
  std::shared_ptr<X11FramePool> pool(new X11FramePool());
  pool->SetParametersLocked(device, format, buffers, size);
  return pool;
}

X11FramePool::~X11FramePool() { Close(); }

void X11FramePool::SetParametersLocked(const std::shared_ptr<screen::CaptureDevice>& device, gpu::Format format,
                                       int32_t buffers, screen::SizeInt32 size) {
  m_device = ValidatedDevice(device, format, buffers, size);
  m_bufferCount = buffers;
  m_size = size;
  ++m_generation;
  // Buffers held by frames stay alive through their frames.
  m_buffers.clear();
}

void X11FramePool::ThrowIfClosedLocked() const {
  if (m_closed) ThrowClosed();
}

screen::EventToken X11FramePool::AddFrameArrived(FrameArrivedHandler handler) {
  std::lock_guard lock(m_mutex);
  ThrowIfClosedLocked();
  if (!handler) throw PlatformError(E_INVALIDARG, "The parameter is incorrect. (handler)");
  screen::EventToken token = m_nextToken++;
  auto handlers = std::make_shared<Handlers>(*m_handlers);
  handlers->push_back(std::make_shared<Handler>(Handler{token, std::move(handler)}));
  m_handlers = std::move(handlers);
  return token;
}

void X11FramePool::RemoveFrameArrived(screen::EventToken token) {
  std::unique_lock lock(m_mutex);
  auto handlers = std::make_shared<Handlers>(*m_handlers);
  std::erase_if(*handlers, [token](const std::shared_ptr<Handler>& h) { return h->token == token; });
  m_handlers = std::move(handlers);
  // A handler that removes itself (or another) from inside a delivery must not wait for itself.
  if (m_deliveringThread == std::this_thread::get_id()) return;
  m_handlerDone.wait(lock, [&] { return m_runningToken != token; });
}

std::shared_ptr<screen::CaptureFrame> X11FramePool::TryGetNextFrame() {
  std::lock_guard lock(m_mutex);
  ThrowIfClosedLocked();
  if (m_queue.empty()) return nullptr;
  std::shared_ptr<X11CaptureFrame> frame = std::move(m_queue.front());
  m_queue.pop_front();
  return frame;
}

void X11FramePool::Recreate(const std::shared_ptr<screen::CaptureDevice>& device, gpu::Format format, int32_t buffers,
                            screen::SizeInt32 size) {
  std::lock_guard lock(m_mutex);
  ThrowIfClosedLocked();
  SetParametersLocked(device, format, buffers, size);
}

std::shared_ptr<screen::CaptureSession> X11FramePool::CreateCaptureSession(
    const std::shared_ptr<screen::CaptureItem>& item) {
  {
    std::lock_guard lock(m_mutex);
    ThrowIfClosedLocked();
  }
  auto x11Item = std::dynamic_pointer_cast<X11CaptureItem>(item);
  if (!x11Item) throw PlatformError(E_INVALIDARG, "The parameter is incorrect. (item)");
  return std::make_shared<X11CaptureSession>(shared_from_this(), std::move(x11Item));
}

void X11FramePool::Close() {
  std::deque<std::shared_ptr<X11CaptureFrame>> queued;
  std::vector<std::shared_ptr<FrameBuffer>> buffers;
  {
    std::lock_guard lock(m_mutex);
    if (m_closed) return;
    m_closed = true;
    queued.swap(m_queue);
    buffers.swap(m_buffers);
    m_handlers = std::make_shared<const Handlers>();
  }
  // Frames and buffers go outside the lock: releasing a buffer talks to the X server.
}

std::shared_ptr<FrameBuffer> X11FramePool::AcquireBuffer(const std::shared_ptr<Connection>& connection, Visual* visual,
                                                         int depth) {
  std::lock_guard lock(m_mutex);
  if (m_closed) return nullptr;
  if (m_buffersGeneration != m_generation || m_buffersConnection != connection.get() || m_buffersDepth != depth) {
    m_buffers.clear();
    m_buffersGeneration = m_generation;
    m_buffersConnection = connection.get();
    m_buffersDepth = depth;
    for (int32_t i = 0; i < m_bufferCount; ++i) {
      auto buffer = NewBufferLocked(connection, visual, depth);
      if (!buffer) {
        // Not retried until the parameters change: the same request would fail again.
        DebugLog<128>(L"[X11Capture] cannot allocate %dx%d frame buffers\n", m_size.Width, m_size.Height);
        m_buffers.clear();
        return nullptr;
      }
      m_buffers.push_back(std::move(buffer));
    }
  }
  for (const std::shared_ptr<FrameBuffer>& buffer : m_buffers) {
    bool expected = false;
    if (!buffer->inUse.compare_exchange_strong(expected, true, std::memory_order_acquire)) continue;
    if (!gpu::software::MemoryInUse(*buffer->texture)) return buffer;
    buffer->inUse.store(false, std::memory_order_release);
  }
  if (static_cast<int32_t>(m_buffers.size()) < m_bufferCount + kSpareBuffers) {
    if (auto buffer = NewBufferLocked(connection, visual, depth)) {
      buffer->inUse.store(true, std::memory_order_relaxed);
      m_buffers.push_back(buffer);
      return buffer;
    }
  }
  return nullptr;
}

std::shared_ptr<FrameBuffer> X11FramePool::NewBufferLocked(const std::shared_ptr<Connection>& connection, Visual* visual,
                                                           int depth) {
  auto width = static_cast<uint32_t>(m_size.Width), height = static_cast<uint32_t>(m_size.Height);
  auto buffer = std::make_shared<FrameBuffer>();
  // Rows as wide as the device's own textures', so the letterbox can keep the frame where it is.
  const uint32_t rowPixels = gpu::software::TextureRowPitch(width, gpu::Format::B8G8R8A8_UNORM) / 4;
  buffer->image =
      ShmImage::Create(connection, visual, depth, width, height, /*renderTarget=*/true, kMarginRows, rowPixels);
  if (!buffer->image) return nullptr;
  // Every grab leaves the buffer opaque (the grabber makes it so on each of its paths).
  const gpu::software::MemoryLayout layout{kMarginRows, kMarginRows, true};
  buffer->texture = gpu::software::CreateTextureOverMemory(*m_device, width, height, gpu::Format::B8G8R8A8_UNORM,
                                                           buffer->image->Data(), buffer->image->Pitch(),
                                                           buffer->image, layout);
  return buffer->texture ? buffer : nullptr;
}

bool X11FramePool::Closed() const {
  std::lock_guard lock(m_mutex);
  return m_closed;
}

void X11FramePool::Deliver(std::shared_ptr<FrameBuffer> buffer, screen::SizeInt32 contentSize) {
  auto frame = std::make_shared<X11CaptureFrame>(std::move(buffer), contentSize);
  std::shared_ptr<const Handlers> handlers;
  {
    std::lock_guard lock(m_mutex);
    if (m_closed) return;  // the frame's destruction hands the buffer back
    m_queue.push_back(std::move(frame));
    handlers = m_handlers;
    m_deliveringThread = std::this_thread::get_id();
  }
  for (const std::shared_ptr<Handler>& handler : *handlers) {
    {
      std::lock_guard lock(m_mutex);
      bool registered = std::any_of(m_handlers->begin(), m_handlers->end(),
                                    [&](const std::shared_ptr<Handler>& h) { return h == handler; });
      if (!registered) continue;
      m_runningToken = handler->token;
    }
    try {
      handler->fn(*this);
    } catch (const std::exception& e) {
      DebugLog<256>(L"[X11Capture] a FrameArrived handler threw: %s\n", e.what());
    } catch (...) {
      DebugLog<128>(L"[X11Capture] a FrameArrived handler threw\n");
    }
    {
      std::lock_guard lock(m_mutex);
      m_runningToken = 0;
    }
    m_handlerDone.notify_all();
  }
  std::lock_guard lock(m_mutex);
  m_deliveringThread = std::thread::id();
}

// ---- worker control ----

WorkerControl::WorkerControl() : m_wakeFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

WorkerControl::~WorkerControl() {
  if (m_wakeFd >= 0) close(m_wakeFd);
}

void WorkerControl::Wake() const {
  uint64_t one = 1;
  if (m_wakeFd >= 0) [[maybe_unused]] auto written = write(m_wakeFd, &one, sizeof one);
}

void WorkerControl::SetEndedHandler(screen::CaptureSession::EndedHandler handler) {
  std::lock_guard lock(m_endedMutex);
  m_ended = std::move(handler);
}

void WorkerControl::ReportEnded(screen::CaptureEnd reason) {
  screen::CaptureSession::EndedHandler handler;
  {
    std::lock_guard lock(m_endedMutex);
    handler = m_ended;
  }
  if (handler && !stop.load()) handler(reason);
}

void WorkerControl::Drain() const {
  uint64_t value = 0;
  if (m_wakeFd >= 0) [[maybe_unused]] auto got = read(m_wakeFd, &value, sizeof value);
}

// ---- session ----

X11CaptureSession::X11CaptureSession(std::shared_ptr<X11FramePool> pool, std::shared_ptr<X11CaptureItem> item)
    : m_pool(std::move(pool)), m_item(std::move(item)), m_control(std::make_shared<WorkerControl>()) {}

X11CaptureSession::~X11CaptureSession() {
  Close();
  if (m_worker.joinable()) {
    // Only when the last reference went inside a FrameArrived handler, on the worker itself: it
    // holds what it uses and returns as soon as the handler does.
    m_worker.detach();
  }
}

void X11CaptureSession::ThrowIfClosedLocked() const {
  if (m_closed) ThrowClosed();
}

void X11CaptureSession::CursorSetting::SetIsCursorCaptureEnabled(bool enabled) {
  std::lock_guard lock(m_owner.m_mutex);
  m_owner.ThrowIfClosedLocked();
  if (m_owner.m_control->cursor.exchange(enabled) != enabled) m_owner.m_control->Wake();
}

void X11CaptureSession::BorderSettingImpl::SetIsBorderRequired(bool) {
  std::lock_guard lock(m_owner.m_mutex);
  m_owner.ThrowIfClosedLocked();
}

void X11CaptureSession::IntervalSetting::SetMinUpdateInterval(std::chrono::nanoseconds interval) {
  std::lock_guard lock(m_owner.m_mutex);
  m_owner.ThrowIfClosedLocked();
  m_owner.m_control->minIntervalNs = std::max<int64_t>(0, interval.count());
  m_owner.m_control->Wake();
}

void X11CaptureSession::SetEndedHandler(EndedHandler handler) { m_control->SetEndedHandler(std::move(handler)); }

void X11CaptureSession::StartCapture() {
  std::lock_guard lock(m_mutex);
  ThrowIfClosedLocked();
  if (m_worker.joinable()) {
    throw PlatformError(E_ILLEGAL_METHOD_CALL, "A method was called at an unexpected time.");
  }
  m_worker = std::thread([control = m_control, pool = m_pool, target = m_item->Target()] {
    pthread_setname_np(pthread_self(), "kalto-x11-grab");
    std::shared_ptr<Connection> connection = Connection::Open(target.displayName);
    if (!connection) {
      DebugLog<256>(L"[X11Capture] cannot open X display %s\n", target.displayName.c_str());
      control->ReportEnded(screen::CaptureEnd::ConnectionLost);
      return;
    }
    std::optional<screen::CaptureEnd> ended;
    {
      X11FrameGrabber grabber(connection, target, pool);
      ended = grabber.Run(*control);
    }
    if (ended) control->ReportEnded(*ended);
  });
}

void X11CaptureSession::Close() {
  std::thread worker;
  {
    std::lock_guard lock(m_mutex);
    if (!m_closed) {
      m_closed = true;
      m_control->stop.store(true);
      m_control->Wake();
    }
    if (!m_worker.joinable() || m_worker.get_id() == std::this_thread::get_id()) return;
    worker = std::move(m_worker);
  }
  worker.join();
}

}  // namespace kalto::x11
