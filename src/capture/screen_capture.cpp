#include "capture/screen_capture.h"

#include <chrono>
#include <exception>
#include <future>
#include <system_error>

#include "common/bounded_wait.h"
#include "common/counters.h"
#include "common/debug_output.h"
#include "common/exception_guard.h"
#include "common/steady_clock.h"

namespace kalto {
namespace {

constexpr int32_t kFramePoolBuffers = 2;
constexpr int32_t kMinCropSize = 100;
constexpr int64_t kBlackFrameIntervalNs = 120'000'000;
constexpr auto kMinimizedPollInterval = std::chrono::milliseconds(33);
constexpr auto kCloseTimeout = std::chrono::milliseconds(500);
// After the 500 ms warning: a server that answers nothing for this long more is hung.
constexpr auto kAbandonCloseAfter = std::chrono::milliseconds(2500);

// Process-wide: the first successful factory lookup serves every instance on that service.
std::mutex s_itemInteropMutex;
std::shared_ptr<screen::CaptureItemInterop> s_itemInterop;
std::weak_ptr<screen::CaptureService> s_itemInteropService;

ProcessCounter s_invalidCropBoxCount;

std::shared_ptr<screen::CaptureItemInterop> GetItemInterop(const std::shared_ptr<screen::CaptureService>& service) {
  std::lock_guard lock(s_itemInteropMutex);
  if (!s_itemInterop || s_itemInteropService.lock() != service) {
    auto interop = service->GetItemInterop();  // may throw PlatformError
    if (!interop) throw PlatformError(E_NOINTERFACE, "No such interface supported");
    s_itemInterop = std::move(interop);
    s_itemInteropService = service;
  }
  return s_itemInterop;
}

void ThrowNoInterface() { throw PlatformError(E_NOINTERFACE, "No such interface supported"); }

}  // namespace

ScreenCapture::ScreenCapture(std::shared_ptr<platform::Platform> platform) : m_platform(std::move(platform)) {
  CreateDevice();
}

ScreenCapture::~ScreenCapture() {
  Stop();
  JoinMinimizedThread();
  // Destroyed from its own callback: the thread sees it stopped and touches nothing of ours.
  if (m_minimizedThread.joinable()) m_minimizedThread.detach();
}

void ScreenCapture::SetEndedCallback(EndedCallback callback) { m_endedCallback = std::move(callback); }

void ScreenCapture::CloseDelivery() {
  {
    std::lock_guard lock(m_delivery->mutex);
    m_delivery->open = false;
    m_delivery->callback = nullptr;
  }
  m_delivery->idle.notify_all();
}

bool ScreenCapture::DeliverFrame(Delivery& delivery, gpu::Texture2D& texture, int64_t timestampHns) {
  FrameCallback callback;
  {
    std::unique_lock lock(delivery.mutex);
    delivery.idle.wait(lock, [&] { return !delivery.busy || !delivery.open; });
    if (!delivery.open || !delivery.callback) return false;
    delivery.busy = true;
    // A copy: the callback may stop the capture, which clears the original.
    callback = delivery.callback;
  }
  const bool ok = GuardedCall([&] { callback(texture, timestampHns); });
  {
    std::lock_guard lock(delivery.mutex);
    delivery.busy = false;
  }
  delivery.idle.notify_all();
  if (!ok) DebugLog<128>(L"[ScreenCapture] Frame callback SEH EXCEPTION! Skipping frame.\n");
  return ok;
}

void ScreenCapture::JoinMinimizedThread() {
  if (m_minimizedThread.joinable() && m_minimizedThread.get_id() != std::this_thread::get_id()) {
    m_minimizedThread.join();
  }
}

void ScreenCapture::CreateDevice() {
  static constexpr gpu::FeatureLevel kLevels[] = {gpu::FeatureLevel::Level_11_1, gpu::FeatureLevel::Level_11_0,
                                                  gpu::FeatureLevel::Level_10_1, gpu::FeatureLevel::Level_10_0};
  auto& factory = *m_platform->gpu;
  HRESULT hr = factory.CreateDevice(nullptr, gpu::DriverType::Hardware, gpu::CREATE_DEVICE_BGRA_SUPPORT, kLevels,
                                    std::size(kLevels), &m_device, &m_context);
  if (Failed(hr)) {
    m_device.reset();
    m_context.reset();
    hr = factory.CreateDevice(nullptr, gpu::DriverType::Warp, gpu::CREATE_DEVICE_BGRA_SUPPORT, kLevels,
                              std::size(kLevels), &m_device, &m_context);
    if (Failed(hr)) {
      m_device.reset();
      m_context.reset();
      DebugLog<128>(L"[ScreenCapture] Failed to create D3D11 device\n");
      return;
    }
  }
  if (Failed(m_platform->screen->CreateCaptureDevice(m_device, &m_winrtDevice)) || !m_winrtDevice) {
    m_winrtDevice.reset();
    DebugLog<128>(L"[ScreenCapture] Failed to create WinRT device\n");
  }
}

bool ScreenCapture::InitializeForMonitor(desktop::MonitorHandle monitor) {
  try {
    auto interop = GetItemInterop(m_platform->screen);
    std::shared_ptr<screen::CaptureItem> item;
    HRESULT hr = interop->CreateForMonitor(monitor, &item);
    if (Failed(hr) || !item) {
      DebugLog<128>(L"[ScreenCapture] CreateForMonitor failed: 0x%08X\n", HrBits(hr));
      return false;
    }
    m_item = std::move(item);
    auto size = m_item->Size();
    m_width = size.Width;
    m_height = size.Height;
    m_sourceWidth = size.Width;
    m_sourceHeight = size.Height;
    return true;
  } catch (const PlatformError& e) {
    DebugLog<128>(L"[ScreenCapture] Exception creating capture item: 0x%08X\n", HrBits(e.code()));
    return false;
  }
}

bool ScreenCapture::InitializeForWindow(desktop::WindowHandle window) {
  try {
    auto interop = GetItemInterop(m_platform->screen);
    std::shared_ptr<screen::CaptureItem> item;
    if (Failed(interop->CreateForWindow(window, &item)) || !item) return false;
    m_hwnd = window;
    m_item = std::move(item);
    auto size = m_item->Size();
    m_width = size.Width;
    m_height = size.Height;
    desktop::MonitorInfo info;
    auto& desk = *m_platform->desktop;
    if (auto monitor = desk.MonitorFromWindow(window, desktop::MonitorDefault::Nearest);
        monitor != 0 && desk.GetMonitorInfo(monitor, &info)) {
      m_sourceWidth = info.monitor.Width();
      m_sourceHeight = info.monitor.Height();
    } else {
      m_sourceWidth = size.Width;
      m_sourceHeight = size.Height;
    }
    return true;
  } catch (...) {
    return false;
  }
}

void ScreenCapture::SetStartTimeBase(int64_t startTimeNs) {
  m_startTimeBaseNs = startTimeNs;
  m_hasStartTimeBase = true;
}

void ScreenCapture::SetLastError(std::wstring text) {
  std::lock_guard lock(m_lastErrorMutex);
  m_lastError = std::move(text);
}

std::wstring ScreenCapture::GetLastErrorText() const {
  std::lock_guard lock(m_lastErrorMutex);
  return m_lastError;
}

bool ScreenCapture::Start(FrameCallback callback) {
  if (m_isCapturing) {
    SetLastError(L"Screen capture is already active");
    DebugLog<128>(L"[ScreenCapture] Start failed: already capturing\n");
    return false;
  }
  if (!m_item) {
    SetLastError(L"Capture item is missing");
    DebugLog<128>(L"[ScreenCapture] Start failed: capture item missing\n");
    return false;
  }
  std::lock_guard lock(m_stateMutex);
  {
    std::lock_guard deliveryLock(m_delivery->mutex);
    m_delivery->callback = std::move(callback);
  }
  SetLastError({});

  const wchar_t* step = L"initializing";
  std::wstring failure;
  try {
    auto size = m_item->Size();
    DebugLog<128>(L"[ScreenCapture] Start: creating frame pool for %dx%d, cursor=%d\n", size.Width, size.Height,
                  m_captureCursor ? 1 : 0);

    step = L"creating frame pool";
    m_framePool = m_platform->screen->CreateFreeThreadedFramePool(m_winrtDevice, gpu::Format::B8G8R8A8_UNORM,
                                                                 kFramePoolBuffers, size);
    if (!m_framePool) throw PlatformError(E_POINTER, "Invalid pointer");
    DebugLog<128>(L"[ScreenCapture] Start: frame pool created\n");

    step = L"subscribing to frame events";
    m_frameArrivedToken = m_framePool->AddFrameArrived([this](screen::FramePool& pool) { OnFrameArrived(pool); });
    DebugLog<128>(L"[ScreenCapture] Start: frame event subscribed\n");

    step = L"creating capture session";
    DebugLog<128>(L"[ScreenCapture] Start: creating capture session\n");
    m_session = m_framePool->CreateCaptureSession(m_item);
    if (!m_session) throw PlatformError(E_POINTER, "Invalid pointer");
    {
      std::lock_guard relayLock(m_endedRelay->mutex);
      m_endedRelay->callback = [this](screen::CaptureEnd reason) { OnCaptureEnded(reason); };
    }
    m_session->SetEndedHandler([relay = m_endedRelay](screen::CaptureEnd reason) {
      std::lock_guard relayLock(relay->mutex);
      if (relay->callback) relay->callback(reason);
    });
    DebugLog<128>(L"[ScreenCapture] Start: capture session created\n");

    step = L"setting cursor capture";
    auto* cursorSetting = m_session->QueryCursorCaptureSetting();
    if (!cursorSetting) ThrowNoInterface();
    cursorSetting->SetIsCursorCaptureEnabled(m_captureCursor);
    DebugLog<128>(L"[ScreenCapture] Start: cursor capture setting applied\n");

    // Pacing is an optimisation: a platform without it delivers every change instead.
    if (m_minUpdateInterval.count() > 0) {
      GuardedCall([&] {
        if (auto* interval = m_session->QueryMinUpdateIntervalSetting()) interval->SetMinUpdateInterval(m_minUpdateInterval);
      });
    }

    // The border is cosmetic: whatever goes wrong here, capture goes on.
    try {
      auto* border = m_session->QueryBorderSetting();
      if (!border) ThrowNoInterface();
      border->SetIsBorderRequired(false);
      DebugLog<128>(L"[ScreenCapture] Start: border disabled\n");
    } catch (const PlatformError& e) {
      DebugLog<512>(L"[ScreenCapture] Start: border setting ignored, HRESULT=0x%08X, message=%ls\n", HrBits(e.code()),
                    Utf8ToWide(e.message()).c_str());
    } catch (...) {
      DebugLog<256>(L"[ScreenCapture] Start: border setting ignored due to unknown exception\n");
    }

    step = L"starting capture session";
    DebugLog<128>(L"[ScreenCapture] Start: calling StartCapture\n");
    m_startTimeNs = m_hasStartTimeBase ? m_startTimeBaseNs : SteadyNowNs();
    m_lastFrameTimeNs = SteadyNowNs();
    {
      std::lock_guard deliveryLock(m_delivery->mutex);
      m_delivery->open = true;
    }
    m_isCapturing = true;
    m_session->StartCapture();
    if (m_hwnd != 0) {
      JoinMinimizedThread();
      // A fresh flag: a detached thread of an earlier start keeps its own.
      m_minimizedThreadRunning = std::make_shared<std::atomic<bool>>(true);
      m_minimizedThread = std::thread(
          [this, delivery = m_delivery, running = m_minimizedThreadRunning] { MinimizedWindowLoop(delivery, running); });
    }
    DebugLog<128>(L"[ScreenCapture] Start: capture started\n");
    return true;
  } catch (const PlatformError& e) {
    failure = FormatWide<512>(L"[ScreenCapture] Start failed during %ls: HRESULT=0x%08X, message=%ls\n", step,
                              HrBits(e.code()), Utf8ToWide(e.message()).c_str());
  } catch (const std::exception& e) {
    failure = FormatWide<512>(L"[ScreenCapture] Start failed during %ls: exception=%ls\n", step,
                              Utf8ToWide(e.what()).c_str());
  } catch (...) {
    failure = FormatWide<512>(L"[ScreenCapture] Start failed during %ls: unknown exception\n", step);
  }
  // A failure after the thread started cannot happen (nothing throws after it), so the capture
  // is not running here.
  m_isCapturing = false;
  CloseDelivery();
  {
    std::lock_guard relayLock(m_endedRelay->mutex);
    m_endedRelay->callback = nullptr;
  }
  OutputDebugLine(failure.c_str());
  SetLastError(std::move(failure));
  return false;
}

void ScreenCapture::OnCaptureEnded(screen::CaptureEnd reason) {
  const wchar_t* text = L"the capture stopped";
  switch (reason) {
    case screen::CaptureEnd::ItemClosed:
      text = m_hwnd != 0 ? L"the window was closed" : L"the monitor is gone";
      break;
    case screen::CaptureEnd::ConnectionLost:
      text = L"the connection to the display server was lost";
      break;
    case screen::CaptureEnd::Failed:
      text = L"the capture could not go on";
      break;
  }
  SetLastError(text);
  DebugLog<256>(L"[ScreenCapture] WARNING: Capture ended: %ls\n", text);
  if (m_endedCallback) m_endedCallback(reason);
}

void ScreenCapture::OnFrameArrived(screen::FramePool& pool) {
  std::shared_ptr<screen::CaptureFrame> frame;
  // Ours to look at even if the callback destroyed this object.
  const std::shared_ptr<Delivery> delivery = m_delivery;
  try {
    if (!m_isCapturing) return;
    frame = pool.TryGetNextFrame();
    if (!frame) return;
    if (m_isPaused) {
      frame->Close();
      return;
    }
    auto content = frame->ContentSize();
    if (content.Width != m_width || content.Height != m_height) RecreateFramePool(content.Width, content.Height);

    if (auto surface = frame->Surface()) {
      int64_t arrivalNs = SteadyNowNs();
      int64_t startNs = m_startTimeNs;
      if (auto texture = ChooseDeliveredTexture(surface)) {
        const bool delivered = DeliverFrame(*delivery, *texture, (arrivalNs - startNs) / 100);
        {
          std::lock_guard lock(delivery->mutex);
          if (!delivery->open) {
            frame->Close();
            return;  // stopped (maybe destroyed) from the callback
          }
        }
        if (delivered) m_lastFrameTimeNs = SteadyNowNs();
      }
    }
    frame->Close();
  } catch (...) {
    // Only this frame is lost; hand its buffer back so the pool keeps running.
    if (frame) GuardedCall([&] { frame->Close(); });
  }
}


void ScreenCapture::RecreateFramePool(int32_t width, int32_t height) {
  if (!m_framePool || !m_winrtDevice) return;
  m_width = width;
  m_height = height;
  try {
    m_framePool->Recreate(m_winrtDevice, gpu::Format::B8G8R8A8_UNORM, kFramePoolBuffers, {width, height});
  } catch (const PlatformError& e) {
    DebugLog<128>(L"[ScreenCapture] Failed to recreate frame pool: 0x%08X\n", HrBits(e.code()));
  }
}

void ScreenCapture::MinimizedWindowLoop(const std::shared_ptr<Delivery>& delivery,
                                        const std::shared_ptr<std::atomic<bool>>& running) {
  auto& desk = *m_platform->desktop;
  while (*running) {
    std::this_thread::sleep_for(kMinimizedPollInterval);
    if (!*running) return;
    if (!m_isCapturing || m_isPaused || m_hwnd == 0 || !desk.IsIconic(m_hwnd)) continue;
    int64_t nowNs = SteadyNowNs();
    if (nowNs - m_lastFrameTimeNs < kBlackFrameIntervalNs) continue;
    if (!m_blackTexture) {
      if (!m_device || !m_context || m_sourceWidth == 0 || m_sourceHeight == 0) continue;
      gpu::TextureDesc desc;
      desc.width = static_cast<uint32_t>(m_sourceWidth);
      desc.height = static_cast<uint32_t>(m_sourceHeight);
      desc.format = gpu::Format::B8G8R8A8_UNORM;
      desc.usage = gpu::Usage::Default;
      desc.bindFlags = gpu::BIND_RENDER_TARGET | gpu::BIND_SHADER_RESOURCE;
      std::shared_ptr<gpu::Texture2D> texture;
      HRESULT hr = m_device->CreateTexture2D(desc, nullptr, 0, &texture);
      if (Failed(hr) || !texture) {
        DebugLog<128>(L"[ScreenCapture] Failed to create black fallback texture: 0x%08X\n", HrBits(hr));
        continue;
      }
      std::shared_ptr<gpu::RenderTargetView> view;
      if (Succeeded(m_device->CreateRenderTargetView(texture, &view)) && view) {
        static constexpr float kBlack[4] = {0.0f, 0.0f, 0.0f, 1.0f};
        m_context->ClearRenderTargetView(*view, kBlack);
      }
      m_blackTexture = std::move(texture);
    }
    auto black = m_blackTexture;
    const bool delivered = DeliverFrame(*delivery, *black, (nowNs - m_startTimeNs) / 100);
    if (!*running) return;  // stopped (maybe destroyed) from the callback
    if (delivered) m_lastFrameTimeNs = nowNs;
  }
}

void ScreenCapture::Stop() {
  if (!m_isCapturing) return;
  std::lock_guard lock(m_stateMutex);
  m_isCapturing = false;
  m_isPaused = false;
  *m_minimizedThreadRunning = false;
  CloseDelivery();
  {
    // Waits for a running ended callback; none comes after this.
    std::lock_guard relayLock(m_endedRelay->mutex);
    m_endedRelay->callback = nullptr;
  }
  // Stop from inside the callback on the minimised-window thread cannot join that thread; it
  // ends on its next pass and is joined by the next Start or the destructor instead.
  JoinMinimizedThread();

  if (m_framePool) GuardedCall([&] { m_framePool->RemoveFrameArrived(m_frameArrivedToken); });

  auto session = std::move(m_session);
  auto pool = std::move(m_framePool);
  // The close task owns what it closes, so a display server that hangs cannot keep Stop (and the
  // file's finalising after it) waiting: past kAbandonCloseAfter the task is left to end alone.
  auto closed = std::make_shared<std::promise<void>>();
  std::future<void> closing = closed->get_future();
  std::thread closer([session, pool, closed] {
    try {
      if (session) session->Close();
      if (pool) pool->Close();
    } catch (...) {
      DebugLog<128>(L"[ScreenCapture] Exception during Close operations\n");
    }
    closed->set_value();
  });
  if (!WaitBounded(closing, kCloseTimeout)) {
    DebugLog<128>(L"[ScreenCapture] WARNING: Close operations timed out after 500ms\n");
  }

  m_item.reset();
  m_hwnd = 0;
  m_blackTexture.reset();

  if (WaitBounded(closing, kAbandonCloseAfter)) {
    closer.join();
  } else {
    DebugLog<128>(L"[ScreenCapture] WARNING: Close operations still blocked; left to finish on their own\n");
    closer.detach();
  }
}

void ScreenCapture::SetCropRegion(int32_t x, int32_t y, int32_t width, int32_t height) {
  std::lock_guard lock(m_cropMutex);
  if (width < 1 || height < 1) {
    m_cropEnabled = false;
    m_croppedTexture.reset();
    return;
  }
  x = std::max(std::min(x, m_sourceWidth - 1), 0);
  y = std::max(std::min(y, m_sourceHeight - 1), 0);
  width = std::min(width, m_sourceWidth - x);
  height = std::min(height, m_sourceHeight - y);
  width &= ~1;
  height &= ~1;
  if (width < kMinCropSize || height < kMinCropSize) {
    DebugLog<256>(L"[ScreenCapture] Crop region too small after clamping: %dx%d, ignoring\n", width, height);
    return;
  }
  m_cropX = x;
  m_cropY = y;
  m_cropWidth = width;
  m_cropHeight = height;
  m_cropEnabled = true;

  bool sizeDiffers = true;
  if (m_croppedTexture) {
    auto desc = m_croppedTexture->GetDesc();
    sizeDiffers = desc.width != static_cast<uint32_t>(width) || desc.height != static_cast<uint32_t>(height);
  }
  if (sizeDiffers && m_device) {
    m_croppedTexture.reset();
    gpu::TextureDesc desc;
    desc.width = static_cast<uint32_t>(width);
    desc.height = static_cast<uint32_t>(height);
    desc.format = gpu::Format::B8G8R8A8_UNORM;
    desc.usage = gpu::Usage::Default;
    desc.bindFlags = gpu::BIND_SHADER_RESOURCE;
    HRESULT hr = m_device->CreateTexture2D(desc, nullptr, 0, &m_croppedTexture);
    if (Failed(hr)) {
      m_croppedTexture.reset();
      DebugLog<128>(L"[ScreenCapture] Failed to create cropped texture: 0x%08X\n", HrBits(hr));
    }
  }
}

std::shared_ptr<gpu::Texture2D> ScreenCapture::ChooseDeliveredTexture(
    const std::shared_ptr<gpu::Texture2D>& frameTexture) {
  std::lock_guard lock(m_cropMutex);
  if (!m_cropEnabled || !m_croppedTexture || !m_context) return frameTexture;

  auto desc = frameTexture->GetDesc();
  gpu::Box box;
  box.left = static_cast<uint32_t>(m_cropX);
  box.top = static_cast<uint32_t>(m_cropY);
  box.front = 0;
  box.right = static_cast<uint32_t>(m_cropX + m_cropWidth);
  box.bottom = static_cast<uint32_t>(m_cropY + m_cropHeight);
  box.back = 1;
  if (box.right > desc.width || box.bottom > desc.height || box.left >= box.right || box.top >= box.bottom) {
    int32_t count = s_invalidCropBoxCount.Increment();
    if (IsFirstFewOrEveryNth(count, 5, 30)) {
      DebugLog<256>(L"[ScreenCapture] Crop BOUNDS INVALID #%d: box=(%d,%d,%d,%d), src=%ux%u\n", count,
                    static_cast<int32_t>(box.left), static_cast<int32_t>(box.top), static_cast<int32_t>(box.right),
                    static_cast<int32_t>(box.bottom), desc.width, desc.height);
    }
    return frameTexture;
  }
  if (!GuardedCall([&] { m_context->CopySubresourceRegion(*m_croppedTexture, 0, 0, 0, 0, *frameTexture, 0, &box); })) {
    DebugLog<128>(L"[ScreenCapture] CopySubresourceRegion SEH EXCEPTION! Skipping frame.\n");
    return nullptr;
  }
  return m_croppedTexture;
}

void ScreenCapture::ResetInvalidCropBoxCounterForTesting() { s_invalidCropBoxCount.ResetForTesting(); }

}  // namespace kalto
