#include "platform/audio/fake/fake_audio_system.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

namespace kalto::platform::audio {
namespace {

bool SameFormat(const WaveFormat& a, const WaveFormat& b) {
  return a.wFormatTag == b.wFormatTag && a.nChannels == b.nChannels && a.nSamplesPerSec == b.nSamplesPerSec &&
         a.wBitsPerSample == b.wBitsPerSample && a.nBlockAlign == b.nBlockAlign;
}

uint32_t FrameBytes(const WaveFormat& format) {
  return format.nBlockAlign != 0 ? format.nBlockAlign : format.nChannels * (format.wBitsPerSample / 8u);
}

class FakeCaptureClient : public AudioCaptureClient {
 public:
  explicit FakeCaptureClient(std::shared_ptr<FakeAudioClient> client) : m_client(std::move(client)) {}
  HRESULT GetNextPacketSize(uint32_t* frames) override { return m_client->NextPacketSize(frames); }
  HRESULT GetBuffer(uint8_t** data, uint32_t* frames, uint32_t* flags, uint64_t* devicePosition,
                    uint64_t* qpcPosition) override {
    if (devicePosition) *devicePosition = 0;
    if (qpcPosition) *qpcPosition = 0;
    return m_client->TakeBuffer(data, frames, flags);
  }
  HRESULT ReleaseBuffer(uint32_t frames) override { return m_client->GiveBackBuffer(frames); }

 private:
  std::shared_ptr<FakeAudioClient> m_client;
};

class FakeEnumerator : public DeviceEnumerator {
 public:
  explicit FakeEnumerator(FakeAudioSystem& system) : m_system(system) {}
  HRESULT GetDefaultAudioEndpoint(EDataFlow dataFlow, ERole role, std::shared_ptr<Device>* device) override {
    return m_system.DefaultEndpoint(dataFlow, role, device);
  }
  HRESULT GetDevice(const std::wstring& id, std::shared_ptr<Device>* device) override {
    return m_system.FindDevice(id, device);
  }
  HRESULT EnumAudioEndpoints(EDataFlow dataFlow, std::vector<std::shared_ptr<Device>>* devices) override {
    return m_system.EnumEndpoints(dataFlow, devices);
  }

 private:
  FakeAudioSystem& m_system;
};

class FakeActivateOperation : public ActivateAudioInterfaceAsyncOperation {
 public:
  FakeActivateOperation(HRESULT callFailure, HRESULT activateResult, std::shared_ptr<AudioClient> client)
      : m_callFailure(callFailure), m_activateResult(activateResult), m_client(std::move(client)) {}
  HRESULT GetActivateResult(HRESULT* activateResult, std::shared_ptr<AudioClient>* activatedInterface) override {
    std::lock_guard lock(m_mutex);
    if (!m_completed) return E_ILLEGAL_METHOD_CALL;
    if (Failed(m_callFailure)) return m_callFailure;
    *activateResult = m_activateResult;
    *activatedInterface = Failed(m_activateResult) ? nullptr : m_client;
    return S_OK;
  }
  void MarkCompleted() {
    std::lock_guard lock(m_mutex);
    m_completed = true;
  }

 private:
  std::mutex m_mutex;
  bool m_completed = false;
  const HRESULT m_callFailure;
  const HRESULT m_activateResult;
  const std::shared_ptr<AudioClient> m_client;
};

}  // namespace

WaveFormat FakeFloatFormat(uint32_t sampleRate, uint16_t channels) {
  return MakeExtensibleFormat(sampleRate, channels, 32, true, channels == 1 ? KSAUDIO_SPEAKER_MONO
                                                                            : KSAUDIO_SPEAKER_STEREO);
}

WaveFormat FakePcm16Format(uint32_t sampleRate, uint16_t channels) {
  WaveFormat f;
  f.wFormatTag = WAVE_FORMAT_PCM;
  f.nChannels = channels;
  f.nSamplesPerSec = sampleRate;
  f.wBitsPerSample = 16;
  f.nBlockAlign = static_cast<uint16_t>(channels * 2);
  f.nAvgBytesPerSec = sampleRate * f.nBlockAlign;
  return f;
}

// ---- FakeAudioClient -----------------------------------------------------------------------------

FakeAudioClient::FakeAudioClient(std::shared_ptr<FakeAudioEndpoint> endpoint, bool processLoopback)
    : m_endpoint(std::move(endpoint)), m_processLoopback(processLoopback) {}

FakeAudioClient::~FakeAudioClient() = default;

void FakeAudioClient::PushPacket(std::vector<uint8_t> bytes, uint32_t frames, uint32_t flags) {
  std::shared_ptr<Event> event;
  {
    std::lock_guard lock(m_mutex);
    m_packets.push_back({std::move(bytes), frames, flags});
    event = m_event;
  }
  if (event) event->Set();
}

void FakeAudioClient::PushFloat(const std::vector<float>& samples) {
  const uint32_t channels = std::max<uint32_t>(m_endpoint->MixFormat().nChannels, 1);
  std::vector<uint8_t> bytes(samples.size() * sizeof(float));
  std::memcpy(bytes.data(), samples.data(), bytes.size());
  PushPacket(std::move(bytes), static_cast<uint32_t>(samples.size() / channels));
}

void FakeAudioClient::PushInt16(const std::vector<int16_t>& samples) {
  const uint32_t channels = std::max<uint32_t>(m_endpoint->MixFormat().nChannels, 1);
  std::vector<uint8_t> bytes(samples.size() * sizeof(int16_t));
  std::memcpy(bytes.data(), samples.data(), bytes.size());
  PushPacket(std::move(bytes), static_cast<uint32_t>(samples.size() / channels));
}

void FakeAudioClient::PushSilent(uint32_t frames) {
  PushPacket(std::vector<uint8_t>(static_cast<size_t>(frames) * FrameBytes(m_endpoint->MixFormat()), 0), frames,
             AUDCLNT_BUFFERFLAGS_SILENT);
}

bool FakeAudioClient::IsInitialized() const {
  std::lock_guard lock(m_mutex);
  return m_initialized;
}
bool FakeAudioClient::IsStarted() const {
  std::lock_guard lock(m_mutex);
  return m_started;
}
uint32_t FakeAudioClient::InitializeFlags() const {
  std::lock_guard lock(m_mutex);
  return m_flags;
}
int64_t FakeAudioClient::InitializeBufferDuration() const {
  std::lock_guard lock(m_mutex);
  return m_bufferDuration;
}
int FakeAudioClient::StartCalls() const {
  std::lock_guard lock(m_mutex);
  return m_startCalls;
}
int FakeAudioClient::StopCalls() const {
  std::lock_guard lock(m_mutex);
  return m_stopCalls;
}
int FakeAudioClient::GetBufferCalls() const {
  std::lock_guard lock(m_mutex);
  return m_getBufferCalls;
}
int FakeAudioClient::ReleaseBufferCalls() const {
  std::lock_guard lock(m_mutex);
  return m_releaseBufferCalls;
}
size_t FakeAudioClient::QueuedPackets() const {
  std::lock_guard lock(m_mutex);
  return m_packets.size();
}
std::vector<AudioClientProperties> FakeAudioClient::PropertiesSet() const {
  std::lock_guard lock(m_mutex);
  return m_properties;
}
std::shared_ptr<Event> FakeAudioClient::EventHandle() const {
  std::lock_guard lock(m_mutex);
  return m_event;
}

HRESULT FakeAudioClient::GetMixFormat(std::unique_ptr<WaveFormat>* format) {
  format->reset();
  if (HRESULT hr = m_endpoint->Check(FakeAudioPoint::GetMixFormat); Failed(hr)) return hr;
  if (m_endpoint->NullMixFormat()) return S_OK;
  *format = std::make_unique<WaveFormat>(m_endpoint->MixFormat());
  return S_OK;
}

HRESULT FakeAudioClient::Initialize(AUDCLNT_SHAREMODE shareMode, uint32_t streamFlags, int64_t bufferDurationHns,
                                    int64_t /*periodicityHns*/, const WaveFormat* format) {
  if (HRESULT hr = m_endpoint->Check(FakeAudioPoint::Initialize); Failed(hr)) return hr;
  std::lock_guard lock(m_mutex);
  if (m_initialized) return AUDCLNT_E_ALREADY_INITIALIZED;
  if (shareMode != AUDCLNT_SHAREMODE_SHARED || format == nullptr) return E_INVALIDARG;
  if ((streamFlags & AUDCLNT_STREAMFLAGS_LOOPBACK) && !m_processLoopback && m_endpoint->GetDataFlow() != eRender) {
    return AUDCLNT_E_WRONG_ENDPOINT_TYPE;
  }
  if (!SameFormat(*format, m_endpoint->MixFormat())) return AUDCLNT_E_UNSUPPORTED_FORMAT;
  m_initialized = true;
  m_flags = streamFlags;
  m_bufferDuration = bufferDurationHns;
  return S_OK;
}

HRESULT FakeAudioClient::SetEventHandle(std::shared_ptr<Event> event) {
  if (HRESULT hr = m_endpoint->Check(FakeAudioPoint::SetEventHandle); Failed(hr)) return hr;
  std::lock_guard lock(m_mutex);
  if (!m_initialized) return AUDCLNT_E_NOT_INITIALIZED;
  if ((m_flags & AUDCLNT_STREAMFLAGS_EVENTCALLBACK) == 0) return AUDCLNT_E_EVENTHANDLE_NOT_EXPECTED;
  if (!event) return E_INVALIDARG;
  m_event = std::move(event);
  return S_OK;
}

HRESULT FakeAudioClient::GetCaptureClient(std::shared_ptr<AudioCaptureClient>* captureClient) {
  captureClient->reset();
  if (HRESULT hr = m_endpoint->Check(FakeAudioPoint::GetCaptureClient); Failed(hr)) return hr;
  {
    std::lock_guard lock(m_mutex);
    if (!m_initialized) return AUDCLNT_E_NOT_INITIALIZED;
  }
  if (m_endpoint->NullCaptureClient()) return S_OK;
  *captureClient = std::make_shared<FakeCaptureClient>(shared_from_this());
  return S_OK;
}

HRESULT FakeAudioClient::Start() {
  {
    std::lock_guard lock(m_mutex);
    ++m_startCalls;
  }
  if (HRESULT hr = m_endpoint->Check(FakeAudioPoint::Start); Failed(hr)) return hr;
  std::lock_guard lock(m_mutex);
  if (!m_initialized) return AUDCLNT_E_NOT_INITIALIZED;
  if ((m_flags & AUDCLNT_STREAMFLAGS_EVENTCALLBACK) && !m_event) return AUDCLNT_E_EVENTHANDLE_NOT_SET;
  if (m_started) return AUDCLNT_E_NOT_STOPPED;
  m_started = true;
  return S_OK;
}

HRESULT FakeAudioClient::Stop() {
  {
    std::lock_guard lock(m_mutex);
    ++m_stopCalls;
  }
  if (HRESULT hr = m_endpoint->Check(FakeAudioPoint::Stop); Failed(hr)) return hr;
  std::lock_guard lock(m_mutex);
  if (!m_initialized) return AUDCLNT_E_NOT_INITIALIZED;
  if (!m_started) return S_FALSE;
  m_started = false;
  return S_OK;
}

HRESULT FakeAudioClient::GetStreamLatency(int64_t* latencyHns) {
  *latencyHns = 0;
  if (HRESULT hr = m_endpoint->Check(FakeAudioPoint::GetStreamLatency); Failed(hr)) return hr;
  if (!IsInitialized()) return AUDCLNT_E_NOT_INITIALIZED;
  *latencyHns = m_endpoint->LatencyHns();
  return S_OK;
}

AudioClient2* FakeAudioClient::QueryAudioClient2() { return m_endpoint->HasAudioClient2() ? this : nullptr; }

HRESULT FakeAudioClient::SetClientProperties(const AudioClientProperties& properties) {
  if (HRESULT hr = m_endpoint->Check(FakeAudioPoint::SetClientProperties); Failed(hr)) return hr;
  std::lock_guard lock(m_mutex);
  if (m_initialized) return AUDCLNT_E_ALREADY_INITIALIZED;
  m_properties.push_back(properties);
  return S_OK;
}

HRESULT FakeAudioClient::NextPacketSize(uint32_t* frames) {
  *frames = 0;
  if (HRESULT hr = m_endpoint->Check(FakeAudioPoint::GetNextPacketSize); Failed(hr)) return hr;
  std::lock_guard lock(m_mutex);
  if (!m_initialized) return AUDCLNT_E_NOT_INITIALIZED;
  *frames = m_packets.empty() ? 0 : m_packets.front().frames;
  return S_OK;
}

HRESULT FakeAudioClient::TakeBuffer(uint8_t** data, uint32_t* frames, uint32_t* flags) {
  *data = nullptr;
  *frames = 0;
  *flags = 0;
  HRESULT fault = m_endpoint->Check(FakeAudioPoint::GetBuffer);
  std::lock_guard lock(m_mutex);
  ++m_getBufferCalls;
  if (Failed(fault)) {
    if (!m_packets.empty()) m_packets.erase(m_packets.begin());
    return fault;
  }
  if (!m_initialized) return AUDCLNT_E_NOT_INITIALIZED;
  if (m_hasHandedOut) return AUDCLNT_E_OUT_OF_ORDER;
  if (m_packets.empty()) return AUDCLNT_S_BUFFER_EMPTY;
  m_handedOut = std::move(m_packets.front());
  m_packets.erase(m_packets.begin());
  m_hasHandedOut = true;
  *data = m_handedOut.bytes.data();
  *frames = m_handedOut.frames;
  *flags = m_handedOut.flags;
  return S_OK;
}

HRESULT FakeAudioClient::GiveBackBuffer(uint32_t frames) {
  HRESULT fault = m_endpoint->Check(FakeAudioPoint::ReleaseBuffer);
  std::lock_guard lock(m_mutex);
  ++m_releaseBufferCalls;
  if (Failed(fault)) return fault;
  if (!m_hasHandedOut) return frames == 0 ? S_OK : AUDCLNT_E_OUT_OF_ORDER;
  if (frames != 0 && frames != m_handedOut.frames) return AUDCLNT_E_INVALID_SIZE;
  m_hasHandedOut = false;
  m_handedOut = {};
  return S_OK;
}

// ---- FakeAudioEndpoint ---------------------------------------------------------------------------

FakeAudioEndpoint::FakeAudioEndpoint(std::wstring id, EDataFlow flow, WaveFormat mixFormat, std::wstring name)
    : m_id(std::move(id)), m_flow(flow), m_name(std::move(name)), m_mixFormat(mixFormat) {}

void FakeAudioEndpoint::SetFault(FakeAudioPoint point, FakeAudioFault fault) {
  std::lock_guard lock(m_mutex);
  m_faults[static_cast<int>(point)] = std::move(fault);
}

void FakeAudioEndpoint::SetDelayOnce(FakeAudioPoint point, int delayMs) {
  std::lock_guard lock(m_mutex);
  m_delaysMs[static_cast<int>(point)] = delayMs;
}

int FakeAudioEndpoint::DelaysStarted() const {
  std::lock_guard lock(m_mutex);
  return m_delaysStarted;
}

void FakeAudioEndpoint::ClearFaults() {
  std::lock_guard lock(m_mutex);
  for (auto& fault : m_faults) fault = {};
  for (auto& delay : m_delaysMs) delay = 0;
}

void FakeAudioEndpoint::SetMixFormat(const WaveFormat& format) {
  std::lock_guard lock(m_mutex);
  m_mixFormat = format;
}
void FakeAudioEndpoint::SetHasAudioClient2(bool has) {
  std::lock_guard lock(m_mutex);
  m_hasClient2 = has;
}
void FakeAudioEndpoint::SetLatencyHns(int64_t latency) {
  std::lock_guard lock(m_mutex);
  m_latency = latency;
}
void FakeAudioEndpoint::SetNullMixFormat(bool null) {
  std::lock_guard lock(m_mutex);
  m_nullMixFormat = null;
}
void FakeAudioEndpoint::SetNullCaptureClient(bool null) {
  std::lock_guard lock(m_mutex);
  m_nullCaptureClient = null;
}
std::shared_ptr<FakeAudioClient> FakeAudioEndpoint::LastClient() const {
  std::lock_guard lock(m_mutex);
  return m_lastClient.lock();
}
int FakeAudioEndpoint::ActivateCalls() const {
  std::lock_guard lock(m_mutex);
  return m_activateCalls;
}
WaveFormat FakeAudioEndpoint::MixFormat() const {
  std::lock_guard lock(m_mutex);
  return m_mixFormat;
}
bool FakeAudioEndpoint::HasAudioClient2() const {
  std::lock_guard lock(m_mutex);
  return m_hasClient2;
}
int64_t FakeAudioEndpoint::LatencyHns() const {
  std::lock_guard lock(m_mutex);
  return m_latency;
}
bool FakeAudioEndpoint::NullMixFormat() const {
  std::lock_guard lock(m_mutex);
  return m_nullMixFormat;
}
bool FakeAudioEndpoint::NullCaptureClient() const {
  std::lock_guard lock(m_mutex);
  return m_nullCaptureClient;
}

HRESULT FakeAudioEndpoint::GetId(std::wstring* id) {
  *id = m_id;
  return S_OK;
}

HRESULT FakeAudioEndpoint::GetFriendlyName(std::wstring* name) {
  *name = m_name.empty() ? m_id : m_name;
  return S_OK;
}

HRESULT FakeAudioEndpoint::Check(FakeAudioPoint point) {
  int delayMs = 0;
  {
    std::lock_guard lock(m_mutex);
    std::swap(delayMs, m_delaysMs[static_cast<int>(point)]);
    if (delayMs > 0) ++m_delaysStarted;
  }
  if (delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
  FakeAudioFault fault;
  {
    std::lock_guard lock(m_mutex);
    auto& slot = m_faults[static_cast<int>(point)];
    if (!slot.Active()) return S_OK;
    if (slot.times > 0) --slot.times;
    fault = slot;
  }
  if (fault.throws) throw std::runtime_error(fault.what);
  return fault.code;
}

std::shared_ptr<FakeAudioClient> FakeAudioEndpoint::MakeClient(bool processLoopback) {
  auto client = std::make_shared<FakeAudioClient>(shared_from_this(), processLoopback);
  std::lock_guard lock(m_mutex);
  m_lastClient = client;
  return client;
}

HRESULT FakeAudioEndpoint::Activate(std::shared_ptr<AudioClient>* client) {
  client->reset();
  {
    std::lock_guard lock(m_mutex);
    ++m_activateCalls;
  }
  if (HRESULT hr = Check(FakeAudioPoint::Activate); Failed(hr)) return hr;
  *client = MakeClient(false);
  return S_OK;
}

// ---- FakeAudioSystem -----------------------------------------------------------------------------

FakeAudioSystem::FakeAudioSystem()
    : m_processLoopback(std::make_shared<FakeAudioEndpoint>(VIRTUAL_AUDIO_DEVICE_PROCESS_LOOPBACK, eRender,
                                                            FakeFloatFormat(48000, 2), L"Process loopback")) {}

FakeAudioSystem::~FakeAudioSystem() {
  {
    std::lock_guard lock(m_mutex);
    m_quit = true;
  }
  m_changed.notify_all();
  for (auto& thread : m_activationThreads) thread.join();
}

std::shared_ptr<FakeAudioEndpoint> FakeAudioSystem::AddEndpoint(EDataFlow flow, std::wstring id, WaveFormat mixFormat,
                                                                std::wstring name) {
  auto endpoint = std::make_shared<FakeAudioEndpoint>(id, flow, mixFormat, std::move(name));
  std::lock_guard lock(m_mutex);
  if (!m_endpoints.count(id)) m_endpointOrder.push_back(id);
  m_endpoints[id] = endpoint;
  return endpoint;
}

void FakeAudioSystem::RemoveEndpoint(const std::wstring& id) {
  std::lock_guard lock(m_mutex);
  m_endpoints.erase(id);
  std::erase(m_endpointOrder, id);
}

void FakeAudioSystem::SetDefault(EDataFlow flow, ERole role, const std::wstring& id) {
  std::lock_guard lock(m_mutex);
  m_defaults[{flow, role}] = id;
}

void FakeAudioSystem::SetDefault(EDataFlow flow, const std::wstring& id) {
  for (ERole role : {eConsole, eMultimedia, eCommunications}) SetDefault(flow, role, id);
}

void FakeAudioSystem::ClearDefault(EDataFlow flow, ERole role) {
  std::lock_guard lock(m_mutex);
  m_defaults.erase({flow, role});
}

void FakeAudioSystem::SetDefaultEndpointFault(EDataFlow flow, ERole role, HRESULT code) {
  std::lock_guard lock(m_mutex);
  m_defaultFaults[{flow, role}] = code;
}

void FakeAudioSystem::SetCreateEnumeratorFault(HRESULT code) {
  std::lock_guard lock(m_mutex);
  m_createEnumeratorFault = code;
}

std::vector<std::wstring> FakeAudioSystem::GetDeviceRequests() const {
  std::lock_guard lock(m_mutex);
  return m_getDeviceRequests;
}

std::vector<std::pair<EDataFlow, ERole>> FakeAudioSystem::DefaultEndpointRequests() const {
  std::lock_guard lock(m_mutex);
  return m_defaultRequests;
}

HRESULT FakeAudioSystem::DefaultEndpoint(EDataFlow flow, ERole role, std::shared_ptr<Device>* device) {
  device->reset();
  std::lock_guard lock(m_mutex);
  m_defaultRequests.emplace_back(flow, role);
  if (auto fault = m_defaultFaults.find({flow, role}); fault != m_defaultFaults.end() && Failed(fault->second)) {
    return fault->second;
  }
  auto id = m_defaults.find({flow, role});
  if (id == m_defaults.end()) return E_NOTFOUND;
  auto endpoint = m_endpoints.find(id->second);
  if (endpoint == m_endpoints.end() || endpoint->second->GetDataFlow() != flow) return E_NOTFOUND;
  *device = endpoint->second;
  return S_OK;
}

HRESULT FakeAudioSystem::FindDevice(const std::wstring& id, std::shared_ptr<Device>* device) {
  device->reset();
  std::lock_guard lock(m_mutex);
  m_getDeviceRequests.push_back(id);
  auto endpoint = m_endpoints.find(id);
  if (endpoint == m_endpoints.end()) return E_NOTFOUND;
  *device = endpoint->second;
  return S_OK;
}

HRESULT FakeAudioSystem::EnumEndpoints(EDataFlow flow, std::vector<std::shared_ptr<Device>>* devices) {
  devices->clear();
  std::lock_guard lock(m_mutex);
  for (const auto& id : m_endpointOrder) {
    const auto& endpoint = m_endpoints.at(id);
    if (flow == eAll || endpoint->GetDataFlow() == flow) devices->push_back(endpoint);
  }
  return S_OK;
}

HRESULT FakeAudioSystem::CreateDeviceEnumerator(std::shared_ptr<DeviceEnumerator>* enumerator) {
  enumerator->reset();
  {
    std::lock_guard lock(m_mutex);
    if (Failed(m_createEnumeratorFault)) return m_createEnumeratorFault;
  }
  *enumerator = std::make_shared<FakeEnumerator>(*this);
  return S_OK;
}

void FakeAudioSystem::SetActivation(FakeActivation activation) {
  std::lock_guard lock(m_mutex);
  m_activation = activation;
}

std::vector<FakeActivationRequest> FakeAudioSystem::ActivationRequests() const {
  std::lock_guard lock(m_mutex);
  return m_activationRequests;
}

int FakeAudioSystem::ActivationsCompleted() const {
  std::lock_guard lock(m_mutex);
  return m_activationsCompleted;
}

bool FakeAudioSystem::WaitForActivationsCompleted(int count, int timeoutMs) const {
  std::unique_lock lock(m_mutex);
  return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                            [&] { return m_activationsCompleted >= count; });
}

void FakeAudioSystem::ReleasePendingActivations() {
  {
    std::lock_guard lock(m_mutex);
    m_releasePending = true;
  }
  m_changed.notify_all();
}

HRESULT FakeAudioSystem::ActivateAudioInterfaceAsync(const std::wstring& deviceInterfacePath,
                                                     const PropVariantBlob* activationParams,
                                                     std::shared_ptr<ActivateAudioInterfaceCompletionHandler> handler,
                                                     std::shared_ptr<ActivateAudioInterfaceAsyncOperation>* operation) {
  operation->reset();
  FakeActivationRequest request;
  request.path = deviceInterfacePath;
  if (activationParams) {
    request.vt = activationParams->vt;
    request.blobSize = activationParams->blob.cbSize;
    // The blob is the caller's memory, valid only for this call.
    if (activationParams->blob.pBlobData && activationParams->blob.cbSize == sizeof(request.params)) {
      std::memcpy(&request.params, activationParams->blob.pBlobData, sizeof(request.params));
    }
  }
  FakeActivation activation;
  {
    std::lock_guard lock(m_mutex);
    m_activationRequests.push_back(request);
    activation = m_activation;
  }
  if (Failed(activation.callResult)) return activation.callResult;
  if (deviceInterfacePath != VIRTUAL_AUDIO_DEVICE_PROCESS_LOOPBACK || !handler) return E_NOTIMPL;
  if (!activationParams || activationParams->vt != VT_BLOB || request.blobSize != sizeof(request.params) ||
      !activationParams->blob.pBlobData ||
      request.params.ActivationType != AUDIOCLIENT_ACTIVATION_TYPE_PROCESS_LOOPBACK) {
    return E_INVALIDARG;
  }

  std::shared_ptr<AudioClient> client;
  if (Succeeded(activation.activateResult) && !activation.nullClient) client = m_processLoopback->MakeClient(true);
  auto op = std::make_shared<FakeActivateOperation>(activation.resultCallFailure, activation.activateResult, client);
  *operation = op;

  std::lock_guard lock(m_mutex);
  m_activationThreads.emplace_back([this, op, handler, activation] {
    {
      std::unique_lock lock(m_mutex);
      if (activation.never) {
        m_changed.wait(lock, [&] { return m_quit || m_releasePending; });
      } else if (activation.delayMs > 0) {
        m_changed.wait_for(lock, std::chrono::milliseconds(activation.delayMs), [&] { return m_quit; });
      }
    }
    op->MarkCompleted();
    handler->ActivateCompleted(*op);
    {
      std::lock_guard lock(m_mutex);
      ++m_activationsCompleted;
    }
    m_changed.notify_all();
  });
  return S_OK;
}

void FakeAudioSystem::SetBuildNumber(uint32_t build) {
  std::lock_guard lock(m_mutex);
  m_buildNumber = build;
}

int FakeAudioSystem::BuildChecks() const {
  std::lock_guard lock(m_mutex);
  return m_buildChecks;
}

bool FakeAudioSystem::IsBuildAtLeast(uint32_t buildNumber) {
  std::lock_guard lock(m_mutex);
  ++m_buildChecks;
  return m_buildNumber >= buildNumber;
}

void FakeAudioSystem::SetWaitFailure(uint32_t lastError) {
  std::lock_guard lock(m_mutex);
  m_waitFailure = lastError;
}

int FakeAudioSystem::WaitCalls() const {
  std::lock_guard lock(m_mutex);
  return m_waitCalls;
}

uint32_t FakeAudioSystem::WaitForMultipleObjects(std::span<Event* const> events, uint32_t timeoutMs,
                                                 uint32_t* lastError) {
  {
    std::lock_guard lock(m_mutex);
    ++m_waitCalls;
    if (m_waitFailure != 0) {
      if (lastError) *lastError = m_waitFailure;
      return WAIT_FAILED;
    }
  }
  return WaitForEvents(events, timeoutMs, lastError);
}

}  // namespace kalto::platform::audio
