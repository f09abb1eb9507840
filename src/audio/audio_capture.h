#pragma once
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "audio/audio_mixer.h"
#include "audio/audio_ring_buffer.h"
#include "audio/backlog_limiter.h"
#include "audio/catmull_rom_resampler.h"
#include "audio/noise_suppressor.h"
#include "platform/audio/audio.h"

namespace kalto {

// Interleaved signed 16-bit stereo PCM: always 4096 bytes (1024 frames), stamped in 100-ns
// units from the recording's time origin. The data is borrowed for the call only.
using AudioDataCallback =
    std::function<void(const uint8_t* data, uint32_t byteCount, int64_t timestampHns, int64_t durationHns)>;

// The two sources a recording may hold.
enum class AudioSource { System, Microphone };

// A source went away (`available` false) or came back, with a short English sentence for the
// user. Called on the capture thread; it must not block nor destroy the capture.
using SourceStateCallback = std::function<void(AudioSource source, bool available, const std::wstring& message)>;

// The part of a stream's mix format the pipeline uses. Anything not float is read as signed
// 16-bit PCM.
struct CaptureFormat {
  uint32_t sampleRate = 48000;
  uint32_t channels = 2;
  uint32_t bitsPerSample = 32;
  bool isFloat = true;
  friend bool operator==(const CaptureFormat&, const CaptureFormat&) = default;
};

// The engine's only audio source: system audio (everything the user hears, or one process tree)
// and the microphone, drained on a capture thread into two rings and mixed on a clock-driven
// output thread into 1024-frame chunks of 16-bit stereo at the output rate.
//
// Driven by one owner: construct, Initialize, optionally InitializeProcessLoopback, the setters,
// SetStartTimeBase, Start, (SetPaused, SetMicVolume, SetSystemVolume), Stop, destroy.
//
// Threads: the owner's thread calls everything public. The capture thread owns the resampler and
// the microphone staging; the output thread owns the noise suppressor and the gain state, and
// runs the data and level callbacks. The volume setters, SetPaused and the level getters are
// safe from any thread at any time. Do not destroy the capture from inside its callbacks.
class AudioCapture {
 public:
  static constexpr uint32_t kChunkFrames = 1024;
  static constexpr uint32_t kChunkSamples = 2 * kChunkFrames;
  static constexpr uint32_t kChunkBytes = kChunkSamples * sizeof(int16_t);
  static constexpr uint32_t kActivationTimeoutMs = 1000;
  static constexpr uint32_t kProcessLoopbackMinBuild = 20348;
  // Each ring holds this much: a source that hands over seconds at once loses nothing.
  static constexpr uint32_t kRingSeconds = 5;
  // The lasting delay between capture and output is cut back to the target whenever the lowest
  // ring fill over a window stayed above it. The window outlasts the bursts of bursty sources.
  static constexpr uint32_t kBacklogWindowSeconds = 5;
  static constexpr uint32_t kBacklogTargetMs = 100;
  // A lost source is tried again this often.
  static constexpr uint32_t kReopenIntervalMs = 1000;

  explicit AudioCapture(std::shared_ptr<platform::audio::AudioSystem> audioSystem);
  ~AudioCapture();
  AudioCapture(const AudioCapture&) = delete;
  AudioCapture& operator=(const AudioCapture&) = delete;

  // False when a requested stream failed to open; a stream that opened stays open.
  bool Initialize(bool captureSystem, bool captureMic, const std::wstring& micDeviceId, uint32_t outputSampleRate,
                  uint32_t outputChannels, bool noiseSuppression, uint32_t micMode, uint32_t noiseSuppressionLevel);
  // After Initialize without system audio, before Start. False means: fall back to system-wide
  // audio on a fresh AudioCapture.
  bool InitializeProcessLoopback(uint32_t processId);
  // The endpoint id inside a device-interface path ("...MMDEVAPI#<id>#..."), else `id` itself.
  static std::wstring ExtractEndpointId(const std::wstring& id);

  // The steady-clock time (ns) that timestamp 0 stands for, shared with the other producers.
  void SetStartTimeBase(int64_t steadyNs);
  // False when already running (the callback is then discarded).
  bool Start(AudioDataCallback callback);
  // While paused nothing is delivered and the timeline does not advance; what the streams
  // capture meanwhile is thrown away, so after resuming the sound is fresh and on time. The
  // delivered timeline leaves out exactly the time between the two calls, as a recorder that
  // takes its paused time off the video does.
  void SetPaused(bool paused);
  // Before Start. Told on the capture thread when a running source is lost and when it is back.
  void SetSourceStateCallback(SourceStateCallback callback) { m_sourceStateCallback = std::move(callback); }
  // Idempotent.
  void Stop();

  // Mix settings. Volumes (0 to 2) apply live from any thread; the rest before Start.
  void SetMicVolume(double volume) { m_mixer.SetMicVolume(volume); }
  void SetSystemVolume(double volume) { m_mixer.SetSystemVolume(volume); }
  double GetMicVolume() const { return m_mixer.GetMicVolume(); }
  double GetSystemVolume() const { return m_mixer.GetSystemVolume(); }
  void SetDucking(bool enabled, double depthDb) { m_mixer.SetDucking(enabled, depthDb); }
  void SetAudioProcessing(double minGain, double maxGain, double targetRms, double voiceProcessingGain,
                          double nsGainFactor, double limiterThreshold, double limiterKnee, double limiterRatio,
                          double gainSmoothing) {
    m_mixer.SetAudioProcessing(minGain, maxGain, targetRms, voiceProcessingGain, nsGainFactor, limiterThreshold,
                               limiterKnee, limiterRatio, gainSmoothing);
  }
  void SetLevelCallback(AudioLevelCallback callback) { m_mixer.SetLevelCallback(std::move(callback)); }

  // Level meters, from any thread: RMS (0-1) of the last chunk, the microphone after noise
  // suppression; peaks are the largest magnitude in the last chunk, before gains.
  float GetMicLevel() const { return m_mixer.GetMicLevel(); }
  float GetSystemLevel() const { return m_mixer.GetSystemLevel(); }
  float GetMicPeak() const { return m_micPeak.load(std::memory_order_relaxed); }
  float GetSystemPeak() const { return m_systemPeak.load(std::memory_order_relaxed); }

  bool IsRunning() const { return m_running.load(); }
  bool IsPaused() const { return m_paused.load(); }
  bool IsUsingProcessLoopback() const { return m_usingProcessLoopback; }
  uint32_t GetProcessId() const { return m_processId; }
  // False while a lost source is away.
  bool HasSystemStream() const;
  bool HasMicStream() const;
  CaptureFormat GetSystemFormat() const;
  CaptureFormat GetMicFormat() const;
  MicMode GetMicMode() const { return m_micMode; }
  bool IsVoiceProcessing() const { return m_voiceProcessing; }
  uint32_t GetOutputSampleRate() const { return m_outputSampleRate; }
  uint32_t GetOutputChannels() const { return m_outputChannels; }
  double GetResampleRatio() const;
  int64_t GetStartOffset() const { return m_startOffset; }
  int64_t GetStreamLatency() const { return m_streamLatency; }
  int64_t GetFramesDelivered() const { return m_framesDelivered.load(); }
  // Timeline position (frames) of the first delivered frame: past the sound heard before the
  // time origin, which is left out.
  int64_t GetFirstFramePosition() const { return m_firstFramePosition; }
  // Read only while the output thread is not running.
  const NoiseSuppressor& GetNoiseSuppressor() const { return *m_noiseSuppressor; }
  const AudioMixer& GetMixer() const { return m_mixer; }
  // One output chunk on the caller's thread, exactly as the output thread makes it, after
  // writing `frames` stereo frames from each given block (either may be null) into the rings.
  // Only while not running (benchmarks and tests).
  // Returns the chunk's kChunkSamples 16-bit samples, valid until the next chunk.
  const int16_t* ProduceChunkForTesting(const float* mic = nullptr, const float* system = nullptr,
                                        size_t frames = kChunkFrames);

 private:
  bool InitializeLoopback();
  bool InitializeMicrophone(const std::wstring& deviceId);
  bool InitializeProcessLoopbackStreams(uint32_t processId);
  static BacklogLimiter MakeBacklogLimiter(int64_t rate) {
    return BacklogLimiter(static_cast<uint64_t>(int64_t{kBacklogWindowSeconds} * rate / kChunkFrames),
                          static_cast<uint64_t>(rate * kBacklogTargetMs / 1000));
  }
  // The rate the output runs at: 48000 when none was given.
  uint32_t EffectiveOutputRate() const;

  // A stream opened again after a loss.
  struct ReopenedStream {
    std::shared_ptr<platform::audio::Device> device;
    std::shared_ptr<platform::audio::AudioClient> client;
    std::shared_ptr<platform::audio::AudioCaptureClient> captureClient;
    CaptureFormat format;
  };
  // The capture thread's view of one running source.
  struct SourceHealth {
    bool lost = false;
    int64_t retryAtNs = 0;
  };

  void CaptureThread();
  void OutputThread();
  // The failure that ended the drain, S_OK otherwise.
  HRESULT ProcessLoopbackPackets();
  HRESULT ProcessMicPackets();
  void ResampleMicBlock(const float* frames, size_t frameCount);
  // Appends every pending packet of `client` as interleaved stereo floats, silent packets as
  // zeros; returns the failure that ended the drain, S_OK otherwise.
  HRESULT DrainPackets(platform::audio::AudioCaptureClient& client, const CaptureFormat& format,
                       std::vector<float>& out);
  void ServiceSource(AudioSource source);
  void MarkLost(AudioSource source, HRESULT reason);
  void TryReopen(AudioSource source);
  HRESULT ReopenSystem(ReopenedStream* out);
  HRESULT ReopenMicrophone(ReopenedStream* out);
  HRESULT ReopenProcessLoopback(ReopenedStream* out);
  HRESULT OpenForCapture(std::shared_ptr<platform::audio::AudioClient> client, uint32_t streamFlags,
                         const std::shared_ptr<platform::audio::Event>& event, ReopenedStream* out);
  void NotifySource(AudioSource source, bool available);
  void ProduceChunk();
  void DiscardPausedSound();
  void JoinThread(std::thread& thread, const wchar_t* timeoutLine);
  void JoinFinishedThreads();

  std::shared_ptr<platform::audio::AudioSystem> m_audioSystem;

  std::shared_ptr<platform::audio::Device> m_renderDevice;
  std::shared_ptr<platform::audio::AudioClient> m_loopbackClient;
  std::shared_ptr<platform::audio::AudioCaptureClient> m_loopbackCaptureClient;
  bool m_usingProcessLoopback = false;
  uint32_t m_processId = 0;
  std::shared_ptr<platform::audio::Device> m_micDevice;
  std::shared_ptr<platform::audio::AudioClient> m_micClient;
  std::shared_ptr<platform::audio::AudioCaptureClient> m_micCaptureClient;
  std::shared_ptr<platform::audio::Event> m_loopbackEvent;
  std::shared_ptr<platform::audio::Event> m_micEvent;
  std::shared_ptr<platform::audio::Event> m_stopEvent;

  uint32_t m_outputSampleRate = 48000;
  uint32_t m_outputChannels = 2;
  bool m_captureSystem = false;
  bool m_captureMic = false;
  bool m_voiceProcessing = false;
  MicMode m_micMode = MicMode::Raw;
  uint32_t m_noiseSuppressionLevel = 1;
  std::unique_ptr<NoiseSuppressor> m_noiseSuppressor;
  CaptureFormat m_systemFormat{48000, 2, 32, true};
  CaptureFormat m_micFormat{48000, 1, 16, false};
  double m_resampleRatio = 1.0;
  double m_resamplePosition = 0.0;
  ResampleHistory m_resampleHistory{};
  std::vector<float> m_micStaging;
  std::vector<float> m_loopbackStaging;
  std::vector<float> m_resampleOutput;
  std::wstring m_micEndpointId;  // the endpoint opened, which a lost microphone is reopened on

  std::unique_ptr<AudioRingBuffer> m_systemRing;
  std::unique_ptr<AudioRingBuffer> m_micRing;
  std::vector<float> m_micChunk;
  std::vector<float> m_systemChunk;
  std::vector<float> m_mixChunk;
  std::vector<int16_t> m_outputPcm;
  std::vector<int16_t> m_nsPcm;
  std::atomic<bool> m_running{false};
  std::atomic<bool> m_paused{false};
  std::mutex m_pauseMutex;  // serialises SetPaused
  int64_t m_pauseBeganNs = 0;
  std::atomic<int64_t> m_pausedTotalNs{0};  // since Start; the output schedule moves by it
  std::thread m_captureThread;
  std::thread m_outputThread;
  std::mutex m_controlMutex;  // serialises Start and Stop
  // Guards the stream fields and formats that the capture thread replaces after a loss, against
  // the owner's getters.
  mutable std::mutex m_streamMutex;
  SourceHealth m_systemHealth;
  SourceHealth m_micHealth;
  SourceStateCallback m_sourceStateCallback;
  BacklogLimiter m_systemBacklog = MakeBacklogLimiter(48000);
  BacklogLimiter m_micBacklog = MakeBacklogLimiter(48000);
  int64_t m_firstFramePosition = 0;
  int64_t m_skipExpiresNs = 0;  // the capture thread drops the skip debt after this
  AudioDataCallback m_audioCallback;
  int64_t m_startTimeNs = 0;
  std::atomic<int64_t> m_framesDelivered{0};
  int64_t m_startTimeBaseNs = 0;
  bool m_hasStartTimeBase = false;
  int64_t m_startOffset = 0;
  int64_t m_streamLatency = 0;

  AudioMixer m_mixer;
  std::atomic<float> m_micPeak{0.0f};
  std::atomic<float> m_systemPeak{0.0f};
};

}  // namespace kalto
