#pragma once
// Audio endpoints, shaped after the Core Audio calls the engine makes: an endpoint enumerator,
// endpoints, shared-mode event-driven clients (loopback or capture), their capture service, the
// asynchronous process-loopback activation with its completion handler, and the events and
// waits the capture thread sleeps on. Objects are reference counted (shared_ptr); calls return
// HRESULTs with the platform's codes where callers branch on or print them.
//
// Backends implement AudioSystem: PulseAudio (platform/audio/pulse) and a scripted fake for
// tests (platform/audio/fake). Events are plain process-local objects and the same for both.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "common/result.h"

namespace kalto::platform::audio {

// ---- Enumerations and flags --------------------------------------------------------------------
enum EDataFlow : uint32_t { eRender = 0, eCapture = 1, eAll = 2 };
enum ERole : uint32_t { eConsole = 0, eMultimedia = 1, eCommunications = 2 };

// Endpoint states for enumeration.
inline constexpr uint32_t DEVICE_STATE_ACTIVE = 0x1;

enum AUDCLNT_SHAREMODE : uint32_t { AUDCLNT_SHAREMODE_SHARED = 0, AUDCLNT_SHAREMODE_EXCLUSIVE = 1 };

inline constexpr uint32_t AUDCLNT_STREAMFLAGS_LOOPBACK = 0x00020000;
inline constexpr uint32_t AUDCLNT_STREAMFLAGS_EVENTCALLBACK = 0x00040000;
inline constexpr uint32_t AUDCLNT_STREAMFLAGS_NOPERSIST = 0x00080000;

inline constexpr uint32_t AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY = 0x1;
inline constexpr uint32_t AUDCLNT_BUFFERFLAGS_SILENT = 0x2;
inline constexpr uint32_t AUDCLNT_BUFFERFLAGS_TIMESTAMP_ERROR = 0x4;

enum AUDIO_STREAM_CATEGORY : uint32_t {
  AudioCategory_Other = 0,
  AudioCategory_ForegroundOnlyMedia = 1,
  AudioCategory_Communications = 3,
  AudioCategory_Alerts = 4,
  AudioCategory_SoundEffects = 5,
  AudioCategory_GameEffects = 6,
  AudioCategory_GameMedia = 7,
  AudioCategory_GameChat = 8,
  AudioCategory_Speech = 9,
  AudioCategory_Movie = 10,
  AudioCategory_Media = 11,
};

inline constexpr uint32_t AUDCLNT_STREAMOPTIONS_NONE = 0x0;
inline constexpr uint32_t AUDCLNT_STREAMOPTIONS_RAW = 0x1;
inline constexpr uint32_t AUDCLNT_STREAMOPTIONS_MATCH_FORMAT = 0x2;

// ---- Formats -----------------------------------------------------------------------------------
inline constexpr uint16_t WAVE_FORMAT_PCM = 1;
inline constexpr uint16_t WAVE_FORMAT_IEEE_FLOAT = 3;
inline constexpr uint16_t WAVE_FORMAT_EXTENSIBLE = 0xFFFE;

// The sub-format of an extensible format: the format tag in the first four bytes of the GUID
// XXXXXXXX-0000-0010-8000-00AA00389B71.
struct SubFormatGuid {
  uint32_t data1 = 0;
  uint16_t data2 = 0;
  uint16_t data3 = 0;
  uint8_t data4[8] = {};
  friend bool operator==(const SubFormatGuid&, const SubFormatGuid&) = default;
};
constexpr SubFormatGuid WaveSubFormat(uint16_t tag) {
  return SubFormatGuid{tag, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
}
inline constexpr SubFormatGuid KSDATAFORMAT_SUBTYPE_PCM = WaveSubFormat(WAVE_FORMAT_PCM);
inline constexpr SubFormatGuid KSDATAFORMAT_SUBTYPE_IEEE_FLOAT = WaveSubFormat(WAVE_FORMAT_IEEE_FLOAT);

// WAVEFORMATEX with the WAVEFORMATEXTENSIBLE tail (meaningful when wFormatTag is
// WAVE_FORMAT_EXTENSIBLE and cbSize is 22).
struct WaveFormat {
  uint16_t wFormatTag = WAVE_FORMAT_PCM;
  uint16_t nChannels = 0;
  uint32_t nSamplesPerSec = 0;
  uint32_t nAvgBytesPerSec = 0;
  uint16_t nBlockAlign = 0;
  uint16_t wBitsPerSample = 0;
  uint16_t cbSize = 0;
  uint16_t wValidBitsPerSample = 0;
  uint32_t dwChannelMask = 0;
  SubFormatGuid SubFormat{};
};

// The usual channel masks.
inline constexpr uint32_t SPEAKER_FRONT_LEFT = 0x1;
inline constexpr uint32_t SPEAKER_FRONT_RIGHT = 0x2;
inline constexpr uint32_t SPEAKER_FRONT_CENTER = 0x4;
inline constexpr uint32_t KSAUDIO_SPEAKER_MONO = SPEAKER_FRONT_CENTER;
inline constexpr uint32_t KSAUDIO_SPEAKER_STEREO = SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT;

// An extensible format as the mix formats are reported: float at 32 bits, otherwise integer PCM.
inline WaveFormat MakeExtensibleFormat(uint32_t sampleRate, uint16_t channels, uint16_t bitsPerSample, bool isFloat,
                                       uint32_t channelMask) {
  WaveFormat f;
  f.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  f.nChannels = channels;
  f.nSamplesPerSec = sampleRate;
  f.wBitsPerSample = bitsPerSample;
  f.nBlockAlign = static_cast<uint16_t>(channels * (bitsPerSample / 8));
  f.nAvgBytesPerSec = sampleRate * f.nBlockAlign;
  f.cbSize = 22;
  f.wValidBitsPerSample = bitsPerSample;
  f.dwChannelMask = channelMask;
  f.SubFormat = isFloat ? KSDATAFORMAT_SUBTYPE_IEEE_FLOAT : KSDATAFORMAT_SUBTYPE_PCM;
  return f;
}

// ---- Events and waits --------------------------------------------------------------------------
inline constexpr uint32_t WAIT_OBJECT_0 = 0;
inline constexpr uint32_t WAIT_ABANDONED_0 = 0x80;
inline constexpr uint32_t WAIT_TIMEOUT = 0x102;
inline constexpr uint32_t WAIT_FAILED = 0xFFFFFFFF;
inline constexpr uint32_t INFINITE = 0xFFFFFFFF;
inline constexpr uint32_t MAXIMUM_WAIT_OBJECTS = 64;
// Win32 error codes a failed wait leaves behind.
inline constexpr uint32_t ERROR_INVALID_HANDLE = 6;
inline constexpr uint32_t ERROR_INVALID_PARAMETER = 87;

namespace detail {
// One lock and one wake-up for every event of the process: a wait on several events needs to
// see all of them change under one lock, and the audio path has only a handful of waiters.
struct EventHub {
  std::mutex mutex;
  std::condition_variable changed;
};
inline EventHub& Hub() {
  static EventHub hub;
  return hub;
}
}  // namespace detail

// An event object (CreateEventW). Auto-reset events release one wait and fall back to unsignalled;
// manual-reset ones stay signalled until Reset. Any thread may set or reset.
class Event {
 public:
  Event(bool manualReset, bool initialState) : m_manualReset(manualReset), m_signalled(initialState) {}
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  bool IsManualReset() const { return m_manualReset; }

  void Set() {
    {
      std::lock_guard lock(detail::Hub().mutex);
      m_signalled = true;
    }
    detail::Hub().changed.notify_all();
  }
  void Reset() {
    std::lock_guard lock(detail::Hub().mutex);
    m_signalled = false;
  }
  // A peek that consumes nothing, for tests and diagnostics.
  bool IsSignalled() const {
    std::lock_guard lock(detail::Hub().mutex);
    return m_signalled;
  }

 private:
  friend uint32_t WaitForEvents(std::span<Event* const> events, uint32_t timeoutMs, uint32_t* lastError);
  bool TryConsumeLocked() {
    if (!m_signalled) return false;
    if (!m_manualReset) m_signalled = false;
    return true;
  }

  const bool m_manualReset;
  bool m_signalled;
};

// WaitForMultipleObjects(count, events, FALSE, timeoutMs): WAIT_OBJECT_0 + the lowest index of a
// signalled event (consuming it when auto-reset), WAIT_TIMEOUT, or WAIT_FAILED with the reason in
// *lastError (an empty list, more than MAXIMUM_WAIT_OBJECTS, or a null event). A time-out of 0
// only polls; INFINITE waits for ever.
inline uint32_t WaitForEvents(std::span<Event* const> events, uint32_t timeoutMs, uint32_t* lastError) {
  if (events.empty() || events.size() > MAXIMUM_WAIT_OBJECTS) {
    if (lastError) *lastError = ERROR_INVALID_PARAMETER;
    return WAIT_FAILED;
  }
  if (std::find(events.begin(), events.end(), nullptr) != events.end()) {
    if (lastError) *lastError = ERROR_INVALID_HANDLE;
    return WAIT_FAILED;
  }
  detail::EventHub& hub = detail::Hub();
  auto ready = [&]() -> int {
    for (size_t i = 0; i < events.size(); ++i) {
      if (events[i]->TryConsumeLocked()) return static_cast<int>(i);
    }
    return -1;
  };
  std::unique_lock lock(hub.mutex);
  int index = ready();
  if (index < 0 && timeoutMs != 0) {
    if (timeoutMs == INFINITE) {
      hub.changed.wait(lock, [&] { return (index = ready()) >= 0; });
    } else {
      auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
      hub.changed.wait_until(lock, deadline, [&] { return (index = ready()) >= 0; });
    }
  }
  return index < 0 ? WAIT_TIMEOUT : WAIT_OBJECT_0 + static_cast<uint32_t>(index);
}

// WaitForSingleObject.
inline uint32_t WaitForEvent(Event& event, uint32_t timeoutMs) {
  Event* list[] = {&event};
  return WaitForEvents(list, timeoutMs, nullptr);
}

// ---- Stream clients ----------------------------------------------------------------------------
// The capture service of an initialised client (IAudioCaptureClient). Called on one thread at a
// time (the engine's capture thread).
class AudioCaptureClient {
 public:
  virtual ~AudioCaptureClient() = default;
  // Frames in the next packet; 0 when nothing is waiting.
  virtual HRESULT GetNextPacketSize(uint32_t* frames) = 0;
  // The next packet, interleaved in the mix format. AUDCLNT_S_BUFFER_EMPTY (success) with 0 frames
  // when nothing is waiting. The data stays valid until ReleaseBuffer; a second GetBuffer before
  // it gives AUDCLNT_E_OUT_OF_ORDER. Packets flagged AUDCLNT_BUFFERFLAGS_SILENT hold zeros.
  // devicePosition and qpcPosition may be null.
  virtual HRESULT GetBuffer(uint8_t** data, uint32_t* frames, uint32_t* flags, uint64_t* devicePosition,
                            uint64_t* qpcPosition) = 0;
  // frames must be 0 or the whole packet (AUDCLNT_E_INVALID_SIZE otherwise).
  virtual HRESULT ReleaseBuffer(uint32_t frames) = 0;
};

// AudioClientProperties.
struct AudioClientProperties {
  uint32_t cbSize = 16;
  bool bIsOffload = false;
  AUDIO_STREAM_CATEGORY eCategory = AudioCategory_Other;
  uint32_t Options = AUDCLNT_STREAMOPTIONS_NONE;
};

// IAudioClient2, as far as the engine uses it. Valid for the lifetime of its client.
class AudioClient2 {
 public:
  virtual ~AudioClient2() = default;
  // Before Initialize. AudioCategory_Communications asks for the platform's voice processing
  // (echo cancellation); AUDCLNT_STREAMOPTIONS_RAW asks for no processing. A request the
  // endpoint cannot honour fails (HRESULT_ERROR_NOT_SUPPORTED) and changes nothing.
  virtual HRESULT SetClientProperties(const AudioClientProperties& properties) = 0;
};

// A shared-mode stream client (IAudioClient). Set up on one thread, then Start/Stop from the
// owner's thread; the event handle is set by the platform from its own thread whenever data is
// ready.
class AudioClient {
 public:
  virtual ~AudioClient() = default;
  // The stream's format, in the extensible layout. Null with a failure code when unknown.
  virtual HRESULT GetMixFormat(std::unique_ptr<WaveFormat>* format) = 0;
  // Shared mode only; AUDCLNT_STREAMFLAGS_LOOPBACK only on render endpoints and process loopback
  // (AUDCLNT_E_WRONG_ENDPOINT_TYPE otherwise). The format must be the mix format
  // (AUDCLNT_E_UNSUPPORTED_FORMAT otherwise). A second call gives AUDCLNT_E_ALREADY_INITIALIZED.
  virtual HRESULT Initialize(AUDCLNT_SHAREMODE shareMode, uint32_t streamFlags, int64_t bufferDurationHns,
                             int64_t periodicityHns, const WaveFormat* format) = 0;
  // After Initialize with AUDCLNT_STREAMFLAGS_EVENTCALLBACK (AUDCLNT_E_EVENTHANDLE_NOT_EXPECTED
  // without it, AUDCLNT_E_NOT_INITIALIZED before it). The client keeps the event alive.
  virtual HRESULT SetEventHandle(std::shared_ptr<Event> event) = 0;
  // GetService(IID_IAudioCaptureClient).
  virtual HRESULT GetCaptureClient(std::shared_ptr<AudioCaptureClient>* captureClient) = 0;
  // Start: AUDCLNT_E_NOT_INITIALIZED before Initialize, AUDCLNT_E_EVENTHANDLE_NOT_SET for an
  // event-driven stream without its event, AUDCLNT_E_NOT_STOPPED when running. Stop on a
  // stopped stream gives S_FALSE.
  virtual HRESULT Start() = 0;
  virtual HRESULT Stop() = 0;
  // Latency of the stream in 100-ns units (AUDCLNT_E_NOT_INITIALIZED before Initialize).
  virtual HRESULT GetStreamLatency(int64_t* latencyHns) = 0;
  // QueryInterface(IID_IAudioClient2): null when the client has no such interface.
  virtual AudioClient2* QueryAudioClient2() = 0;
};

// ---- Endpoints ---------------------------------------------------------------------------------
// An endpoint (IMMDevice).
class Device {
 public:
  virtual ~Device() = default;
  // The endpoint id, the form GetDevice takes.
  virtual HRESULT GetId(std::wstring* id) = 0;
  // A human-readable name.
  virtual HRESULT GetFriendlyName(std::wstring* name) = 0;
  virtual EDataFlow GetDataFlow() = 0;
  // Activate(IID_IAudioClient): a fresh client on every call.
  virtual HRESULT Activate(std::shared_ptr<AudioClient>* client) = 0;
};

// IMMDeviceEnumerator. E_NOTFOUND when there is no such endpoint.
class DeviceEnumerator {
 public:
  virtual ~DeviceEnumerator() = default;
  virtual HRESULT GetDefaultAudioEndpoint(EDataFlow dataFlow, ERole role, std::shared_ptr<Device>* device) = 0;
  virtual HRESULT GetDevice(const std::wstring& id, std::shared_ptr<Device>* device) = 0;
  // Active endpoints of a flow (eAll for both).
  virtual HRESULT EnumAudioEndpoints(EDataFlow dataFlow, std::vector<std::shared_ptr<Device>>* devices) = 0;
};

// ---- Process loopback activation ---------------------------------------------------------------
// The virtual device that ActivateAudioInterfaceAsync takes for process loopback.
inline constexpr wchar_t VIRTUAL_AUDIO_DEVICE_PROCESS_LOOPBACK[] = L"VAD\\Process_Loopback";

enum AUDIOCLIENT_ACTIVATION_TYPE : uint32_t {
  AUDIOCLIENT_ACTIVATION_TYPE_DEFAULT = 0,
  AUDIOCLIENT_ACTIVATION_TYPE_PROCESS_LOOPBACK = 1,
};
enum PROCESS_LOOPBACK_MODE : uint32_t {
  PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE = 0,
  PROCESS_LOOPBACK_MODE_EXCLUDE_TARGET_PROCESS_TREE = 1,
};
struct AUDIOCLIENT_PROCESS_LOOPBACK_PARAMS {
  uint32_t TargetProcessId = 0;
  PROCESS_LOOPBACK_MODE ProcessLoopbackMode = PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE;
};
struct AUDIOCLIENT_ACTIVATION_PARAMS {
  AUDIOCLIENT_ACTIVATION_TYPE ActivationType = AUDIOCLIENT_ACTIVATION_TYPE_DEFAULT;
  AUDIOCLIENT_PROCESS_LOOPBACK_PARAMS ProcessLoopbackParams;
};
static_assert(sizeof(AUDIOCLIENT_ACTIVATION_PARAMS) == 12);

inline constexpr uint16_t VT_BLOB = 65;
// The PROPVARIANT that carries the activation parameters: a VT_BLOB pointing at caller memory
// that must stay valid for the call.
struct PropVariantBlob {
  uint16_t vt = 0;
  struct {
    uint32_t cbSize = 0;
    const uint8_t* pBlobData = nullptr;
  } blob;
};

// IActivateAudioInterfaceAsyncOperation.
class ActivateAudioInterfaceAsyncOperation {
 public:
  virtual ~ActivateAudioInterfaceAsyncOperation() = default;
  // E_ILLEGAL_METHOD_CALL before completion. Otherwise S_OK with the activation's own code in
  // *activateResult and the client (null on failure) in *activatedInterface.
  virtual HRESULT GetActivateResult(HRESULT* activateResult, std::shared_ptr<AudioClient>* activatedInterface) = 0;
};

// IActivateAudioInterfaceCompletionHandler. Called once, on a platform worker thread, never on
// the thread that started the activation; it may outlive the caller's interest in it.
class ActivateAudioInterfaceCompletionHandler {
 public:
  virtual ~ActivateAudioInterfaceCompletionHandler() = default;
  virtual HRESULT ActivateCompleted(ActivateAudioInterfaceAsyncOperation& operation) = 0;
};

// ---- The backend -------------------------------------------------------------------------------
class AudioSystem {
 public:
  virtual ~AudioSystem() = default;
  // CoCreateInstance(CLSID_MMDeviceEnumerator): a fresh enumerator.
  virtual HRESULT CreateDeviceEnumerator(std::shared_ptr<DeviceEnumerator>* enumerator) = 0;
  // ActivateAudioInterfaceAsync. For VIRTUAL_AUDIO_DEVICE_PROCESS_LOOPBACK with a process-loopback
  // blob, the completed client captures the target process (and, in include mode, its
  // descendants). Returns at once; the handler runs later on a platform thread. E_INVALIDARG for
  // a malformed blob, E_NOTIMPL for other paths or interfaces.
  virtual HRESULT ActivateAudioInterfaceAsync(const std::wstring& deviceInterfacePath,
                                              const PropVariantBlob* activationParams,
                                              std::shared_ptr<ActivateAudioInterfaceCompletionHandler> handler,
                                              std::shared_ptr<ActivateAudioInterfaceAsyncOperation>* operation) = 0;
  // VerifyVersionInfoW(VER_BUILDNUMBER, VER_GREATER_EQUAL): whether the platform is at least that
  // build, which decides whether process loopback exists.
  virtual bool IsBuildAtLeast(uint32_t buildNumber) = 0;

  // CreateEventW.
  virtual std::shared_ptr<Event> CreateEvent(bool manualReset, bool initialState) {
    return std::make_shared<Event>(manualReset, initialState);
  }
  // WaitForMultipleObjects (wait for any); *lastError is GetLastError after WAIT_FAILED.
  virtual uint32_t WaitForMultipleObjects(std::span<Event* const> events, uint32_t timeoutMs, uint32_t* lastError) {
    return WaitForEvents(events, timeoutMs, lastError);
  }
};

}  // namespace kalto::platform::audio
