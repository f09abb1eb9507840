#pragma once
// A scripted capture service. Frames are produced on the pool's own worker thread when a test
// asks for them (or continuously), each filled with a pattern that encodes the frame number and
// the pixel position; every failure point of the real service can be switched on.
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/desktop/fake/fake_desktop.h"
#include "platform/screen/capture_service.h"

namespace kalto::screen {

// How a switched-on failure shows itself.
struct FakeFault {
  enum class Kind { None, Platform, Standard, Unknown, Result };
  Kind kind = Kind::None;
  HRESULT code = E_FAIL;
  std::string message = "Fake failure";

  static FakeFault Platform(HRESULT code, std::string message) { return {Kind::Platform, code, std::move(message)}; }
  static FakeFault Standard(std::string what) { return {Kind::Standard, E_FAIL, std::move(what)}; }
  static FakeFault Unknown() { return {Kind::Unknown, E_FAIL, {}}; }
  static FakeFault Result(HRESULT code) { return {Kind::Result, code, {}}; }
  // Throws as described (Result kinds do not throw).
  void Raise() const;
};

enum class FakePoint {
  ItemInterop,        // the activation factory lookup
  CreateForMonitor,   // Result: returned code
  CreateForWindow,    // Result: returned code
  CaptureDevice,      // Result: returned code
  ItemSize,
  CreateFramePool,
  AddFrameArrived,
  CreateSession,
  CursorSetting,      // the setter throws
  BorderSetting,      // the setter throws
  StartCapture,
  Recreate,
  SessionClose,
  Count
};

// Pixel (x, y) of frame n: B = n & 0xFF, G = x & 0xFF, R = y & 0xFF, A = 0xFF.
uint32_t FakeFramePixel(uint32_t frameNumber, uint32_t x, uint32_t y);

class FakeFramePool;

class FakeCaptureService : public CaptureService {
 public:
  explicit FakeCaptureService(std::shared_ptr<desktop::FakeDesktop> desktop);
  ~FakeCaptureService() override;

  void SetFault(FakePoint point, FakeFault fault);
  void ClearFaults();
  // Optional session interfaces absent, as on older platforms.
  void SetCursorInterfaceMissing(bool missing);
  void SetBorderInterfaceMissing(bool missing);
  // Session Close blocks this long (a hung platform close).
  void SetCloseDelayMs(int delayMs);
  // A started session sends this many frames at once, as a real one sends the screen as it
  // stands, without waiting for it to change.
  void SetFramesOnStart(int count);

  // The most recent pool made by CreateFreeThreadedFramePool.
  std::shared_ptr<FakeFramePool> LastPool() const;
  int PoolsCreated() const;
  int ItemInteropCalls() const;

  std::shared_ptr<CaptureItemInterop> GetItemInterop() override;
  HRESULT CreateCaptureDevice(const std::shared_ptr<gpu::Device>& device,
                              std::shared_ptr<CaptureDevice>* captureDevice) override;
  std::shared_ptr<FramePool> CreateFreeThreadedFramePool(const std::shared_ptr<CaptureDevice>& device,
                                                         gpu::Format format, int32_t buffers,
                                                         SizeInt32 size) override;

  // Internal to the fake's objects.
  FakeFault Fault(FakePoint point) const;
  bool CursorInterfaceMissing() const;
  bool BorderInterfaceMissing() const;
  int CloseDelayMs() const;
  int FramesOnStart() const;
  const std::shared_ptr<desktop::FakeDesktop>& Desktop() const { return m_desktop; }

 private:
  std::shared_ptr<desktop::FakeDesktop> m_desktop;
  mutable std::mutex m_mutex;
  FakeFault m_faults[static_cast<int>(FakePoint::Count)];
  bool m_cursorMissing = false;
  bool m_borderMissing = false;
  int m_closeDelayMs = 0;
  int m_framesOnStart = 0;
  std::weak_ptr<FakeFramePool> m_lastPool;
  int m_poolsCreated = 0;
  int m_itemInteropCalls = 0;
};

class FakeCaptureSession;

class FakeFramePool : public FramePool, public std::enable_shared_from_this<FakeFramePool> {
 public:
  FakeFramePool(FakeCaptureService& service, std::shared_ptr<CaptureDevice> device, int32_t buffers, SizeInt32 size);
  ~FakeFramePool() override;

  // Asks the worker to produce `count` frames (only while the session runs).
  void EmitFrames(int count);
  // Produces frames continuously every `intervalMs` until called with 0.
  void SetAutoFrames(int intervalMs);
  // Waits until every requested frame was produced or dropped.
  bool WaitIdle(int timeoutMs);
  // What the captured content measures from now on (a window being resized).
  void SetContentSize(SizeInt32 size);
  // The session stops producing and reports `reason` on the worker, as a closed window or a
  // lost display server would.
  void EndCapture(CaptureEnd reason);

  int FramesProduced() const;
  int FramesDropped() const;  // no free buffer
  int RecreateCalls() const;
  SizeInt32 BufferSize() const;
  bool Closed() const;
  bool CursorCaptureEnabled() const;
  // What the session's minimum-update-interval setting was given (frames are not paced by it).
  std::chrono::nanoseconds MinUpdateInterval() const;
  void RecordMinUpdateInterval(std::chrono::nanoseconds interval);
  int HandlerCount() const;

  EventToken AddFrameArrived(FrameArrivedHandler handler) override;
  void RemoveFrameArrived(EventToken token) override;
  std::shared_ptr<CaptureFrame> TryGetNextFrame() override;
  void Recreate(const std::shared_ptr<CaptureDevice>& device, gpu::Format format, int32_t buffers,
                SizeInt32 size) override;
  std::shared_ptr<CaptureSession> CreateCaptureSession(const std::shared_ptr<CaptureItem>& item) override;
  void Close() override;

  // Called by the session.
  void SetEndedHandler(CaptureSession::EndedHandler handler);
  void StartProducing(bool cursor);
  void StopProducing();
  void ReleaseBuffer(int index, uint64_t generation);

 private:
  struct Buffer {
    std::shared_ptr<gpu::Texture2D> texture;
    bool inUse = false;
  };
  void WorkerLoop();
  void ProduceOne(std::unique_lock<std::mutex>& lock);
  void AllocateBuffers(int32_t count, SizeInt32 size);

  FakeCaptureService& m_service;
  std::shared_ptr<CaptureDevice> m_device;
  mutable std::mutex m_mutex;
  std::condition_variable m_wake;
  std::condition_variable m_idle;
  std::vector<Buffer> m_buffers;
  uint64_t m_generation = 0;
  SizeInt32 m_bufferSize;
  SizeInt32 m_contentSize;
  std::deque<std::shared_ptr<CaptureFrame>> m_ready;
  std::map<EventToken, FrameArrivedHandler> m_handlers;
  EventToken m_nextToken = 1;
  std::mutex m_invokeMutex;  // held while handlers run, so removal can wait for them
  std::thread::id m_workerId;
  int m_pending = 0;
  int m_autoIntervalMs = 0;
  bool m_producing = false;
  bool m_cursor = false;
  bool m_closed = false;
  bool m_quit = false;
  std::optional<CaptureEnd> m_pendingEnd;
  CaptureSession::EndedHandler m_endedHandler;
  uint32_t m_frameNumber = 0;
  std::chrono::nanoseconds m_minUpdateInterval{0};
  int m_produced = 0;
  int m_dropped = 0;
  int m_recreateCalls = 0;
  std::thread m_worker;
};

}  // namespace kalto::screen
