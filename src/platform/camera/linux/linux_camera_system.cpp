#include "platform/camera/linux/linux_camera_system.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "common/debug_output.h"
#include "platform/camera/linux/source_device.h"
#include "platform/camera/linux/v4l2_device.h"

namespace kalto::camera::linuxcam {
namespace {

constexpr std::wstring_view kSyntheticId = L"synthetic:";
constexpr std::wstring_view kSyntheticName = L"Synthetic camera";
constexpr std::wstring_view kFilePrefix = L"file:";
// Buffered readers keep a few frames for a consumer that falls behind for a moment; older ones go.
constexpr size_t kBufferedFrames = 3;

MediaFrameSourceGroup GroupOf(std::wstring id, std::wstring name) {
  MediaFrameSourceInfo info;
  info.Id = id;
  info.SourceKind = MediaFrameSourceKind::Color;
  info.DeviceInformation = DeviceInformation{id, name};
  return {std::move(id), std::move(name), {std::move(info)}};
}

// "/dev/video10" after "/dev/video2": by the node's number, then by name.
std::pair<uint64_t, std::string> NodeOrder(const std::string& path) {
  const size_t digits = path.find_last_not_of("0123456789") + 1;
  if (digits >= path.size() || path.size() - digits > 9) return {UINT64_MAX, path};
  return {std::stoull(path.substr(digits)), path};
}

class BitmapFrame final : public VideoMediaFrame, public MediaFrameReference,
                          public std::enable_shared_from_this<BitmapFrame> {
 public:
  explicit BitmapFrame(std::shared_ptr<camera::SoftwareBitmap> bitmap) : m_bitmap(std::move(bitmap)) {}
  std::shared_ptr<camera::SoftwareBitmap> SoftwareBitmap() const override { return m_bitmap; }
  std::shared_ptr<gpu::Texture2D> Direct3DSurface() const override { return nullptr; }
  std::shared_ptr<camera::VideoMediaFrame> VideoMediaFrame() const override {
    return std::const_pointer_cast<BitmapFrame>(shared_from_this());
  }

 private:
  std::shared_ptr<camera::SoftwareBitmap> m_bitmap;
};

class LinuxFrameReader final : public MediaFrameReader, public std::enable_shared_from_this<LinuxFrameReader> {
 public:
  explicit LinuxFrameReader(std::shared_ptr<SourceDevice> device) : m_device(std::move(device)) {}
  ~LinuxFrameReader() override { Stop(); }

  void SetAcquisitionMode(MediaFrameReaderAcquisitionMode mode) override {
    std::lock_guard lock(m_mutex);
    m_mode = mode;
  }

  MediaFrameReaderAcquisitionMode AcquisitionMode() const override {
    std::lock_guard lock(m_mutex);
    return m_mode;
  }

  EventToken AddFrameArrived(FrameArrivedHandler handler) override {
    std::lock_guard lock(m_mutex);
    const EventToken token = ++m_lastToken;
    m_handlers.emplace(token, std::make_shared<FrameArrivedHandler>(std::move(handler)));
    return token;
  }

  void RemoveFrameArrived(EventToken token) override {
    std::unique_lock lock(m_mutex);
    m_handlers.erase(token);
    // Handlers run one at a time on the device's thread: from there, none other is running.
    if (m_dispatcher == std::this_thread::get_id()) return;
    m_idle.wait(lock, [&] { return m_running != token; });
  }

  std::shared_ptr<MediaFrameReference> TryAcquireLatestFrame() override {
    std::lock_guard lock(m_mutex);
    if (m_frames.empty()) return nullptr;
    std::shared_ptr<SoftwareBitmap> bitmap;
    if (m_mode == MediaFrameReaderAcquisitionMode::Realtime) {
      bitmap = std::move(m_frames.back());
      m_frames.clear();
    } else {
      bitmap = std::move(m_frames.front());
      m_frames.pop_front();
    }
    return std::make_shared<BitmapFrame>(std::move(bitmap));
  }

  MediaFrameReaderStartStatus Start() override {
    std::lock_guard control(m_control);
    if (m_started) return MediaFrameReaderStartStatus::Success;
    const std::weak_ptr<LinuxFrameReader> weak = weak_from_this();
    const auto status = m_device->Start(
        [weak](std::shared_ptr<SoftwareBitmap> frame, int64_t) {
          if (auto self = weak.lock()) self->OnFrame(std::move(frame));
        },
        [weak] {
          if (auto self = weak.lock()) self->m_started = false;
        });
    m_started = status == MediaFrameReaderStartStatus::Success;
    if (m_started) m_ownsStream = true;
    return status;
  }

  void Stop() override {
    m_started = false;
    // Another reader of the same device may be the one streaming.
    if (!m_ownsStream.exchange(false)) return;
    if (OnDispatcher()) {
      m_device->Stop();  // only asks: the frame in hand is the last
      return;
    }
    std::lock_guard control(m_control);
    m_device->Stop();
  }

 private:
  bool OnDispatcher() const {
    std::lock_guard lock(m_mutex);
    return m_dispatcher == std::this_thread::get_id();
  }

  // The device's thread.
  void OnFrame(std::shared_ptr<SoftwareBitmap> frame) {
    std::vector<std::pair<EventToken, std::shared_ptr<FrameArrivedHandler>>> handlers;
    {
      std::lock_guard lock(m_mutex);
      if (m_mode == MediaFrameReaderAcquisitionMode::Realtime) m_frames.clear();
      m_frames.push_back(std::move(frame));
      while (m_frames.size() > kBufferedFrames) m_frames.pop_front();
      handlers.assign(m_handlers.begin(), m_handlers.end());
      m_dispatcher = std::this_thread::get_id();
    }
    for (const auto& [token, handler] : handlers) {
      {
        std::lock_guard lock(m_mutex);
        if (m_handlers.count(token) == 0) continue;  // removed by an earlier handler
        m_running = token;
      }
      try {
        (*handler)(*this);
      } catch (...) {
        // A handler's failure is its own; the others still hear of the frame.
      }
      {
        std::lock_guard lock(m_mutex);
        m_running = 0;
      }
      m_idle.notify_all();
    }
    std::lock_guard lock(m_mutex);
    m_dispatcher = std::thread::id();
  }

  const std::shared_ptr<SourceDevice> m_device;
  std::mutex m_control;  // Start and Stop from the owner's threads
  std::atomic<bool> m_started{false};     // frames flow (an unplug clears it)
  std::atomic<bool> m_ownsStream{false};  // this reader started the device and has not stopped it
  mutable std::mutex m_mutex;
  std::condition_variable m_idle;
  MediaFrameReaderAcquisitionMode m_mode = MediaFrameReaderAcquisitionMode::Realtime;
  std::deque<std::shared_ptr<SoftwareBitmap>> m_frames;
  std::map<EventToken, std::shared_ptr<FrameArrivedHandler>> m_handlers;
  EventToken m_lastToken = 0;
  EventToken m_running = 0;
  std::thread::id m_dispatcher;
};

class LinuxFrameSource final : public MediaFrameSource {
 public:
  LinuxFrameSource(std::shared_ptr<SourceDevice> device, MediaFrameSourceInfo info)
      : m_device(std::move(device)), m_info(std::move(info)) {}
  MediaFrameSourceInfo Info() const override { return m_info; }
  VideoFormat CurrentFormat() const override { return m_device->CurrentFormat(); }
  std::vector<VideoFormat> SupportedFormats() const override { return m_device->SupportedFormats(); }
  void SetFormat(const VideoFormat& format) override { m_device->SetFormat(format); }
  const std::shared_ptr<SourceDevice>& Device() const { return m_device; }

 private:
  std::shared_ptr<SourceDevice> m_device;
  MediaFrameSourceInfo m_info;
};

class LinuxCameraSystem;

class LinuxMediaCapture final : public MediaCapture {
 public:
  explicit LinuxMediaCapture(std::shared_ptr<LinuxCameraSystem> system) : m_system(std::move(system)) {}
  ~LinuxMediaCapture() override { Close(); }

  void Initialize(const MediaCaptureInitializationSettings& settings) override;

  std::vector<std::shared_ptr<MediaFrameSource>> FrameSources() override {
    std::lock_guard lock(m_mutex);
    if (!m_source) return {};
    return {m_source};
  }

  std::shared_ptr<MediaFrameReader> CreateFrameReader(const std::shared_ptr<MediaFrameSource>& source,
                                                      const std::string& subtype) override {
    std::string upper = subtype;
    std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return std::toupper(c); });
    std::lock_guard lock(m_mutex);
    if (!m_source || source != m_source) {
      throw PlatformError(E_INVALIDARG, "The frame source does not belong to this media capture");
    }
    if (upper != "BGRA8") {
      throw PlatformError(MF_E_INVALIDMEDIATYPE, "A frame reader converts to BGRA8 only, not to " + subtype);
    }
    auto reader = std::make_shared<LinuxFrameReader>(m_source->Device());
    m_readers.push_back(reader);
    return reader;
  }

  void Close() override {
    std::vector<std::weak_ptr<LinuxFrameReader>> readers;
    std::shared_ptr<LinuxFrameSource> source;
    {
      std::lock_guard lock(m_mutex);
      readers.swap(m_readers);
      source = std::move(m_source);
      m_closed = true;
    }
    for (const auto& weak : readers) {
      if (auto reader = weak.lock()) reader->Stop();
    }
    if (source) source->Device()->Close();
  }

 private:
  const std::shared_ptr<LinuxCameraSystem> m_system;
  std::mutex m_mutex;
  bool m_closed = false;
  std::shared_ptr<LinuxFrameSource> m_source;
  std::vector<std::weak_ptr<LinuxFrameReader>> m_readers;
};

class LinuxCameraSystem final : public CameraSystem, public std::enable_shared_from_this<LinuxCameraSystem> {
 public:
  explicit LinuxCameraSystem(std::shared_ptr<V4l2Kernel> kernel) : m_kernel(std::move(kernel)) {}

  std::vector<MediaFrameSourceGroup> FindAllSourceGroups() override {
    auto paths = m_kernel->ListDevices();
    std::sort(paths.begin(), paths.end(),
              [](const std::string& a, const std::string& b) { return NodeOrder(a) < NodeOrder(b); });
    std::vector<MediaFrameSourceGroup> groups;
    for (const std::string& path : paths) {
      if (auto card = ProbeV4l2Capture(*m_kernel, path)) groups.push_back(GroupOf(Utf8ToWide(path), Utf8ToWide(*card)));
    }
    groups.push_back(GroupOf(std::wstring(kSyntheticId), std::wstring(kSyntheticName)));
    std::lock_guard lock(m_mutex);
    for (const auto& [id, name] : m_files) groups.push_back(GroupOf(id, name));
    return groups;
  }

  std::shared_ptr<MediaCapture> CreateMediaCapture() override {
    return std::make_shared<LinuxMediaCapture>(shared_from_this());
  }

  bool AddFileCamera(const std::wstring& id) override {
    if (!id.starts_with(kFilePrefix)) return false;
    auto device = MakeFileDevice(id);
    if (!device) return false;
    std::lock_guard lock(m_mutex);
    const bool known = std::any_of(m_files.begin(), m_files.end(), [&](const auto& file) { return file.first == id; });
    if (!known) m_files.emplace_back(id, device->Name());
    return true;
  }

  // An opened device for the group, with its source info. Throws PlatformError.
  std::pair<std::shared_ptr<SourceDevice>, MediaFrameSourceInfo> OpenGroup(const std::wstring& groupId) {
    std::shared_ptr<SourceDevice> device;
    if (groupId == kSyntheticId) {
      device = MakeSyntheticDevice();
    } else if (groupId.starts_with(kFilePrefix)) {
      if (KnownFile(groupId) && !(device = MakeFileDevice(groupId))) {
        throw PlatformError(MF_E_VIDEO_RECORDING_DEVICE_INVALIDATED,
                            "The camera file " + WideToUtf8(groupId) + " can no longer be read");
      }
    } else {
      const std::string path = WideToUtf8(groupId);
      const auto paths = m_kernel->ListDevices();
      if (std::find(paths.begin(), paths.end(), path) != paths.end()) device = MakeSharedHandle(SharedNode(path));
    }
    if (!device) throw PlatformError(E_INVALIDARG, "No camera has the source group id " + WideToUtf8(groupId));
    device->Open();
    return {device, GroupOf(device->Id(), device->Name()).SourceInfos.front()};
  }

 private:
  // The node's stream is shared by every capture that has it open: a second open of its own
  // could not stream while the first does.
  std::shared_ptr<SharedDevice> SharedNode(const std::string& path) {
    std::lock_guard lock(m_mutex);
    std::erase_if(m_nodes, [](const auto& node) { return node.second.expired(); });
    std::weak_ptr<SharedDevice>& node = m_nodes[path];
    auto device = node.lock();
    if (!device) node = device = MakeSharedDevice(MakeV4l2Device(m_kernel, path));
    return device;
  }

  bool KnownFile(const std::wstring& id) {
    std::lock_guard lock(m_mutex);
    return std::any_of(m_files.begin(), m_files.end(), [&](const auto& file) { return file.first == id; });
  }

  const std::shared_ptr<V4l2Kernel> m_kernel;
  std::mutex m_mutex;
  std::vector<std::pair<std::wstring, std::wstring>> m_files;  // id, name
  std::map<std::string, std::weak_ptr<SharedDevice>> m_nodes;
};

void LinuxMediaCapture::Initialize(const MediaCaptureInitializationSettings& settings) {
  {
    std::lock_guard lock(m_mutex);
    if (m_closed) throw PlatformError(RO_E_CLOSED, "The media capture is closed");
    if (m_source) throw PlatformError(E_ILLEGAL_METHOD_CALL, "The media capture is already initialized");
  }
  auto [device, info] = m_system->OpenGroup(settings.SourceGroupId);
  std::lock_guard lock(m_mutex);
  if (m_closed || m_source) {
    device->Close();
    throw PlatformError(E_ILLEGAL_METHOD_CALL, "The media capture was closed or initialized meanwhile");
  }
  m_source = std::make_shared<LinuxFrameSource>(std::move(device), std::move(info));
}

}  // namespace

std::shared_ptr<CameraSystem> MakeLinuxCameraSystem(std::shared_ptr<V4l2Kernel> kernel) {
  return std::make_shared<LinuxCameraSystem>(std::move(kernel));
}

}  // namespace kalto::camera::linuxcam
