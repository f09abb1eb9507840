#include "platform/camera/fake/fake_camera.h"

#include <chrono>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace kalto::camera {
namespace {

class FakeVideoFrame : public VideoMediaFrame {
 public:
  FakeVideoFrame(std::shared_ptr<camera::SoftwareBitmap> bitmap, std::shared_ptr<gpu::Texture2D> surface)
      : m_bitmap(std::move(bitmap)), m_surface(std::move(surface)) {}
  std::shared_ptr<camera::SoftwareBitmap> SoftwareBitmap() const override { return m_bitmap; }
  std::shared_ptr<gpu::Texture2D> Direct3DSurface() const override { return m_surface; }

 private:
  std::shared_ptr<camera::SoftwareBitmap> m_bitmap;
  std::shared_ptr<gpu::Texture2D> m_surface;
};

class FakeFrameReference : public MediaFrameReference {
 public:
  explicit FakeFrameReference(std::shared_ptr<camera::VideoMediaFrame> frame) : m_frame(std::move(frame)) {}
  std::shared_ptr<camera::VideoMediaFrame> VideoMediaFrame() const override { return m_frame; }

 private:
  std::shared_ptr<camera::VideoMediaFrame> m_frame;
};

std::shared_ptr<MediaFrameReference> MakeReference(const FakeCameraFrame& frame) {
  if (frame.none) return nullptr;
  if (frame.notVideo) return std::make_shared<FakeFrameReference>(nullptr);
  if (frame.noBitmap) return std::make_shared<FakeFrameReference>(std::make_shared<FakeVideoFrame>(nullptr, nullptr));
  if (frame.surface) {
    return std::make_shared<FakeFrameReference>(std::make_shared<FakeVideoFrame>(nullptr, frame.surface));
  }
  const int32_t bpp = (frame.format == BitmapPixelFormat::Yuy2) ? 2 : (frame.format == BitmapPixelFormat::Nv12 ? 1 : 4);
  const int32_t stride = frame.stride > 0 ? frame.stride : frame.width * bpp;
  const int64_t rows = frame.format == BitmapPixelFormat::Nv12 ? frame.height + (frame.height + 1) / 2 : frame.height;
  const int64_t size = frame.byteCount >= 0 ? frame.byteCount : int64_t(stride) * rows;
  std::vector<uint8_t> bytes(size_t(std::max<int64_t>(size, 0)));
  if (bpp == 4) {
    for (size_t i = 0; i + 4 <= bytes.size(); i += 4) std::memcpy(&bytes[i], &frame.color, 4);
  } else {
    std::memset(bytes.data(), 0x80, bytes.size());
  }
  auto bitmap =
      SoftwareBitmap::CreateWithLayout(frame.format, frame.width, frame.height, frame.alpha, stride, std::move(bytes));
  return std::make_shared<FakeFrameReference>(std::make_shared<FakeVideoFrame>(bitmap, nullptr));
}

class FakeFrameSource : public MediaFrameSource {
 public:
  FakeFrameSource(FakeCameraSystem& system, FakeCameraInfo camera) : m_system(system), m_camera(std::move(camera)) {}
  MediaFrameSourceInfo Info() const override {
    MediaFrameSourceInfo info;
    info.Id = m_camera.id + L"#source";
    info.SourceKind = m_camera.kind;
    if (m_camera.hasDeviceInformation) info.DeviceInformation = DeviceInformation{m_camera.id, m_camera.name};
    return info;
  }
  VideoFormat CurrentFormat() const override {
    std::lock_guard lock(m_mutex);
    return m_camera.current;
  }
  std::vector<VideoFormat> SupportedFormats() const override {
    return m_camera.supported.empty() ? std::vector<VideoFormat>{m_camera.current} : m_camera.supported;
  }
  void SetFormat(const VideoFormat& format) override {
    m_system.Enter(FakeCameraPoint::SetFormat);
    for (const VideoFormat& offered : SupportedFormats()) {
      if (offered == format) {
        std::lock_guard lock(m_mutex);
        m_camera.current = format;
        m_system.NoteFormat(format);
        return;
      }
    }
    throw PlatformError(E_INVALIDARG, "The camera does not offer that format.");
  }

 private:
  FakeCameraSystem& m_system;
  mutable std::mutex m_mutex;
  FakeCameraInfo m_camera;
};

class FakeMediaCapture : public MediaCapture {
 public:
  explicit FakeMediaCapture(std::shared_ptr<FakeCameraSystem> system) : m_system(std::move(system)) {}
  ~FakeMediaCapture() override {
    try {
      Close();
    } catch (...) {
    }
  }

  void Initialize(const MediaCaptureInitializationSettings& settings) override {
    m_system->Enter(FakeCameraPoint::Initialize);
    m_system->NoteSettings(settings);
    for (const FakeCameraInfo& camera : m_system->Cameras()) {
      if (camera.id == settings.SourceGroupId) {
        std::lock_guard lock(m_mutex);
        m_sources = {std::make_shared<FakeFrameSource>(*m_system, camera)};
        if (!m_open) m_system->AdjustOpen(1);
        m_open = true;
        return;
      }
    }
    throw PlatformError(MakeHr(0xC00D36B3u), "The camera is not available.");
  }
  std::vector<std::shared_ptr<MediaFrameSource>> FrameSources() override {
    m_system->Enter(FakeCameraPoint::FrameSources);
    std::lock_guard lock(m_mutex);
    return m_sources;
  }
  std::shared_ptr<MediaFrameReader> CreateFrameReader(const std::shared_ptr<MediaFrameSource>&,
                                                      const std::string& subtype) override {
    m_system->Enter(FakeCameraPoint::CreateFrameReader);
    if (subtype != "BGRA8") throw PlatformError(E_INVALIDARG, "Unsupported subtype.");
    auto reader = std::make_shared<FakeFrameReader>(*m_system);
    m_system->NoteReader(reader);
    return reader;
  }
  void Close() override {
    {
      std::lock_guard lock(m_mutex);
      if (!m_open) return;
      m_open = false;
    }
    m_system->AdjustOpen(-1);
    m_system->Enter(FakeCameraPoint::Close);
  }

 private:
  std::shared_ptr<FakeCameraSystem> m_system;
  std::mutex m_mutex;
  std::vector<std::shared_ptr<MediaFrameSource>> m_sources;
  bool m_open = false;
};

}  // namespace

// ---- Reader -------------------------------------------------------------------------------------

FakeFrameReader::FakeFrameReader(FakeCameraSystem& system) : m_system(system) {
  m_worker = std::thread([this] { Run(); });
}

FakeFrameReader::~FakeFrameReader() {
  {
    std::lock_guard lock(m_mutex);
    m_closing = true;
  }
  m_wake.notify_all();
  m_worker.join();
}

void FakeFrameReader::SetAcquisitionMode(MediaFrameReaderAcquisitionMode mode) {
  std::lock_guard lock(m_mutex);
  m_mode = mode;
}

MediaFrameReaderAcquisitionMode FakeFrameReader::AcquisitionMode() const {
  std::lock_guard lock(m_mutex);
  return m_mode;
}

EventToken FakeFrameReader::AddFrameArrived(FrameArrivedHandler handler) {
  std::lock_guard lock(m_mutex);
  m_handler = std::move(handler);
  return ++m_token;
}

void FakeFrameReader::RemoveFrameArrived(EventToken token) {
  std::unique_lock lock(m_mutex);
  if (token != m_token) return;
  m_handler = nullptr;
  if (std::this_thread::get_id() != m_thread) m_idle.wait(lock, [this] { return !m_inHandler; });
}

std::shared_ptr<MediaFrameReference> FakeFrameReader::TryAcquireLatestFrame() {
  std::lock_guard lock(m_mutex);
  return std::exchange(m_latest, nullptr);
}

MediaFrameReaderStartStatus FakeFrameReader::Start() {
  const MediaFrameReaderStartStatus status = m_system.Enter(FakeCameraPoint::Start);
  if (status == MediaFrameReaderStartStatus::Success) {
    std::lock_guard lock(m_mutex);
    m_started = true;
  }
  return status;
}

void FakeFrameReader::Stop() {
  m_system.Enter(FakeCameraPoint::Stop);
  std::lock_guard lock(m_mutex);
  m_started = false;
}

void FakeFrameReader::Post(const FakeCameraFrame& frame) {
  {
    std::lock_guard lock(m_mutex);
    m_queue.push_back(frame);
    ++m_posted;
  }
  m_wake.notify_all();
}

void FakeFrameReader::Deliver(const FakeCameraFrame& frame) {
  std::unique_lock lock(m_mutex);
  m_queue.push_back(frame);
  const uint64_t ticket = ++m_posted;
  m_wake.notify_all();
  m_idle.wait(lock, [&] { return m_done >= ticket || m_closing; });
}

bool FakeFrameReader::IsStarted() const {
  std::lock_guard lock(m_mutex);
  return m_started;
}

bool FakeFrameReader::HasHandler() const {
  std::lock_guard lock(m_mutex);
  return static_cast<bool>(m_handler);
}

void FakeFrameReader::Run() {
  std::unique_lock lock(m_mutex);
  m_thread = std::this_thread::get_id();
  for (;;) {
    m_wake.wait(lock, [this] { return m_closing || !m_queue.empty(); });
    if (m_closing) break;
    FakeCameraFrame frame = std::move(m_queue.front());
    m_queue.pop_front();
    m_latest = MakeReference(frame);
    FrameArrivedHandler handler = m_handler;
    m_inHandler = true;
    lock.unlock();
    try {
      if (handler) handler(*this);
    } catch (...) {
      // A platform event swallows what its handler throws.
    }
    lock.lock();
    m_inHandler = false;
    ++m_done;
    m_idle.notify_all();
  }
  m_done = m_posted;
  m_idle.notify_all();
}

// ---- System -------------------------------------------------------------------------------------

FakeCameraSystem::FakeCameraSystem() = default;
FakeCameraSystem::~FakeCameraSystem() = default;

void FakeCameraSystem::AddCamera(FakeCameraInfo camera) {
  std::lock_guard lock(m_mutex);
  m_cameras.push_back(std::move(camera));
}

void FakeCameraSystem::SetFault(FakeCameraPoint point, FakeCameraFault fault) {
  std::lock_guard lock(m_mutex);
  m_faults[static_cast<int>(point)] = std::move(fault);
}

void FakeCameraSystem::ClearFaults() {
  std::lock_guard lock(m_mutex);
  for (auto& fault : m_faults) fault = {};
}

void FakeCameraSystem::SetDelayMs(FakeCameraPoint point, int delayMs) {
  std::lock_guard lock(m_mutex);
  m_delays[static_cast<int>(point)] = delayMs;
}

std::shared_ptr<FakeFrameReader> FakeCameraSystem::LastReader() const {
  std::lock_guard lock(m_mutex);
  return m_lastReader.lock();
}

MediaCaptureInitializationSettings FakeCameraSystem::LastSettings() const {
  std::lock_guard lock(m_mutex);
  return m_lastSettings;
}

VideoFormat FakeCameraSystem::LastFormatSet() const {
  std::lock_guard lock(m_mutex);
  return m_lastFormat;
}

int FakeCameraSystem::Calls(FakeCameraPoint point) const {
  std::lock_guard lock(m_mutex);
  return m_calls[static_cast<int>(point)];
}

int FakeCameraSystem::OpenCaptures() const {
  std::lock_guard lock(m_mutex);
  return m_open;
}

MediaFrameReaderStartStatus FakeCameraSystem::Enter(FakeCameraPoint point) {
  FakeCameraFault fault;
  int delay = 0;
  {
    std::lock_guard lock(m_mutex);
    ++m_calls[static_cast<int>(point)];
    fault = m_faults[static_cast<int>(point)];
    delay = m_delays[static_cast<int>(point)];
  }
  if (delay > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delay));
  switch (fault.kind) {
    case FakeCameraFault::Kind::Platform:
      throw PlatformError(fault.code, fault.message);
    case FakeCameraFault::Kind::Standard:
      throw std::runtime_error(fault.message);
    case FakeCameraFault::Kind::Unknown:
      throw 42;
    case FakeCameraFault::Kind::Status:
      return fault.status;
    default:
      return MediaFrameReaderStartStatus::Success;
  }
}

std::vector<FakeCameraInfo> FakeCameraSystem::Cameras() const {
  std::lock_guard lock(m_mutex);
  return m_cameras;
}

void FakeCameraSystem::NoteSettings(const MediaCaptureInitializationSettings& settings) {
  std::lock_guard lock(m_mutex);
  m_lastSettings = settings;
}

void FakeCameraSystem::NoteFormat(const VideoFormat& format) {
  std::lock_guard lock(m_mutex);
  m_lastFormat = format;
}

void FakeCameraSystem::NoteReader(const std::shared_ptr<FakeFrameReader>& reader) {
  std::lock_guard lock(m_mutex);
  m_lastReader = reader;
}

void FakeCameraSystem::AdjustOpen(int delta) {
  std::lock_guard lock(m_mutex);
  m_open += delta;
}

std::vector<MediaFrameSourceGroup> FakeCameraSystem::FindAllSourceGroups() {
  Enter(FakeCameraPoint::FindAll);
  std::vector<MediaFrameSourceGroup> groups;
  for (const FakeCameraInfo& camera : Cameras()) {
    MediaFrameSourceInfo info;
    info.Id = camera.id + L"#source";
    info.SourceKind = camera.kind;
    if (camera.hasDeviceInformation) info.DeviceInformation = DeviceInformation{camera.id, camera.name};
    groups.push_back({camera.id, camera.name, {info}});
  }
  return groups;
}

std::shared_ptr<MediaCapture> FakeCameraSystem::CreateMediaCapture() {
  Enter(FakeCameraPoint::CreateMediaCapture);
  return std::make_shared<FakeMediaCapture>(shared_from_this());
}

bool FakeCameraSystem::AddFileCamera(const std::wstring& id) { return id.rfind(L"file:", 0) == 0; }

}  // namespace kalto::camera
