#include "platform/screen/fake/fake_capture_service.h"

#include <chrono>
#include <stdexcept>
#include <vector>

namespace kalto::screen {
namespace {

class FakeCaptureDevice : public CaptureDevice {
 public:
  explicit FakeCaptureDevice(std::shared_ptr<gpu::Device> device) : m_device(std::move(device)) {}
  std::shared_ptr<gpu::Device> GetD3DDevice() const override { return m_device; }

 private:
  std::shared_ptr<gpu::Device> m_device;
};

class FakeCaptureItem : public CaptureItem {
 public:
  FakeCaptureItem(FakeCaptureService& service, desktop::MonitorHandle monitor, desktop::WindowHandle window)
      : m_service(service), m_monitor(monitor), m_window(window) {}
  SizeInt32 Size() const override {
    m_service.Fault(FakePoint::ItemSize).Raise();
    if (m_window != 0) {
      desktop::WindowInfo info;
      if (m_service.Desktop()->FindWindow(m_window, &info)) return {info.rect.Width(), info.rect.Height()};
      return {};
    }
    desktop::MonitorInfo info;
    if (m_service.Desktop()->FindMonitor(m_monitor, &info)) return {info.monitor.Width(), info.monitor.Height()};
    return {};
  }

 private:
  FakeCaptureService& m_service;
  desktop::MonitorHandle m_monitor;
  desktop::WindowHandle m_window;
};

class FakeItemInterop : public CaptureItemInterop {
 public:
  explicit FakeItemInterop(FakeCaptureService& service) : m_service(service) {}
  HRESULT CreateForMonitor(desktop::MonitorHandle monitor, std::shared_ptr<CaptureItem>* item) override {
    item->reset();
    if (auto f = m_service.Fault(FakePoint::CreateForMonitor); f.kind != FakeFault::Kind::None) {
      f.Raise();
      return f.code;
    }
    desktop::MonitorInfo info;
    if (!m_service.Desktop()->FindMonitor(monitor, &info)) return E_INVALIDARG;
    *item = std::make_shared<FakeCaptureItem>(m_service, monitor, 0);
    return S_OK;
  }
  HRESULT CreateForWindow(desktop::WindowHandle window, std::shared_ptr<CaptureItem>* item) override {
    item->reset();
    if (auto f = m_service.Fault(FakePoint::CreateForWindow); f.kind != FakeFault::Kind::None) {
      f.Raise();
      return f.code;
    }
    desktop::WindowInfo info;
    if (!m_service.Desktop()->FindWindow(window, &info)) return E_INVALIDARG;
    *item = std::make_shared<FakeCaptureItem>(m_service, 0, window);
    return S_OK;
  }

 private:
  FakeCaptureService& m_service;
};

class FakeCaptureFrame : public CaptureFrame {
 public:
  FakeCaptureFrame(std::weak_ptr<FakeFramePool> pool, int index, uint64_t generation,
                   std::shared_ptr<gpu::Texture2D> texture, SizeInt32 content)
      : m_pool(std::move(pool)), m_index(index), m_generation(generation), m_texture(std::move(texture)),
        m_content(content) {}
  ~FakeCaptureFrame() override { Close(); }
  SizeInt32 ContentSize() const override { return m_content; }
  std::shared_ptr<gpu::Texture2D> Surface() const override { return m_texture; }
  void Close() override {
    if (m_closed.exchange(true)) return;
    if (auto pool = m_pool.lock()) pool->ReleaseBuffer(m_index, m_generation);
  }

 private:
  std::weak_ptr<FakeFramePool> m_pool;
  int m_index;
  uint64_t m_generation;
  std::shared_ptr<gpu::Texture2D> m_texture;
  SizeInt32 m_content;
  std::atomic<bool> m_closed{false};
};

class FakeCursorSetting : public CursorCaptureSetting {
 public:
  explicit FakeCursorSetting(FakeCaptureService& service) : m_service(service) {}
  void SetIsCursorCaptureEnabled(bool enabled) override {
    m_service.Fault(FakePoint::CursorSetting).Raise();
    m_enabled = enabled;
  }
  bool m_enabled = true;

 private:
  FakeCaptureService& m_service;
};

class FakeBorderSetting : public BorderSetting {
 public:
  explicit FakeBorderSetting(FakeCaptureService& service) : m_service(service) {}
  void SetIsBorderRequired(bool) override { m_service.Fault(FakePoint::BorderSetting).Raise(); }

 private:
  FakeCaptureService& m_service;
};

class FakeIntervalSetting : public MinUpdateIntervalSetting {
 public:
  explicit FakeIntervalSetting(FakeFramePool& pool) : m_pool(pool) {}
  void SetMinUpdateInterval(std::chrono::nanoseconds interval) override { m_pool.RecordMinUpdateInterval(interval); }

 private:
  FakeFramePool& m_pool;
};

}  // namespace

class FakeCaptureSession : public CaptureSession {
 public:
  FakeCaptureSession(FakeCaptureService& service, std::shared_ptr<FakeFramePool> pool)
      : m_service(service), m_pool(std::move(pool)), m_cursor(service), m_border(service), m_interval(*m_pool) {}
  CursorCaptureSetting* QueryCursorCaptureSetting() override {
    return m_service.CursorInterfaceMissing() ? nullptr : &m_cursor;
  }
  BorderSetting* QueryBorderSetting() override { return m_service.BorderInterfaceMissing() ? nullptr : &m_border; }
  MinUpdateIntervalSetting* QueryMinUpdateIntervalSetting() override { return &m_interval; }
  void SetEndedHandler(EndedHandler handler) override { m_pool->SetEndedHandler(std::move(handler)); }
  void StartCapture() override {
    m_service.Fault(FakePoint::StartCapture).Raise();
    m_pool->StartProducing(m_cursor.m_enabled);
    if (const int frames = m_service.FramesOnStart(); frames > 0) m_pool->EmitFrames(frames);
  }
  void Close() override {
    if (int delay = m_service.CloseDelayMs(); delay > 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    }
    m_pool->StopProducing();
    m_service.Fault(FakePoint::SessionClose).Raise();
  }

 private:
  FakeCaptureService& m_service;
  std::shared_ptr<FakeFramePool> m_pool;
  FakeCursorSetting m_cursor;
  FakeBorderSetting m_border;
  FakeIntervalSetting m_interval;
};

void FakeFault::Raise() const {
  switch (kind) {
    case Kind::Platform:
      throw PlatformError(code, message);
    case Kind::Standard:
      throw std::runtime_error(message);
    case Kind::Unknown:
      throw 42;
    case Kind::None:
    case Kind::Result:
      return;
  }
}

uint32_t FakeFramePixel(uint32_t frameNumber, uint32_t x, uint32_t y) {
  return 0xFF000000u | ((y & 0xFFu) << 16) | ((x & 0xFFu) << 8) | (frameNumber & 0xFFu);
}

// --- service ---

FakeCaptureService::FakeCaptureService(std::shared_ptr<desktop::FakeDesktop> desktop)
    : m_desktop(std::move(desktop)) {}
FakeCaptureService::~FakeCaptureService() = default;

void FakeCaptureService::SetFault(FakePoint point, FakeFault fault) {
  std::lock_guard lock(m_mutex);
  m_faults[static_cast<int>(point)] = std::move(fault);
}
void FakeCaptureService::ClearFaults() {
  std::lock_guard lock(m_mutex);
  for (auto& f : m_faults) f = {};
}
void FakeCaptureService::SetCursorInterfaceMissing(bool missing) {
  std::lock_guard lock(m_mutex);
  m_cursorMissing = missing;
}
void FakeCaptureService::SetBorderInterfaceMissing(bool missing) {
  std::lock_guard lock(m_mutex);
  m_borderMissing = missing;
}
void FakeCaptureService::SetCloseDelayMs(int delayMs) {
  std::lock_guard lock(m_mutex);
  m_closeDelayMs = delayMs;
}
FakeFault FakeCaptureService::Fault(FakePoint point) const {
  std::lock_guard lock(m_mutex);
  return m_faults[static_cast<int>(point)];
}
bool FakeCaptureService::CursorInterfaceMissing() const {
  std::lock_guard lock(m_mutex);
  return m_cursorMissing;
}
bool FakeCaptureService::BorderInterfaceMissing() const {
  std::lock_guard lock(m_mutex);
  return m_borderMissing;
}
void FakeCaptureService::SetFramesOnStart(int count) {
  std::lock_guard lock(m_mutex);
  m_framesOnStart = count;
}

int FakeCaptureService::FramesOnStart() const {
  std::lock_guard lock(m_mutex);
  return m_framesOnStart;
}

int FakeCaptureService::CloseDelayMs() const {
  std::lock_guard lock(m_mutex);
  return m_closeDelayMs;
}
std::shared_ptr<FakeFramePool> FakeCaptureService::LastPool() const {
  std::lock_guard lock(m_mutex);
  return m_lastPool.lock();
}
int FakeCaptureService::PoolsCreated() const {
  std::lock_guard lock(m_mutex);
  return m_poolsCreated;
}
int FakeCaptureService::ItemInteropCalls() const {
  std::lock_guard lock(m_mutex);
  return m_itemInteropCalls;
}

std::shared_ptr<CaptureItemInterop> FakeCaptureService::GetItemInterop() {
  {
    std::lock_guard lock(m_mutex);
    ++m_itemInteropCalls;
  }
  Fault(FakePoint::ItemInterop).Raise();
  return std::make_shared<FakeItemInterop>(*this);
}

HRESULT FakeCaptureService::CreateCaptureDevice(const std::shared_ptr<gpu::Device>& device,
                                                std::shared_ptr<CaptureDevice>* captureDevice) {
  captureDevice->reset();
  if (auto f = Fault(FakePoint::CaptureDevice); f.kind == FakeFault::Kind::Result) return f.code;
  if (!device) return E_INVALIDARG;
  *captureDevice = std::make_shared<FakeCaptureDevice>(device);
  return S_OK;
}

std::shared_ptr<FramePool> FakeCaptureService::CreateFreeThreadedFramePool(const std::shared_ptr<CaptureDevice>& device,
                                                                           gpu::Format format, int32_t buffers,
                                                                           SizeInt32 size) {
  Fault(FakePoint::CreateFramePool).Raise();
  if (!device || format != gpu::Format::B8G8R8A8_UNORM || buffers < 1 || size.Width < 1 || size.Height < 1) {
    throw PlatformError(E_INVALIDARG, "The parameter is incorrect.");
  }
  auto pool = std::make_shared<FakeFramePool>(*this, device, buffers, size);
  std::lock_guard lock(m_mutex);
  m_lastPool = pool;
  ++m_poolsCreated;
  return pool;
}

// --- pool ---

FakeFramePool::FakeFramePool(FakeCaptureService& service, std::shared_ptr<CaptureDevice> device, int32_t buffers,
                             SizeInt32 size)
    : m_service(service), m_device(std::move(device)), m_contentSize(size) {
  AllocateBuffers(buffers, size);
  m_worker = std::thread([this] { WorkerLoop(); });
  std::lock_guard lock(m_mutex);
  m_workerId = m_worker.get_id();
}

FakeFramePool::~FakeFramePool() {
  {
    std::lock_guard lock(m_mutex);
    m_quit = true;
  }
  m_wake.notify_all();
  if (m_worker.joinable()) {
    if (m_worker.get_id() == std::this_thread::get_id()) {
      m_worker.detach();
    } else {
      m_worker.join();
    }
  }
}

void FakeFramePool::AllocateBuffers(int32_t count, SizeInt32 size) {
  auto device = m_device->GetD3DDevice();
  std::vector<Buffer> buffers(static_cast<size_t>(count));
  for (auto& b : buffers) {
    gpu::TextureDesc desc;
    desc.width = static_cast<uint32_t>(size.Width);
    desc.height = static_cast<uint32_t>(size.Height);
    desc.format = gpu::Format::B8G8R8A8_UNORM;
    desc.bindFlags = gpu::BIND_SHADER_RESOURCE;
    if (Failed(device->CreateTexture2D(desc, nullptr, 0, &b.texture))) {
      throw PlatformError(E_OUTOFMEMORY, "Not enough memory resources are available to complete this operation.");
    }
  }
  m_buffers = std::move(buffers);
  m_bufferSize = size;
  ++m_generation;
}

void FakeFramePool::EmitFrames(int count) {
  {
    std::lock_guard lock(m_mutex);
    m_pending += count;
  }
  m_wake.notify_all();
}

void FakeFramePool::SetAutoFrames(int intervalMs) {
  {
    std::lock_guard lock(m_mutex);
    m_autoIntervalMs = intervalMs;
  }
  m_wake.notify_all();
}

bool FakeFramePool::WaitIdle(int timeoutMs) {
  std::unique_lock lock(m_mutex);
  return m_idle.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return m_pending == 0 || !m_producing; });
}

void FakeFramePool::SetContentSize(SizeInt32 size) {
  std::lock_guard lock(m_mutex);
  m_contentSize = size;
}

int FakeFramePool::FramesProduced() const {
  std::lock_guard lock(m_mutex);
  return m_produced;
}
int FakeFramePool::FramesDropped() const {
  std::lock_guard lock(m_mutex);
  return m_dropped;
}
int FakeFramePool::RecreateCalls() const {
  std::lock_guard lock(m_mutex);
  return m_recreateCalls;
}
SizeInt32 FakeFramePool::BufferSize() const {
  std::lock_guard lock(m_mutex);
  return m_bufferSize;
}
bool FakeFramePool::Closed() const {
  std::lock_guard lock(m_mutex);
  return m_closed;
}
void FakeFramePool::RecordMinUpdateInterval(std::chrono::nanoseconds interval) {
  std::lock_guard lock(m_mutex);
  m_minUpdateInterval = interval;
}
std::chrono::nanoseconds FakeFramePool::MinUpdateInterval() const {
  std::lock_guard lock(m_mutex);
  return m_minUpdateInterval;
}
bool FakeFramePool::CursorCaptureEnabled() const {
  std::lock_guard lock(m_mutex);
  return m_cursor;
}
int FakeFramePool::HandlerCount() const {
  std::lock_guard lock(m_mutex);
  return static_cast<int>(m_handlers.size());
}

EventToken FakeFramePool::AddFrameArrived(FrameArrivedHandler handler) {
  m_service.Fault(FakePoint::AddFrameArrived).Raise();
  std::lock_guard lock(m_mutex);
  EventToken token = m_nextToken++;
  m_handlers[token] = std::move(handler);
  return token;
}

void FakeFramePool::RemoveFrameArrived(EventToken token) {
  bool onWorker;
  {
    std::lock_guard lock(m_mutex);
    onWorker = std::this_thread::get_id() == m_workerId;
  }
  // Holding the invocation lock waits out a running handler and keeps the worker from picking
  // up the handler list until the removal is done.
  std::unique_lock<std::mutex> invoking;
  if (!onWorker) invoking = std::unique_lock(m_invokeMutex);
  std::lock_guard lock(m_mutex);
  m_handlers.erase(token);
}

std::shared_ptr<CaptureFrame> FakeFramePool::TryGetNextFrame() {
  std::lock_guard lock(m_mutex);
  if (m_closed) throw PlatformError(RO_E_CLOSED, "The object has been closed.");
  if (m_ready.empty()) return nullptr;
  auto frame = std::move(m_ready.front());
  m_ready.pop_front();
  return frame;
}

void FakeFramePool::Recreate(const std::shared_ptr<CaptureDevice>& device, gpu::Format format, int32_t buffers,
                             SizeInt32 size) {
  {
    std::lock_guard lock(m_mutex);
    ++m_recreateCalls;
  }
  m_service.Fault(FakePoint::Recreate).Raise();
  if (!device || format != gpu::Format::B8G8R8A8_UNORM || buffers < 1 || size.Width < 1 || size.Height < 1) {
    throw PlatformError(E_INVALIDARG, "The parameter is incorrect.");
  }
  std::lock_guard lock(m_mutex);
  m_device = device;
  AllocateBuffers(buffers, size);
}

std::shared_ptr<CaptureSession> FakeFramePool::CreateCaptureSession(const std::shared_ptr<CaptureItem>& item) {
  m_service.Fault(FakePoint::CreateSession).Raise();
  if (!item) throw PlatformError(E_INVALIDARG, "The parameter is incorrect.");
  return std::make_shared<FakeCaptureSession>(m_service, shared_from_this());
}

void FakeFramePool::Close() {
  // Queued frames hand their buffers back when destroyed, which takes the lock: let them go
  // after it is released.
  std::deque<std::shared_ptr<CaptureFrame>> unclaimed;
  {
    std::lock_guard lock(m_mutex);
    m_closed = true;
    m_producing = false;
    unclaimed.swap(m_ready);
  }
  m_idle.notify_all();
}

void FakeFramePool::StartProducing(bool cursor) {
  {
    std::lock_guard lock(m_mutex);
    if (m_closed) throw PlatformError(RO_E_CLOSED, "The object has been closed.");
    m_producing = true;
    m_cursor = cursor;
  }
  m_wake.notify_all();
}

void FakeFramePool::StopProducing() {
  {
    std::lock_guard lock(m_mutex);
    m_producing = false;
  }
  m_idle.notify_all();
}

void FakeFramePool::ReleaseBuffer(int index, uint64_t generation) {
  std::lock_guard lock(m_mutex);
  if (generation == m_generation && index >= 0 && index < static_cast<int>(m_buffers.size())) {
    m_buffers[static_cast<size_t>(index)].inUse = false;
  }
}

void FakeFramePool::SetEndedHandler(CaptureSession::EndedHandler handler) {
  std::lock_guard lock(m_mutex);
  m_endedHandler = std::move(handler);
}

void FakeFramePool::EndCapture(CaptureEnd reason) {
  std::lock_guard lock(m_mutex);
  m_pendingEnd = reason;
  m_wake.notify_all();
}

void FakeFramePool::WorkerLoop() {
  std::unique_lock lock(m_mutex);
  while (!m_quit) {
    if (m_pendingEnd) {
      const CaptureEnd reason = *m_pendingEnd;
      m_pendingEnd.reset();
      const bool report = m_producing;
      m_producing = false;
      auto handler = m_endedHandler;
      lock.unlock();
      {
        // Like a frame handler: a session close waits for it to return.
        std::lock_guard invoking(m_invokeMutex);
        if (report && handler) handler(reason);
      }
      lock.lock();
      continue;
    }
    if (m_producing && m_autoIntervalMs > 0 && m_pending == 0) {
      m_wake.wait_for(lock, std::chrono::milliseconds(m_autoIntervalMs));
      if (m_quit || !m_producing || m_autoIntervalMs == 0 || m_pendingEnd) continue;
      ProduceOne(lock);
      continue;
    }
    m_wake.wait(lock, [this] {
      return m_quit || m_pendingEnd || (m_producing && (m_pending > 0 || m_autoIntervalMs > 0));
    });
    if (m_quit) break;
    if (m_pending > 0) {
      ProduceOne(lock);
      --m_pending;
      if (m_pending == 0) m_idle.notify_all();
    }
  }
}

void FakeFramePool::ProduceOne(std::unique_lock<std::mutex>& lock) {
  int index = -1;
  for (size_t i = 0; i < m_buffers.size(); ++i) {
    if (!m_buffers[i].inUse) {
      index = static_cast<int>(i);
      break;
    }
  }
  if (index < 0) {
    ++m_dropped;
    return;
  }
  auto& buffer = m_buffers[static_cast<size_t>(index)];
  buffer.inUse = true;
  uint32_t number = ++m_frameNumber;
  auto texture = buffer.texture;
  auto content = m_contentSize;
  auto generation = m_generation;
  auto device = m_device->GetD3DDevice();
  lock.unlock();

  auto desc = texture->GetDesc();
  std::vector<uint32_t> pixels(static_cast<size_t>(desc.width) * desc.height);
  for (uint32_t y = 0; y < desc.height; ++y) {
    for (uint32_t x = 0; x < desc.width; ++x) pixels[size_t{y} * desc.width + x] = FakeFramePixel(number, x, y);
  }
  device->GetImmediateContext()->UpdateSubresource(*texture, 0, nullptr, pixels.data(), desc.width * 4, 0);
  auto frame = std::make_shared<FakeCaptureFrame>(weak_from_this(), index, generation, texture, content);

  std::lock_guard invoking(m_invokeMutex);
  lock.lock();
  m_ready.push_back(std::move(frame));
  ++m_produced;
  auto handlers = m_handlers;
  lock.unlock();
  for (auto& [token, handler] : handlers) handler(*this);
  lock.lock();
}

}  // namespace kalto::screen
