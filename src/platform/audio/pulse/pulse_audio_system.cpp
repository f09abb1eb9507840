#include "platform/audio/pulse/pulse_audio_system.h"

#include <algorithm>
#include <cstring>
#include <system_error>

#include "common/debug_output.h"
#include "common/exception_guard.h"
#include "platform/audio/pulse/process_loopback_client.h"
#include "platform/audio/pulse/pulse_endpoint_client.h"

namespace kalto::platform::audio::pulse {
namespace {

class PulseDevice final : public Device {
 public:
  PulseDevice(std::shared_ptr<ConnectionSource> connections, EDataFlow flow, std::string name, std::string description)
      : m_connections(std::move(connections)),
        m_flow(flow),
        m_name(std::move(name)),
        m_description(std::move(description)) {}

  HRESULT GetId(std::wstring* id) override {
    if (!id) return E_POINTER;
    *id = Utf8ToWide(m_name);
    return S_OK;
  }
  HRESULT GetFriendlyName(std::wstring* name) override {
    if (!name) return E_POINTER;
    *name = Utf8ToWide(m_description.empty() ? m_name : m_description);
    return S_OK;
  }
  EDataFlow GetDataFlow() override { return m_flow; }

  HRESULT Activate(std::shared_ptr<AudioClient>* client) override {
    if (!client) return E_POINTER;
    client->reset();
    auto connection = m_connections->Get();
    if (!connection) return AUDCLNT_E_SERVICE_NOT_RUNNING;
    // Looked up again: the endpoint may have gone, or changed its format, since enumeration.
    std::string source;
    pa_sample_spec sampleSpec{};
    pa_channel_map map{};
    if (m_flow == eRender) {
      std::vector<SinkDesc> sinks;
      if (HRESULT hr = connection->GetSinks(&sinks); Failed(hr)) return hr;
      auto it = std::find_if(sinks.begin(), sinks.end(), [&](const SinkDesc& s) { return s.name == m_name; });
      if (it == sinks.end() || it->monitorSource.empty()) return AUDCLNT_E_DEVICE_INVALIDATED;
      source = it->monitorSource;
      sampleSpec = it->sampleSpec;
      map = it->map;
    } else {
      std::vector<SourceDesc> sources;
      if (HRESULT hr = connection->GetSources(&sources); Failed(hr)) return hr;
      auto it = std::find_if(sources.begin(), sources.end(), [&](const SourceDesc& s) { return s.name == m_name; });
      if (it == sources.end()) return AUDCLNT_E_DEVICE_INVALIDATED;
      source = it->name;
      sampleSpec = it->sampleSpec;
      map = it->map;
    }
    *client = std::make_shared<PulseEndpointClient>(std::move(connection), m_flow, std::move(source), sampleSpec, map);
    return S_OK;
  }

 private:
  const std::shared_ptr<ConnectionSource> m_connections;
  const EDataFlow m_flow;
  const std::string m_name;
  const std::string m_description;
};

class PulseDeviceEnumerator final : public DeviceEnumerator {
 public:
  explicit PulseDeviceEnumerator(std::shared_ptr<ConnectionSource> connections)
      : m_connections(std::move(connections)) {}

  HRESULT GetDefaultAudioEndpoint(EDataFlow dataFlow, ERole role, std::shared_ptr<Device>* device) override {
    if (!device) return E_POINTER;
    device->reset();
    if ((dataFlow != eRender && dataFlow != eCapture) || role > eCommunications) return E_INVALIDARG;
    auto connection = m_connections->Get();
    if (!connection) return AUDCLNT_E_SERVICE_NOT_RUNNING;
    ServerDesc server;
    if (HRESULT hr = connection->GetServer(&server); Failed(hr)) return hr;
    return Find(*connection, dataFlow, dataFlow == eRender ? server.defaultSink : server.defaultSource, device);
  }

  HRESULT GetDevice(const std::wstring& id, std::shared_ptr<Device>* device) override {
    if (!device) return E_POINTER;
    device->reset();
    if (id.empty()) return E_NOTFOUND;
    auto connection = m_connections->Get();
    if (!connection) return AUDCLNT_E_SERVICE_NOT_RUNNING;
    std::string name = WideToUtf8(id);
    HRESULT hr = Find(*connection, eCapture, name, device);
    if (hr == E_NOTFOUND) hr = Find(*connection, eRender, name, device);
    return hr;
  }

  HRESULT EnumAudioEndpoints(EDataFlow dataFlow, std::vector<std::shared_ptr<Device>>* devices) override {
    if (!devices) return E_POINTER;
    devices->clear();
    if (dataFlow > eAll) return E_INVALIDARG;
    auto connection = m_connections->Get();
    if (!connection) return AUDCLNT_E_SERVICE_NOT_RUNNING;
    if (dataFlow == eRender || dataFlow == eAll) {
      std::vector<SinkDesc> sinks;
      if (HRESULT hr = connection->GetSinks(&sinks); Failed(hr)) return hr;
      for (const SinkDesc& s : sinks)
        devices->push_back(std::make_shared<PulseDevice>(m_connections, eRender, s.name, s.description));
    }
    if (dataFlow == eCapture || dataFlow == eAll) {
      ServerDesc server;
      std::vector<SourceDesc> sources;
      if (HRESULT hr = connection->GetServer(&server); Failed(hr)) return hr;
      if (HRESULT hr = connection->GetSources(&sources); Failed(hr)) return hr;
      // Monitors are what loopback records; as microphones they are offered only when the user
      // made one the default source.
      for (const SourceDesc& s : sources) {
        if (s.monitorOfSink != PA_INVALID_INDEX && s.name != server.defaultSource) continue;
        devices->push_back(std::make_shared<PulseDevice>(m_connections, eCapture, s.name, s.description));
      }
    }
    return S_OK;
  }

 private:
  HRESULT Find(PulseConnection& connection, EDataFlow flow, const std::string& name, std::shared_ptr<Device>* device) {
    if (name.empty()) return E_NOTFOUND;
    if (flow == eRender) {
      std::vector<SinkDesc> sinks;
      if (HRESULT hr = connection.GetSinks(&sinks); Failed(hr)) return hr;
      for (const SinkDesc& s : sinks) {
        if (s.name != name) continue;
        *device = std::make_shared<PulseDevice>(m_connections, eRender, s.name, s.description);
        return S_OK;
      }
    } else {
      std::vector<SourceDesc> sources;
      if (HRESULT hr = connection.GetSources(&sources); Failed(hr)) return hr;
      for (const SourceDesc& s : sources) {
        if (s.name != name) continue;
        *device = std::make_shared<PulseDevice>(m_connections, eCapture, s.name, s.description);
        return S_OK;
      }
    }
    return E_NOTFOUND;
  }

  const std::shared_ptr<ConnectionSource> m_connections;
};

class ActivateOperation final : public ActivateAudioInterfaceAsyncOperation {
 public:
  HRESULT GetActivateResult(HRESULT* activateResult, std::shared_ptr<AudioClient>* activatedInterface) override {
    if (!activateResult || !activatedInterface) return E_POINTER;
    std::lock_guard lock(m_mutex);
    if (!m_completed) return E_ILLEGAL_METHOD_CALL;
    *activateResult = m_result;
    *activatedInterface = m_client;
    return S_OK;
  }
  void Complete(HRESULT result, std::shared_ptr<AudioClient> client) {
    std::lock_guard lock(m_mutex);
    m_result = result;
    m_client = std::move(client);
    m_completed = true;
  }

 private:
  std::mutex m_mutex;
  bool m_completed = false;
  HRESULT m_result = E_FAIL;
  std::shared_ptr<AudioClient> m_client;
};

// The worker of one process-loopback activation.
void ActivateProcessLoopback(const std::shared_ptr<ConnectionSource>& connections,
                             const AUDIOCLIENT_PROCESS_LOOPBACK_PARAMS& params,
                             const std::shared_ptr<ActivateAudioInterfaceCompletionHandler>& handler,
                             const std::shared_ptr<ActivateOperation>& operation) {
  HRESULT result = E_FAIL;
  std::shared_ptr<AudioClient> client;
  bool ran = GuardedCall([&] {
    auto connection = connections->Get();
    if (!connection) {
      result = AUDCLNT_E_SERVICE_NOT_RUNNING;
      return;
    }
    ServerDesc server;
    std::vector<SinkDesc> sinks;
    if (result = connection->GetServer(&server); Failed(result)) return;
    if (result = connection->GetSinks(&sinks); Failed(result)) return;
    auto sink =
        std::find_if(sinks.begin(), sinks.end(), [&](const SinkDesc& s) { return s.name == server.defaultSink; });
    if (sink == sinks.end()) {
      result = E_NOTFOUND;
      return;
    }
    client = std::make_shared<ProcessLoopbackClient>(std::move(connection), params.TargetProcessId,
                                                     params.ProcessLoopbackMode, sink->sampleSpec, sink->map);
    result = S_OK;
  });
  if (!ran) result = E_UNEXPECTED;
  operation->Complete(result, std::move(client));
  if (!GuardedCall([&] { handler->ActivateCompleted(*operation); })) {
    DebugLog<128>(L"[PulseAudio] An activation completion handler threw\n");
  }
}

}  // namespace

std::shared_ptr<PulseConnection> ConnectionSource::Get() {
  std::lock_guard lock(m_mutex);
  if (m_connection && m_connection->IsReady()) return m_connection;
  m_connection.reset();
  std::string error;
  m_connection = PulseConnection::Connect(m_server, kConnectTimeout, &error);
  if (!m_connection && !m_failureLogged) {
    DebugLog<256>(L"[PulseAudio] Cannot connect to the sound server: %s\n", error.c_str());
    m_failureLogged = true;
  } else if (m_connection) {
    m_failureLogged = false;
  }
  return m_connection;
}

PulseAudioSystem::PulseAudioSystem(std::string server)
    : m_connections(std::make_shared<ConnectionSource>(std::move(server))) {}

PulseAudioSystem::~PulseAudioSystem() {
  std::vector<Worker> workers;
  {
    std::lock_guard lock(m_workersMutex);
    workers.swap(m_workers);
  }
  for (Worker& worker : workers) worker.thread.join();
}

HRESULT PulseAudioSystem::CreateDeviceEnumerator(std::shared_ptr<DeviceEnumerator>* enumerator) {
  if (!enumerator) return E_POINTER;
  *enumerator = std::make_shared<PulseDeviceEnumerator>(m_connections);
  return S_OK;
}

HRESULT PulseAudioSystem::ActivateAudioInterfaceAsync(
    const std::wstring& deviceInterfacePath, const PropVariantBlob* activationParams,
    std::shared_ptr<ActivateAudioInterfaceCompletionHandler> handler,
    std::shared_ptr<ActivateAudioInterfaceAsyncOperation>* operation) {
  if (!operation || !handler) return E_POINTER;
  operation->reset();
  if (deviceInterfacePath != VIRTUAL_AUDIO_DEVICE_PROCESS_LOOPBACK) return E_NOTIMPL;
  if (!activationParams || activationParams->vt != VT_BLOB ||
      activationParams->blob.cbSize < sizeof(AUDIOCLIENT_ACTIVATION_PARAMS) || !activationParams->blob.pBlobData) {
    return E_INVALIDARG;
  }
  AUDIOCLIENT_ACTIVATION_PARAMS params;
  std::memcpy(&params, activationParams->blob.pBlobData, sizeof(params));
  if (params.ActivationType != AUDIOCLIENT_ACTIVATION_TYPE_PROCESS_LOOPBACK ||
      (params.ProcessLoopbackParams.ProcessLoopbackMode != PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE &&
       params.ProcessLoopbackParams.ProcessLoopbackMode != PROCESS_LOOPBACK_MODE_EXCLUDE_TARGET_PROCESS_TREE)) {
    return E_INVALIDARG;
  }
  auto op = std::make_shared<ActivateOperation>();
  auto done = std::make_shared<std::atomic<bool>>(false);
  std::lock_guard lock(m_workersMutex);
  ReapWorkersLocked();
  try {
    m_workers.push_back(Worker{std::thread([connections = m_connections, loopback = params.ProcessLoopbackParams,
                                            handler = std::move(handler), op, done] {
                                 ActivateProcessLoopback(connections, loopback, handler, op);
                                 done->store(true, std::memory_order_release);
                               }),
                               done});
  } catch (const std::system_error&) {
    return E_OUTOFMEMORY;
  }
  *operation = std::move(op);
  return S_OK;
}

void PulseAudioSystem::ReapWorkersLocked() {
  std::erase_if(m_workers, [](Worker& worker) {
    if (!worker.done->load(std::memory_order_acquire)) return false;
    worker.thread.join();
    return true;
  });
}

}  // namespace kalto::platform::audio::pulse
