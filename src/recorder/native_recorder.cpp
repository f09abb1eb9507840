#include "recorder/native_recorder.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <exception>
#include <limits>
#include <utility>

#include "common/counters.h"
#include "common/debug_output.h"
#include "common/steady_clock.h"

namespace kalto {

namespace {

using namespace std::chrono_literals;

int32_t MapProfile(int32_t profile) { return (profile >= 0 && profile <= 2) ? profile : Encoder::kProfileMain; }

bool AudioRequested(const RecordingConfigValues& config) {
  return config.CaptureMicrophone || config.CaptureSystemAudio;
}

}  // namespace

NativeRecorder::NativeRecorder(std::shared_ptr<platform::Platform> platform)
    : m_platform(std::move(platform)), m_operationThread([this] { OperationLoop(); }) {}

NativeRecorder::~NativeRecorder() {
  {
    std::lock_guard lock(m_operationMutex);
    m_operationsClosed = true;
  }
  m_operationWake.notify_all();
  if (m_operationThread.joinable()) m_operationThread.join();
  try {
    Stop();
  } catch (...) {
  }
  StopCameraPreview();
  // A prepared overlay's camera runs until its recording starts or is cancelled.
  TeardownCameraOverlay();
  m_retiredCameras.clear();
  CompletePendingProgressJoin();
  if (m_progressThread.joinable()) {
    {
      std::lock_guard lock(m_progressMutex);
      m_progressRunning = false;
    }
    m_progressWake.notify_all();
    m_progressThread.join();
  }
}

// ---- Operation thread ---------------------------------------------------------------------------

NativeRecorder::AsyncBool NativeRecorder::Enqueue(std::function<bool()> body) {
  auto operation = abi::AsyncOperationBool::Create();
  {
    std::lock_guard lock(m_operationMutex);
    if (!m_operationsClosed) {
      m_operations.push_back({operation, std::move(body)});
      ++m_operationsQueued;
      m_operationWake.notify_one();
      return operation;
    }
  }
  operation->Complete(false);
  return operation;
}

void NativeRecorder::OperationLoop() {
  for (;;) {
    Operation next;
    {
      std::unique_lock lock(m_operationMutex);
      m_operationWake.wait(lock, [this] { return m_operationsClosed || !m_operations.empty(); });
      if (m_operations.empty()) return;
      next = std::move(m_operations.front());
      m_operations.pop_front();
      if (m_operationsClosed) {
        // The recorder is going away: operations not yet begun end without running.
        lock.unlock();
        next.operation->Complete(false);
        lock.lock();
        ++m_operationsDone;
        m_operationDone.notify_all();
        continue;
      }
    }
    bool result = false;
    try {
      result = next.body();
    } catch (...) {
      // Bodies catch their own failures; this keeps the thread alive regardless.
      result = false;
    }
    next.operation->Complete(result);
    {
      std::lock_guard lock(m_operationMutex);
      ++m_operationsDone;
    }
    m_operationDone.notify_all();
  }
}

void NativeRecorder::WaitForEarlierOperations() {
  // On the operation thread (a handler of an event an operation raised) the running operation
  // is the caller itself.
  if (std::this_thread::get_id() == m_operationThread.get_id()) return;
  std::unique_lock lock(m_operationMutex);
  const uint64_t target = m_operationsQueued;
  m_operationDone.wait(lock, [&] { return m_operationsDone >= target; });
}

NativeRecorder::StateLock::StateLock(NativeRecorder& recorder)
    : m_recorder(recorder), m_lock(recorder.m_stateMutex) {}

NativeRecorder::StateLock::~StateLock() {
  std::vector<std::function<void()>> events;
  events.swap(m_recorder.m_deferredEvents);
  m_lock.unlock();
  for (auto& raise : events) {
    try {
      raise();
    } catch (...) {
      // Handler failures stay with the handler.
    }
  }
}

void NativeRecorder::DeferEvent(std::function<void()> raise) { m_deferredEvents.push_back(std::move(raise)); }

NativeRecorder::AsyncBool NativeRecorder::PrepareAsync(std::shared_ptr<RecordingConfig> config) {
  return Enqueue([this, config = std::move(config)] { return PrepareBody(config); });
}

NativeRecorder::AsyncBool NativeRecorder::StartPreparedAsync() {
  return Enqueue([this] { return StartPreparedBody(); });
}

NativeRecorder::AsyncBool NativeRecorder::StartAsync(std::shared_ptr<RecordingConfig> config) {
  return Enqueue([this, config = std::move(config)] { return StartBody(config); });
}

// ---- Setup --------------------------------------------------------------------------------------

NativeRecorder::SetupFailure NativeRecorder::SetupComponents(const RecordingConfigValues& config, Mode mode) {
  {
    std::lock_guard lock(m_outputPathMutex);
    m_outputPath = config.OutputPath;
  }

  ReplaceScreenCapture(nullptr);
  // Set up before it is published: application calls (SetCropRegion, Pause) may reach it as soon
  // as it is.
  auto capture = std::make_unique<ScreenCapture>(m_platform);
  capture->SetCaptureCursor(config.CaptureCursor);
  // Changes faster than the requested rate would only be skipped by the frame pacing: not
  // grabbing them saves a full-frame copy each.
  if (config.FrameRate > 0) capture->SetMinUpdateInterval(std::chrono::nanoseconds(1'000'000'000LL / config.FrameRate));
  bool initialized = false;
  if (capture->HasDevice()) {
    switch (config.CaptureMode) {
      case 0:
      case 2:
        initialized = capture->InitializeForMonitor(config.MonitorHandle);
        break;
      case 1:
        initialized = capture->InitializeForWindow(config.WindowHandle);
        break;
      default:
        break;
    }
  }
  ReplaceScreenCapture(std::move(capture));
  if (!initialized) return SetupFailure::ScreenCapture;

  int32_t captureWidth = m_screenCapture->GetWidth();
  int32_t captureHeight = m_screenCapture->GetHeight();
  desktop::MonitorInfo info;
  if (m_platform && m_platform->desktop && m_platform->desktop->GetMonitorInfo(config.MonitorHandle, &info)) {
    m_monitorOriginX = info.monitor.left;
    m_monitorOriginY = info.monitor.top;
  } else {
    m_monitorOriginX = 0;
    m_monitorOriginY = 0;
  }

  if (config.CaptureMode == 2 && config.CropRegion.Width > 0 && config.CropRegion.Height > 0) {
    const RegionRect& crop = config.CropRegion;
    m_screenCapture->SetCropRegion(crop.X, crop.Y, crop.Width, crop.Height);
    captureWidth = crop.Width;
    captureHeight = crop.Height;
  }

  const int32_t outputWidth = config.OutputWidth > 0 ? config.OutputWidth : captureWidth;
  const int32_t outputHeight = config.OutputHeight > 0 ? config.OutputHeight : captureHeight;
  {
    std::lock_guard focusLock(m_focusMutex);
    m_focusZoomManager.reset();
    m_focusZoomManager = std::make_unique<FocusZoomManager>(m_platform ? m_platform->desktop : nullptr);
    m_focusZoomManager->Configure(m_monitorOriginX, m_monitorOriginY, captureWidth, captureHeight, outputWidth,
                                  outputHeight, WithFallbacks(config.FocusZoom));
    m_focusZoomManager->SetCallback(MakeCropCallback(mode));
    if (mode == Mode::Start) m_focusZoomManager->Start();
  }

  const bool hasAudio = AudioRequested(config);
  m_encoder.reset();
  m_encoder = std::make_unique<Encoder>(m_platform);
  if (!m_encoder->Initialize(config.OutputPath, static_cast<uint32_t>(outputWidth),
                             static_cast<uint32_t>(outputHeight), static_cast<uint32_t>(config.FrameRate),
                             static_cast<uint32_t>(config.VideoBitrate), static_cast<uint32_t>(config.AudioSampleRate),
                             static_cast<uint32_t>(config.AudioChannels), static_cast<uint32_t>(config.AudioBitrate),
                             hasAudio, MapProfile(config.VideoProfile), static_cast<uint32_t>(config.QualityVsSpeed),
                             config.UseCabac, static_cast<uint32_t>(config.BFrameCount),
                             static_cast<uint32_t>(config.KeyframeIntervalSeconds))) {
    return SetupFailure::Encoder;
  }

  if (AudioRequested(config)) {
    SetupAudio(config, mode);
  } else {
    // A capture left from an earlier prepare would otherwise start with this recording.
    ReplaceAudioCapture(nullptr);
  }
  return SetupFailure::None;
}

void NativeRecorder::SetupAudio(const RecordingConfigValues& config, Mode mode) {
  auto system = m_platform ? m_platform->audio : nullptr;
  const auto micMode = static_cast<uint32_t>(config.MicrophoneMode);
  const auto level = static_cast<uint32_t>(config.NoiseSuppressionLevel);
  const auto rate = static_cast<uint32_t>(config.AudioSampleRate);
  const auto channels = static_cast<uint32_t>(config.AudioChannels);
  auto initialize = [&](AudioCapture& capture, bool systemAudio) {
    return capture.Initialize(systemAudio, config.CaptureMicrophone, config.MicrophoneDeviceId, rate, channels,
                              config.NoiseSuppressionEnabled, micMode, level);
  };

  if (!system) {
    // A platform without sound: the same outcome as endpoints that fail to open.
    ReplaceAudioCapture(nullptr);
    DebugLog<128>(mode == Mode::Prepare ? L"[NativeRecorder] PrepareAsync: WARNING - Audio capture init failed\n"
                                        : L"[NativeRecorder] WARNING: Audio capture initialization failed!\n");
    return;
  }
  ReplaceAudioCapture(std::make_unique<AudioCapture>(system));
  bool initialized = false;
  if (mode == Mode::Prepare) {
    initialized = initialize(*m_audioCapture, config.CaptureSystemAudio);
    if (!initialized) {
      DebugLog<128>(L"[NativeRecorder] PrepareAsync: WARNING - Audio capture init failed\n");
      return;  // a prepared recording applies the settings only to a working capture
    }
  } else {
    bool done = false;
    if (config.CaptureMode == 1 && config.CaptureWindowProcessAudioOnly && config.CaptureSystemAudio) {
      const uint32_t pid = (m_platform && m_platform->desktop)
                               ? m_platform->desktop->GetWindowProcessId(config.WindowHandle)
                               : 0;
      if (pid == 0) {
        DebugLog<128>(L"[NativeRecorder] Could not get process ID, falling back to system audio\n");
      } else if (initialize(*m_audioCapture, false)) {
        if (m_audioCapture->InitializeProcessLoopback(pid)) {
          done = initialized = true;
        } else {
          DebugLog<128>(L"[NativeRecorder] Process loopback failed, falling back to system audio\n");
          ReplaceAudioCapture(std::make_unique<AudioCapture>(system));
          done = initialized = initialize(*m_audioCapture, config.CaptureSystemAudio);
        }
      }
    }
    if (!done) {
      initialized = initialize(*m_audioCapture, config.CaptureSystemAudio);
      if (!initialized) DebugLog<128>(L"[NativeRecorder] WARNING: Audio capture initialization failed!\n");
    }
  }

  // A source that goes away and comes back is the user's to know; the recording goes on.
  m_audioCapture->SetSourceStateCallback(
      [this](AudioSource, bool, const std::wstring& message) { RaiseWarning(message); });
  m_audioCapture->SetMicVolume(std::clamp(config.MicrophoneVolume, 0.0, 2.0));
  m_audioCapture->SetSystemVolume(std::clamp(config.SystemAudioVolume, 0.0, 2.0));
  m_audioCapture->SetDucking(config.DuckingEnabled, std::clamp(config.DuckingLevelDb, -24.0, 0.0));
  m_audioCapture->SetAudioProcessing(config.AgcMinGain, config.AgcMaxGain, config.AgcTargetLevel,
                                     config.VoiceProcessingGain, config.NoiseSuppressionGain, config.LimiterThreshold,
                                     config.LimiterKnee, config.LimiterRatio, config.GainSmoothing);
}

void NativeRecorder::ReplaceScreenCapture(std::unique_ptr<ScreenCapture> next) {
  std::unique_ptr<ScreenCapture> previous;
  {
    std::lock_guard lock(m_captureMutex);
    previous = std::move(m_screenCapture);
    m_screenCapture = std::move(next);
  }
}

void NativeRecorder::ReplaceAudioCapture(std::unique_ptr<AudioCapture> next) {
  std::unique_ptr<AudioCapture> previous;
  {
    std::lock_guard lock(m_audioMutex);
    previous = std::move(m_audioCapture);
    m_audioCapture = std::move(next);
  }
  // Destroyed outside the lock: its threads are joined here.
}

void NativeRecorder::StartAudioCapture() {
  if (m_audioCapture) {
    m_audioCapture->Start([this](const uint8_t* data, uint32_t byteCount, int64_t timestamp, int64_t duration) {
      OnAudioData(data, byteCount, timestamp, duration);
    });
  }
}

void NativeRecorder::SetMicrophoneVolume(double volume) {
  // A NaN gain would stay NaN through the smoothing and spoil the rest of the recording.
  if (!std::isfinite(volume)) return;
  std::lock_guard lock(m_audioMutex);
  if (m_audioCapture) m_audioCapture->SetMicVolume(std::clamp(volume, 0.0, 2.0));
}

void NativeRecorder::SetSystemAudioVolume(double volume) {
  if (!std::isfinite(volume)) return;
  std::lock_guard lock(m_audioMutex);
  if (m_audioCapture) m_audioCapture->SetSystemVolume(std::clamp(volume, 0.0, 2.0));
}

RecordingProgress NativeRecorder::CurrentProgress() const {
  return RecordingProgress::FromDuration(DurationSeconds(), m_framesWritten, m_droppedFrames);
}

NativeRecorder::AudioVolumeState NativeRecorder::AudioVolumes() const {
  std::lock_guard lock(m_audioMutex);
  if (!m_audioCapture) return {};
  return {true, m_audioCapture->GetMicVolume(), m_audioCapture->GetSystemVolume()};
}

AudioLevels NativeRecorder::GetAudioLevels() const {
  std::lock_guard lock(m_audioMutex);
  AudioLevels levels;
  if (m_audioCapture) {
    levels.active = m_audioCapture->IsRunning();
    levels.microphone = m_audioCapture->GetMicLevel();
    levels.system = m_audioCapture->GetSystemLevel();
    levels.microphonePeak = m_audioCapture->GetMicPeak();
    levels.systemPeak = m_audioCapture->GetSystemPeak();
  }
  return levels;
}

bool NativeRecorder::PrepareBody(const std::shared_ptr<RecordingConfig>& config) {
  // Held throughout: a CancelPrepared or Stop must not release components while they are built.
  StateLock lock(*this);
  try {
    if (m_isRecording || m_isPrepared) return false;
    m_isShuttingDown = false;
    if (!config) throw std::invalid_argument("null configuration");
    const RecordingConfigValues values = config->Snapshot();
    switch (SetupComponents(values, Mode::Prepare)) {
      case SetupFailure::ScreenCapture:
        DebugLog<128>(L"[NativeRecorder] PrepareAsync: Failed to initialize screen capture\n");
        return false;
      case SetupFailure::Encoder:
        DebugLog<128>(L"[NativeRecorder] PrepareAsync: Failed to initialize encoder\n");
        return false;
      case SetupFailure::None:
        break;
    }
    m_preparedConfig = config;
    m_isPrepared = true;
    return true;
  } catch (const std::exception& e) {
    DebugLog<512>(L"[NativeRecorder] PrepareAsync exception: %s\n", e.what());
  } catch (...) {
    DebugLog<128>(L"[NativeRecorder] PrepareAsync unknown exception\n");
  }
  CancelPreparedLocked();
  return false;
}

// ---- Start --------------------------------------------------------------------------------------

void NativeRecorder::ResetRecordingState(const RecordingConfigValues& config) {
  m_startTimeNs = SteadyNowNs();
  m_framesWritten = 0;
  m_droppedFrames = 0;
  m_lastVideoTimestamp = 0;
  m_lastAudioTimestamp = 0;
  m_lastEncodedTimestamp = kNoFrame;
  m_pausedTotalUs = 0;
  m_elapsedAtPauseUs = 0;

  m_sessionStartNs = SteadyNowNs();
  m_hasSessionStart = true;
  ++m_recordingId;
  m_failureReported = false;
  TakePendingFailure();
  if (m_screenCapture) m_screenCapture->SetStartTimeBase(m_sessionStartNs);
  if (m_audioCapture) m_audioCapture->SetStartTimeBase(m_sessionStartNs);

  const int64_t delayMs = config.CameraSyncDelayMs < 1 ? 100 : config.CameraSyncDelayMs;
  m_cameraSyncDelay = delayMs * 10000;
  m_lastCameraTimestamp = 0;
  m_lastCompositedTimestamp = 0;
}

void NativeRecorder::CompletePendingProgressJoin() {
  if (m_progressJoin) {
    m_progressJoin->Complete();
    m_progressJoin.reset();
  }
}

void NativeRecorder::StartProgressThread() {
  // A join left pending by a Stop must finish before the thread object is reused.
  CompletePendingProgressJoin();
  if (m_progressThread.joinable()) m_progressThread.join();
  m_progressRunning = true;
  m_progressThread = std::thread([this] { ProgressLoop(); });
}

bool NativeRecorder::StartBody(const std::shared_ptr<RecordingConfig>& config) {
  StateLock lock(*this);
  if (m_isRecording) return false;
  m_isShuttingDown = false;
  try {
    return StartBodyLocked(config);
  } catch (const std::exception& e) {
    DebugLog<512>(L"[NativeRecorder] Exception: %s\n", e.what());
    RaiseError(Utf8ToWide(e.what()));
  } catch (...) {
    DebugLog<128>(L"[NativeRecorder] Unknown exception\n");
    RaiseError(L"Unknown error occurred");
  }
  return false;
}

bool NativeRecorder::StartBodyLocked(const std::shared_ptr<RecordingConfig>& config) {
  if (!config) throw std::invalid_argument("null configuration");
  const RecordingConfigValues values = config->Snapshot();
  switch (SetupComponents(values, Mode::Start)) {
    case SetupFailure::ScreenCapture:
      DebugLog<128>(L"[NativeRecorder] Failed to initialize screen capture\n");
      RaiseError(L"Failed to initialize screen capture");
      return false;
    case SetupFailure::Encoder:
      DebugLog<128>(L"[NativeRecorder] Failed to initialize encoder\n");
      RaiseError(L"Failed to initialize encoder");
      return false;
    case SetupFailure::None:
      break;
  }
  ResetRecordingState(values);
  // An overlay built for a prepared recording sits on that recording's screen device, which the
  // set-up above replaced.
  if (m_overlayActive) TeardownCameraOverlay();
  // Without it the recording goes on without a bubble.
  if (m_overlayRequested) SetupCameraOverlay();
  // Recording before the capture starts: the screen as it stands comes at once, and a still
  // screen sends nothing after it.
  m_isRecording = true;
  m_isPaused = false;
  m_screenCapture->SetEndedCallback([this](screen::CaptureEnd reason) { OnCaptureEnded(reason); });
  if (!m_screenCapture->Start([this](gpu::Texture2D& texture, int64_t timestamp) { OnVideoFrame(texture, timestamp); })) {
    m_isRecording = false;
    TeardownCameraOverlay();  // its camera would run on with no recording
    DebugLog<128>(L"[NativeRecorder] Failed to start screen capture\n");
    RaiseError(L"Failed to start screen capture");
    return false;
  }
  StartAudioCapture();
  StartProgressThread();
  DeferEvent([this] { m_started.Raise(*this, nullptr); });
  return true;
}

bool NativeRecorder::StartPreparedBody() {
  // Held throughout: a Stop or CancelPrepared waits until the components are running or back
  // to prepared.
  StateLock lock(*this);
  try {
    if (!m_isPrepared) {
      DebugLog<128>(L"[NativeRecorder] StartPreparedAsync: Not prepared - call PrepareAsync first\n");
      RaiseError(L"Prepared recording could not start because recorder is not prepared");
      return false;
    }
    if (m_isRecording) {
      DebugLog<128>(L"[NativeRecorder] StartPreparedAsync: Already recording\n");
      RaiseError(L"Prepared recording could not start because recording is already active");
      return false;
    }
    {
      std::lock_guard focusLock(m_focusMutex);
      if (m_focusZoomManager) m_focusZoomManager->Start();
    }
    std::shared_ptr<RecordingConfig> config = m_preparedConfig;
    const RecordingConfigValues values = config ? config->Snapshot() : RecordingConfigValues{};
    ResetRecordingState(values);
    if (m_overlayRequested && !m_overlayActive) SetupCameraOverlay();
    if (m_overlayCamera) {
      // A camera started while preparing shares the recording's time origin from now on.
      m_overlayCamera->SetStartTimeBase(m_sessionStartNs);
      m_hasCameraFrame = false;
      m_lastCameraTimestamp = 0;
      m_lastCompositedTimestamp = 0;
    }
    m_isRecording = true;
    m_isPaused = false;
    std::wstring reason;
    bool started = false;
    if (!m_screenCapture) {
      DebugLog<128>(L"[NativeRecorder] StartPreparedAsync: ScreenCapture is null\n");
      reason = L"ScreenCapture is null";
    } else {
      m_screenCapture->SetEndedCallback([this](screen::CaptureEnd reason) { OnCaptureEnded(reason); });
      started = m_screenCapture->Start(
          [this](gpu::Texture2D& texture, int64_t timestamp) { OnVideoFrame(texture, timestamp); });
      if (!started) {
        reason = m_screenCapture->GetLastErrorText();
        if (reason.empty()) reason = L"Unknown screen capture start failure";
      }
    }
    if (!started) {
      DebugLog<512>(L"[NativeRecorder] StartPreparedAsync: Failed to start capture: %s\n", WideToUtf8(reason).c_str());
      m_isRecording = false;
      RaiseError(L"Failed to start screen capture during prepared start: " + reason);
      return false;
    }
    StartAudioCapture();
    m_isPrepared = false;
    StartProgressThread();
    DeferEvent([this] { m_started.Raise(*this, nullptr); });
    return true;
  } catch (const std::exception& e) {
    DebugLog<512>(L"[NativeRecorder] StartPreparedAsync exception: %s\n", e.what());
    RaiseError(L"Prepared recording failed with a native exception");
  } catch (...) {
    DebugLog<128>(L"[NativeRecorder] StartPreparedAsync unknown exception\n");
    RaiseError(L"Prepared recording failed with an unknown native exception");
  }
  return false;
}

void NativeRecorder::RaiseError(const std::wstring& message) {
  DeferEvent([this, message] { m_errorOccurred.Raise(*this, message); });
}

// ---- Cancel, stop, pause ------------------------------------------------------------------------

void NativeRecorder::CancelPrepared() {
  WaitForEarlierOperations();
  StateLock lock(*this);
  CancelPreparedLocked();
}

void NativeRecorder::CancelPreparedLocked() {
  // While recording these components belong to the running recording: only Stop releases them.
  if (m_isRecording) return;
  if (!m_isPrepared && !m_screenCapture && !m_encoder && !m_audioCapture) return;
  m_isShuttingDown = true;
  StopFocusZoom();
  TeardownCameraOverlay();
  DestroyFocusZoom();
  ReplaceScreenCapture(nullptr);
  ReplaceAudioCapture(nullptr);
  m_encoder.reset();
  m_isPrepared = false;
  m_preparedConfig.reset();
}

void NativeRecorder::Stop() {
  WaitForEarlierOperations();
  if (!m_isRecording) return;
  try {
    m_isShuttingDown = true;
    {
      std::lock_guard lock(m_progressMutex);
      m_progressRunning = false;
    }
    // Wakes the progress thread so its join usually fits in the 200 ms below.
    m_progressWake.notify_all();
    // Lets callbacks that already passed their checks reach the encoder before producers stop.
    std::this_thread::sleep_for(50ms);
    bool hadFocusZoom = false;
    {
      std::lock_guard focusLock(m_focusMutex);
      hadFocusZoom = m_focusZoomManager != nullptr;
    }
    StopFocusZoom();
    // Lets a crop the focus thread had already handed over settle before the capture stops.
    if (hadFocusZoom) std::this_thread::sleep_for(50ms);
    StateLock lock(*this);
    StopLocked();
  } catch (const std::exception& e) {
    DebugLog<512>(L"[NativeRecorder] Stop() EXCEPTION: %s\n", e.what());
    try {
      m_stopped.Raise(*this, OutputPath());
    } catch (...) {
      DebugLog<128>(L"[NativeRecorder] Failed to fire stopped event after exception\n");
    }
  } catch (...) {
    DebugLog<128>(L"[NativeRecorder] Stop() UNKNOWN EXCEPTION\n");
    try {
      m_stopped.Raise(*this, OutputPath());
    } catch (...) {
      DebugLog<128>(L"[NativeRecorder] Failed to fire stopped event after unknown exception\n");
    }
  }
}

void NativeRecorder::StopLocked() {
  // A second Stop that waited for the lock finds nothing left to stop.
  if (!m_isRecording) return;
  int64_t endNs = 0;
  {
    std::lock_guard pauseLock(m_pauseMutex);
    endNs = m_isPaused ? m_pauseStartNs.load() : SteadyNowNs();
    m_isRecording = false;
    m_isPaused = false;
  }

  // From a progress handler the thread cannot join itself; the next start or the destructor does.
  if (m_progressThread.joinable() && m_progressThread.get_id() != std::this_thread::get_id()) {
    CompletePendingProgressJoin();
    m_progressJoin = std::make_unique<BoundedTask>([this] { m_progressThread.join(); });
    if (m_progressJoin->WaitFor(200ms)) {
      m_progressJoin.reset();
    } else {
      DebugLog<128>(L"[NativeRecorder] STEP 7: WARNING: Progress thread join timed out after 200ms\n");
    }
  }

  // The bubble leaves the frames now; its camera is stopped only once the file is finalised, so
  // a camera that hangs cannot cost the recording.
  m_overlayActive = false;
  if (m_screenCapture) m_screenCapture->Stop();
  WaitForInFlightCallbacksDrain();
  // The video lasts as long as the recording, however still the screen was at the end. Written
  // one frame before the end, so that frame ends with the recording.
  if (m_encoder) {
    const int64_t frame = m_encoder->GetFrameDuration();
    HoldLastFrame(RecordedTimeHns(endNs) - frame, frame);
  }
  if (m_audioCapture) m_audioCapture->Stop();

  // A failure whose own stop this one overtook is still told, before Stopped.
  if (std::wstring failure = TakePendingFailure(); !failure.empty()) RaiseError(failure);

  if (m_encoder) {
    bool finalized = false;
    BoundedTask finalize([encoder = m_encoder.get(), &finalized] { finalized = encoder->Finalize(); });
    if (!finalize.WaitFor(1000ms)) {
      DebugLog<128>(L"[NativeRecorder] STEP 11: Encoder finalize taking longer than expected...\n");
      finalize.Complete();
    }
    if (!finalized) {
      const HRESULT hr = m_encoder->GetWriterError();
      DebugLog<128>(L"[NativeRecorder] ERROR: Encoder finalize failed: 0x%08X\n", HrBits(hr));
      // A write failure already told the application; the finalise failing with it is no news.
      if (!m_failureReported.exchange(true)) RaiseError(Encoder::DescribeWriteError(hr, true));
    }
  }

  TeardownCameraOverlay();
  DestroyFocusZoom();
  ReplaceScreenCapture(nullptr);
  ReplaceAudioCapture(nullptr);
  m_encoder.reset();
  DeferEvent([this, path = OutputPath()] { m_stopped.Raise(*this, path); });
}

void NativeRecorder::WaitForInFlightCallbacksDrain() {
  const auto deadline = std::chrono::steady_clock::now() + 500ms;
  while (m_inFlightCallbacks >= 1) {
    if (std::chrono::steady_clock::now() >= deadline) {
      DebugLog<128>(L"[NativeRecorder] WaitForInFlightCallbacksDrain: timed out with %d still in flight\n",
                    static_cast<int>(m_inFlightCallbacks));
      return;
    }
    std::this_thread::sleep_for(5ms);
  }
}

void NativeRecorder::Pause() {
  std::lock_guard pauseLock(m_pauseMutex);
  if (!m_isRecording || m_isPaused) return;
  const int64_t now = SteadyNowNs();
  m_pauseStartNs = now;
  m_elapsedAtPauseUs = (now - m_startTimeNs) / 1000 - m_pausedTotalUs;
  {
    std::lock_guard lock(m_captureMutex);
    if (m_screenCapture) m_screenCapture->SetPaused(true);
  }
  {
    std::lock_guard lock(m_audioMutex);
    if (m_audioCapture) m_audioCapture->SetPaused(true);
  }
  m_isPaused = true;
}

void NativeRecorder::Resume() {
  std::lock_guard pauseLock(m_pauseMutex);
  if (!m_isRecording || !m_isPaused) return;
  m_pausedTotalUs += (SteadyNowNs() - m_pauseStartNs) / 1000;
  m_isPaused = false;
  {
    std::lock_guard lock(m_captureMutex);
    if (m_screenCapture) m_screenCapture->SetPaused(false);
  }
  {
    std::lock_guard lock(m_audioMutex);
    if (m_audioCapture) m_audioCapture->SetPaused(false);
  }
}

double NativeRecorder::DurationSeconds() const {
  if (!m_isRecording) return 0.0;
  if (m_isPaused) return static_cast<double>(m_elapsedAtPauseUs) / 1e6;
  const int64_t us = (SteadyNowNs() - m_startTimeNs) / 1000 - m_pausedTotalUs;
  return static_cast<double>(us) / 1e6;
}

int64_t NativeRecorder::DurationMicroseconds() const { return SecondsToMicrosecondsTruncated(DurationSeconds()); }

std::wstring NativeRecorder::OutputPath() const {
  std::lock_guard lock(m_outputPathMutex);
  return m_outputPath;
}

}  // namespace kalto
