// NativeRecorder's camera overlay: the bubble's configuration, the pipeline between the camera's
// device and the screen's (a shared texture handed over with a keyed mutex), the composite on
// the video path, the frames forwarded to the application, and the tear-down.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "common/debug_output.h"
#include "common/steady_clock.h"
#include "recorder/in_flight_guard.h"
#include "recorder/native_recorder.h"

namespace kalto {

namespace {

constexpr int64_t kPreviewForwardIntervalNs = 33'000'000;
constexpr uint32_t kOverlayCameraWidth = 640;
constexpr uint32_t kOverlayCameraHeight = 480;

std::atomic<bool> s_stagingRecreateLogged{false};
std::atomic<bool> s_forwardMapLogged{false};
std::atomic<bool> s_sizeMismatchLogged{false};

// Clamped to [0, 1]; a non-finite value keeps `previous`.
float Unit(double value, float previous) {
  return std::isfinite(value) ? static_cast<float>(std::clamp(value, 0.0, 1.0)) : previous;
}

// The rectangle kept within the frame; any non-finite value keeps the previous rectangle.
void StoreRect(CompositorParams& params, double x, double y, double width, double height) {
  if (!std::isfinite(x) || !std::isfinite(y) || !std::isfinite(width) || !std::isfinite(height)) return;
  const double w = std::clamp(width, 0.0, 1.0), h = std::clamp(height, 0.0, 1.0);
  params.x = static_cast<float>(std::clamp(x, 0.0, 1.0 - w));
  params.y = static_cast<float>(std::clamp(y, 0.0, 1.0 - h));
  params.width = static_cast<float>(w);
  params.height = static_cast<float>(h);
}

gpu::TextureDesc ExchangeDesc(uint32_t width, uint32_t height, uint32_t miscFlags) {
  gpu::TextureDesc desc;
  desc.width = width;
  desc.height = height;
  desc.format = gpu::Format::B8G8R8A8_UNORM;
  desc.usage = gpu::Usage::Default;
  desc.bindFlags = gpu::BIND_SHADER_RESOURCE;
  desc.miscFlags = miscFlags;
  return desc;
}

gpu::TextureDesc StagingDesc(uint32_t width, uint32_t height) {
  gpu::TextureDesc desc;
  desc.width = width;
  desc.height = height;
  desc.format = gpu::Format::B8G8R8A8_UNORM;
  desc.usage = gpu::Usage::Staging;
  desc.cpuAccessFlags = gpu::CPU_ACCESS_READ;
  return desc;
}

}  // namespace

// ---- Configuration ------------------------------------------------------------------------------

void NativeRecorder::SetCameraOverlayConfig(const CameraOverlayConfig& config) {
  std::lock_guard lock(m_overlayMutex);
  m_overlayDeviceId = config.DeviceId;
  m_overlayFrameRate = config.FrameRate > 0 ? config.FrameRate : 30;
  m_overlayEffect = config.BackgroundEffect;
  CompositorParams& p = m_overlayParams;
  StoreRect(p, config.X, config.Y, config.Width, config.Height);
  p.cornerRadius = Unit(config.CornerRadius, p.cornerRadius);
  p.mirror = config.Mirror;
  p.fillMode = config.FillMode == 1 ? 1 : 0;
  p.opacity = Unit(config.Opacity, p.opacity);
  for (int i = 0; i < 4; ++i) p.borderColor[i] = static_cast<float>((config.BorderColor >> (24 - 8 * i)) & 0xFF) / 255.0f;
  p.borderWidth = Unit(config.BorderWidth, p.borderWidth);
  m_overlayRequested = config.Enabled && !m_overlayDeviceId.empty();
}

void NativeRecorder::SetCameraOverlayRect(double x, double y, double width, double height) {
  std::lock_guard lock(m_overlayMutex);
  StoreRect(m_overlayParams, x, y, width, height);
}

CompositorParams NativeRecorder::CameraOverlayParams() const {
  std::lock_guard lock(m_overlayMutex);
  return m_overlayParams;
}

void NativeRecorder::SetOverlayPreviewForwardEnabled(bool enabled) {
  m_previewForwardEnabled = enabled;
  if (!enabled) m_lastPreviewForwardNs = 0;
}

std::unique_ptr<BackgroundEffectProcessor> NativeRecorder::MakeOverlayEffect(const std::shared_ptr<gpu::Device>& device,
                                                                          uint32_t width, uint32_t height,
                                                                          BackgroundEffectConfig effect) {
  auto processor = std::make_unique<BackgroundEffectProcessor>(BackgroundEffectProcessor::Services{
      m_platform ? m_platform->gpu : nullptr, m_platform ? m_platform->inference : nullptr,
      m_platform ? m_platform->image : nullptr});
  if (!processor->Initialize(device, width, height)) return nullptr;
  // The bubble never runs the once-in-999 interval: a recording needs its mask kept up.
  if (effect.PerformanceMode == 0) effect.PerformanceMode = 3;
  processor->SetConfig(effect);
  return processor;
}

void NativeRecorder::UpdateCameraOverlayEffect(const BackgroundEffectConfig& effect) {
  {
    std::lock_guard lock(m_overlayMutex);
    m_overlayEffect = effect;
  }
  // On the operation thread, after any set-up queued before it.
  Enqueue([this, effect] {
    StateLock lock(*this);  // the tear-downs run under it
    if (!m_overlayActive || !m_overlayCamera || !m_overlayCamera->Device()) return true;
    std::unique_ptr<BackgroundEffectProcessor> old;
    if (effect.Mode == 0) {
      std::lock_guard effectLock(m_overlayEffectMutex);
      old = std::move(m_overlayEffectProcessor);
      return true;
    }
    {
      std::lock_guard effectLock(m_overlayEffectMutex);
      if (m_overlayEffectProcessor) {
        BackgroundEffectConfig config = effect;
        if (config.PerformanceMode == 0) config.PerformanceMode = 3;
        m_overlayEffectProcessor->SetConfig(config);
        return true;
      }
    }
    auto processor = MakeOverlayEffect(m_overlayCamera->Device(), m_overlayCamera->Width(), m_overlayCamera->Height(),
                                       effect);
    if (!processor) {
      DebugLog<128>(L"[NativeRecorder] Camera overlay: effect init failed, raw overlay only\n");
      return false;
    }
    std::lock_guard effectLock(m_overlayEffectMutex);
    m_overlayEffectProcessor = std::move(processor);
    return true;
  });
}

void NativeRecorder::SetBackgroundEffect(const BackgroundEffectConfig& config) {
  std::lock_guard lock(m_overlayMutex);
  m_backgroundEffect = config;
}

NativeRecorder::AsyncBool NativeRecorder::PrepareCameraOverlayAsync() {
  return Enqueue([this] { return PrepareCameraOverlayBody(); });
}

bool NativeRecorder::PrepareCameraOverlayBody() {
  // Operations run one at a time on the operation thread, so a second set-up or a tear-down
  // can never run beside this one: a later call finds the overlay active and shares it.
  StateLock lock(*this);
  if (!m_isPrepared) {
    DebugLog<128>(L"[NativeRecorder] PrepareCameraOverlayAsync: Not prepared\n");
    return false;
  }
  if (m_isRecording) {
    DebugLog<128>(L"[NativeRecorder] PrepareCameraOverlayAsync: Already recording\n");
    return false;
  }
  if (!m_overlayRequested) return false;
  if (m_overlayActive) return true;
  return SetupCameraOverlay();
}

// ---- Set-up -------------------------------------------------------------------------------------

bool NativeRecorder::SetupCameraOverlay() {
  try {
    if (SetupCameraOverlaySteps()) return true;
  } catch (...) {
    DebugLog<128>(L"[NativeRecorder] Camera overlay setup exception\n");
  }
  TeardownCameraOverlay();
  return false;
}

bool NativeRecorder::SetupCameraOverlaySteps() {
  if (!m_overlayRequested) return false;
  std::wstring deviceId;
  int32_t frameRate = 30;
  BackgroundEffectConfig effect;
  {
    std::lock_guard lock(m_overlayMutex);
    deviceId = m_overlayDeviceId;
    frameRate = m_overlayFrameRate;
    effect = m_overlayEffect;
  }
  if (deviceId.empty()) return false;

  if (!m_screenCapture || !m_screenCapture->GetDevice()) {
    DebugLog<128>(L"[NativeRecorder] Camera overlay: no screen device available\n");
    return false;
  }
  const std::shared_ptr<gpu::Device> screenDevice = m_screenCapture->GetDevice()->shared_from_this();
  const int32_t frameWidth = m_screenCapture->GetWidth(), frameHeight = m_screenCapture->GetHeight();
  if (frameWidth <= 0 || frameHeight <= 0) return false;

  ReleaseOverlayCamera();  // a camera left from an earlier set-up goes first
  m_overlayCamera = std::make_unique<CameraCapture>(m_platform ? m_platform->gpu : nullptr,
                                                    m_platform ? m_platform->camera : nullptr);
  m_overlayCamera->SetBufferedAcquisition(true);  // mirroring is the compositor's job
  if (m_hasSessionStart) m_overlayCamera->SetStartTimeBase(m_sessionStartNs);
  if (!m_platform || !m_platform->camera ||
      !m_overlayCamera->Initialize(deviceId, kOverlayCameraWidth, kOverlayCameraHeight, static_cast<uint32_t>(frameRate))) {
    DebugLog<128>(L"[NativeRecorder] Camera overlay: recording camera init failed\n");
    return false;
  }
  const std::shared_ptr<gpu::Device> cameraDevice = m_overlayCamera->Device();
  if (!cameraDevice) return false;
  m_cameraContext = cameraDevice->GetImmediateContext();
  m_screenContext = screenDevice->GetImmediateContext();

  if (!m_overlayCamera->InitializeMediaCaptureWithCallbackAsync(
          [this](gpu::Texture2D& texture, int64_t timestamp) { OnRecordingCameraFrame(texture, timestamp); })) {
    DebugLog<128>(L"[NativeRecorder] Camera overlay: recording camera prepare failed\n");
    return false;
  }
  const uint32_t width = m_overlayCamera->Width(), height = m_overlayCamera->Height();
  if (width == 0 || height == 0) {
    DebugLog<128>(L"[NativeRecorder] Camera overlay: invalid camera dimensions\n");
    return false;
  }

  m_compositor = std::make_unique<CameraCompositor>(m_platform->gpu);
  if (!m_compositor->Initialize(screenDevice, static_cast<uint32_t>(frameWidth), static_cast<uint32_t>(frameHeight))) {
    DebugLog<128>(L"[NativeRecorder] Camera overlay: compositor init failed\n");
    return false;
  }
  if (Failed(screenDevice->CreateTexture2D(ExchangeDesc(width, height, gpu::MISC_SHARED_KEYEDMUTEX), nullptr, 0,
                                           &m_overlaySharedTexture)) ||
      !m_overlaySharedTexture) {
    DebugLog<128>(L"[NativeRecorder] Camera overlay: shared texture create failed\n");
    return false;
  }
  gpu::SharedHandle handle = 0;
  if (Failed(m_overlaySharedTexture->GetSharedHandle(&handle)) || handle == 0) {
    DebugLog<128>(L"[NativeRecorder] Camera overlay: GetSharedHandle failed\n");
    return false;
  }
  m_overlayKeyedMutex = m_overlaySharedTexture->QueryKeyedMutex();
  if (Failed(cameraDevice->OpenSharedResource(handle, &m_cameraSharedTexture)) || !m_cameraSharedTexture ||
      !(m_cameraKeyedMutex = m_cameraSharedTexture->QueryKeyedMutex())) {
    DebugLog<128>(L"[NativeRecorder] Camera overlay: OpenSharedResource on camera device failed (different adapter?)\n");
    return false;
  }
  if (Failed(screenDevice->CreateTexture2D(ExchangeDesc(width, height, 0), nullptr, 0, &m_overlayCameraTexture)) ||
      !m_overlayCameraTexture) {
    DebugLog<128>(L"[NativeRecorder] Camera overlay: consumer texture create failed\n");
    return false;
  }
  if (effect.Mode != 0) {
    auto processor = MakeOverlayEffect(cameraDevice, width, height, effect);
    if (!processor) DebugLog<128>(L"[NativeRecorder] Camera overlay: effect init failed, raw overlay only\n");
    std::lock_guard effectLock(m_overlayEffectMutex);
    m_overlayEffectProcessor = std::move(processor);
  }
  if (Failed(cameraDevice->CreateTexture2D(StagingDesc(width, height), nullptr, 0, &m_previewForwardStaging))) {
    m_previewForwardStaging.reset();
    DebugLog<128>(L"[NativeRecorder] Camera overlay: preview-forward staging create failed (bubble forward disabled)\n");
  }
  m_lastPreviewForwardNs = 0;
  m_overlayCameraWidth = width;
  m_overlayCameraHeight = height;
  {
    std::lock_guard lock(m_overlayMutex);
    m_overlayParams.cameraAspect = static_cast<float>(width) / static_cast<float>(height);
  }
  m_hasCameraFrame = false;
  m_overlayActive = true;
  if (!m_overlayCamera->StartCapturing()) {
    DebugLog<128>(L"[NativeRecorder] Camera overlay: recording camera start failed\n");
    m_overlayActive = false;
    return false;
  }
  return true;
}

// ---- Tear-down ----------------------------------------------------------------------------------

void NativeRecorder::ReleaseOverlayCamera() {
  if (m_overlayCamera) {
    // Returns once no frame callback of this camera runs (the platform's own stop is bounded).
    m_overlayCamera->Stop();
    if (m_overlayCamera->HasPendingOperation()) m_retiredCameras.push_back(std::move(m_overlayCamera));
    m_overlayCamera.reset();
  }
  std::erase_if(m_retiredCameras, [](const auto& camera) { return !camera->HasPendingOperation(); });
}

void NativeRecorder::TeardownCameraOverlay() {
  m_overlayActive = false;
  std::unique_ptr<BackgroundEffectProcessor> processor;
  {
    // Waits for a frame being processed; a camera that outlives its stop finds no processor.
    std::lock_guard effectLock(m_overlayEffectMutex);
    processor = std::move(m_overlayEffectProcessor);
  }
  processor.reset();
  ReleaseOverlayCamera();
  {
    // The video path draws with these under the same lock.
    std::lock_guard videoLock(m_videoMutex);
    m_compositor.reset();
    m_cameraKeyedMutex.reset();
    m_cameraSharedTexture.reset();
    m_overlayKeyedMutex.reset();
    m_overlaySharedTexture.reset();
    m_overlayCameraTexture.reset();
    m_previewForwardStaging.reset();
    m_lastScreenFrame.reset();
    m_cameraContext.reset();
    m_screenContext.reset();
    m_hasCameraFrame = false;
  }
  m_overlayCameraWidth = 0;
  m_overlayCameraHeight = 0;
  m_lastPreviewForwardNs = 0;
  m_lastCameraTimestamp = 0;
  m_lastCompositedTimestamp = 0;
  m_hasSessionStart = false;
}

// ---- Frames -------------------------------------------------------------------------------------

gpu::Texture2D* NativeRecorder::CompositeCameraOverlay(gpu::Texture2D& frame) {
  if (m_isShuttingDown || !m_overlayActive || !m_overlayRequested || !m_compositor || !m_screenContext) return &frame;
  if (&frame != m_lastScreenFrame.get()) {
    const gpu::TextureDesc desc = frame.GetDesc();
    if (!m_lastScreenFrame || m_lastScreenFrame->GetDesc().width != desc.width ||
        m_lastScreenFrame->GetDesc().height != desc.height || m_lastScreenFrame->GetDesc().format != desc.format) {
      m_lastScreenFrame.reset();
      auto device = frame.GetDevice();
      if (device) device->CreateTexture2D(ExchangeDesc(desc.width, desc.height, 0), nullptr, 0, &m_lastScreenFrame);
    }
    if (m_lastScreenFrame) m_screenContext->CopyResource(*m_lastScreenFrame, frame);
  }
  if (m_overlayKeyedMutex && m_overlaySharedTexture && m_overlayCameraTexture &&
      m_overlayKeyedMutex->AcquireSync(1, 0) == S_OK) {
    m_screenContext->CopyResource(*m_overlayCameraTexture, *m_overlaySharedTexture);
    m_overlayKeyedMutex->ReleaseSync(0);
    m_hasCameraFrame = true;
  }
  if (!m_hasCameraFrame) return &frame;
  const CompositorParams params = CameraOverlayParams();
  gpu::Texture2D* output = nullptr;
  if (!m_compositor->Composite(&frame, m_overlayCameraTexture, params, &output) || output == nullptr) return &frame;
  return output;
}

void NativeRecorder::OnRecordingCameraFrame(gpu::Texture2D& texture, int64_t timestamp) {
  try {
    if (m_isShuttingDown || !m_overlayActive || !m_cameraContext || !m_cameraKeyedMutex || !m_cameraSharedTexture) {
      return;
    }
    m_lastCameraTimestamp = timestamp;
    gpu::Texture2D* frame = &texture;
    // Held until the processed frame has been copied out: the tear-down destroys the processor
    // (and the texture it handed out) under the same lock.
    std::unique_lock effectLock(m_overlayEffectMutex);
    if (m_overlayEffectProcessor) {
      gpu::Texture2D* processed = nullptr;
      if (m_overlayEffectProcessor->ProcessFrame(frame, &processed) && processed != nullptr) frame = processed;
    }
    const gpu::TextureDesc frameDesc = frame->GetDesc();
    const gpu::TextureDesc sharedDesc = m_cameraSharedTexture->GetDesc();
    if (frameDesc.width != sharedDesc.width || frameDesc.height != sharedDesc.height) {
      // A camera that changed size would overrun the exchange texture: its frames stay out of
      // the recording.
      if (!s_sizeMismatchLogged.exchange(true)) {
        DebugLog<256>(L"[NativeRecorder] Camera overlay: camera frame %ux%u does not fit the %ux%u exchange texture; skipped\n",
                      frameDesc.width, frameDesc.height, sharedDesc.width, sharedDesc.height);
      }
    } else if (m_cameraKeyedMutex->AcquireSync(0, 0) == S_OK) {
      m_cameraContext->CopyResource(*m_cameraSharedTexture, *frame);
      m_cameraContext->Flush();
      m_cameraKeyedMutex->ReleaseSync(1);
    }
    ForwardOverlayPreview(*frame);
    effectLock.unlock();
    RefreshStillScreen();
  } catch (...) {
    DebugLog<128>(L"[NativeRecorder] OnRecordingCameraFrame exception\n");
  }
}

void NativeRecorder::RefreshStillScreen() {
  InFlightGuard guard(m_inFlightCallbacks);
  if (m_isShuttingDown || !m_isRecording || m_isPaused || !m_overlayActive || !m_encoder) return;
  // A busy video path means the screen is sending frames: they carry the bubble.
  std::unique_lock videoLock(m_videoMutex, std::try_to_lock);
  if (!videoLock.owns_lock() || !m_lastScreenFrame) return;
  const int64_t last = m_lastEncodedTimestamp;
  const int64_t now = RecordedTimeHns(SteadyNowNs());
  const int64_t fps = m_encoder->GetFps();
  const auto slot = [fps](int64_t timeHns) { return (timeHns * fps + 5'000'000) / 10'000'000; };
  // Still means a whole frame slot went by without a screen frame.
  if (last == kNoFrame || slot(now) < slot(last) + 2) return;
  gpu::Texture2D* frame = CompositeCameraOverlay(*m_lastScreenFrame);
  if (frame == m_lastScreenFrame.get()) return;
  m_lastEncodedTimestamp = now;
  m_lastCompositedTimestamp = now;
  if (m_encoder->WriteVideoFrame(frame, now)) {
    ++m_framesWritten;
  } else {
    ++m_droppedFrames;
    CheckWriterFailure();
  }
}

void NativeRecorder::ForwardOverlayPreview(gpu::Texture2D& frame) {
  if (m_isShuttingDown || !m_overlayActive || !m_previewForwardEnabled || !m_cameraContext) return;
  const gpu::TextureDesc desc = frame.GetDesc();
  if (!m_previewForwardStaging || m_previewForwardStaging->GetDesc().width != desc.width ||
      m_previewForwardStaging->GetDesc().height != desc.height || m_previewForwardStaging->GetDesc().format != desc.format) {
    gpu::TextureDesc staging = StagingDesc(desc.width, desc.height);
    staging.format = desc.format;
    std::shared_ptr<gpu::Texture2D> texture;
    auto device = frame.GetDevice();
    if (!device || Failed(device->CreateTexture2D(staging, nullptr, 0, &texture)) || !texture) {
      if (!s_stagingRecreateLogged.exchange(true)) {
        DebugLog<128>(L"[NativeRecorder] Overlay preview staging recreate failed\n");
      }
      return;
    }
    m_previewForwardStaging = std::move(texture);
  }
  const int64_t now = SteadyNowNs();
  const int64_t last = m_lastPreviewForwardNs;
  if (last != 0 && now - last < kPreviewForwardIntervalNs) return;

  m_cameraContext->CopyResource(*m_previewForwardStaging, frame);
  gpu::MappedSubresource mapped;
  if (const HRESULT hr = m_cameraContext->Map(*m_previewForwardStaging, 0, gpu::MapType::Read, 0, &mapped); Failed(hr)) {
    if (!s_forwardMapLogged.exchange(true)) {
      DebugLog<128>(L"[NativeRecorder] Overlay preview forward: Map staging failed 0x%08X\n", HrBits(hr));
    }
    return;
  }
  std::shared_ptr<camera::SoftwareBitmap> bitmap;
  try {
    bitmap = camera::SoftwareBitmap::Create(camera::BitmapPixelFormat::Bgra8, static_cast<int32_t>(desc.width),
                                            static_cast<int32_t>(desc.height), camera::BitmapAlphaMode::Premultiplied);
    auto buffer = bitmap->LockBuffer(camera::BitmapBufferAccessMode::Write);
    const camera::BitmapPlaneDescription plane = buffer->GetPlaneDescription(0);
    const size_t rowBytes = size_t(desc.width) * 4;
    for (uint32_t y = 0; y < desc.height; ++y) {
      std::memcpy(buffer->Data() + plane.StartIndex + size_t(y) * size_t(plane.Stride),
                  static_cast<const uint8_t*>(mapped.data) + size_t(y) * mapped.rowPitch, rowBytes);
    }
  } catch (...) {
    m_cameraContext->Unmap(*m_previewForwardStaging, 0);
    throw;
  }
  m_cameraContext->Unmap(*m_previewForwardStaging, 0);
  m_lastPreviewForwardNs = now;
  m_previewFrameArrived.Raise(*this, bitmap);
}

}  // namespace kalto
