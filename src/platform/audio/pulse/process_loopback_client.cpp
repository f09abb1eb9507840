#include "platform/audio/pulse/process_loopback_client.h"

#include <pulse/rtclock.h>

#include <algorithm>
#include <limits>

#include "platform/audio/pulse/process_tree.h"
#include "platform/audio/pulse/pulse_format.h"

namespace kalto::platform::audio::pulse {
namespace {

constexpr pa_usec_t kTimerPeriodUs = 20 * PA_USEC_PER_MSEC;
// Re-follows of one playback stream (each move to another sink is one) before it is given up.
constexpr int kMaxFollowFailures = 8;
// How far the mix may wait for a stream that lags behind the others.
constexpr uint64_t kMaxLagMs = 200;

pa_sample_spec MixSpec(const pa_sample_spec& sink) {
  pa_sample_spec sampleSpec = sink;
  sampleSpec.format = PA_SAMPLE_FLOAT32LE;
  return sampleSpec;
}

}  // namespace

ProcessLoopbackClient::ProcessLoopbackClient(std::shared_ptr<PulseConnection> connection, uint32_t targetProcessId,
                                             PROCESS_LOOPBACK_MODE mode, const pa_sample_spec& sinkSpec,
                                             const pa_channel_map& sinkMap, std::string procRoot)
    : PulseAudioClient(std::move(connection), ToWaveFormat(MixSpec(sinkSpec), sinkMap)),
      m_target(targetProcessId),
      m_mode(mode),
      m_sampleSpec(MixSpec(sinkSpec)),
      m_map(sinkMap),
      m_procRoot(std::move(procRoot)) {}

ProcessLoopbackClient::~ProcessLoopbackClient() {
  MainloopLock lock(m_connection->Loop());
  ReleaseAllLocked();
}

void ProcessLoopbackClient::ReleaseAllLocked() {
  if (m_listening) {
    m_connection->RemoveSinkInputListenerLocked(m_listenerToken);
    m_listening = false;
  }
  ArmTimerLocked(false);
  // Cancelled operations and released streams call back no more.
  m_operations.clear();
  m_followers.clear();
  m_retired.clear();
  m_rejected.clear();
  m_failures.clear();
  m_listsPending = 0;
}

size_t ProcessLoopbackClient::FollowedStreamCount() const {
  MainloopLock lock(m_connection->Loop());
  return m_followers.size();
}

HRESULT ProcessLoopbackClient::CheckStreamFlags(uint32_t streamFlags) {
  return (streamFlags & AUDCLNT_STREAMFLAGS_LOOPBACK) ? S_OK : AUDCLNT_E_WRONG_ENDPOINT_TYPE;
}

HRESULT ProcessLoopbackClient::ApplyProperties(const AudioClientProperties& properties) {
  // There is no echo to cancel in what an application plays.
  return properties.eCategory == AudioCategory_Communications ? HRESULT_ERROR_NOT_SUPPORTED : S_OK;
}

bool ProcessLoopbackClient::Wanted(uint32_t processId) const {
  bool inTree = processId != 0 && IsInProcessTree(processId, m_target, m_procRoot);
  return m_mode == PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE ? inTree : !inTree;
}

HRESULT ProcessLoopbackClient::OpenStreams() {
  MainloopLock lock(m_connection->Loop());
  if (!m_connection->IsReadyLocked()) return AUDCLNT_E_SERVICE_NOT_RUNNING;
  ReleaseAllLocked();
  // Listen before listing, so a stream that appears in between is seen by one or the other.
  m_listenerToken = m_connection->AddSinkInputListenerLocked(
      [this](pa_subscription_event_type_t type, uint32_t index) { OnSinkInputEvent(type, index); });
  m_listening = true;
  auto onList = [](pa_context*, const pa_sink_input_info* info, int eol, void* self) {
    auto* client = static_cast<ProcessLoopbackClient*>(self);
    if (eol != 0) {
      client->m_listsPending = 0;
      client->m_connection->Signal();
      return;
    }
    if (info) client->Consider(*info);
  };
  OperationPtr operation(pa_context_get_sink_input_info_list(m_connection->Context(), onList, this));
  if (!operation) {
    ReleaseAllLocked();
    return AUDCLNT_E_SERVICE_NOT_RUNNING;
  }
  TrackOperation(std::move(operation));
  m_listsPending = 1;
  if (!m_connection->WaitLocked([this] { return m_listsPending == 0; }, PulseConnection::kQueryTimeout)) {
    bool ready = m_connection->IsReadyLocked();
    ReleaseAllLocked();
    return ready ? HRESULT_ERROR_TIMEOUT : AUDCLNT_E_SERVICE_NOT_RUNNING;
  }
  ReapOperationsLocked();
  return S_OK;
}

HRESULT ProcessLoopbackClient::SetCorked(bool corked) {
  MainloopLock lock(m_connection->Loop());
  if (!m_connection->IsReadyLocked()) return AUDCLNT_E_SERVICE_NOT_RUNNING;
  m_corked = corked;
  ReapOperationsLocked();
  for (auto& [index, follower] : m_followers) {
    // Streams still connecting pick the state up when they become ready.
    if (pa_stream_get_state(follower->stream.get()) == PA_STREAM_READY) {
      TrackOperation(OperationPtr(pa_stream_cork(follower->stream.get(), corked ? 1 : 0, nullptr, nullptr)));
    }
  }
  ArmTimerLocked(!corked);
  return S_OK;
}

HRESULT ProcessLoopbackClient::QueryLatency(int64_t* latencyHns) {
  MainloopLock lock(m_connection->Loop());
  *latencyHns = 0;
  for (auto& [index, follower] : m_followers) {
    pa_usec_t usec = 0;
    int negative = 0;
    if (pa_stream_get_state(follower->stream.get()) == PA_STREAM_READY &&
        pa_stream_get_latency(follower->stream.get(), &usec, &negative) == 0) {
      *latencyHns = negative ? 0 : static_cast<int64_t>(usec) * 10;
      break;
    }
  }
  return S_OK;
}

void ProcessLoopbackClient::OnSinkInputEvent(pa_subscription_event_type_t type, uint32_t index) {
  ReapOperationsLocked();
  auto kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
  if (kind == PA_SUBSCRIPTION_EVENT_REMOVE) {
    Unfollow(index);
    m_rejected.erase(index);
    m_failures.erase(index);
    return;
  }
  if (m_followers.count(index) || m_rejected.count(index)) return;
  TrackOperation(OperationPtr(pa_context_get_sink_input_info(m_connection->Context(), index, &OnSinkInputInfo, this)));
}

void ProcessLoopbackClient::OnSinkInputInfo(pa_context*, const pa_sink_input_info* info, int eol, void* self) {
  if (eol == 0 && info) static_cast<ProcessLoopbackClient*>(self)->Consider(*info);
}

void ProcessLoopbackClient::Consider(const pa_sink_input_info& info) {
  if (m_followers.count(info.index) || m_rejected.count(info.index)) return;
  if (Wanted(DescribeSinkInput(info).processId)) {
    Follow(info.index);
  } else {
    m_rejected.insert(info.index);
  }
}

void ProcessLoopbackClient::Follow(uint32_t sinkInput) {
  auto follower = std::make_unique<Follower>();
  follower->owner = this;
  follower->sinkInput = sinkInput;
  follower->stream.reset(pa_stream_new(m_connection->Context(), "Kalto process loopback", &m_sampleSpec, &m_map));
  if (!follower->stream) return;
  pa_stream* stream = follower->stream.get();
  pa_stream_set_monitor_stream(stream, sinkInput);
  pa_stream_set_state_callback(stream, &OnFollowerState, follower.get());
  pa_stream_set_read_callback(stream, &OnFollowerRead, follower.get());
  pa_buffer_attr attr;
  attr.maxlength = static_cast<uint32_t>(-1);
  attr.tlength = attr.prebuf = attr.minreq = static_cast<uint32_t>(-1);
  attr.fragsize = PeriodFrames() * m_mixFormat.nBlockAlign;
  auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE |
                                              (m_corked ? PA_STREAM_START_CORKED : 0));
  // No device: the server records a monitored stream from its own sink's monitor.
  if (pa_stream_connect_record(stream, nullptr, &attr, flags) < 0) return;
  follower->position = m_mixBase;
  for (auto& [index, other] : m_followers) follower->position = std::max(follower->position, other->position);
  m_followers[sinkInput] = std::move(follower);
}

void ProcessLoopbackClient::Unfollow(uint32_t sinkInput) { m_followers.erase(sinkInput); }

void ProcessLoopbackClient::OnFollowerState(pa_stream* stream, void* userdata) {
  auto* follower = static_cast<Follower*>(userdata);
  ProcessLoopbackClient* client = follower->owner;
  pa_stream_state_t state = pa_stream_get_state(stream);
  if (state == PA_STREAM_READY) {
    // A start or stop that came while it was connecting.
    if ((pa_stream_is_corked(stream) == 1) != client->m_corked) {
      client->TrackOperation(OperationPtr(pa_stream_cork(stream, client->m_corked ? 1 : 0, nullptr, nullptr)));
    }
  } else if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) {
    uint32_t sinkInput = follower->sinkInput;
    // Not released inside its own callback: kept until the next reap.
    if (auto it = client->m_followers.find(sinkInput); it != client->m_followers.end()) {
      client->m_retired.push_back(std::move(it->second));
      client->m_followers.erase(it);
    }
    if (!client->m_connection->IsReadyLocked()) {
      client->Queue().Invalidate(AUDCLNT_E_DEVICE_INVALIDATED);
      return;
    }
    // Killed when its playback stream moved to another sink or went away: look again, and follow
    // it on its new sink if it is still there. A stream that keeps failing is given up.
    if (++client->m_failures[sinkInput] > kMaxFollowFailures) {
      client->m_rejected.insert(sinkInput);
      return;
    }
    client->TrackOperation(OperationPtr(
        pa_context_get_sink_input_info(client->m_connection->Context(), sinkInput, &OnSinkInputInfo, client)));
  }
}

void ProcessLoopbackClient::OnFollowerRead(pa_stream* stream, size_t, void* userdata) {
  auto* follower = static_cast<Follower*>(userdata);
  ProcessLoopbackClient* client = follower->owner;
  while (pa_stream_readable_size(stream) > 0) {
    const void* data = nullptr;
    size_t bytes = 0;
    if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) break;
    client->MixIn(*follower, data, bytes);
    pa_stream_drop(stream);
  }
  client->Emit(pa_rtclock_now());
}

void ProcessLoopbackClient::MixIn(Follower& follower, const void* data, size_t bytes) {
  const size_t channels = m_sampleSpec.channels;
  const size_t frames = bytes / (channels * sizeof(float));
  // A stream that fell behind what was already handed out joins at the current edge.
  follower.position = std::max(follower.position, m_mixBase);
  const size_t offset = static_cast<size_t>(follower.position - m_mixBase) * channels;
  if (m_mix.size() < offset + frames * channels) m_mix.resize(offset + frames * channels, 0.0f);
  if (data) {
    const auto* in = static_cast<const float*>(data);
    float* out = m_mix.data() + offset;
    for (size_t i = 0; i < frames * channels; ++i) out[i] += in[i];
  }
  follower.position += frames;
  follower.lastDataUs = pa_rtclock_now();
}

void ProcessLoopbackClient::Emit(pa_usec_t nowUs) {
  uint64_t minActive = std::numeric_limits<uint64_t>::max();
  uint64_t maxPosition = m_mixBase + m_mix.size() / m_sampleSpec.channels;
  for (auto& [index, follower] : m_followers) {
    maxPosition = std::max(maxPosition, follower->position);
    if (follower->lastDataUs != 0 && nowUs - follower->lastDataUs <= kIdleUs) {
      minActive = std::min(minActive, follower->position);
    }
  }
  // Mix up to where every live stream has delivered; with none live, hand out what is there.
  uint64_t end = minActive == std::numeric_limits<uint64_t>::max() ? maxPosition : minActive;
  const uint64_t maxLag = uint64_t(m_sampleSpec.rate) * kMaxLagMs / 1000;
  if (maxPosition > end + maxLag) end = maxPosition - maxLag;
  if (end <= m_mixBase) return;
  const size_t samples = static_cast<size_t>(end - m_mixBase) * m_sampleSpec.channels;
  if (m_mix.size() < samples) m_mix.resize(samples, 0.0f);
  Queue().Push(m_mix.data(), samples * sizeof(float));
  m_mix.erase(m_mix.begin(), m_mix.begin() + static_cast<std::ptrdiff_t>(samples));
  m_mixBase = end;
}

void ProcessLoopbackClient::ArmTimerLocked(bool on) {
  if (on && !m_timer) {
    m_timer = m_connection->NewTimerLocked(std::chrono::microseconds(kTimerPeriodUs), &OnTimer, this);
  } else if (!on) {
    m_timer.reset();
  }
}

void ProcessLoopbackClient::OnTimer(pa_mainloop_api*, pa_time_event* event, const struct timeval*, void* self) {
  auto* client = static_cast<ProcessLoopbackClient*>(self);
  client->ReapOperationsLocked();
  // With no stream followed, nothing else would notice the server going.
  if (!client->m_connection->IsReadyLocked()) {
    client->Queue().Invalidate(AUDCLNT_E_DEVICE_INVALIDATED);
    client->ArmTimerLocked(false);
    return;
  }
  // Flushes the mix when every stream has gone quiet.
  pa_usec_t now = pa_rtclock_now();
  client->Emit(now);
  pa_context_rttime_restart(client->m_connection->Context(), event, now + kTimerPeriodUs);
}

void ProcessLoopbackClient::TrackOperation(OperationPtr operation) {
  if (operation) m_operations.push_back(std::move(operation));
}

void ProcessLoopbackClient::ReapOperationsLocked() {
  m_retired.clear();
  std::erase_if(m_operations, [](const OperationPtr& operation) {
    return pa_operation_get_state(operation.get()) != PA_OPERATION_RUNNING;
  });
}

}  // namespace kalto::platform::audio::pulse
