#pragma once
// A scripted camera system. Tests list cameras, script the frames a started reader delivers (on
// the reader's own thread, as the platform does) and switch on a failure at any call.
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "platform/camera/camera.h"

namespace kalto::camera {

enum class FakeCameraPoint {
  FindAll,
  CreateMediaCapture,
  Initialize,
  FrameSources,
  SetFormat,
  CreateFrameReader,
  Start,  // a Result fault gives the start status instead of throwing
  Stop,
  Close,
  Count
};

// How a switched-on failure shows itself: a platform error with a code, a standard exception, an
// exception of no known kind, or (Start only) a start status.
struct FakeCameraFault {
  enum class Kind { None, Platform, Standard, Unknown, Status };
  Kind kind = Kind::None;
  HRESULT code = E_FAIL;
  std::string message = "Fake camera failure";
  MediaFrameReaderStartStatus status = MediaFrameReaderStartStatus::UnknownFailure;
};

struct FakeCameraInfo {
  std::wstring id;
  std::wstring name;
  MediaFrameSourceKind kind = MediaFrameSourceKind::Color;
  bool hasDeviceInformation = true;
  VideoFormat current{640, 480, "YUY2", 30, 1};
  std::vector<VideoFormat> supported;  // empty: only the current one
};

// One scripted frame. A Bgra8 premultiplied bitmap filled with `color` (B, G, R, A in memory
// order) unless the layout fields say otherwise; `surface` replaces the bitmap with a texture.
struct FakeCameraFrame {
  int32_t width = 640;
  int32_t height = 480;
  uint32_t color = 0xFF336699;  // little-endian BGRA: B=0x99, G=0x66, R=0x33, A=0xFF
  BitmapPixelFormat format = BitmapPixelFormat::Bgra8;
  BitmapAlphaMode alpha = BitmapAlphaMode::Premultiplied;
  int32_t stride = 0;      // 0: width x bytes per pixel
  int64_t byteCount = -1;  // -1: what the stride and height need
  bool none = false;       // the event fires but TryAcquireLatestFrame finds nothing
  bool notVideo = false;   // a frame without a video part
  bool noBitmap = false;   // a video frame with neither bitmap nor surface
  std::shared_ptr<gpu::Texture2D> surface;
};

class FakeCameraSystem;

class FakeFrameReader : public MediaFrameReader {
 public:
  explicit FakeFrameReader(FakeCameraSystem& system);
  ~FakeFrameReader() override;

  void SetAcquisitionMode(MediaFrameReaderAcquisitionMode mode) override;
  MediaFrameReaderAcquisitionMode AcquisitionMode() const override;
  EventToken AddFrameArrived(FrameArrivedHandler handler) override;
  void RemoveFrameArrived(EventToken token) override;
  std::shared_ptr<MediaFrameReference> TryAcquireLatestFrame() override;
  MediaFrameReaderStartStatus Start() override;
  void Stop() override;

  // Raises FrameArrived with `frame` on the reader's thread, started or not (a platform may send
  // frames early); Deliver waits until the handlers returned, Post does not.
  void Deliver(const FakeCameraFrame& frame);
  void Post(const FakeCameraFrame& frame);
  bool IsStarted() const;
  bool HasHandler() const;

 private:
  void Run();

  FakeCameraSystem& m_system;
  mutable std::mutex m_mutex;
  std::condition_variable m_wake;
  std::condition_variable m_idle;
  std::deque<FakeCameraFrame> m_queue;
  std::shared_ptr<MediaFrameReference> m_latest;
  FrameArrivedHandler m_handler;
  EventToken m_token = 0;
  bool m_inHandler = false;
  std::thread::id m_thread;
  bool m_started = false;
  bool m_closing = false;
  uint64_t m_posted = 0, m_done = 0;
  MediaFrameReaderAcquisitionMode m_mode = MediaFrameReaderAcquisitionMode::Realtime;
  std::thread m_worker;
};

class FakeCameraSystem : public CameraSystem, public std::enable_shared_from_this<FakeCameraSystem> {
 public:
  FakeCameraSystem();
  ~FakeCameraSystem() override;

  void AddCamera(FakeCameraInfo camera);
  void SetFault(FakeCameraPoint point, FakeCameraFault fault);
  void ClearFaults();
  // Start / Stop / Close block this long first (a camera that hangs).
  void SetDelayMs(FakeCameraPoint point, int delayMs);

  // The reader most recently created, null before.
  std::shared_ptr<FakeFrameReader> LastReader() const;
  // The settings of the last Initialize and the format set last, for what a test cannot see
  // otherwise.
  MediaCaptureInitializationSettings LastSettings() const;
  VideoFormat LastFormatSet() const;
  int Calls(FakeCameraPoint point) const;
  int OpenCaptures() const;

  std::vector<MediaFrameSourceGroup> FindAllSourceGroups() override;
  std::shared_ptr<MediaCapture> CreateMediaCapture() override;
  bool AddFileCamera(const std::wstring& id) override;

  // For the fakes' own objects: counts the call, sleeps its delay and raises its fault.
  // Returns the Status fault's status for Start, Success otherwise.
  MediaFrameReaderStartStatus Enter(FakeCameraPoint point);
  std::vector<FakeCameraInfo> Cameras() const;
  void NoteSettings(const MediaCaptureInitializationSettings& settings);
  void NoteFormat(const VideoFormat& format);
  void NoteReader(const std::shared_ptr<FakeFrameReader>& reader);
  void AdjustOpen(int delta);

 private:
  mutable std::mutex m_mutex;
  std::vector<FakeCameraInfo> m_cameras;
  FakeCameraFault m_faults[static_cast<int>(FakeCameraPoint::Count)];
  int m_delays[static_cast<int>(FakeCameraPoint::Count)] = {};
  int m_calls[static_cast<int>(FakeCameraPoint::Count)] = {};
  std::weak_ptr<FakeFrameReader> m_lastReader;
  MediaCaptureInitializationSettings m_lastSettings;
  VideoFormat m_lastFormat;
  int m_open = 0;
};

}  // namespace kalto::camera
