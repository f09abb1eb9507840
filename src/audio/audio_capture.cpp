#include "audio/audio_capture.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <exception>
#include <string_view>

#include "audio/audio_time.h"
#include "audio/process_loopback_completion_handler.h"
#include "common/bounded_wait.h"
#include "common/debug_output.h"
#include "common/steady_clock.h"

namespace kalto {

namespace pa = platform::audio;

namespace {

constexpr int64_t kBufferDurationHns = 1'000'000;  // 100 ms
constexpr uint32_t kCaptureWaitMs = 20;
constexpr auto kJoinTimeout = std::chrono::milliseconds(300);
constexpr uint32_t kDefaultOutputRate = 48000;
constexpr float kInt16Scale = 3.0517578e-5f;
constexpr size_t kLoopbackStagingReserve = 4096;
// How long after the sound from before the origin is due a stream's first sound is still taken
// for it: streams take a moment to deliver their first packet.
constexpr int64_t kSkipGraceNs = 500'000'000;

// Room for kRingSeconds of stereo frames at `rate`: a ring holds one float less than its capacity.
uint64_t RingCapacityFor(uint32_t rate) { return uint64_t{AudioCapture::kRingSeconds} * rate * 2 + 2; }

// The codes with which a stream says that its device or the sound server is gone.
bool IsSourceLost(HRESULT hr) { return hr == AUDCLNT_E_DEVICE_INVALIDATED || hr == AUDCLNT_E_SERVICE_NOT_RUNNING; }

const wchar_t* SourceName(AudioSource source) {
  return source == AudioSource::System ? L"System audio" : L"Microphone";
}

struct VadSetting {
  float threshold;
  float minGain;
};
constexpr VadSetting kVadByLevel[] = {{0.2f, 0.5f}, {0.5f, 0.15f}, {0.6f, 0.03f}};

// A null result with a success code still means nothing came back.
HRESULT OrPointer(HRESULT hr) { return Failed(hr) ? hr : E_POINTER; }

// Formats the pipeline cannot read safely: no channels or no rate (the resampler would never
// advance), or samples narrower than the 16-bit or 32-bit float reads.
bool IsReadable(const CaptureFormat& format) {
  if (format.sampleRate == 0 || format.channels == 0) return false;
  return format.isFloat ? format.bitsPerSample >= 32 : format.bitsPerSample >= 16;
}

CaptureFormat ToCaptureFormat(const pa::WaveFormat& wave) {
  CaptureFormat format;
  format.sampleRate = wave.nSamplesPerSec;
  format.channels = wave.nChannels;
  format.bitsPerSample = wave.wBitsPerSample;
  // The sub-format is not consulted: 32-bit extensible streams are float in practice.
  format.isFloat = wave.wFormatTag == pa::WAVE_FORMAT_IEEE_FLOAT ||
                   (wave.wFormatTag == pa::WAVE_FORMAT_EXTENSIBLE && wave.wBitsPerSample == 32);
  return format;
}

// Clamped to full scale; NaN from a broken stream becomes silence rather than reaching the mix.
float SanitiseFloat(float value) { return std::isnan(value) ? 0.0f : std::clamp(value, -1.0f, 1.0f); }

float Rms(const std::vector<float>& chunk) {
  double sum = 0.0;
  for (float s : chunk) sum += static_cast<double>(s) * s;
  return static_cast<float>(std::sqrt(sum / static_cast<double>(chunk.size())));
}

float Peak(const std::vector<float>& chunk) {
  float peak = 0.0f;
  for (float s : chunk) peak = std::max(peak, std::fabs(s));
  return peak;
}

}  // namespace

AudioCapture::AudioCapture(std::shared_ptr<pa::AudioSystem> audioSystem)
    : m_audioSystem(std::move(audioSystem)),
      m_noiseSuppressor(std::make_unique<NoiseSuppressor>()),
      m_systemRing(std::make_unique<AudioRingBuffer>(RingCapacityFor(kDefaultOutputRate))),
      m_micRing(std::make_unique<AudioRingBuffer>(RingCapacityFor(kDefaultOutputRate))),
      m_micChunk(kChunkSamples, 0.0f),
      m_systemChunk(kChunkSamples, 0.0f),
      m_mixChunk(kChunkSamples, 0.0f),
      m_outputPcm(kChunkSamples, 0),
      m_nsPcm(kChunkSamples, 0) {
  m_loopbackEvent = m_audioSystem->CreateEvent(false, false);
  m_micEvent = m_audioSystem->CreateEvent(false, false);
  m_stopEvent = m_audioSystem->CreateEvent(true, false);
  m_loopbackStaging.reserve(kLoopbackStagingReserve);
}

AudioCapture::~AudioCapture() {
  Stop();
  JoinFinishedThreads();
  m_loopbackCaptureClient.reset();
  m_loopbackClient.reset();
  m_renderDevice.reset();
  m_micCaptureClient.reset();
  m_micClient.reset();
  m_micDevice.reset();
}

uint32_t AudioCapture::EffectiveOutputRate() const {
  return m_outputSampleRate != 0 ? m_outputSampleRate : kDefaultOutputRate;
}

bool AudioCapture::Initialize(bool captureSystem, bool captureMic, const std::wstring& micDeviceId,
                              uint32_t outputSampleRate, uint32_t outputChannels, bool noiseSuppression,
                              uint32_t micMode, uint32_t noiseSuppressionLevel) {
  try {
    m_captureSystem = captureSystem;
    m_captureMic = captureMic;
    m_outputSampleRate = outputSampleRate;
    m_outputChannels = outputChannels;

    uint32_t mode = micMode;
    if (noiseSuppression && mode == static_cast<uint32_t>(MicMode::Raw)) {
      mode = static_cast<uint32_t>(MicMode::VoiceProcessing);
    }
    m_micMode = static_cast<MicMode>(mode);
    m_noiseSuppressionLevel = noiseSuppressionLevel;
    m_voiceProcessing = m_micMode == MicMode::VoiceProcessing;

    if (m_micMode == MicMode::NoiseSuppression) {
      // The suppressor reads the stereo chunks the output thread hands it, whatever channel
      // count the encoder was given; any other count would misread the interleaving.
      m_noiseSuppressor->Initialize(static_cast<int32_t>(outputSampleRate), 2);
      m_noiseSuppressor->SetLevel(noiseSuppressionLevel);
      if (noiseSuppressionLevel < std::size(kVadByLevel)) {
        m_noiseSuppressor->SetVadThreshold(kVadByLevel[noiseSuppressionLevel].threshold);
        m_noiseSuppressor->SetMinGain(kVadByLevel[noiseSuppressionLevel].minGain);
      }
    }

    bool result = true;
    if (captureSystem) result = InitializeLoopback();
    if (captureMic) result = InitializeMicrophone(micDeviceId) && result;

    if (m_systemRing->Capacity() != RingCapacityFor(EffectiveOutputRate())) {
      m_systemRing = std::make_unique<AudioRingBuffer>(RingCapacityFor(EffectiveOutputRate()));
      m_micRing = std::make_unique<AudioRingBuffer>(RingCapacityFor(EffectiveOutputRate()));
    }
    m_systemBacklog = MakeBacklogLimiter(EffectiveOutputRate());
    m_micBacklog = MakeBacklogLimiter(EffectiveOutputRate());
    const size_t staging = static_cast<size_t>(EffectiveOutputRate() / 10) * 2;
    if (m_micStaging.capacity() < staging) m_micStaging.reserve(staging);
    if (m_resampleOutput.capacity() < 4 * staging) m_resampleOutput.reserve(4 * staging);
    return result;
  } catch (const std::exception& e) {
    DebugLog<256>(L"[AudioCapture] Initialize exception: %ls\n", Utf8ToWide(e.what()).c_str());
    return false;
  } catch (...) {
    DebugLog<128>(L"[AudioCapture] Initialize unknown exception\n");
    return false;
  }
}

bool AudioCapture::InitializeLoopback() {
  std::shared_ptr<pa::DeviceEnumerator> enumerator;
  if (Failed(m_audioSystem->CreateDeviceEnumerator(&enumerator)) || !enumerator) return false;

  if (HRESULT hr = enumerator->GetDefaultAudioEndpoint(pa::eRender, pa::eConsole, &m_renderDevice);
      Failed(hr) || !m_renderDevice) {
    DebugLog<128>(L"[AudioCapture] Failed to get default render device\n");
    return false;
  }
  if (HRESULT hr = m_renderDevice->Activate(&m_loopbackClient); Failed(hr) || !m_loopbackClient) {
    DebugLog<128>(L"[AudioCapture] Failed to activate loopback client\n");
    return false;
  }
  std::unique_ptr<pa::WaveFormat> mixFormat;
  if (HRESULT hr = m_loopbackClient->GetMixFormat(&mixFormat);
      Failed(hr) || !mixFormat || !IsReadable(ToCaptureFormat(*mixFormat))) {
    DebugLog<128>(L"[AudioCapture] Failed to get mix format\n");
    return false;
  }
  m_systemFormat = ToCaptureFormat(*mixFormat);
  HRESULT hr = m_loopbackClient->Initialize(pa::AUDCLNT_SHAREMODE_SHARED,
                                            pa::AUDCLNT_STREAMFLAGS_LOOPBACK | pa::AUDCLNT_STREAMFLAGS_EVENTCALLBACK,
                                            kBufferDurationHns, 0, mixFormat.get());
  mixFormat.reset();
  if (Failed(hr)) {
    DebugLog<128>(L"[AudioCapture] Failed to initialize loopback: 0x%08X\n", HrBits(hr));
    return false;
  }
  if (hr = m_loopbackClient->SetEventHandle(m_loopbackEvent); Failed(hr)) {
    DebugLog<128>(L"[AudioCapture] Failed to set loopback event: 0x%08X\n", HrBits(hr));
    return false;
  }
  if (hr = m_loopbackClient->GetCaptureClient(&m_loopbackCaptureClient); Failed(hr) || !m_loopbackCaptureClient) {
    DebugLog<128>(L"[AudioCapture] Failed to get loopback capture client\n");
    return false;
  }
  return true;
}

bool AudioCapture::InitializeProcessLoopback(uint32_t processId) {
  try {
    return InitializeProcessLoopbackStreams(processId);
  } catch (const std::exception& e) {
    DebugLog<256>(L"[AudioCapture] InitializeProcessLoopback exception: %ls\n", Utf8ToWide(e.what()).c_str());
    return false;
  } catch (...) {
    DebugLog<128>(L"[AudioCapture] InitializeProcessLoopback unknown exception\n");
    return false;
  }
}

bool AudioCapture::InitializeProcessLoopbackStreams(uint32_t processId) {
  if (!m_audioSystem->IsBuildAtLeast(kProcessLoopbackMinBuild)) {
    DebugLog<128>(L"[AudioCapture] Process loopback not supported on this Windows version (requires Build 20348+)\n");
    return false;
  }
  if (processId == 0) {
    DebugLog<128>(L"[AudioCapture] Invalid process ID for process loopback\n");
    return false;
  }

  pa::AUDIOCLIENT_ACTIVATION_PARAMS params;
  params.ActivationType = pa::AUDIOCLIENT_ACTIVATION_TYPE_PROCESS_LOOPBACK;
  params.ProcessLoopbackParams.TargetProcessId = processId;
  params.ProcessLoopbackParams.ProcessLoopbackMode = pa::PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE;
  pa::PropVariantBlob variant;
  variant.vt = pa::VT_BLOB;
  variant.blob.cbSize = sizeof(params);
  variant.blob.pBlobData = reinterpret_cast<const uint8_t*>(&params);

  auto handler = std::make_shared<ProcessLoopbackCompletionHandler>();
  std::shared_ptr<pa::ActivateAudioInterfaceAsyncOperation> operation;
  HRESULT hr = m_audioSystem->ActivateAudioInterfaceAsync(pa::VIRTUAL_AUDIO_DEVICE_PROCESS_LOOPBACK, &variant,
                                                          handler, &operation);
  if (Failed(hr)) {
    DebugLog<128>(L"[AudioCapture] ActivateAudioInterfaceAsync failed: 0x%08X\n", HrBits(hr));
    return false;
  }

  // A late completion keeps its client inside the handler, which this function no longer reads.
  if (pa::WaitForEvent(handler->CompletedEvent(), kActivationTimeoutMs) != pa::WAIT_OBJECT_0) {
    DebugLog<256>(L"[AudioCapture] Process loopback activation timed out after %ums; falling back to system audio\n",
                  kActivationTimeoutMs);
    return false;
  }
  if (HRESULT result = handler->ActivateResult(); Failed(result)) {
    if (result == HRESULT_ERROR_TIMEOUT) {
      DebugLog<256>(
          L"[AudioCapture] Process loopback activation timed out after %ums; falling back to system audio\n",
          kActivationTimeoutMs);
    } else {
      DebugLog<256>(L"[AudioCapture] Process loopback activation failed: 0x%08X; falling back to system audio\n",
                    HrBits(result));
    }
    return false;
  }

  m_loopbackClient = handler->AudioClient();
  if (!m_loopbackClient) {
    DebugLog<128>(L"[AudioCapture] Failed to get audio client from process loopback\n");
    return false;
  }
  std::unique_ptr<pa::WaveFormat> mixFormat;
  if (hr = m_loopbackClient->GetMixFormat(&mixFormat);
      Failed(hr) || !mixFormat || !IsReadable(ToCaptureFormat(*mixFormat))) {
    DebugLog<128>(L"[AudioCapture] Failed to get mix format for process loopback\n");
    return false;
  }
  m_systemFormat = ToCaptureFormat(*mixFormat);
  hr = m_loopbackClient->Initialize(pa::AUDCLNT_SHAREMODE_SHARED,
                                    pa::AUDCLNT_STREAMFLAGS_LOOPBACK | pa::AUDCLNT_STREAMFLAGS_EVENTCALLBACK,
                                    kBufferDurationHns, 0, mixFormat.get());
  mixFormat.reset();
  if (Failed(hr)) {
    DebugLog<128>(L"[AudioCapture] Failed to initialize process loopback client: 0x%08X\n", HrBits(hr));
    return false;
  }
  if (hr = m_loopbackClient->SetEventHandle(m_loopbackEvent); Failed(hr)) {
    DebugLog<128>(L"[AudioCapture] Failed to set process loopback event: 0x%08X\n", HrBits(hr));
    return false;
  }
  if (hr = m_loopbackClient->GetCaptureClient(&m_loopbackCaptureClient); Failed(hr) || !m_loopbackCaptureClient) {
    DebugLog<128>(L"[AudioCapture] Failed to get process loopback capture client\n");
    return false;
  }
  m_usingProcessLoopback = true;
  m_processId = processId;
  return true;
}

bool AudioCapture::InitializeMicrophone(const std::wstring& deviceId) {
  std::shared_ptr<pa::DeviceEnumerator> enumerator;
  if (Failed(m_audioSystem->CreateDeviceEnumerator(&enumerator)) || !enumerator) return false;

  std::shared_ptr<pa::Device> device;
  auto found = [&](HRESULT hr) { return Succeeded(hr) && device != nullptr; };
  bool haveDevice = false;
  if (!deviceId.empty()) {
    haveDevice = found(enumerator->GetDevice(deviceId, &device));
    if (!haveDevice) haveDevice = found(enumerator->GetDevice(ExtractEndpointId(deviceId), &device));
    if (!haveDevice) {
      DebugLog<128>(L"[AudioCapture] Extracted ID also failed, using default mic\n");
      HRESULT hr = enumerator->GetDefaultAudioEndpoint(pa::eCapture, pa::eCommunications, &device);
      haveDevice = found(hr);
      if (!haveDevice) {
        DebugLog<128>(L"[AudioCapture] Default communications mic failed (0x%08X), trying multimedia\n",
                      HrBits(OrPointer(hr)));
      }
    }
  } else {
    HRESULT hr = enumerator->GetDefaultAudioEndpoint(pa::eCapture, pa::eCommunications, &device);
    haveDevice = found(hr);
    if (!haveDevice) {
      DebugLog<128>(L"[AudioCapture] Default communications mic failed (0x%08X), trying multimedia role\n",
                    HrBits(OrPointer(hr)));
    }
  }
  if (!haveDevice) {
    HRESULT hr = enumerator->GetDefaultAudioEndpoint(pa::eCapture, pa::eMultimedia, &device);
    if (!found(hr)) {
      DebugLog<128>(L"[AudioCapture] Failed to get microphone device: 0x%08X\n", HrBits(OrPointer(hr)));
      return false;
    }
  }
  m_micDevice = std::move(device);
  // A lost microphone is looked for again under this id, not under whatever is default then.
  if (Failed(m_micDevice->GetId(&m_micEndpointId))) m_micEndpointId.clear();

  if (HRESULT hr = m_micDevice->Activate(&m_micClient); Failed(hr) || !m_micClient) {
    DebugLog<128>(L"[AudioCapture] Failed to activate mic IAudioClient: 0x%08X\n", HrBits(OrPointer(hr)));
    return false;
  }

  pa::AudioClient2* client2 = m_micClient->QueryAudioClient2();
  if (m_voiceProcessing) {
    if (!client2) {
      DebugLog<128>(L"[AudioCapture] IAudioClient2 not available on this mic \u2014 Voice Processing DSP skipped\n");
    } else {
      pa::AudioClientProperties properties;
      properties.cbSize = 16;
      properties.bIsOffload = false;
      properties.eCategory = pa::AudioCategory_Communications;
      properties.Options = pa::AUDCLNT_STREAMOPTIONS_NONE;
      if (HRESULT hr = client2->SetClientProperties(properties); Failed(hr)) {
        DebugLog<256>(L"[AudioCapture] WARNING: Failed to enable Voice Processing DSP: 0x%08X (continuing without)\n",
                      HrBits(hr));
      }
    }
  } else if (client2) {
    pa::AudioClientProperties properties;
    properties.cbSize = 16;
    properties.bIsOffload = false;
    properties.eCategory = pa::AudioCategory_Other;
    properties.Options = pa::AUDCLNT_STREAMOPTIONS_RAW;
    if (HRESULT hr = client2->SetClientProperties(properties); Failed(hr)) {
      DebugLog<256>(L"[AudioCapture] WARNING: RAW mic mode not available: 0x%08X (mic enhancements may still apply)\n",
                    HrBits(hr));
    }
  }

  std::unique_ptr<pa::WaveFormat> mixFormat;
  if (HRESULT hr = m_micClient->GetMixFormat(&mixFormat);
      Failed(hr) || !mixFormat || !IsReadable(ToCaptureFormat(*mixFormat))) {
    DebugLog<128>(L"[AudioCapture] Failed to get mic mix format\n");
    return false;
  }
  m_micFormat = ToCaptureFormat(*mixFormat);

  const uint32_t outputRate = EffectiveOutputRate();
  m_resampleRatio = static_cast<double>(m_micFormat.sampleRate) / static_cast<double>(outputRate);
  m_resamplePosition = 0.0;
  m_resampleHistory.fill(0.0f);
  if (m_micFormat.sampleRate != outputRate) {
    DebugLog<256>(L"[AudioCapture] Mic sample rate (%uHz) differs from output (%uHz) - resampling enabled (ratio: "
                  L"%.4f)\n",
                  m_micFormat.sampleRate, outputRate, m_resampleRatio);
  }

  HRESULT hr = m_micClient->Initialize(pa::AUDCLNT_SHAREMODE_SHARED, pa::AUDCLNT_STREAMFLAGS_EVENTCALLBACK,
                                       kBufferDurationHns, 0, mixFormat.get());
  mixFormat.reset();
  if (Failed(hr)) {
    DebugLog<128>(L"[AudioCapture] Failed to initialize mic: 0x%08X\n", HrBits(hr));
    return false;
  }
  if (hr = m_micClient->SetEventHandle(m_micEvent); Failed(hr)) {
    DebugLog<128>(L"[AudioCapture] Failed to set mic event: 0x%08X\n", HrBits(hr));
    return false;
  }
  if (hr = m_micClient->GetCaptureClient(&m_micCaptureClient); Failed(hr) || !m_micCaptureClient) {
    DebugLog<128>(L"[AudioCapture] Failed to get mic capture client\n");
    return false;
  }
  return true;
}

std::wstring AudioCapture::ExtractEndpointId(const std::wstring& id) {
  static constexpr std::wstring_view kMarker = L"MMDEVAPI#";
  if (id.size() < kMarker.size()) return id;
  const size_t marker = id.find(kMarker);
  if (marker == std::wstring::npos) return id;
  const size_t start = marker + kMarker.size();
  const size_t end = id.find(L'#', start);
  return id.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
}

void AudioCapture::SetStartTimeBase(int64_t steadyNs) {
  m_startTimeBaseNs = steadyNs;
  m_hasStartTimeBase = true;
}

void AudioCapture::SetPaused(bool paused) {
  std::lock_guard lock(m_pauseMutex);
  if (paused == m_paused.load()) return;
  const int64_t now = SteadyNowNs();
  if (paused) {
    m_pauseBeganNs = now;
  } else {
    m_pausedTotalNs.fetch_add(now - m_pauseBeganNs);
  }
  m_paused.store(paused);
}

bool AudioCapture::HasSystemStream() const {
  std::lock_guard lock(m_streamMutex);
  return m_loopbackCaptureClient != nullptr;
}

bool AudioCapture::HasMicStream() const {
  std::lock_guard lock(m_streamMutex);
  return m_micCaptureClient != nullptr;
}

CaptureFormat AudioCapture::GetSystemFormat() const {
  std::lock_guard lock(m_streamMutex);
  return m_systemFormat;
}

CaptureFormat AudioCapture::GetMicFormat() const {
  std::lock_guard lock(m_streamMutex);
  return m_micFormat;
}

double AudioCapture::GetResampleRatio() const {
  std::lock_guard lock(m_streamMutex);
  return m_resampleRatio;
}

bool AudioCapture::Start(AudioDataCallback callback) {
  std::lock_guard lock(m_controlMutex);
  if (m_running) return false;
  JoinFinishedThreads();
  try {
    m_audioCallback = std::move(callback);
    m_startTimeNs = SteadyNowNs();
    {
      std::lock_guard pauseLock(m_pauseMutex);
      m_pausedTotalNs = 0;
      if (m_paused) m_pauseBeganNs = m_startTimeNs;
    }
    m_framesDelivered = 0;
    m_startOffset = 0;
    if (m_hasStartTimeBase) m_startOffset = std::max<int64_t>((m_startTimeNs - m_startTimeBaseNs) / 100, 0);

    m_streamLatency = 0;
    for (const auto& client : {m_micClient, m_loopbackClient}) {
      int64_t latency = 0;
      if (client && Succeeded(client->GetStreamLatency(&latency)) && latency > 0) {
        m_streamLatency = latency;
        break;
      }
    }

    m_stopEvent->Reset();
    m_systemRing->Reset();
    m_micRing->Reset();
    const int64_t rate = EffectiveOutputRate();
    // The first frames captured were heard before the time origin when the stream latency
    // exceeds the time since it: they are left out, and the timeline starts where the kept
    // sound was heard, so no stamp falls before zero and every later stamp stays exact.
    const int64_t leadHns = m_streamLatency - m_startOffset;
    m_firstFramePosition = leadHns > 0 ? HnsToFramesCeil(leadHns, rate) : 0;
    m_systemRing->SetSkipFrames(static_cast<uint64_t>(m_firstFramePosition));
    m_micRing->SetSkipFrames(static_cast<uint64_t>(m_firstFramePosition));
    // Only a stream's first sound can be from before the origin: one that stays quiet at first
    // (process loopback before the application plays) must not lose its first sound later.
    m_skipExpiresNs = m_startTimeNs + std::max<int64_t>(leadHns, 0) * 100 + kSkipGraceNs;
    m_systemBacklog = MakeBacklogLimiter(rate);
    m_micBacklog = MakeBacklogLimiter(rate);
    m_systemHealth = SourceHealth{};
    m_micHealth = SourceHealth{};
    m_mixer.ResetGains(static_cast<uint32_t>(m_micMode));
    m_micPeak = 0.0f;
    m_systemPeak = 0.0f;

    if (m_loopbackClient) m_loopbackClient->Start();
    if (m_micClient) m_micClient->Start();

    m_running = true;
    // Named, so profilers and the benchmarks can tell the audio threads' cost apart.
    m_captureThread = std::thread([this] {
      pthread_setname_np(pthread_self(), "kalto-audio-in");
      CaptureThread();
    });
    m_outputThread = std::thread([this] {
      pthread_setname_np(pthread_self(), "kalto-audio-mix");
      OutputThread();
    });
    return true;
  } catch (const std::exception& e) {
    DebugLog<256>(L"[AudioCapture] Start exception: %ls\n", Utf8ToWide(e.what()).c_str());
  } catch (...) {
    DebugLog<128>(L"[AudioCapture] Start unknown exception\n");
  }
  // A thread that could not be created leaves the other one to be stopped.
  m_running = false;
  m_stopEvent->Set();
  JoinFinishedThreads();
  if (m_loopbackClient) m_loopbackClient->Stop();
  if (m_micClient) m_micClient->Stop();
  return false;
}

void AudioCapture::JoinThread(std::thread& thread, const wchar_t* timeoutLine) {
  if (!thread.joinable()) return;
  // Stop from inside a callback cannot join its own thread; that thread ends as soon as the
  // callback returns and is joined by the next Start or the destructor.
  if (thread.get_id() == std::this_thread::get_id()) return;
  BoundedTask join([&thread] { thread.join(); });
  if (!join.WaitFor(kJoinTimeout)) OutputDebugLine(timeoutLine);
}

void AudioCapture::JoinFinishedThreads() {
  for (std::thread* thread : {&m_captureThread, &m_outputThread}) {
    if (thread->joinable() && thread->get_id() != std::this_thread::get_id()) thread->join();
  }
}

void AudioCapture::Stop() {
  std::lock_guard lock(m_controlMutex);
  if (!m_running) return;
  m_running = false;
  m_paused = false;
  m_stopEvent->Set();

  JoinThread(m_captureThread, L"[AudioCapture] WARNING: Capture thread join timed out after 300ms\n");
  JoinThread(m_outputThread, L"[AudioCapture] WARNING: Output thread join timed out after 300ms\n");

  // The capture thread has ended, so the stream fields are no longer replaced.
  if (m_loopbackClient) m_loopbackClient->Stop();
  if (m_micClient) m_micClient->Stop();
  const unsigned long long systemDropped = m_systemRing->DroppedSamples();
  const unsigned long long micDropped = m_micRing->DroppedSamples();
  if (systemDropped + micDropped > 0) {
    DebugLog<256>(L"[AudioCapture] WARNING: Full ring buffers dropped %llu system and %llu microphone samples\n",
                  systemDropped, micDropped);
  }
  // Stopped from inside a callback, the output thread may still be finishing its chunk.
  if (!m_outputThread.joinable()) {
    m_systemRing->Reset();
    m_micRing->Reset();
  }
}

void AudioCapture::CaptureThread() {
  std::vector<pa::Event*> waitList{m_stopEvent.get()};
  int systemIndex = -1;
  int micIndex = -1;
  if (m_loopbackClient && m_loopbackEvent) {
    systemIndex = static_cast<int>(waitList.size());
    waitList.push_back(m_loopbackEvent.get());
  }
  if (m_micClient && m_micEvent) {
    micIndex = static_cast<int>(waitList.size());
    waitList.push_back(m_micEvent.get());
  }

  bool skipExpired = false;
  while (m_running) {
    try {
      if (!skipExpired && SteadyNowNs() > m_skipExpiresNs) {
        m_systemRing->SetSkipFrames(0);
        m_micRing->SetSkipFrames(0);
        skipExpired = true;
      }
      uint32_t lastError = 0;
      const uint32_t result = m_audioSystem->WaitForMultipleObjects(waitList, kCaptureWaitMs, &lastError);
      if (!m_running || result == pa::WAIT_OBJECT_0) break;
      if (result == pa::WAIT_FAILED) {
        DebugLog<128>(L"[AudioCapture] WaitForMultipleObjects failed: %u\n", lastError);
        break;
      }
      // Whichever event fired, both sources are drained: one wake-up serves both.
      if (systemIndex != -1) ServiceSource(AudioSource::System);
      if (micIndex != -1) ServiceSource(AudioSource::Microphone);
    } catch (const std::exception& e) {
      DebugLog<256>(L"[AudioCapture] CaptureThread exception: %ls\n", Utf8ToWide(e.what()).c_str());
    } catch (...) {
      DebugLog<128>(L"[AudioCapture] CaptureThread unknown exception\n");
    }
  }
}

void AudioCapture::ServiceSource(AudioSource source) {
  SourceHealth& health = source == AudioSource::System ? m_systemHealth : m_micHealth;
  if (health.lost) {
    if (SteadyNowNs() >= health.retryAtNs) TryReopen(source);
    return;
  }
  const HRESULT hr = source == AudioSource::System ? ProcessLoopbackPackets() : ProcessMicPackets();
  if (IsSourceLost(hr)) MarkLost(source, hr);
}

void AudioCapture::MarkLost(AudioSource source, HRESULT reason) {
  {
    // The dead stream is released; the output thread goes on with silence in its place.
    std::lock_guard lock(m_streamMutex);
    if (source == AudioSource::System) {
      m_loopbackCaptureClient.reset();
      m_loopbackClient.reset();
    } else {
      m_micCaptureClient.reset();
      m_micClient.reset();
    }
  }
  SourceHealth& health = source == AudioSource::System ? m_systemHealth : m_micHealth;
  health.lost = true;
  health.retryAtNs = SteadyNowNs() + int64_t{kReopenIntervalMs} * 1'000'000;
  DebugLog<256>(L"[AudioCapture] WARNING: %ls lost (0x%08X); recording silence until it returns\n",
                SourceName(source), HrBits(reason));
  NotifySource(source, false);
}

void AudioCapture::TryReopen(AudioSource source) {
  SourceHealth& health = source == AudioSource::System ? m_systemHealth : m_micHealth;
  ReopenedStream stream;
  const HRESULT hr = source == AudioSource::System ? ReopenSystem(&stream) : ReopenMicrophone(&stream);
  if (Failed(hr)) {
    health.retryAtNs = SteadyNowNs() + int64_t{kReopenIntervalMs} * 1'000'000;
    return;
  }
  {
    std::lock_guard lock(m_streamMutex);
    if (source == AudioSource::System) {
      if (!m_usingProcessLoopback) m_renderDevice = std::move(stream.device);
      m_loopbackClient = std::move(stream.client);
      m_loopbackCaptureClient = std::move(stream.captureClient);
      m_systemFormat = stream.format;
    } else {
      m_micDevice = std::move(stream.device);
      m_micClient = std::move(stream.client);
      m_micCaptureClient = std::move(stream.captureClient);
      m_micFormat = stream.format;
      m_resampleRatio = static_cast<double>(m_micFormat.sampleRate) / static_cast<double>(EffectiveOutputRate());
    }
  }
  if (source == AudioSource::Microphone) {
    // A fresh stream: nothing of the old one's resampler state applies to it.
    m_resamplePosition = 0.0;
    m_resampleHistory.fill(0.0f);
    m_micStaging.clear();
    m_micRing->SetSkipFrames(0);
  } else {
    m_systemRing->SetSkipFrames(0);
  }
  health.lost = false;
  DebugLog<128>(L"[AudioCapture] %ls is back\n", SourceName(source));
  NotifySource(source, true);
}

void AudioCapture::NotifySource(AudioSource source, bool available) {
  if (!m_sourceStateCallback) return;
  std::wstring message = SourceName(source);
  message += available ? L" is back" : L" lost; recording silence until it returns";
  m_sourceStateCallback(source, available, message);
}

HRESULT AudioCapture::OpenForCapture(std::shared_ptr<pa::AudioClient> client, uint32_t streamFlags,
                                     const std::shared_ptr<pa::Event>& event, ReopenedStream* out) {
  out->client = std::move(client);
  std::unique_ptr<pa::WaveFormat> mixFormat;
  if (HRESULT hr = out->client->GetMixFormat(&mixFormat); Failed(hr) || !mixFormat) return OrPointer(hr);
  out->format = ToCaptureFormat(*mixFormat);
  if (!IsReadable(out->format)) return AUDCLNT_E_UNSUPPORTED_FORMAT;
  if (HRESULT hr = out->client->Initialize(pa::AUDCLNT_SHAREMODE_SHARED, streamFlags, kBufferDurationHns, 0,
                                           mixFormat.get());
      Failed(hr)) {
    return hr;
  }
  if (HRESULT hr = out->client->SetEventHandle(event); Failed(hr)) return hr;
  if (HRESULT hr = out->client->GetCaptureClient(&out->captureClient); Failed(hr) || !out->captureClient) {
    return OrPointer(hr);
  }
  return out->client->Start();
}

HRESULT AudioCapture::ReopenSystem(ReopenedStream* out) {
  if (m_usingProcessLoopback) return ReopenProcessLoopback(out);
  std::shared_ptr<pa::DeviceEnumerator> enumerator;
  if (HRESULT hr = m_audioSystem->CreateDeviceEnumerator(&enumerator); Failed(hr) || !enumerator) return OrPointer(hr);
  // Everything the user hears: the default output as it is now.
  if (HRESULT hr = enumerator->GetDefaultAudioEndpoint(pa::eRender, pa::eConsole, &out->device);
      Failed(hr) || !out->device) {
    return OrPointer(hr);
  }
  std::shared_ptr<pa::AudioClient> client;
  if (HRESULT hr = out->device->Activate(&client); Failed(hr) || !client) return OrPointer(hr);
  return OpenForCapture(std::move(client), pa::AUDCLNT_STREAMFLAGS_LOOPBACK | pa::AUDCLNT_STREAMFLAGS_EVENTCALLBACK,
                        m_loopbackEvent, out);
}

HRESULT AudioCapture::ReopenProcessLoopback(ReopenedStream* out) {
  pa::AUDIOCLIENT_ACTIVATION_PARAMS params;
  params.ActivationType = pa::AUDIOCLIENT_ACTIVATION_TYPE_PROCESS_LOOPBACK;
  params.ProcessLoopbackParams.TargetProcessId = m_processId;
  params.ProcessLoopbackParams.ProcessLoopbackMode = pa::PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE;
  pa::PropVariantBlob variant;
  variant.vt = pa::VT_BLOB;
  variant.blob.cbSize = sizeof(params);
  variant.blob.pBlobData = reinterpret_cast<const uint8_t*>(&params);
  auto handler = std::make_shared<ProcessLoopbackCompletionHandler>();
  std::shared_ptr<pa::ActivateAudioInterfaceAsyncOperation> operation;
  if (HRESULT hr = m_audioSystem->ActivateAudioInterfaceAsync(pa::VIRTUAL_AUDIO_DEVICE_PROCESS_LOOPBACK, &variant,
                                                             handler, &operation);
      Failed(hr)) {
    return hr;
  }
  // Stop must not wait out the activation: the stop event ends the wait too.
  pa::Event* waitList[] = {m_stopEvent.get(), &handler->CompletedEvent()};
  if (pa::WaitForEvents(waitList, kActivationTimeoutMs, nullptr) != pa::WAIT_OBJECT_0 + 1) {
    return HRESULT_ERROR_TIMEOUT;
  }
  if (Failed(handler->ActivateResult())) return handler->ActivateResult();
  if (!handler->AudioClient()) return E_POINTER;
  return OpenForCapture(handler->AudioClient(),
                        pa::AUDCLNT_STREAMFLAGS_LOOPBACK | pa::AUDCLNT_STREAMFLAGS_EVENTCALLBACK, m_loopbackEvent,
                        out);
}

HRESULT AudioCapture::ReopenMicrophone(ReopenedStream* out) {
  std::shared_ptr<pa::DeviceEnumerator> enumerator;
  if (HRESULT hr = m_audioSystem->CreateDeviceEnumerator(&enumerator); Failed(hr) || !enumerator) return OrPointer(hr);
  // The same endpoint only: whatever is default once it has gone may be another device, or a
  // monitor of the system's own output.
  if (m_micEndpointId.empty()) return E_NOTFOUND;
  if (HRESULT hr = enumerator->GetDevice(m_micEndpointId, &out->device); Failed(hr) || !out->device) {
    return OrPointer(hr);
  }
  std::shared_ptr<pa::AudioClient> client;
  if (HRESULT hr = out->device->Activate(&client); Failed(hr) || !client) return OrPointer(hr);
  // The effects asked for at the start, quietly: their warnings were given then.
  if (pa::AudioClient2* client2 = client->QueryAudioClient2()) {
    pa::AudioClientProperties properties;
    properties.cbSize = 16;
    properties.bIsOffload = false;
    properties.eCategory = m_voiceProcessing ? pa::AudioCategory_Communications : pa::AudioCategory_Other;
    properties.Options = m_voiceProcessing ? pa::AUDCLNT_STREAMOPTIONS_NONE : pa::AUDCLNT_STREAMOPTIONS_RAW;
    client2->SetClientProperties(properties);
  }
  return OpenForCapture(std::move(client), pa::AUDCLNT_STREAMFLAGS_EVENTCALLBACK, m_micEvent, out);
}

HRESULT AudioCapture::DrainPackets(pa::AudioCaptureClient& client, const CaptureFormat& format,
                                   std::vector<float>& out) {
  uint32_t packetFrames = 0;
  if (HRESULT hr = client.GetNextPacketSize(&packetFrames); Failed(hr)) return hr;
  const size_t channels = format.channels;
  // Stop must not wait behind a stream that never runs dry.
  while (packetFrames > 0 && m_running) {
    uint8_t* data = nullptr;
    uint32_t frames = 0;
    uint32_t flags = 0;
    // A failed packet is left alone; the next wake-up asks again rather than spinning here.
    if (HRESULT hr = client.GetBuffer(&data, &frames, &flags, nullptr, nullptr); Failed(hr)) return hr;
    if (data == nullptr || (flags & pa::AUDCLNT_BUFFERFLAGS_SILENT) != 0 || channels == 0) {
      // Silence still takes its time: leaving it out would pull everything after it early.
      out.insert(out.end(), size_t{frames} * 2, 0.0f);
    } else {
      const size_t rightOffset = channels >= 2 ? 1 : 0;
      if (format.isFloat) {
        for (uint32_t i = 0; i < frames; ++i) {
          float left;
          float right;
          std::memcpy(&left, data + (i * channels) * sizeof(float), sizeof(float));
          std::memcpy(&right, data + (i * channels + rightOffset) * sizeof(float), sizeof(float));
          out.push_back(SanitiseFloat(left));
          out.push_back(SanitiseFloat(right));
        }
      } else {
        for (uint32_t i = 0; i < frames; ++i) {
          int16_t left;
          int16_t right;
          std::memcpy(&left, data + (i * channels) * sizeof(int16_t), sizeof(int16_t));
          std::memcpy(&right, data + (i * channels + rightOffset) * sizeof(int16_t), sizeof(int16_t));
          out.push_back(static_cast<float>(left) * kInt16Scale);
          out.push_back(static_cast<float>(right) * kInt16Scale);
        }
      }
    }
    client.ReleaseBuffer(frames);
    if (HRESULT hr = client.GetNextPacketSize(&packetFrames); Failed(hr)) return hr;
  }
  return S_OK;
}

HRESULT AudioCapture::ProcessLoopbackPackets() {
  if (!m_loopbackCaptureClient || !m_systemRing) return S_OK;
  m_loopbackStaging.clear();
  const HRESULT hr = DrainPackets(*m_loopbackCaptureClient, m_systemFormat, m_loopbackStaging);
  // Drained while paused, the sound is thrown away: none of it may reach the file.
  if (!m_loopbackStaging.empty() && !m_paused) {
    m_systemRing->Write(m_loopbackStaging.data(), m_loopbackStaging.size());
  }
  return hr;
}

HRESULT AudioCapture::ProcessMicPackets() {
  if (!m_micCaptureClient || !m_micRing) return S_OK;
  const HRESULT hr = DrainPackets(*m_micCaptureClient, m_micFormat, m_micStaging);
  if (!m_micStaging.empty()) {
    ResampleMicBlock(m_micStaging.data(), m_micStaging.size() / 2);
    m_micStaging.clear();
  }
  return hr;
}

void AudioCapture::ResampleMicBlock(const float* frames, size_t frameCount) {
  if (!m_micRing || frameCount == 0) return;
  if (m_resampleRatio == 1.0 || m_micFormat.sampleRate == EffectiveOutputRate()) {
    if (!m_paused) m_micRing->Write(frames, frameCount * 2);
    return;
  }
  m_resampleOutput.clear();
  ResampleCatmullRom(frames, frameCount, m_resampleRatio, m_resamplePosition, m_resampleHistory, m_resampleOutput);
  if (!m_resampleOutput.empty() && !m_paused) m_micRing->Write(m_resampleOutput.data(), m_resampleOutput.size());
}

void AudioCapture::OutputThread() {
  const int64_t rate = EffectiveOutputRate();
  const int64_t periodNs = FramesToNs(kChunkFrames, rate);
  const int64_t t0 = SteadyNowNs();
  int64_t deadline = t0;
  while (m_running) {
    const int64_t now = SteadyNowNs();
    if (now < deadline) {
      // Sleeps on the stop event so Stop does not wait out the rest of a period.
      const int64_t waitMs = (deadline - now + 999'999) / 1'000'000;
      pa::WaitForEvent(*m_stopEvent, static_cast<uint32_t>(waitMs));
    }
    if (!m_running) break;
    const bool paused = m_paused;
    // Chunk k is due at t0 + k chunks + the time spent paused: the timeline leaves out exactly
    // the pause, not a whole number of chunks around it.
    const int64_t due = t0 + m_pausedTotalNs.load() + FramesToNs(m_framesDelivered.load(), rate);
    if (!paused && SteadyNowNs() < due) {
      deadline = due;  // just resumed: the schedule has moved on by the pause
      continue;
    }
    try {
      if (paused) {
        DiscardPausedSound();
      } else {
        ProduceChunk();
      }
    } catch (const std::exception& e) {
      DebugLog<256>(L"[AudioCapture] OutputThread exception: %ls\n", Utf8ToWide(e.what()).c_str());
    } catch (...) {
      DebugLog<128>(L"[AudioCapture] OutputThread unknown exception\n");
    }
    // Absolute deadlines: a late pass is caught up, never skipped, and errors do not accumulate.
    // While paused the rings are emptied once a period.
    deadline = paused ? SteadyNowNs() + periodNs
                      : t0 + m_pausedTotalNs.load() + FramesToNs(m_framesDelivered.load(), rate);
  }
}

void AudioCapture::DiscardPausedSound() {
  // What came in while paused was captured while paused; the capture thread may still have
  // written some of it just before the pause took effect.
  if (m_micRing) m_micRing->Discard(m_micRing->Capacity());
  if (m_systemRing) m_systemRing->Discard(m_systemRing->Capacity());
  m_micBacklog.Reset();
  m_systemBacklog.Reset();
}

const int16_t* AudioCapture::ProduceChunkForTesting(const float* mic, const float* system, size_t frames) {
  if (m_running) return nullptr;
  if (mic) m_micRing->Write(mic, frames * 2);
  if (system) m_systemRing->Write(system, frames * 2);
  ProduceChunk();
  return m_outputPcm.data();
}

void AudioCapture::ProduceChunk() {
  if (m_micRing) {
    if (uint64_t excess = m_micBacklog.Observe(m_micRing->Count() / 2)) m_micRing->Discard(excess * 2);
    m_micRing->ReadChunk(m_micChunk.data());
  } else {
    std::fill(m_micChunk.begin(), m_micChunk.end(), 0.0f);
  }
  if (m_systemRing) {
    if (uint64_t excess = m_systemBacklog.Observe(m_systemRing->Count() / 2)) m_systemRing->Discard(excess * 2);
    m_systemRing->ReadChunk(m_systemChunk.data());
  } else {
    std::fill(m_systemChunk.begin(), m_systemChunk.end(), 0.0f);
  }

  const float micRms = Rms(m_micChunk);
  const float systemRms = Rms(m_systemChunk);
  float micLevel = micRms;
  if (m_micMode == MicMode::NoiseSuppression && m_noiseSuppressor) {
    for (size_t i = 0; i < kChunkSamples; ++i) {
      m_nsPcm[i] = static_cast<int16_t>(std::clamp(m_micChunk[i], -1.0f, 1.0f) * 32767.0f);
    }
    m_noiseSuppressor->Process(m_nsPcm.data());
    for (size_t i = 0; i < kChunkSamples; ++i) m_micChunk[i] = static_cast<float>(m_nsPcm[i]) * kInt16Scale;
    micLevel = m_noiseSuppressor->GetOutputLevel();
  }
  m_micPeak.store(Peak(m_micChunk), std::memory_order_relaxed);
  m_systemPeak.store(Peak(m_systemChunk), std::memory_order_relaxed);

  m_mixer.MixChunk(m_micChunk.data(), m_systemChunk.data(), micRms, systemRms, micLevel, m_systemRing != nullptr,
                   static_cast<uint32_t>(m_micMode), m_mixChunk.data(), m_outputPcm.data());

  const int64_t rate = EffectiveOutputRate();
  const int64_t position = m_firstFramePosition + m_framesDelivered.fetch_add(kChunkFrames);
  // Never below zero: the first position is past every frame heard before the origin.
  const int64_t timestamp = m_startOffset + FramesToHns(position, rate) - m_streamLatency;
  if (m_audioCallback) {
    m_audioCallback(reinterpret_cast<const uint8_t*>(m_outputPcm.data()), kChunkBytes, timestamp,
                    int64_t{10'240'000'000} / rate);
  }
}

}  // namespace kalto
