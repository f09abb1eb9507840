#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "platform/camera/linux/source_device.h"
#include "platform/camera/linux/v4l2_kernel.h"

namespace kalto::camera::linuxcam {

// A device node streams to one reader at a time, so the captures of one camera share its single
// stream: each started handle gets every frame (the same immutable bitmap), and the device stops
// with the last handle's Stop and closes with the last Close.
class SharedDevice : public std::enable_shared_from_this<SharedDevice> {
 public:
  explicit SharedDevice(std::shared_ptr<SourceDevice> device) : m_device(std::move(device)) {}
  const std::shared_ptr<SourceDevice>& Device() const { return m_device; }

  void Open() {
    std::lock_guard control(m_control);
    if (Opens() == 0) m_device->Open();
    std::lock_guard lock(m_mutex);
    ++m_opens;
  }

  void Close() {
    {
      std::lock_guard lock(m_mutex);
      if (m_opens == 0 || --m_opens > 0) return;
    }
    // From the stream thread the device only asks its stream to end, and keeps its descriptor.
    if (OnDispatcher()) return m_device->Close();
    std::lock_guard control(m_control);
    if (Opens() == 0) m_device->Close();
  }

  void SetFormat(const VideoFormat& format) {
    std::lock_guard control(m_control);
    m_device->SetFormat(format);
  }

  MediaFrameReaderStartStatus Start(int handle, SourceDevice::FrameSink frames, SourceDevice::EndedSink ended) {
    if (OnDispatcher()) return MediaFrameReaderStartStatus::UnknownFailure;
    std::lock_guard control(m_control);
    {
      std::lock_guard lock(m_mutex);
      m_readers[handle] = std::make_shared<Reader>(Reader{std::move(frames), std::move(ended)});
      if (m_streaming) return MediaFrameReaderStartStatus::Success;
    }
    const std::weak_ptr<SharedDevice> weak = weak_from_this();
    const auto status = m_device->Start(
        [weak](std::shared_ptr<SoftwareBitmap> frame, int64_t timeNs) {
          if (auto self = weak.lock()) self->OnFrame(frame, timeNs);
        },
        [weak] {
          if (auto self = weak.lock()) self->OnEnded();
        });
    std::lock_guard lock(m_mutex);
    if (status == MediaFrameReaderStartStatus::Success) {
      m_streaming = true;
    } else {
      m_readers.erase(handle);
    }
    return status;
  }

  void Stop(int handle) {
    bool last = false;
    const bool dispatcher = OnDispatcher();
    {
      std::unique_lock lock(m_mutex);
      if (m_readers.erase(handle) == 0) return;
      // Frames for this handle end here: wait out one being delivered, unless it is ours.
      if (!dispatcher) m_idle.wait(lock, [&] { return m_delivering != handle; });
      last = m_readers.empty() && m_streaming;
      if (last) m_streaming = false;
    }
    if (!last) return;
    if (dispatcher) {
      m_device->Stop();  // only asks: the frame in hand is the last
      return;
    }
    std::lock_guard control(m_control);
    m_device->Stop();
  }

 private:
  struct Reader {
    SourceDevice::FrameSink frames;
    SourceDevice::EndedSink ended;
  };

  bool OnDispatcher() const {
    std::lock_guard lock(m_mutex);
    return m_dispatcher == std::this_thread::get_id();
  }

  int Opens() const {
    std::lock_guard lock(m_mutex);
    return m_opens;
  }

  // The device's thread.
  void OnFrame(const std::shared_ptr<SoftwareBitmap>& frame, int64_t timeNs) {
    std::map<int, std::shared_ptr<Reader>> readers;
    {
      std::lock_guard lock(m_mutex);
      readers = m_readers;
      m_dispatcher = std::this_thread::get_id();
    }
    for (const auto& [handle, reader] : readers) {
      {
        std::lock_guard lock(m_mutex);
        if (m_readers.count(handle) == 0) continue;  // stopped by an earlier reader's handler
        m_delivering = handle;
      }
      reader->frames(frame, timeNs);
      {
        std::lock_guard lock(m_mutex);
        m_delivering = 0;
      }
      m_idle.notify_all();
    }
    std::lock_guard lock(m_mutex);
    m_dispatcher = std::thread::id();
  }

  void OnEnded() {
    std::map<int, std::shared_ptr<Reader>> readers;
    {
      std::lock_guard lock(m_mutex);
      readers.swap(m_readers);
      m_streaming = false;
      m_dispatcher = std::this_thread::get_id();
    }
    for (const auto& entry : readers) entry.second->ended();
    std::lock_guard lock(m_mutex);
    m_dispatcher = std::thread::id();
  }

  const std::shared_ptr<SourceDevice> m_device;
  std::mutex m_control;  // Open, Close, SetFormat, Start and Stop; never taken by the stream thread
  mutable std::mutex m_mutex;
  std::condition_variable m_idle;
  std::map<int, std::shared_ptr<Reader>> m_readers;
  bool m_streaming = false;
  int m_opens = 0;
  int m_delivering = 0;
  std::thread::id m_dispatcher;
};

namespace {

class SharedHandle final : public SourceDevice {
 public:
  explicit SharedHandle(std::shared_ptr<SharedDevice> hub) : m_hub(std::move(hub)) {
    static std::atomic<int> lastHandle{0};
    m_handle = ++lastHandle;
  }
  ~SharedHandle() override { Close(); }

  std::wstring Id() const override { return m_hub->Device()->Id(); }
  std::wstring Name() const override { return m_hub->Device()->Name(); }
  void Open() override {
    if (m_open.exchange(true)) return;
    try {
      m_hub->Open();
    } catch (...) {
      m_open = false;
      throw;
    }
  }
  std::vector<VideoFormat> SupportedFormats() override { return m_hub->Device()->SupportedFormats(); }
  VideoFormat CurrentFormat() override { return m_hub->Device()->CurrentFormat(); }
  void SetFormat(const VideoFormat& format) override { m_hub->SetFormat(format); }
  MediaFrameReaderStartStatus Start(FrameSink frames, EndedSink ended) override {
    if (!m_open) return MediaFrameReaderStartStatus::DeviceNotAvailable;
    return m_hub->Start(m_handle, std::move(frames), std::move(ended));
  }
  void Stop() override { m_hub->Stop(m_handle); }
  void Close() override {
    Stop();
    if (m_open.exchange(false)) m_hub->Close();
  }

 private:
  const std::shared_ptr<SharedDevice> m_hub;
  int m_handle = 0;
  std::atomic<bool> m_open{false};
};

}  // namespace

std::shared_ptr<SharedDevice> MakeSharedDevice(std::shared_ptr<SourceDevice> device) {
  return std::make_shared<SharedDevice>(std::move(device));
}

std::shared_ptr<SourceDevice> MakeSharedHandle(std::shared_ptr<SharedDevice> hub) {
  return std::make_shared<SharedHandle>(std::move(hub));
}

}  // namespace kalto::camera::linuxcam
