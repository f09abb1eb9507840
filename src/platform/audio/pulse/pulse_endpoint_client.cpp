#include "platform/audio/pulse/pulse_endpoint_client.h"

#include <algorithm>

#include "platform/audio/pulse/pulse_format.h"

namespace kalto::platform::audio::pulse {

void DrainRecordStream(pa_stream* stream, PacketQueue& queue) {
  while (pa_stream_readable_size(stream) > 0) {
    const void* data = nullptr;
    size_t bytes = 0;
    if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) break;
    queue.Push(data, bytes);  // null data is a hole: silence
    pa_stream_drop(stream);
  }
}

PulseEndpointClient::PulseEndpointClient(std::shared_ptr<PulseConnection> connection, EDataFlow flow,
                                         std::string source, const pa_sample_spec& sampleSpec, const pa_channel_map& map)
    : PulseAudioClient(std::move(connection), ToWaveFormat(StreamSpecFor(sampleSpec), map)),
      m_flow(flow),
      m_source(std::move(source)),
      m_sampleSpec(StreamSpecFor(sampleSpec)),
      m_map(map) {}

PulseEndpointClient::~PulseEndpointClient() {
  MainloopLock lock(m_connection->Loop());
  m_stream.reset();
}

HRESULT PulseEndpointClient::CheckStreamFlags(uint32_t streamFlags) {
  bool loopback = (streamFlags & AUDCLNT_STREAMFLAGS_LOOPBACK) != 0;
  if (m_flow == eCapture && loopback) return AUDCLNT_E_WRONG_ENDPOINT_TYPE;
  // Render endpoints are opened here only to listen to them.
  if (m_flow == eRender && !loopback) return E_NOTIMPL;
  return S_OK;
}

HRESULT PulseEndpointClient::ApplyProperties(const AudioClientProperties& properties) {
  if (properties.eCategory == AudioCategory_Communications) {
    // Echo cancellation is a filter the server inserts on request; without module-filter-apply
    // nobody acts on the request, so say so instead of pretending.
    std::vector<std::string> modules;
    HRESULT hr = m_connection->GetModuleNames(&modules);
    if (Failed(hr)) return hr;
    bool canFilter = std::find(modules.begin(), modules.end(), "module-filter-apply") != modules.end();
    if (m_flow != eCapture || !canFilter) return HRESULT_ERROR_NOT_SUPPORTED;
    m_echoCancel = true;
  } else {
    m_echoCancel = false;
  }
  m_raw = (properties.Options & AUDCLNT_STREAMOPTIONS_RAW) != 0;
  return S_OK;
}

HRESULT PulseEndpointClient::OpenStreams() {
  MainloopLock lock(m_connection->Loop());
  if (!m_connection->IsReadyLocked()) return AUDCLNT_E_SERVICE_NOT_RUNNING;
  pa_proplist* props = pa_proplist_new();
  pa_proplist_sets(props, PA_PROP_MEDIA_NAME, m_flow == eRender ? "Kalto system audio" : "Kalto microphone");
  if (m_echoCancel) {
    pa_proplist_sets(props, PA_PROP_FILTER_WANT, "echo-cancel");
    pa_proplist_sets(props, PA_PROP_MEDIA_ROLE, "phone");
  } else if (m_raw) {
    pa_proplist_sets(props, PA_PROP_FILTER_SUPPRESS, "echo-cancel");
  }
  m_stream.reset(pa_stream_new_with_proplist(m_connection->Context(), "Kalto capture", &m_sampleSpec, &m_map, props));
  pa_proplist_free(props);
  if (!m_stream) return E_OUTOFMEMORY;
  pa_stream_set_state_callback(m_stream.get(), &PulseEndpointClient::OnStreamState, this);
  pa_stream_set_read_callback(m_stream.get(), &PulseEndpointClient::OnRead, this);
  pa_buffer_attr attr;
  attr.maxlength = static_cast<uint32_t>(-1);
  attr.tlength = attr.prebuf = attr.minreq = static_cast<uint32_t>(-1);
  attr.fragsize = PeriodFrames() * m_mixFormat.nBlockAlign;
  // Not moved when its device goes: the server would carry it to whatever is default then (for a
  // microphone, possibly the monitor of the speakers). Killed instead, the loss is reported and
  // the same device is opened again once it is back.
  auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_START_CORKED | PA_STREAM_ADJUST_LATENCY |
                                              PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_INTERPOLATE_TIMING |
                                              PA_STREAM_DONT_MOVE);
  HRESULT hr = S_OK;
  if (pa_stream_connect_record(m_stream.get(), m_source.c_str(), &attr, flags) < 0) {
    hr = AUDCLNT_E_DEVICE_INVALIDATED;
  } else if (!m_connection->WaitLocked([this] { return pa_stream_get_state(m_stream.get()) != PA_STREAM_CREATING; },
                                       PulseConnection::kQueryTimeout)) {
    hr = HRESULT_ERROR_TIMEOUT;
  } else if (pa_stream_get_state(m_stream.get()) != PA_STREAM_READY) {
    hr = m_connection->IsReadyLocked() ? AUDCLNT_E_DEVICE_INVALIDATED : AUDCLNT_E_SERVICE_NOT_RUNNING;
  }
  // A failed attempt leaves no stream behind whose callbacks could reach a later queue.
  if (Failed(hr)) m_stream.reset();
  return hr;
}

HRESULT PulseEndpointClient::SetCorked(bool corked) {
  MainloopLock lock(m_connection->Loop());
  if (!m_stream || pa_stream_get_state(m_stream.get()) != PA_STREAM_READY) return AUDCLNT_E_DEVICE_INVALIDATED;
  if (!m_connection->WaitOperationLocked(OperationPtr(pa_stream_cork(m_stream.get(), corked ? 1 : 0, nullptr, nullptr)),
                                         PulseConnection::kQueryTimeout)) {
    return m_connection->IsReadyLocked() ? HRESULT_ERROR_TIMEOUT : AUDCLNT_E_SERVICE_NOT_RUNNING;
  }
  return S_OK;
}

HRESULT PulseEndpointClient::QueryLatency(int64_t* latencyHns) {
  MainloopLock lock(m_connection->Loop());
  if (!m_stream || pa_stream_get_state(m_stream.get()) != PA_STREAM_READY) return AUDCLNT_E_DEVICE_INVALIDATED;
  pa_usec_t usec = 0;
  int negative = 0;
  if (pa_stream_get_latency(m_stream.get(), &usec, &negative) < 0) {
    // No timing yet (a stream that has not run): ask once.
    m_connection->WaitOperationLocked(OperationPtr(pa_stream_update_timing_info(m_stream.get(), nullptr, nullptr)),
                                      PulseConnection::kQueryTimeout);
    if (pa_stream_get_latency(m_stream.get(), &usec, &negative) < 0) return AUDCLNT_E_SERVICE_NOT_RUNNING;
  }
  *latencyHns = negative ? 0 : static_cast<int64_t>(usec) * 10;
  return S_OK;
}

void PulseEndpointClient::OnStreamState(pa_stream* stream, void* self) {
  auto* client = static_cast<PulseEndpointClient*>(self);
  pa_stream_state_t state = pa_stream_get_state(stream);
  if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) {
    client->Queue().Invalidate(AUDCLNT_E_DEVICE_INVALIDATED);
  }
  client->m_connection->Signal();
}

void PulseEndpointClient::OnRead(pa_stream* stream, size_t, void* self) {
  DrainRecordStream(stream, static_cast<PulseEndpointClient*>(self)->Queue());
}

}  // namespace kalto::platform::audio::pulse
