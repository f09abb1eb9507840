#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "common/bounded_wait.h"
#include "common/frame_callback.h"
#include "platform/camera/camera.h"
#include "platform/gpu/gpu_device.h"

namespace kalto {

// Opens one camera, lands every frame in one BGRA texture on a graphics device of its own and
// calls the frame callback with it on the reader's thread. Two-step start for the recording's
// overlay (prepare, then StartCapturing), one step for the preview (StartAsync).
//
// The platform's start and stop are waited for at most kStartTimeout / kStopTimeout: a camera
// that never answers must not hold up its owner (a recording waiting to be finalised). What is
// still running then is kept in a pending task that this object completes before it lets go of
// the camera; an owner that must not wait for that either keeps the object until
// HasPendingOperation() is false.
//
// Threads: the owner calls Initialize, the open sequences, StartCapturing and Stop from one
// thread at a time; OnFrameArrived runs on the reader's thread.
class CameraCapture {
 public:
  static constexpr std::chrono::milliseconds kStartTimeout{5000};
  static constexpr std::chrono::milliseconds kStopTimeout{500};

  CameraCapture(std::shared_ptr<gpu::DeviceFactory> gpu, std::shared_ptr<camera::CameraSystem> cameras);
  ~CameraCapture();
  CameraCapture(const CameraCapture&) = delete;
  CameraCapture& operator=(const CameraCapture&) = delete;

  // How long the platform's start and stop are waited for (kStartTimeout, kStopTimeout).
  void SetPlatformTimeouts(std::chrono::milliseconds start, std::chrono::milliseconds stop) {
    m_startTimeout = start;
    m_stopTimeout = stop;
  }
  // Written by the owner before Initialize.
  void SetBufferedAcquisition(bool buffered) { m_bufferedAcquisition = buffered; }
  // The steady-clock time (ns) timestamp 0 stands for. Also moves a running camera's origin, so
  // a camera started before its recording shares the recording's origin.
  void SetStartTimeBase(int64_t startTimeNs);

  bool Initialize(const std::wstring& deviceId, uint32_t width, uint32_t height, uint32_t frameRate);
  // Prepare: opens the camera up to a registered, not started reader. Runs to completion on the
  // caller's thread.
  bool InitializeMediaCaptureWithCallbackAsync(FrameCallback callback);
  bool StartCapturing();
  // One step: open and start.
  bool StartAsync(FrameCallback callback);
  void Stop();

  bool IsInitialized() const { return m_isInitialized; }
  bool IsPrepared() const { return m_isPrepared; }
  bool IsCapturing() const { return m_isCapturing; }
  bool UsingWarp() const { return m_usingWarp; }
  bool HasPendingOperation() const;
  std::shared_ptr<gpu::Device> Device() const { return m_device; }
  uint32_t Width() const { return m_width; }
  uint32_t Height() const { return m_height; }
  uint32_t FrameCount() const { return m_frameCount; }

  // The per-process log-thinning counters; tests start from zero.
  static void ResetCountersForTesting();

 private:
  enum class Sequence { Prepare, Start };
  bool CreateDevice();
  bool EnsureFrameTexture();
  bool OpenSequence(Sequence sequence);
  bool SelectSourceGroup(Sequence sequence, camera::MediaFrameSourceGroup* group);
  std::shared_ptr<camera::MediaFrameSource> FindColorFrameSource(Sequence sequence);
  void RequestFormat(camera::MediaFrameSource& source);
  // Starts the reader within kStartTimeout; false (with the status) when it did not.
  bool StartReader(camera::MediaFrameReaderStartStatus* status, bool* timedOut);
  void CompletePendingOperation();
  void OnFrameArrived(camera::MediaFrameReader& reader);
  bool CopyFrameToTexture(const camera::VideoMediaFrame& frame);
  bool CopySoftwareBitmapToTexture(const std::shared_ptr<camera::SoftwareBitmap>& bitmap);
  bool CopySurfaceToTexture(gpu::Texture2D& source, bool verbose);

  std::shared_ptr<gpu::DeviceFactory> m_gpu;
  std::shared_ptr<camera::CameraSystem> m_cameras;

  std::shared_ptr<gpu::Device> m_device;
  std::shared_ptr<gpu::DeviceContext> m_context;
  std::shared_ptr<gpu::Texture2D> m_frameTexture;
  std::shared_ptr<camera::MediaCapture> m_mediaCapture;
  std::shared_ptr<camera::MediaFrameReader> m_frameReader;
  camera::EventToken m_frameArrivedToken = 0;
  std::atomic<bool> m_isCapturing{false};
  std::atomic<bool> m_isInitialized{false};
  std::atomic<bool> m_isPrepared{false};
  // Written by the reader's thread when the camera changes size; read by the owner.
  std::atomic<uint32_t> m_width{0};
  std::atomic<uint32_t> m_height{0};
  uint32_t m_frameRate = 30;
  std::wstring m_deviceId;
  bool m_usingWarp = false;
  bool m_bufferedAcquisition = false;
  FrameCallback m_frameCallback;
  std::atomic<int64_t> m_startTimeNs{0};
  int64_t m_startTimeBaseNs = 0;
  bool m_hasStartTimeBase = false;
  std::atomic<uint32_t> m_frameCount{0};
  std::chrono::milliseconds m_startTimeout = kStartTimeout;
  std::chrono::milliseconds m_stopTimeout = kStopTimeout;
  mutable std::mutex m_mutex;
  // A platform start or stop that outlived its wait.
  std::unique_ptr<BoundedTask> m_pendingOperation;
  std::shared_ptr<std::atomic<bool>> m_pendingDone;
};

}  // namespace kalto
