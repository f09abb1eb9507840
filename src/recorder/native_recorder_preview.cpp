// The stand-alone camera preview: a second camera whose frames, through an optional background
// effect, reach the application as bitmaps; and the segmentation-model check and pre-warm.
#include <cstring>
#include <exception>

#include "camera/segmentation_model.h"
#include "common/debug_output.h"
#include "encoding/encoder_cache.h"
#include "platform/media/media_foundation.h"
#include "recorder/native_recorder.h"

namespace kalto {
namespace {

// No camera delivers more than this a side; anything larger is a caller's mistake.
constexpr int32_t kMaxPreviewSide = 8192;

// Process-wide, only to thin the log lines.
std::atomic<uint64_t> s_previewFrames{0};
std::atomic<uint64_t> s_previewMapFailures{0};

gpu::TextureDesc PreviewStagingDesc(uint32_t width, uint32_t height, gpu::Format format) {
  gpu::TextureDesc desc;
  desc.width = width;
  desc.height = height;
  desc.format = format;
  desc.usage = gpu::Usage::Staging;
  desc.cpuAccessFlags = gpu::CPU_ACCESS_READ;
  return desc;
}

}  // namespace

NativeRecorder::AsyncBool NativeRecorder::StartCameraPreviewAsync(std::wstring deviceId, int32_t width, int32_t height,
                                                                  int32_t frameRate, BackgroundEffectConfig effect) {
  if (m_previewActive) {
    auto done = abi::AsyncOperationBool::Create();
    done->Complete(true);
    return done;
  }
  if (width <= 0 || height <= 0 || width > kMaxPreviewSide || height > kMaxPreviewSide) {
    DebugLog<128>(L"[NativeRecorder] StartCameraPreviewAsync: invalid size %dx%d\n", width, height);
    auto refused = abi::AsyncOperationBool::Create();
    refused->Complete(false);
    return refused;
  }
  const uint64_t generation = m_previewGeneration;
  return Enqueue([this, deviceId = std::move(deviceId), width, height, frameRate, effect, generation] {
    try {
      return StartCameraPreviewBody(deviceId, width, height, frameRate, effect, generation);
    } catch (const std::exception& e) {
      DebugLog<256>(L"[NativeRecorder] StartCameraPreviewAsync exception: %s\n", e.what());
    } catch (...) {
      DebugLog<128>(L"[NativeRecorder] StartCameraPreviewAsync unknown exception\n");
    }
    return false;
  });
}

bool NativeRecorder::StartCameraPreviewBody(const std::wstring& deviceId, int32_t width, int32_t height,
                                            int32_t frameRate, const BackgroundEffectConfig& effect,
                                            uint64_t generation) {
  // A second start queued behind the first finds it running; a stop since the call cancels it.
  if (m_previewActive) return true;
  if (m_previewGeneration != generation) {
    DebugLog<128>(L"[NativeRecorder] Camera preview stopped while it opened\n");
    return false;
  }
  auto camera = std::make_unique<CameraCapture>(m_platform ? m_platform->gpu : nullptr,
                                                m_platform ? m_platform->camera : nullptr);
  camera->SetBufferedAcquisition(true);
  if (!m_platform || !m_platform->camera ||
      !camera->Initialize(deviceId, static_cast<uint32_t>(width), static_cast<uint32_t>(height),
                          static_cast<uint32_t>(frameRate > 0 ? frameRate : 30))) {
    DebugLog<128>(L"[NativeRecorder] Failed to initialize preview camera\n");
    return false;
  }
  if (!camera->StartAsync([this](gpu::Texture2D& texture, int64_t) { OnPreviewFrame(texture); })) {
    DebugLog<128>(L"[NativeRecorder] Failed to start preview camera\n");
    camera->Stop();
    return false;
  }
  const std::shared_ptr<gpu::Device> device = camera->Device();
  const uint32_t w = camera->Width(), h = camera->Height();
  std::unique_ptr<BackgroundEffectProcessor> processor;
  if (effect.Mode != 0 && device) {
    processor = MakePreviewEffect(device, w, h, effect);
    if (!processor) DebugLog<128>(L"[NativeRecorder] Warning: Preview effect processor init failed\n");
  }
  std::shared_ptr<gpu::Texture2D> staging;
  if (device) {
    if (const HRESULT hr = device->CreateTexture2D(PreviewStagingDesc(w, h, gpu::Format::B8G8R8A8_UNORM), nullptr, 0,
                                                   &staging);
        Failed(hr)) {
      // Made again on the first frame.
      staging.reset();
      DebugLog<128>(L"[NativeRecorder] Failed to create preview staging texture: 0x%08X\n", HrBits(hr));
    }
  }
  {
    std::lock_guard lock(m_previewMutex);
    if (m_previewGeneration == generation) {
      m_previewCamera = std::move(camera);
      m_previewEffectModel = processor ? int(processor->IsMLAvailable()) : -1;
      m_previewEffectProcessor = std::move(processor);
      m_previewStaging = std::move(staging);
      m_previewWidth = static_cast<int32_t>(w);
      m_previewHeight = static_cast<int32_t>(h);
      m_previewActive = true;
      return true;
    }
  }
  // Stopped while it opened: what it opened goes, outside the lock the frames take.
  DebugLog<128>(L"[NativeRecorder] Camera preview stopped while it opened\n");
  camera->Stop();
  return false;
}

std::unique_ptr<BackgroundEffectProcessor> NativeRecorder::MakePreviewEffect(const std::shared_ptr<gpu::Device>& device,
                                                                            uint32_t width, uint32_t height,
                                                                            const BackgroundEffectConfig& effect) {
  auto processor = std::make_unique<BackgroundEffectProcessor>(BackgroundEffectProcessor::Services{
      m_platform ? m_platform->gpu : nullptr, m_platform ? m_platform->inference : nullptr,
      m_platform ? m_platform->image : nullptr});
  if (!processor->Initialize(device, width, height)) return nullptr;
  processor->SetConfig(effect);
  return processor;
}

void NativeRecorder::OnPreviewFrame(gpu::Texture2D& texture) {
  try {
    const uint64_t seen = ++s_previewFrames;
    std::shared_ptr<camera::SoftwareBitmap> bitmap;
    {
      std::lock_guard lock(m_previewMutex);
      if (!m_previewActive) return;
      const gpu::TextureDesc desc = texture.GetDesc();
      if (int32_t(desc.width) != m_previewWidth || int32_t(desc.height) != m_previewHeight) {
        m_previewWidth = int32_t(desc.width);
        m_previewHeight = int32_t(desc.height);
      }
      gpu::Texture2D* frame = &texture;
      if (m_previewEffectProcessor) {
        gpu::Texture2D* processed = nullptr;
        if (m_previewEffectProcessor->ProcessFrame(frame, &processed) && processed != nullptr) frame = processed;
      }
      bitmap = ConvertTextureToSoftwareBitmap(*frame);
      if (!bitmap) {
        if (seen % 30 == 1) DebugLog<128>(L"[NativeRecorder] ConvertTextureToSoftwareBitmap returned null\n");
        return;
      }
    }
    // Raised outside the lock, so a handler may use the other preview operations.
    m_previewFrameArrived.Raise(*this, bitmap);
  } catch (...) {
    DebugLog<128>(L"[NativeRecorder] Preview frame exception\n");
  }
}

std::shared_ptr<camera::SoftwareBitmap> NativeRecorder::ConvertTextureToSoftwareBitmap(gpu::Texture2D& texture) {
  const gpu::TextureDesc desc = texture.GetDesc();
  const std::shared_ptr<gpu::Device> device = texture.GetDevice();
  if (!device) return nullptr;
  // A staging texture that failed at start, or no longer fits, is made now.
  if (!m_previewStaging || m_previewStaging->GetDesc().width != desc.width ||
      m_previewStaging->GetDesc().height != desc.height || m_previewStaging->GetDesc().format != desc.format) {
    m_previewWidth = int32_t(desc.width);
    m_previewHeight = int32_t(desc.height);
    m_previewStaging.reset();
    if (Failed(device->CreateTexture2D(PreviewStagingDesc(desc.width, desc.height, desc.format), nullptr, 0,
                                       &m_previewStaging)) ||
        !m_previewStaging) {
      m_previewStaging.reset();
      return nullptr;
    }
  }
  const std::shared_ptr<gpu::DeviceContext> context = device->GetImmediateContext();
  if (!context) return nullptr;
  context->CopyResource(*m_previewStaging, texture);
  gpu::MappedSubresource mapped;
  if (const HRESULT hr = context->Map(*m_previewStaging, 0, gpu::MapType::Read, 0, &mapped); Failed(hr)) {
    if (++s_previewMapFailures % 30 == 1) {
      DebugLog<128>(L"[NativeRecorder] Map staging texture failed: 0x%08X\n", HrBits(hr));
    }
    return nullptr;
  }
  std::shared_ptr<camera::SoftwareBitmap> bitmap;
  try {
    bitmap = camera::SoftwareBitmap::Create(camera::BitmapPixelFormat::Bgra8, m_previewWidth, m_previewHeight,
                                            camera::BitmapAlphaMode::Premultiplied);
    auto buffer = bitmap->LockBuffer(camera::BitmapBufferAccessMode::Write);
    const camera::BitmapPlaneDescription plane = buffer->GetPlaneDescription(0);
    const size_t rowBytes = size_t(m_previewWidth) * 4;
    for (int32_t y = 0; y < m_previewHeight; ++y) {
      std::memcpy(buffer->Data() + plane.StartIndex + size_t(y) * size_t(plane.Stride),
                  static_cast<const uint8_t*>(mapped.data) + size_t(y) * mapped.rowPitch, rowBytes);
    }
  } catch (...) {
    context->Unmap(*m_previewStaging, 0);
    throw;
  }
  context->Unmap(*m_previewStaging, 0);
  return bitmap;
}

void NativeRecorder::StopCameraPreview() {
  std::unique_ptr<CameraCapture> camera;
  {
    std::lock_guard lock(m_previewMutex);
    ++m_previewGeneration;
    if (!m_previewActive) return;
    m_previewActive = false;
    camera = std::move(m_previewCamera);
  }
  // Stopping waits for a running frame callback, which takes the lock.
  if (camera) camera->Stop();
  camera.reset();
  std::unique_ptr<BackgroundEffectProcessor> processor;
  {
    std::lock_guard lock(m_previewMutex);
    processor = std::move(m_previewEffectProcessor);
    m_previewEffectModel = -1;
    m_previewStaging.reset();
  }
}

void NativeRecorder::UpdatePreviewBackgroundEffect(const BackgroundEffectConfig& effect) {
  std::shared_ptr<gpu::Device> device;
  uint32_t width = 0, height = 0;
  uint64_t generation = 0;
  std::unique_ptr<BackgroundEffectProcessor> old;
  {
    std::lock_guard lock(m_previewMutex);
    if (!m_previewActive || !m_previewCamera) return;
    if (effect.Mode == 0) {
      old = std::move(m_previewEffectProcessor);
      m_previewEffectModel = -1;
      return;
    }
    if (m_previewEffectProcessor) {
      m_previewEffectProcessor->SetConfig(effect);
      return;
    }
    device = m_previewCamera->Device();
    width = m_previewCamera->Width();
    height = m_previewCamera->Height();
    generation = m_previewGeneration;
  }
  // A new processor loads its model and pictures outside the lock the frames take.
  auto processor = device ? MakePreviewEffect(device, width, height, effect) : nullptr;
  if (!processor) return;
  std::lock_guard lock(m_previewMutex);
  if (!m_previewActive || m_previewGeneration != generation || m_previewEffectProcessor) {
    old = std::move(processor);  // the preview stopped, or another update won
    return;
  }
  m_previewEffectModel = int(processor->IsMLAvailable());
  m_previewEffectProcessor = std::move(processor);
}

NativeRecorder::PreviewEffectState NativeRecorder::GetPreviewEffectState() {
  std::lock_guard lock(m_previewMutex);
  PreviewEffectState state;
  if (!m_previewEffectProcessor) return state;
  state.interval = m_previewEffectProcessor->SegmentationInterval();
  if (const GpuMonitor* monitor = m_previewEffectProcessor->Monitor()) state.tier = monitor->Tier();
  return state;
}

bool NativeRecorder::IsMLModelAvailable() {
  if (const int model = m_previewEffectModel; model >= 0) return model != 0;
  if (m_mlChecked) return m_mlAvailable;
  SegmentationModel model(m_platform ? m_platform->inference : nullptr);
  bool available = model.Initialize(nullptr);
  if (!available) DebugLog<128>(L"[SegmentationModel] ONNX model not available - ML effects disabled\n");
  available = available && model.IsSessionValid();
  m_mlAvailable = available;
  m_mlChecked = true;
  return available;
}

void NativeRecorder::PreWarmMLModel(std::shared_ptr<inference::Runtime> runtime) {
  try {
    if (!runtime) runtime = platform::DefaultPlatform()->inference;
    SegmentationModel model(std::move(runtime));
    if (!model.Initialize(nullptr)) {
      DebugLog<128>(L"[SegmentationModel] ONNX model not available - ML effects disabled\n");
    }
  } catch (const std::exception& e) {
    DebugLog<256>(L"[NativeRecorder] PreWarmMLModel failed: %s\n", e.what());
  } catch (...) {
    DebugLog<128>(L"[NativeRecorder] PreWarmMLModel failed with unknown exception\n");
  }
}

void NativeRecorder::PreWarmEncoder() {
  try {
    EncoderCache::PreWarm();
  } catch (...) {
  }
}

void NativeRecorder::InitializeMediaFoundation() {
  try {
    // Started for the life of the process, as the platform's start-up is.
    if (Failed(media::MediaStartup(media::MF_VERSION, media::MFSTARTUP_FULL))) {
      DebugLog<128>(L"[NativeRecorder] Media Foundation init failed (will retry later)\n");
    }
  } catch (...) {
  }
  PreWarmEncoder();
}

bool NativeRecorder::IsHardwareEncoderAvailable() {
  try {
    const media::RegisterTypeInfo output{media::MFMediaType_Video, media::MFVideoFormat_H264};
    std::vector<std::shared_ptr<media::Activate>> activates;
    if (Failed(media::EnumTransforms(media::MFT_CATEGORY_VIDEO_ENCODER,
                                     media::MFT_ENUM_FLAG_HARDWARE | media::MFT_ENUM_FLAG_SORTANDFILTER, nullptr,
                                     &output, &activates))) {
      return false;
    }
    for (const auto& activate : activates) {
      uint32_t aware = 0;
      if (activate && Succeeded(activate->GetUINT32(media::MF_SA_D3D11_AWARE, &aware)) && aware != 0) {
        (void)activate->FriendlyName();
        return true;
      }
    }
  } catch (...) {
  }
  return false;
}

}  // namespace kalto
