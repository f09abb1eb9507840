#pragma once
// A scripted audio system: endpoints with any mix format, packets that tests queue by hand
// (silent ones included), missing endpoints and defaults, a failure code at every call the engine
// makes, and process-loopback activations that complete at once, late, never, or with any code.
// Every call is recorded so tests can check what the engine asked for.
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/audio/audio.h"

namespace kalto::platform::audio {

// The calls of one endpoint's clients that can be made to fail.
enum class FakeAudioPoint {
  Activate,
  GetMixFormat,
  Initialize,
  SetEventHandle,
  GetCaptureClient,
  SetClientProperties,
  Start,
  Stop,
  GetStreamLatency,
  GetNextPacketSize,
  GetBuffer,         // the packet is lost, as a failed read of a broken stream would lose it
  ReleaseBuffer,
  Count
};

// How a switched-on failure shows itself: a returned code, or a thrown std::runtime_error.
// `times` limits how often it fires (-1: always).
struct FakeAudioFault {
  HRESULT code = S_OK;
  int times = -1;
  bool throws = false;
  std::string what = "Fake audio failure";

  static FakeAudioFault Code(HRESULT code, int times = -1) { return {code, times, false, {}}; }
  static FakeAudioFault Throw(std::string what, int times = -1) { return {E_FAIL, times, true, std::move(what)}; }
  bool Active() const { return times != 0 && (throws || code != S_OK); }
};

class FakeAudioEndpoint;

// A stream client of a fake endpoint, with its packet queue.
class FakeAudioClient : public AudioClient, public AudioClient2, public std::enable_shared_from_this<FakeAudioClient> {
 public:
  FakeAudioClient(std::shared_ptr<FakeAudioEndpoint> endpoint, bool processLoopback);
  ~FakeAudioClient() override;

  // Queues one packet (interleaved in the mix format) and sets the stream's event.
  void PushPacket(std::vector<uint8_t> bytes, uint32_t frames, uint32_t flags = 0);
  // Float or 16-bit samples, interleaved with the mix format's channel count.
  void PushFloat(const std::vector<float>& samples);
  void PushInt16(const std::vector<int16_t>& samples);
  // A packet flagged AUDCLNT_BUFFERFLAGS_SILENT of `frames` zero frames.
  void PushSilent(uint32_t frames);

  bool IsInitialized() const;
  bool IsStarted() const;
  uint32_t InitializeFlags() const;
  int64_t InitializeBufferDuration() const;
  int StartCalls() const;
  int StopCalls() const;
  int GetBufferCalls() const;
  int ReleaseBufferCalls() const;
  size_t QueuedPackets() const;
  std::vector<AudioClientProperties> PropertiesSet() const;
  std::shared_ptr<Event> EventHandle() const;

  HRESULT GetMixFormat(std::unique_ptr<WaveFormat>* format) override;
  HRESULT Initialize(AUDCLNT_SHAREMODE shareMode, uint32_t streamFlags, int64_t bufferDurationHns,
                     int64_t periodicityHns, const WaveFormat* format) override;
  HRESULT SetEventHandle(std::shared_ptr<Event> event) override;
  HRESULT GetCaptureClient(std::shared_ptr<AudioCaptureClient>* captureClient) override;
  HRESULT Start() override;
  HRESULT Stop() override;
  HRESULT GetStreamLatency(int64_t* latencyHns) override;
  AudioClient2* QueryAudioClient2() override;
  HRESULT SetClientProperties(const AudioClientProperties& properties) override;

  // The capture service's calls.
  HRESULT NextPacketSize(uint32_t* frames);
  HRESULT TakeBuffer(uint8_t** data, uint32_t* frames, uint32_t* flags);
  HRESULT GiveBackBuffer(uint32_t frames);

 private:
  struct Packet {
    std::vector<uint8_t> bytes;
    uint32_t frames = 0;
    uint32_t flags = 0;
  };

  std::shared_ptr<FakeAudioEndpoint> m_endpoint;
  const bool m_processLoopback;
  mutable std::mutex m_mutex;
  std::vector<Packet> m_packets;  // front is index 0
  Packet m_handedOut;
  bool m_hasHandedOut = false;
  bool m_initialized = false;
  bool m_started = false;
  uint32_t m_flags = 0;
  int64_t m_bufferDuration = 0;
  std::shared_ptr<Event> m_event;
  int m_startCalls = 0;
  int m_stopCalls = 0;
  int m_getBufferCalls = 0;
  int m_releaseBufferCalls = 0;
  std::vector<AudioClientProperties> m_properties;
};

// An endpoint (or the process-loopback source): its id, flow, mix format, options and faults.
class FakeAudioEndpoint : public Device, public std::enable_shared_from_this<FakeAudioEndpoint> {
 public:
  FakeAudioEndpoint(std::wstring id, EDataFlow flow, WaveFormat mixFormat, std::wstring name);

  void SetFault(FakeAudioPoint point, FakeAudioFault fault);
  // The next call at `point` blocks this long first (a hung platform call); 0 switches it off.
  void SetDelayOnce(FakeAudioPoint point, int delayMs);
  // How many delayed calls have begun their wait.
  int DelaysStarted() const;
  void ClearFaults();
  void SetMixFormat(const WaveFormat& format);
  void SetHasAudioClient2(bool has);
  void SetLatencyHns(int64_t latency);
  // Success without a result, as a broken driver might answer.
  void SetNullMixFormat(bool null);
  void SetNullCaptureClient(bool null);
  // The client most recently activated on this endpoint (null before any).
  std::shared_ptr<FakeAudioClient> LastClient() const;
  int ActivateCalls() const;

  HRESULT GetId(std::wstring* id) override;
  HRESULT GetFriendlyName(std::wstring* name) override;
  EDataFlow GetDataFlow() override { return m_flow; }
  HRESULT Activate(std::shared_ptr<AudioClient>* client) override;

  // Internal to the fake's objects. Consumes one firing of the fault; throws for throwing ones.
  HRESULT Check(FakeAudioPoint point);
  WaveFormat MixFormat() const;
  bool HasAudioClient2() const;
  int64_t LatencyHns() const;
  bool NullMixFormat() const;
  bool NullCaptureClient() const;
  std::shared_ptr<FakeAudioClient> MakeClient(bool processLoopback);

 private:
  const std::wstring m_id;
  const EDataFlow m_flow;
  const std::wstring m_name;
  mutable std::mutex m_mutex;
  WaveFormat m_mixFormat;
  bool m_hasClient2 = true;
  int64_t m_latency = 0;
  bool m_nullMixFormat = false;
  bool m_nullCaptureClient = false;
  FakeAudioFault m_faults[static_cast<int>(FakeAudioPoint::Count)];
  int m_delaysMs[static_cast<int>(FakeAudioPoint::Count)] = {};
  int m_delaysStarted = 0;
  std::weak_ptr<FakeAudioClient> m_lastClient;
  int m_activateCalls = 0;
};

// How the next process-loopback activations behave.
struct FakeActivation {
  HRESULT callResult = S_OK;       // what ActivateAudioInterfaceAsync itself returns
  HRESULT resultCallFailure = S_OK;  // a failure of GetActivateResult itself
  HRESULT activateResult = S_OK;   // the activation's own code
  bool nullClient = false;         // success without an interface
  int delayMs = 0;                 // completion this long after the call
  bool never = false;              // completes only at ReleasePendingActivations or destruction
};

// What the engine asked ActivateAudioInterfaceAsync for.
struct FakeActivationRequest {
  std::wstring path;
  uint16_t vt = 0;
  uint32_t blobSize = 0;
  AUDIOCLIENT_ACTIVATION_PARAMS params;
};

class FakeAudioSystem : public AudioSystem {
 public:
  FakeAudioSystem();
  ~FakeAudioSystem() override;
  FakeAudioSystem(const FakeAudioSystem&) = delete;
  FakeAudioSystem& operator=(const FakeAudioSystem&) = delete;

  // Endpoints. A flow/role without a default gives E_NOTFOUND; so does an unknown id.
  std::shared_ptr<FakeAudioEndpoint> AddEndpoint(EDataFlow flow, std::wstring id, WaveFormat mixFormat,
                                                 std::wstring name = {});
  void RemoveEndpoint(const std::wstring& id);
  void SetDefault(EDataFlow flow, ERole role, const std::wstring& id);
  // Every role of the flow.
  void SetDefault(EDataFlow flow, const std::wstring& id);
  void ClearDefault(EDataFlow flow, ERole role);
  // GetDefaultAudioEndpoint(flow, role) fails with `code` (S_OK switches it off).
  void SetDefaultEndpointFault(EDataFlow flow, ERole role, HRESULT code);
  void SetCreateEnumeratorFault(HRESULT code);
  // GetDevice calls in order, for checking the fallbacks.
  std::vector<std::wstring> GetDeviceRequests() const;
  std::vector<std::pair<EDataFlow, ERole>> DefaultEndpointRequests() const;

  // Process loopback: the source its clients come from (any format), the activation behaviour,
  // the requests seen, and how many completions ran.
  std::shared_ptr<FakeAudioEndpoint> ProcessLoopbackEndpoint() const { return m_processLoopback; }
  void SetActivation(FakeActivation activation);
  std::vector<FakeActivationRequest> ActivationRequests() const;
  int ActivationsCompleted() const;
  // Waits until `count` completions have run.
  bool WaitForActivationsCompleted(int count, int timeoutMs) const;
  void ReleasePendingActivations();

  void SetBuildNumber(uint32_t build);
  int BuildChecks() const;
  // The capture thread's waits fail with this GetLastError value (0 switches it off).
  void SetWaitFailure(uint32_t lastError);
  int WaitCalls() const;

  HRESULT CreateDeviceEnumerator(std::shared_ptr<DeviceEnumerator>* enumerator) override;
  HRESULT ActivateAudioInterfaceAsync(const std::wstring& deviceInterfacePath, const PropVariantBlob* activationParams,
                                      std::shared_ptr<ActivateAudioInterfaceCompletionHandler> handler,
                                      std::shared_ptr<ActivateAudioInterfaceAsyncOperation>* operation) override;
  bool IsBuildAtLeast(uint32_t buildNumber) override;
  uint32_t WaitForMultipleObjects(std::span<Event* const> events, uint32_t timeoutMs, uint32_t* lastError) override;

  // Internal to the enumerator.
  HRESULT DefaultEndpoint(EDataFlow flow, ERole role, std::shared_ptr<Device>* device);
  HRESULT FindDevice(const std::wstring& id, std::shared_ptr<Device>* device);
  HRESULT EnumEndpoints(EDataFlow flow, std::vector<std::shared_ptr<Device>>* devices);

 private:
  mutable std::mutex m_mutex;
  mutable std::condition_variable m_changed;
  std::map<std::wstring, std::shared_ptr<FakeAudioEndpoint>> m_endpoints;
  std::vector<std::wstring> m_endpointOrder;
  std::map<std::pair<EDataFlow, ERole>, std::wstring> m_defaults;
  std::map<std::pair<EDataFlow, ERole>, HRESULT> m_defaultFaults;
  HRESULT m_createEnumeratorFault = S_OK;
  std::vector<std::wstring> m_getDeviceRequests;
  std::vector<std::pair<EDataFlow, ERole>> m_defaultRequests;
  std::shared_ptr<FakeAudioEndpoint> m_processLoopback;
  FakeActivation m_activation;
  std::vector<FakeActivationRequest> m_activationRequests;
  int m_activationsCompleted = 0;
  bool m_releasePending = false;
  bool m_quit = false;
  std::vector<std::thread> m_activationThreads;
  uint32_t m_buildNumber = 22631;
  int m_buildChecks = 0;
  uint32_t m_waitFailure = 0;
  int m_waitCalls = 0;
};

// Mix formats as endpoints report them.
WaveFormat FakeFloatFormat(uint32_t sampleRate, uint16_t channels);
WaveFormat FakePcm16Format(uint32_t sampleRate, uint16_t channels);

}  // namespace kalto::platform::audio
