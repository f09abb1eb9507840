#pragma once
// The free-threaded frame pool, its frames and its capture session. Buffers are allocated by the
// grabber on its own X connection (the segments are attached there) and handed out as frames;
// a buffer is in use from its frame's delivery until the frame is closed.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/screen/capture_service.h"
#include "platform/screen/x11/x11_capture_service.h"
#include "platform/screen/x11/x11_resources.h"

namespace kalto::x11 {

struct FrameBuffer {
  std::shared_ptr<ShmImage> image;
  std::shared_ptr<gpu::Texture2D> texture;
  std::atomic<bool> inUse{false};
};

class X11CaptureFrame : public screen::CaptureFrame {
 public:
  X11CaptureFrame(std::shared_ptr<FrameBuffer> buffer, screen::SizeInt32 contentSize)
      : m_buffer(std::move(buffer)), m_contentSize(contentSize) {}
  ~X11CaptureFrame() override { Close(); }
  screen::SizeInt32 ContentSize() const override;
  std::shared_ptr<gpu::Texture2D> Surface() const override;
  void Close() override;

 private:
  mutable std::mutex m_mutex;
  std::shared_ptr<FrameBuffer> m_buffer;
  screen::SizeInt32 m_contentSize;
};

class X11FramePool : public screen::FramePool, public std::enable_shared_from_this<X11FramePool> {
 public:
  // Throws PlatformError(E_INVALIDARG) for arguments the pool cannot honour.
  static std::shared_ptr<X11FramePool> Create(const std::shared_ptr<screen::CaptureDevice>& device, gpu::Format format,
                                              int32_t buffers, screen::SizeInt32 size);
  ~X11FramePool() override;

  screen::EventToken AddFrameArrived(FrameArrivedHandler handler) override;
  void RemoveFrameArrived(screen::EventToken token) override;
  std::shared_ptr<screen::CaptureFrame> TryGetNextFrame() override;
  void Recreate(const std::shared_ptr<screen::CaptureDevice>& device, gpu::Format format, int32_t buffers,
                screen::SizeInt32 size) override;
  std::shared_ptr<screen::CaptureSession> CreateCaptureSession(const std::shared_ptr<screen::CaptureItem>& item) override;
  void Close() override;

  // For the grabber. A free buffer of the pool's size whose image is attached on `connection`
  // with the drawable's depth, marked in use; null when every buffer is in use (by a frame, or
  // read in place by a texture), on allocation failure, or once the pool is closed.
  std::shared_ptr<FrameBuffer> AcquireBuffer(const std::shared_ptr<Connection>& connection, Visual* visual, int depth);
  bool Closed() const;
  // Queues a frame over `buffer` and calls the handlers on the calling thread.
  void Deliver(std::shared_ptr<FrameBuffer> buffer, screen::SizeInt32 contentSize);

 private:
  std::shared_ptr<FrameBuffer> NewBufferLocked(const std::shared_ptr<Connection>& connection, Visual* visual, int depth);
  struct Handler {
    screen::EventToken token;
    FrameArrivedHandler fn;
  };
  X11FramePool() = default;
  void SetParametersLocked(const std::shared_ptr<screen::CaptureDevice>& device, gpu::Format format, int32_t buffers,
                           screen::SizeInt32 size);
  void ThrowIfClosedLocked() const;

  mutable std::mutex m_mutex;
  std::condition_variable m_handlerDone;
  bool m_closed = false;
  std::shared_ptr<gpu::Device> m_device;
  int32_t m_bufferCount = 0;
  screen::SizeInt32 m_size;
  // The buffers of the current parameters; replaced when they or the grabber's connection change.
  std::vector<std::shared_ptr<FrameBuffer>> m_buffers;
  uint64_t m_generation = 0;
  uint64_t m_buffersGeneration = ~0ull;
  const Connection* m_buffersConnection = nullptr;
  int m_buffersDepth = 0;
  std::deque<std::shared_ptr<X11CaptureFrame>> m_queue;
  using Handlers = std::vector<std::shared_ptr<Handler>>;
  // Replaced, never changed in place: a delivery keeps the list it started with without copying it.
  std::shared_ptr<const Handlers> m_handlers = std::make_shared<const Handlers>();
  screen::EventToken m_nextToken = 1;
  screen::EventToken m_runningToken = 0;
  std::thread::id m_deliveringThread;
};

// Shared between a session and its worker: the stop request, the cursor setting, and an eventfd
// that wakes the worker from its wait on the X connection.
class WorkerControl {
 public:
  WorkerControl();
  ~WorkerControl();
  WorkerControl(const WorkerControl&) = delete;
  WorkerControl& operator=(const WorkerControl&) = delete;

  std::atomic<bool> stop{false};
  std::atomic<bool> cursor{true};
  std::atomic<int64_t> minIntervalNs{0};
  int WakeFd() const { return m_wakeFd; }
  // Calls the session's ended handler, unless a stop was asked for.
  void ReportEnded(screen::CaptureEnd reason);
  void SetEndedHandler(screen::CaptureSession::EndedHandler handler);
  void Wake() const;
  // Clears a pending wake-up.
  void Drain() const;

 private:
  int m_wakeFd = -1;
  std::mutex m_endedMutex;
  screen::CaptureSession::EndedHandler m_ended;
};

class X11CaptureSession : public screen::CaptureSession {
 public:
  X11CaptureSession(std::shared_ptr<X11FramePool> pool, std::shared_ptr<X11CaptureItem> item);
  ~X11CaptureSession() override;

  screen::CursorCaptureSetting* QueryCursorCaptureSetting() override { return &m_cursorSetting; }
  screen::BorderSetting* QueryBorderSetting() override { return &m_borderSetting; }
  screen::MinUpdateIntervalSetting* QueryMinUpdateIntervalSetting() override { return &m_intervalSetting; }
  void SetEndedHandler(EndedHandler handler) override;
  void StartCapture() override;
  void Close() override;

 private:
  class CursorSetting : public screen::CursorCaptureSetting {
   public:
    explicit CursorSetting(X11CaptureSession& owner) : m_owner(owner) {}
    void SetIsCursorCaptureEnabled(bool enabled) override;

   private:
    X11CaptureSession& m_owner;
  };
  // X draws no capture border; the setting is accepted and has no effect.
  class BorderSettingImpl : public screen::BorderSetting {
   public:
    explicit BorderSettingImpl(X11CaptureSession& owner) : m_owner(owner) {}
    void SetIsBorderRequired(bool required) override;

   private:
    X11CaptureSession& m_owner;
  };
  class IntervalSetting : public screen::MinUpdateIntervalSetting {
   public:
    explicit IntervalSetting(X11CaptureSession& owner) : m_owner(owner) {}
    void SetMinUpdateInterval(std::chrono::nanoseconds interval) override;

   private:
    X11CaptureSession& m_owner;
  };
  void ThrowIfClosedLocked() const;

  std::mutex m_mutex;
  bool m_closed = false;
  std::shared_ptr<X11FramePool> m_pool;
  std::shared_ptr<X11CaptureItem> m_item;
  std::shared_ptr<WorkerControl> m_control;
  CursorSetting m_cursorSetting{*this};
  BorderSettingImpl m_borderSetting{*this};
  IntervalSetting m_intervalSetting{*this};
  std::thread m_worker;
};

}  // namespace kalto::x11
