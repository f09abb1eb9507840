#pragma once
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "audio/audio_capture.h"
#include "camera/camera_capture.h"
#include "camera/camera_compositor.h"
#include "capture/screen_capture.h"
#include "common/bounded_wait.h"
#include "encoding/encoder.h"
#include "focus/focus_zoom_manager.h"
#include "platform/abi/async_operation.h"
#include "platform/abi/event.h"
#include "platform/platform.h"
#include "recorder/camera_overlay_config.h"
#include "camera/background_effect_processor.h"
#include "recorder/focus_zoom_settings.h"
#include "recorder/recording_config.h"
#include "recorder/recording_progress.h"

namespace kalto {

// Live audio levels for meters: RMS and peak (0 to 1) of the last mixed chunk of each source.
struct AudioLevels {
  bool active = false;  // an audio capture is running
  float microphone = 0, system = 0;
  float microphonePeak = 0, systemPeak = 0;
};

// The recording state machine: prepare (optional), start, pause/resume, stop. Owns one screen
// capture, one encoder and (when sound is asked for) one audio capture per prepare or start,
// routes captured frames and audio into the encoder and reports progress once per second. A
// camera bubble can be drawn into the frames (the camera overlay).
//
// Threads: application threads call the public operations; the asynchronous ones run their
// bodies, in call order, on this object's operation thread (their events are raised there, and
// so are Warning and the ErrorOccurred of a recording that fails while it runs). Stop and
// CancelPrepared first let every operation asked for before them finish, so they act on what
// the application saw last. No event is raised while a lock of the recorder is held: handlers
// may call Stop or CancelPrepared. Frames arrive on the capture's delivery thread, audio on the
// audio output thread; progress is raised on the progress thread.
// Do not destroy the recorder from one of its own event or completion handlers.
class NativeRecorder {
 public:
  using AsyncBool = std::shared_ptr<abi::AsyncOperationBool>;

  explicit NativeRecorder(std::shared_ptr<platform::Platform> platform = platform::DefaultPlatform());
  ~NativeRecorder();
  NativeRecorder(const NativeRecorder&) = delete;
  NativeRecorder& operator=(const NativeRecorder&) = delete;

  // The configuration is kept (not copied): the prepared start reads it again.
  AsyncBool PrepareAsync(std::shared_ptr<RecordingConfig> config);
  AsyncBool StartPreparedAsync();
  void CancelPrepared();
  AsyncBool StartAsync(std::shared_ptr<RecordingConfig> config);
  // Blocks until the file is finalised; does nothing unless recording.
  void Stop();
  void Pause();
  void Resume();
  // Clamped to [0, 2]; live during a recording, ignored while there is no audio capture. Non-finite
  // values are ignored. Safe beside a Stop that destroys the capture.
  void SetMicrophoneVolume(double volume);
  void SetSystemAudioVolume(double volume);
  AudioLevels GetAudioLevels() const;
  // What the next progress event would say, now (zeros when not recording).
  RecordingProgress CurrentProgress() const;
  // Video frames the encoder took since the recording started.
  int64_t FramesWritten() const { return m_framesWritten; }
  struct AudioVolumeState {
    bool present = false;  // an audio capture exists
    double microphone = 0, system = 0;
  };
  AudioVolumeState AudioVolumes() const;

  bool IsPrepared() const { return m_isPrepared; }
  bool IsRecording() const { return m_isRecording; }
  bool IsPaused() const { return m_isPaused; }
  double DurationSeconds() const;
  int64_t DurationMicroseconds() const;
  std::wstring OutputPath() const;
  // 100-ns units; what the camera overlay subtracts from camera timestamps.
  int64_t CameraSyncDelay() const { return m_cameraSyncDelay; }

  abi::Event<NativeRecorder&, std::nullptr_t>& Started() { return m_started; }
  abi::Event<NativeRecorder&, std::wstring>& Stopped() { return m_stopped; }
  abi::Event<NativeRecorder&, std::wstring>& ErrorOccurred() { return m_errorOccurred; }
  abi::Event<NativeRecorder&, RecordingProgress>& ProgressChanged() { return m_progressChanged; }
  abi::Event<NativeRecorder&, bool>& CursorFocusChanged() { return m_cursorFocusChanged; }
  // Something the user should know that does not end the recording (a recorded window closed,
  // a sound source lost or back). A recording that cannot go on raises ErrorOccurred instead and
  // stops itself, with its file finalised up to the fault.
  abi::Event<NativeRecorder&, std::wstring>& Warning() { return m_warning; }

  // Crop in the captured monitor's pixels, passed to the capture as given; nothing before a
  // prepare or start.
  void SetCropRegion(const RegionRect& rect);
  // Only while recording, and only a change of state raises CursorFocusChanged.
  void ToggleCursorFocus(bool active);
  bool IsCursorFocusActive() const { return m_isCursorFocusActive; }
  // Kept as given; the running focus-zoom manager receives it with fallbacks for the factors.
  void SetFocusZoomSettings(const FocusZoomSettings& settings);
  // The short extra zoom around the cursor, while recording.
  void RecenterCursorFocus();
  // The crop callbacks' log numbering is process-wide; tests start from zero.
  static void ResetCropCallbackCountersForTesting();

  // ---- Camera overlay ----
  // Stored for the next set-up; a change while the overlay runs moves and restyles the bubble.
  // Non-finite values are ignored; the rectangle is kept within the frame.
  void SetCameraOverlayConfig(const CameraOverlayConfig& config);
  void SetCameraOverlayRect(double x, double y, double width, double height);
  bool IsCameraOverlayActive() const { return m_overlayActive; }
  void SetOverlayPreviewForwardEnabled(bool enabled);
  // Builds the overlay for a prepared recording before it starts.
  AsyncBool PrepareCameraOverlayAsync();
  // Switches the running bubble's background effect at once (a host's live switch) and stores it
  // for the next set-up; without a running bubble it only stores it.
  void UpdateCameraOverlayEffect(const BackgroundEffectConfig& effect);
  // ---- Camera preview (independent of recording) ----
  // Opens `deviceId` and delivers every frame, through `effect` when its mode is not 0, as a
  // PreviewFrameArrived bitmap. Completes true at once while a preview runs; sizes must be within
  // 1..8192. The open runs on the operation thread, so the caller never waits for it.
  AsyncBool StartCameraPreviewAsync(std::wstring deviceId, int32_t width, int32_t height, int32_t frameRate,
                                    BackgroundEffectConfig effect);
  // Stops a running preview and cancels one still opening. PreviewFrameArrived handlers may call
  // the other preview operations, but must not stop the preview synchronously.
  void StopCameraPreview();
  void UpdatePreviewBackgroundEffect(const BackgroundEffectConfig& effect);
  bool IsCameraPreviewActive() const { return m_previewActive; }
  // Whether the segmentation model loads; checked once, or answered by the preview's processor.
  bool IsMLModelAvailable();
  int64_t PreviewEffectFrameCounter() const { return 0; }
  // What the preview's effect runs at, for a host's status line: the segmentation interval and
  // the load tier (0 without an effect or without a load monitor).
  struct PreviewEffectState {
    int32_t interval = 0;
    int32_t tier = 0;
  };
  PreviewEffectState GetPreviewEffectState();
  // Loads the inference runtime and the model once, so the first effect starts fast.
  static void PreWarmMLModel(std::shared_ptr<inference::Runtime> runtime = nullptr);
  // Finds the encoder's input format ahead of the first recording.
  static void PreWarmEncoder();
  // Starts the media library for the process, then pre-warms the encoder.
  static void InitializeMediaFoundation();
  // True when a hardware H.264 encoder that takes device surfaces has its device on this machine.
  static bool IsHardwareEncoderAvailable();

  // Kept only; the overlay takes its effect from SetCameraOverlayConfig.
  void SetBackgroundEffect(const BackgroundEffectConfig& config);
  CompositorParams CameraOverlayParams() const;
  // The overlay's camera frames for the application's bubble, at most one per 33 ms, raised on
  // the camera's thread.
  abi::Event<NativeRecorder&, std::shared_ptr<camera::SoftwareBitmap>>& PreviewFrameArrived() {
    return m_previewFrameArrived;
  }

  // now + delta in nanoseconds, the largest Int64 instead of overflowing.
  static int64_t SaturatingDeadlineNs(int64_t nowNs, int64_t deltaNs);

 private:
  enum class SetupFailure { None, ScreenCapture, Encoder };
  enum class Mode { Prepare, Start };

  AsyncBool Enqueue(std::function<bool()> body);
  void OperationLoop();
  // Waits for every operation queued before the call (not on the operation thread itself).
  void WaitForEarlierOperations();

  // m_stateMutex held; the events queued while it is held are raised, in order, once it is
  // released.
  class StateLock {
   public:
    explicit StateLock(NativeRecorder& recorder);
    ~StateLock();
    StateLock(const StateLock&) = delete;
    StateLock& operator=(const StateLock&) = delete;

   private:
    NativeRecorder& m_recorder;
    std::unique_lock<std::mutex> m_lock;
  };
  // Only under a StateLock.
  void DeferEvent(std::function<void()> raise);

  bool PrepareBody(const std::shared_ptr<RecordingConfig>& config);
  bool StartPreparedBody();
  bool StartBody(const std::shared_ptr<RecordingConfig>& config);
  bool StartBodyLocked(const std::shared_ptr<RecordingConfig>& config);
  SetupFailure SetupComponents(const RecordingConfigValues& config, Mode mode);
  void ResetRecordingState(const RecordingConfigValues& config);
  void StartProgressThread();
  void CompletePendingProgressJoin();
  void CancelPreparedLocked();
  void StopLocked();
  void WaitForInFlightCallbacksDrain();
  // Under a StateLock: ErrorOccurred once the lock is released.
  void RaiseError(const std::wstring& message);
  // From any thread: the running recording cannot go on. ErrorOccurred and a Stop follow on the
  // operation thread, once per recording.
  void FailRecording(const std::wstring& message);
  std::wstring TakePendingFailure();
  // From any thread: Warning on the operation thread.
  void RaiseWarning(const std::wstring& message);
  void OnCaptureEnded(screen::CaptureEnd reason);
  void CheckWriterFailure();
  // The recording's time now (or at the pause), on the media timeline (100-ns units).
  int64_t RecordedTimeHns(int64_t steadyNs) const;
  // Writes the last picture again at `timestampHns` when that is at least `minGapHns` after the
  // last frame, so a still screen still fills the timeline.
  void HoldLastFrame(int64_t timestampHns, int64_t minGapHns);

  void SetupAudio(const RecordingConfigValues& config, Mode mode);
  // Swap under their mutexes: Pause, Resume, SetCropRegion and the volume setters use them from
  // application threads while a stop or a new start replaces them.
  void ReplaceScreenCapture(std::unique_ptr<ScreenCapture> next);
  void ReplaceAudioCapture(std::unique_ptr<AudioCapture> next);
  void StartAudioCapture();

  void OnVideoFrame(gpu::Texture2D& texture, int64_t timestamp);
  void OnAudioData(const uint8_t* data, uint32_t byteCount, int64_t timestamp, int64_t duration);
  FocusCallback MakeCropCallback(Mode mode);
  void OnCropRect(const FocusRect& rect, Mode mode);
  // Switches cursor focus off and stops the manager's thread; the manager itself stays.
  void StopFocusZoom();
  void DestroyFocusZoom();
  void ProgressLoop();

  // Camera overlay (native_recorder_camera.cpp).
  bool PrepareCameraOverlayBody();
  // Set-up steps; false leaves no overlay (and tears down what was built).
  bool SetupCameraOverlay();
  bool SetupCameraOverlaySteps();
  // Frees nothing a camera callback can use until none runs; a camera whose platform stop is
  // still pending is kept aside instead of being waited for.
  void TeardownCameraOverlay();
  // Camera preview (native_recorder_preview.cpp).
  bool StartCameraPreviewBody(const std::wstring& deviceId, int32_t width, int32_t height, int32_t frameRate,
                              const BackgroundEffectConfig& effect, uint64_t generation);
  void OnPreviewFrame(gpu::Texture2D& texture);
  // Under m_previewMutex.
  std::shared_ptr<camera::SoftwareBitmap> ConvertTextureToSoftwareBitmap(gpu::Texture2D& texture);
  std::unique_ptr<BackgroundEffectProcessor> MakePreviewEffect(const std::shared_ptr<gpu::Device>& device,
                                                               uint32_t width, uint32_t height,
                                                               const BackgroundEffectConfig& effect);
  // A processor for the bubble on the camera's device, configured; null when it cannot start.
  std::unique_ptr<BackgroundEffectProcessor> MakeOverlayEffect(const std::shared_ptr<gpu::Device>& device, uint32_t width,
                                                               uint32_t height, BackgroundEffectConfig effect);
  void ReleaseOverlayCamera();
  void OnRecordingCameraFrame(gpu::Texture2D& texture, int64_t timestamp);
  void ForwardOverlayPreview(gpu::Texture2D& frame);
  // On the video path with m_videoMutex held: the frame with the bubble drawn in, or `frame`.
  // Keeps the screen's picture for the camera to draw on while the screen is still.
  gpu::Texture2D* CompositeCameraOverlay(gpu::Texture2D& frame);
  // From the camera's thread: a still screen sends no frames, but the bubble on it is live.
  void RefreshStillScreen();

  std::shared_ptr<platform::Platform> m_platform;

  // Declared before the capture so the capture (and its delivery thread) goes first.
  std::unique_ptr<Encoder> m_encoder;
  std::unique_ptr<ScreenCapture> m_screenCapture;
  std::mutex m_captureMutex;
  // After the encoder, so it (and its output thread) goes before the encoder.
  std::unique_ptr<AudioCapture> m_audioCapture;
  mutable std::mutex m_audioMutex;

  std::atomic<bool> m_isRecording{false};
  std::atomic<bool> m_isPaused{false};
  std::atomic<bool> m_isCursorFocusActive{false};
  std::atomic<bool> m_isPrepared{false};
  std::atomic<bool> m_isShuttingDown{false};

  mutable std::mutex m_outputPathMutex;
  std::wstring m_outputPath;
  std::shared_ptr<RecordingConfig> m_preparedConfig;
  int32_t m_monitorOriginX = 0;
  int32_t m_monitorOriginY = 0;

  // Read by the progress thread and the frame path while the application pauses and resumes.
  std::atomic<int64_t> m_startTimeNs{0};
  std::atomic<int64_t> m_pauseStartNs{0};
  std::atomic<int64_t> m_pausedTotalUs{0};
  std::atomic<int64_t> m_elapsedAtPauseUs{0};
  std::atomic<int64_t> m_framesWritten{0};
  std::atomic<int32_t> m_droppedFrames{0};
  std::atomic<int64_t> m_lastVideoTimestamp{0};
  std::atomic<int64_t> m_lastAudioTimestamp{0};
  // Rebased time of the last frame offered to the encoder; kNoFrame before the first.
  static constexpr int64_t kNoFrame = INT64_MIN;
  // How long a still screen goes without a frame in the file.
  static constexpr int64_t kHoldIntervalHns = 10'000'000;
  std::atomic<int64_t> m_lastEncodedTimestamp{kNoFrame};
  // Serialises the video path: capture frames (from two threads) and held frames.
  std::mutex m_videoMutex;
  // Numbers recordings, so a failure posted by one never stops the next.
  std::atomic<uint64_t> m_recordingId{0};
  std::atomic<bool> m_failureReported{false};
  // The failure's message until it is raised, by its own stop or by one that came first.
  std::mutex m_failureMutex;
  std::wstring m_pendingFailure;
  // Pause and Resume change several values that must agree.
  std::mutex m_pauseMutex;

  std::thread m_progressThread;
  std::atomic<bool> m_progressRunning{false};
  std::mutex m_progressMutex;
  std::condition_variable m_progressWake;
  // A progress join that outlived Stop's 200 ms; completed before the next start or destruction.
  std::unique_ptr<BoundedTask> m_progressJoin;

  std::atomic<int64_t> m_sessionStartNs{0};
  std::atomic<bool> m_hasSessionStart{false};
  std::atomic<int64_t> m_cameraSyncDelay{1'000'000};
  std::atomic<int32_t> m_inFlightCallbacks{0};
  std::mutex m_stateMutex;
  std::vector<std::function<void()>> m_deferredEvents;  // under m_stateMutex

  abi::Event<NativeRecorder&, std::nullptr_t> m_started;
  abi::Event<NativeRecorder&, std::wstring> m_stopped;
  abi::Event<NativeRecorder&, std::wstring> m_errorOccurred;
  abi::Event<NativeRecorder&, RecordingProgress> m_progressChanged;
  abi::Event<NativeRecorder&, bool> m_cursorFocusChanged;
  abi::Event<NativeRecorder&, std::wstring> m_warning;
  abi::Event<NativeRecorder&, std::shared_ptr<camera::SoftwareBitmap>> m_previewFrameArrived;

  // Camera overlay. The configuration and drawing parameters are guarded by m_overlayMutex; the
  // pipeline objects are built and released by the operation thread while no callback uses them
  // (set-up before the camera starts, tear-down after it stopped, and under m_videoMutex against
  // the video path).
  std::atomic<bool> m_overlayRequested{false};
  std::atomic<bool> m_overlayActive{false};
  std::atomic<bool> m_previewForwardEnabled{true};
  mutable std::mutex m_overlayMutex;
  std::wstring m_overlayDeviceId;
  int32_t m_overlayFrameRate = 30;
  BackgroundEffectConfig m_overlayEffect;
  BackgroundEffectConfig m_backgroundEffect;
  CompositorParams m_overlayParams;
  std::unique_ptr<CameraCapture> m_overlayCamera;
  // The bubble's background effect: made by the set-up (or a live switch), used on the camera
  // thread and destroyed by the tear-down, each only under m_overlayEffectMutex.
  std::mutex m_overlayEffectMutex;
  std::unique_ptr<BackgroundEffectProcessor> m_overlayEffectProcessor;
  std::unique_ptr<CameraCompositor> m_compositor;
  std::shared_ptr<gpu::Texture2D> m_overlaySharedTexture;
  std::shared_ptr<gpu::KeyedMutex> m_overlayKeyedMutex;
  std::shared_ptr<gpu::Texture2D> m_cameraSharedTexture;
  std::shared_ptr<gpu::KeyedMutex> m_cameraKeyedMutex;
  std::shared_ptr<gpu::Texture2D> m_overlayCameraTexture;
  std::shared_ptr<gpu::DeviceContext> m_cameraContext;
  std::shared_ptr<gpu::DeviceContext> m_screenContext;
  std::shared_ptr<gpu::Texture2D> m_previewForwardStaging;  // camera thread once running
  std::shared_ptr<gpu::Texture2D> m_lastScreenFrame;  // under m_videoMutex
  std::atomic<int64_t> m_lastPreviewForwardNs{0};
  std::atomic<uint32_t> m_overlayCameraWidth{0};
  std::atomic<uint32_t> m_overlayCameraHeight{0};
  std::atomic<bool> m_hasCameraFrame{false};
  std::atomic<int64_t> m_lastCameraTimestamp{0};
  std::atomic<int64_t> m_lastCompositedTimestamp{0};
  // The camera preview. m_previewMutex guards the members below it and is held only for short
  // steps: a camera is never opened, stopped or destroyed under it, since its frame callback takes
  // it. m_previewGeneration counts stops, so a start still opening sees a stop that came after it.
  std::mutex m_previewMutex;
  std::unique_ptr<CameraCapture> m_previewCamera;
  std::unique_ptr<BackgroundEffectProcessor> m_previewEffectProcessor;
  std::shared_ptr<gpu::Texture2D> m_previewStaging;
  int32_t m_previewWidth = 0;
  int32_t m_previewHeight = 0;
  std::atomic<bool> m_previewActive{false};
  std::atomic<uint64_t> m_previewGeneration{0};
  // The preview processor's model flag, readable without the lock; -1 while there is none.
  std::atomic<int> m_previewEffectModel{-1};
  std::atomic<bool> m_mlChecked{false};
  std::atomic<bool> m_mlAvailable{false};

  // Cameras whose platform stop outlived its wait: completed later, never in a Stop's way.
  std::vector<std::unique_ptr<CameraCapture>> m_retiredCameras;

  // Guards the focus-zoom manager's replacement against the application's focus calls. Declared
  // late so the manager (whose thread calls into this object) is destroyed before the rest.
  std::mutex m_focusMutex;
  FocusZoomSettings m_focusZoomSettings;
  std::unique_ptr<FocusZoomManager> m_focusZoomManager;

  // The operation thread: runs queued async bodies in call order.
  struct Operation {
    AsyncBool operation;
    std::function<bool()> body;
  };
  std::mutex m_operationMutex;
  std::condition_variable m_operationWake;
  std::deque<Operation> m_operations;
  bool m_operationsClosed = false;
  uint64_t m_operationsQueued = 0;  // ever, under m_operationMutex
  uint64_t m_operationsDone = 0;
  std::condition_variable m_operationDone;
  std::thread m_operationThread;  // last: started once everything it uses exists
};

}  // namespace kalto
