#include "camera/camera_capture.h"

#include <chrono>
#include <cstring>

#include "common/counters.h"
#include "common/debug_output.h"
#include "common/steady_clock.h"

namespace kalto {

namespace {

ProcessCounter s_copyFailures;
ProcessCounter s_copyCalls;
std::atomic<bool> s_frameExceptionLogged{false};
std::atomic<bool> s_mismatchLogged{false};
std::atomic<bool> s_nothingUsableLogged{false};
std::atomic<bool> s_copyErrorLogged{false};
std::atomic<bool> s_copyUnknownLogged{false};

constexpr gpu::FeatureLevel kLevels[] = {gpu::FeatureLevel::Level_11_1, gpu::FeatureLevel::Level_11_0,
                                         gpu::FeatureLevel::Level_10_1, gpu::FeatureLevel::Level_10_0};

bool LogOnce(std::atomic<bool>& flag) { return !flag.exchange(true); }

}  // namespace

CameraCapture::CameraCapture(std::shared_ptr<gpu::DeviceFactory> gpu, std::shared_ptr<camera::CameraSystem> cameras)
    : m_gpu(std::move(gpu)), m_cameras(std::move(cameras)) {}

CameraCapture::~CameraCapture() {
  Stop();
  CompletePendingOperation();
  {
    std::lock_guard lock(m_mutex);
    m_frameCallback = nullptr;
  }
  m_frameReader.reset();
  m_mediaCapture.reset();
  m_frameTexture.reset();
  m_context.reset();
  m_device.reset();
}

void CameraCapture::ResetCountersForTesting() {
  s_copyFailures.ResetForTesting();
  s_copyCalls.ResetForTesting();
  for (auto* flag : {&s_frameExceptionLogged, &s_mismatchLogged, &s_nothingUsableLogged, &s_copyErrorLogged,
                     &s_copyUnknownLogged}) {
    flag->store(false);
  }
}

void CameraCapture::SetStartTimeBase(int64_t startTimeNs) {
  std::lock_guard lock(m_mutex);
  m_startTimeBaseNs = startTimeNs;
  m_hasStartTimeBase = true;
  if (m_isCapturing) m_startTimeNs = startTimeNs;
}

bool CameraCapture::HasPendingOperation() const {
  std::lock_guard lock(m_mutex);
  return m_pendingOperation && !m_pendingDone->load();
}

void CameraCapture::CompletePendingOperation() {
  std::unique_ptr<BoundedTask> pending;
  {
    std::lock_guard lock(m_mutex);
    pending = std::move(m_pendingOperation);
  }
  if (pending) pending->Complete();
}

// ---- Initialisation -----------------------------------------------------------------------------

bool CameraCapture::Initialize(const std::wstring& deviceId, uint32_t width, uint32_t height, uint32_t frameRate) {
  if (m_isInitialized) return true;
  m_deviceId = deviceId;
  m_width = width;
  m_height = height;
  m_frameRate = frameRate;
  m_context.reset();
  m_device.reset();
  if (!CreateDevice()) return false;
  if (!EnsureFrameTexture()) return false;
  m_isInitialized = true;
  return true;
}

bool CameraCapture::CreateDevice() {
  if (!m_gpu) {
    DebugLog<128>(L"[CameraCapture] Failed to create D3D11 device (both hardware and WARP)\n");
    return false;
  }
  const uint32_t levels = static_cast<uint32_t>(std::size(kLevels));
  HRESULT hr = m_gpu->CreateDevice(nullptr, gpu::DriverType::Hardware, gpu::CREATE_DEVICE_BGRA_SUPPORT, kLevels,
                                   levels, &m_device, &m_context);
  if (Failed(hr)) {
    DebugLog<128>(L"[CameraCapture] Hardware D3D11 failed, trying WARP...\n");
    m_device.reset();
    m_context.reset();
    hr = m_gpu->CreateDevice(nullptr, gpu::DriverType::Warp, gpu::CREATE_DEVICE_BGRA_SUPPORT, kLevels, levels,
                             &m_device, &m_context);
    if (Failed(hr)) {
      m_device.reset();
      m_context.reset();
      DebugLog<128>(L"[CameraCapture] Failed to create D3D11 device (both hardware and WARP)\n");
      return false;
    }
    m_usingWarp = true;
  }
  return true;
}

bool CameraCapture::EnsureFrameTexture() {
  const uint32_t width = m_width, height = m_height;
  if (!m_device || width == 0 || height == 0) {
    DebugLog<128>(L"[CameraCapture] EnsureFrameTexture: device or dimensions not set\n");
    return false;
  }
  if (m_frameTexture) {
    const gpu::TextureDesc desc = m_frameTexture->GetDesc();
    if (desc.width == width && desc.height == height && desc.format == gpu::Format::B8G8R8A8_UNORM) return true;
  }
  gpu::TextureDesc desc;
  desc.width = width;
  desc.height = height;
  desc.format = gpu::Format::B8G8R8A8_UNORM;
  desc.usage = gpu::Usage::Default;
  desc.bindFlags = gpu::BIND_SHADER_RESOURCE | gpu::BIND_RENDER_TARGET;
  std::shared_ptr<gpu::Texture2D> texture;
  if (Failed(m_device->CreateTexture2D(desc, nullptr, 0, &texture)) || !texture) {
    DebugLog<128>(L"[CameraCapture] EnsureFrameTexture: CreateTexture2D failed\n");
    return false;
  }
  m_frameTexture = std::move(texture);
  return true;
}

// ---- Opening ------------------------------------------------------------------------------------

bool CameraCapture::InitializeMediaCaptureWithCallbackAsync(FrameCallback callback) {
  if (!m_isInitialized) return false;
  if (m_isPrepared) return true;
  {
    std::lock_guard lock(m_mutex);
    m_frameCallback = std::move(callback);
  }
  try {
    return OpenSequence(Sequence::Prepare);
  } catch (const PlatformError& e) {
    DebugLog<512>(L"[CameraCapture] InitializeMediaCaptureWithCallbackAsync failed: %s\n", e.message().c_str());
  } catch (...) {
    DebugLog<128>(L"[CameraCapture] InitializeMediaCaptureWithCallbackAsync failed with unknown error\n");
  }
  return false;
}

bool CameraCapture::StartAsync(FrameCallback callback) {
  if (!m_isInitialized || m_isCapturing) return false;
  {
    std::lock_guard lock(m_mutex);
    m_frameCallback = std::move(callback);
  }
  try {
    return OpenSequence(Sequence::Start);
  } catch (const PlatformError& e) {
    DebugLog<512>(L"[CameraCapture] Start failed: %s\n", e.message().c_str());
  } catch (...) {
    DebugLog<128>(L"[CameraCapture] Start failed with unknown error\n");
  }
  return false;
}

bool CameraCapture::SelectSourceGroup(Sequence sequence, camera::MediaFrameSourceGroup* group) {
  // Files cannot be discovered: naming one makes it a camera.
  if (m_deviceId.rfind(L"file:", 0) == 0) m_cameras->AddFileCamera(m_deviceId);
  for (const camera::MediaFrameSourceGroup& candidate : m_cameras->FindAllSourceGroups()) {
    for (const camera::MediaFrameSourceInfo& info : candidate.SourceInfos) {
      if (info.SourceKind != camera::MediaFrameSourceKind::Color) continue;
      if (m_deviceId.empty() || (info.DeviceInformation && info.DeviceInformation->Id == m_deviceId)) {
        *group = candidate;
        return true;
      }
    }
  }
  DebugLog<128>(sequence == Sequence::Prepare
                    ? L"[CameraCapture] No suitable camera found for requested device (prepare)\n"
                    : L"[CameraCapture] No suitable camera found for requested device\n");
  return false;
}

std::shared_ptr<camera::MediaFrameSource> CameraCapture::FindColorFrameSource(Sequence sequence) {
  for (const auto& source : m_mediaCapture->FrameSources()) {
    const camera::MediaFrameSourceInfo info = source->Info();
    if (info.SourceKind != camera::MediaFrameSourceKind::Color) continue;
    if (m_deviceId.empty() || (info.DeviceInformation && info.DeviceInformation->Id == m_deviceId)) return source;
  }
  DebugLog<128>(sequence == Sequence::Prepare
                    ? L"[CameraCapture] No color frame source found for requested device (prepare)\n"
                    : L"[CameraCapture] No color frame source found for requested device\n");
  return nullptr;
}

void CameraCapture::RequestFormat(camera::MediaFrameSource& source) {
  // The size and rate asked for, when the camera offers them; otherwise its own format stays.
  const uint32_t width = m_width, height = m_height;
  for (const camera::VideoFormat& format : source.SupportedFormats()) {
    const bool rate = format.FrameRateDenominator != 0 &&
                      format.FrameRateNumerator == uint64_t{m_frameRate} * format.FrameRateDenominator;
    if (format.Width != width || format.Height != height || !rate) continue;
    if (source.CurrentFormat() == format) return;
    try {
      source.SetFormat(format);
    } catch (const PlatformError&) {
      // Refused (another reader has it running): the current format is used.
    }
    return;
  }
}

bool CameraCapture::OpenSequence(Sequence sequence) {
  camera::MediaFrameSourceGroup group;
  if (!SelectSourceGroup(sequence, &group)) return false;

  camera::MediaCaptureInitializationSettings settings;
  settings.SourceGroupId = group.Id;
  settings.SharingMode = camera::MediaCaptureSharingMode::SharedReadOnly;
  settings.MemoryPreference = camera::MediaCaptureMemoryPreference::Cpu;
  settings.StreamingCaptureMode = camera::StreamingCaptureMode::Video;
  m_mediaCapture = m_cameras->CreateMediaCapture();
  m_mediaCapture->Initialize(settings);

  auto source = FindColorFrameSource(sequence);
  if (!source) return false;
  RequestFormat(*source);
  const camera::VideoFormat format = source->CurrentFormat();
  m_width = format.Width;
  m_height = format.Height;
  EnsureFrameTexture();

  m_frameReader = m_mediaCapture->CreateFrameReader(source, "BGRA8");
  m_frameReader->SetAcquisitionMode(m_bufferedAcquisition ? camera::MediaFrameReaderAcquisitionMode::Buffered
                                                          : camera::MediaFrameReaderAcquisitionMode::Realtime);
  m_frameArrivedToken = m_frameReader->AddFrameArrived([this](camera::MediaFrameReader& reader) { OnFrameArrived(reader); });

  if (sequence == Sequence::Prepare) {
    m_isPrepared = true;
    return true;
  }
  camera::MediaFrameReaderStartStatus status = camera::MediaFrameReaderStartStatus::UnknownFailure;
  bool timedOut = false;
  if (!StartReader(&status, &timedOut)) {
    if (timedOut) {
      DebugLog<128>(L"[CameraCapture] WARNING: frame reader start timed out after %d ms\n",
                    static_cast<int>(m_startTimeout.count()));
    } else {
      DebugLog<128>(L"[CameraCapture] Failed to start frame reader: %d\n", static_cast<int>(status));
    }
    return false;
  }
  m_isPrepared = true;
  return true;
}

bool CameraCapture::StartReader(camera::MediaFrameReaderStartStatus* status, bool* timedOut) {
  {
    std::lock_guard lock(m_mutex);
    m_startTimeNs = m_hasStartTimeBase ? m_startTimeBaseNs : SteadyNowNs();
  }
  CompletePendingOperation();
  auto result = std::make_shared<std::atomic<int32_t>>(-1);
  auto error = std::make_shared<std::exception_ptr>();
  auto done = std::make_shared<std::atomic<bool>>(false);
  auto task = std::make_unique<BoundedTask>([reader = m_frameReader, result, error, done] {
    try {
      result->store(static_cast<int32_t>(reader->Start()));
    } catch (...) {
      *error = std::current_exception();
    }
    done->store(true);
  });
  if (!task->WaitFor(m_startTimeout)) {
    *timedOut = true;
    std::lock_guard lock(m_mutex);
    m_pendingOperation = std::move(task);
    m_pendingDone = done;
    return false;
  }
  task.reset();
  if (*error) std::rethrow_exception(*error);
  *status = static_cast<camera::MediaFrameReaderStartStatus>(result->load());
  if (*status != camera::MediaFrameReaderStartStatus::Success) return false;
  // Set under the mutex Stop takes, so a Stop never misses a start that ran beside it.
  std::lock_guard lock(m_mutex);
  m_isCapturing = true;
  return true;
}

bool CameraCapture::StartCapturing() {
  if (m_isCapturing) return true;
  if (!m_isPrepared || !m_frameReader) {
    DebugLog<128>(L"[CameraCapture] StartCapturing: Not prepared - MediaCapture not initialized\n");
    return false;
  }
  try {
    camera::MediaFrameReaderStartStatus status = camera::MediaFrameReaderStartStatus::UnknownFailure;
    bool timedOut = false;
    if (StartReader(&status, &timedOut)) return true;
    if (timedOut) {
      DebugLog<128>(L"[CameraCapture] StartCapturing: WARNING: frame reader start timed out after %d ms\n",
                    static_cast<int>(m_startTimeout.count()));
    } else {
      DebugLog<128>(L"[CameraCapture] StartCapturing: Failed to start frame reader: %d\n", static_cast<int>(status));
    }
  } catch (const PlatformError& e) {
    DebugLog<512>(L"[CameraCapture] StartCapturing failed: %s\n", e.message().c_str());
  } catch (...) {
    DebugLog<128>(L"[CameraCapture] StartCapturing failed with unknown error\n");
  }
  return false;
}

// ---- Stop ---------------------------------------------------------------------------------------

void CameraCapture::Stop() {
  {
    std::lock_guard lock(m_mutex);
    m_isCapturing = false;
    m_frameCallback = nullptr;
  }
  std::shared_ptr<camera::MediaFrameReader> reader;
  std::shared_ptr<camera::MediaCapture> capture;
  {
    std::lock_guard lock(m_mutex);
    if (!m_frameReader && !m_mediaCapture) return;
    m_frameCallback = nullptr;
    m_isCapturing = false;
    reader = std::move(m_frameReader);
    capture = std::move(m_mediaCapture);
  }
  // Waits for a running OnFrameArrived: after this nothing of ours runs on the reader's thread.
  if (reader) reader->RemoveFrameArrived(m_frameArrivedToken);
  // A start still pending must end before the reader is stopped: inside the bounded stop, so a
  // start that never returns does not hold up the caller either.
  std::shared_ptr<BoundedTask> pendingStart;
  {
    std::lock_guard lock(m_mutex);
    pendingStart = std::move(m_pendingOperation);
  }
  auto done = std::make_shared<std::atomic<bool>>(false);
  auto task = std::make_unique<BoundedTask>([reader, capture, done, pendingStart] {
    if (pendingStart) pendingStart->Complete();
    if (reader) {
      try {
        reader->Stop();
      } catch (const PlatformError& e) {
        DebugLog<512>(L"[CameraCapture] FrameReader StopAsync failed: %s\n", e.message().c_str());
      } catch (...) {
        DebugLog<128>(L"[CameraCapture] FrameReader StopAsync failed with unknown error\n");
      }
    }
    if (capture) {
      try {
        capture->Close();
      } catch (const PlatformError& e) {
        DebugLog<512>(L"[CameraCapture] MediaCapture.Close failed: %s\n", e.message().c_str());
      } catch (...) {
        DebugLog<128>(L"[CameraCapture] MediaCapture.Close failed with unknown error\n");
      }
    }
    done->store(true);
  });
  if (!task->WaitFor(m_stopTimeout)) {
    DebugLog<128>(L"[CameraCapture] WARNING: camera stop timed out after %d ms; it goes on in the background\n",
                  static_cast<int>(m_stopTimeout.count()));
    std::lock_guard lock(m_mutex);
    m_pendingOperation = std::move(task);
    m_pendingDone = done;
  }
  m_isPrepared = false;
}

// ---- Frames -------------------------------------------------------------------------------------

void CameraCapture::OnFrameArrived(camera::MediaFrameReader& reader) {
  try {
    FrameCallback callback;
    {
      std::lock_guard lock(m_mutex);
      if (!m_isCapturing || !m_frameCallback) return;
      callback = m_frameCallback;
    }
    auto reference = reader.TryAcquireLatestFrame();
    if (!reference) return;
    auto frame = reference->VideoMediaFrame();
    if (!frame) return;
    const int64_t now = SteadyNowNs();
    if (CopyFrameToTexture(*frame)) {
      ++m_frameCount;
      if (callback && m_frameTexture) callback(*m_frameTexture, ((now - m_startTimeNs) / 1000) * 10);
    } else {
      const int32_t failures = s_copyFailures.Increment();
      if (failures == 1 || failures % 60 == 0) {
        DebugLog<128>(L"[CameraCapture] CopyFrameToTexture failed (count: %d)\n", failures);
      }
    }
  } catch (...) {
    if (LogOnce(s_frameExceptionLogged)) DebugLog<128>(L"[CameraCapture] OnFrameArrived exception\n");
  }
}

bool CameraCapture::CopyFrameToTexture(const camera::VideoMediaFrame& frame) {
  if (!m_device || !m_context) return false;
  const int32_t call = s_copyCalls.Increment();
  const bool verbose = call <= 5 || call % 60 == 0;
  try {
    if (auto bitmap = frame.SoftwareBitmap()) {
      if (CopySoftwareBitmapToTexture(bitmap)) return true;
      if (verbose) DebugLog<128>(L"[CameraCapture] SoftwareBitmap present but copy failed\n");
    }
    if (auto surface = frame.Direct3DSurface()) {
      auto device = surface->GetDevice();
      if (!device) {
        DebugLog<128>(L"[CameraCapture] Failed to get device from source texture\n");
      } else {
        const gpu::TextureDesc desc = surface->GetDesc();
        if (desc.format == gpu::Format::B8G8R8A8_UNORM) {
          if (desc.width != m_width || desc.height != m_height) {
            m_width = desc.width;
            m_height = desc.height;
            if (!EnsureFrameTexture()) return false;
          }
          if (device == m_device) {
            m_context->CopyResource(*m_frameTexture, *surface);
            return true;
          }
          if (CopySurfaceToTexture(*surface, verbose)) return true;
        }
      }
    }
    if (LogOnce(s_nothingUsableLogged)) DebugLog<128>(L"[CameraCapture] No usable SoftwareBitmap or Direct3DSurface\n");
  } catch (const PlatformError& e) {
    if (LogOnce(s_copyErrorLogged)) {
      DebugLog<128>(L"[CameraCapture] CopyFrameToTexture error: 0x%08X\n", HrBits(e.code()));
    }
  } catch (...) {
    if (LogOnce(s_copyUnknownLogged)) DebugLog<128>(L"[CameraCapture] CopyFrameToTexture unknown error\n");
  }
  return false;
}

bool CameraCapture::CopySurfaceToTexture(gpu::Texture2D& source, bool verbose) {
  if (LogOnce(s_mismatchLogged) || verbose) {
    DebugLog<128>(L"[CameraCapture] Device mismatch - using GPU->CPU->GPU path (SLOW)\n");
  }
  const int64_t started = SteadyNowNs();
  auto device = source.GetDevice();
  gpu::TextureDesc desc = source.GetDesc();
  desc.usage = gpu::Usage::Staging;
  desc.cpuAccessFlags = gpu::CPU_ACCESS_READ;
  desc.bindFlags = 0;
  desc.miscFlags = 0;
  std::shared_ptr<gpu::Texture2D> staging;
  if (Failed(device->CreateTexture2D(desc, nullptr, 0, &staging)) || !staging) return false;
  auto context = device->GetImmediateContext();
  if (!context) return false;
  context->CopyResource(*staging, source);
  gpu::MappedSubresource mapped;
  if (Failed(context->Map(*staging, 0, gpu::MapType::Read, 0, &mapped))) return false;
  m_context->UpdateSubresource(*m_frameTexture, 0, nullptr, mapped.data, mapped.rowPitch, 0);
  context->Unmap(*staging, 0);
  if (verbose) {
    DebugLog<128>(L"[CameraCapture] CPU staging path completed - %.2f ms\n",
                  static_cast<double>((SteadyNowNs() - started) / 1000) / 1000.0);
  }
  return true;
}

bool CameraCapture::CopySoftwareBitmapToTexture(const std::shared_ptr<camera::SoftwareBitmap>& bitmap) {
  std::shared_ptr<camera::SoftwareBitmap> bgra = bitmap;
  if (bitmap->PixelFormat() != camera::BitmapPixelFormat::Bgra8 ||
      bitmap->AlphaMode() != camera::BitmapAlphaMode::Premultiplied) {
    bgra = camera::SoftwareBitmap::Convert(*bitmap, camera::BitmapPixelFormat::Bgra8,
                                           camera::BitmapAlphaMode::Premultiplied);
  }
  auto buffer = bgra->LockBuffer(camera::BitmapBufferAccessMode::Read);
  const camera::BitmapPlaneDescription plane = buffer->GetPlaneDescription(0);
  if (plane.Width <= 0 || plane.Height <= 0) return false;
  // A camera that describes its buffer wrongly must not make us read past it.
  const uint64_t rowBytes = uint64_t(plane.Width) * 4;
  if (plane.Stride < 0 || uint64_t(plane.Stride) < rowBytes || plane.StartIndex < 0 ||
      uint64_t(plane.StartIndex) + uint64_t(plane.Stride) * uint64_t(plane.Height - 1) + rowBytes > buffer->Capacity()) {
    return false;
  }
  if (uint32_t(plane.Width) != m_width || uint32_t(plane.Height) != m_height) {
    m_width = uint32_t(plane.Width);
    m_height = uint32_t(plane.Height);
    if (!EnsureFrameTexture()) return false;
  }
  m_context->UpdateSubresource(*m_frameTexture, 0, nullptr, buffer->Data() + plane.StartIndex,
                               static_cast<uint32_t>(plane.Stride), 0);
  return true;
}

}  // namespace kalto
