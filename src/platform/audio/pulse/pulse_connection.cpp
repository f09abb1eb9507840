#include "platform/audio/pulse/pulse_connection.h"

#include <pulse/rtclock.h>

#include <algorithm>
#include <cstdlib>

namespace kalto::platform::audio::pulse {
namespace {

std::string Text(const char* s) { return s ? s : ""; }

struct TimerState {
  pa_threaded_mainloop* loop;
  bool fired = false;
};

void OnTimer(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata) {
  auto* timer = static_cast<TimerState*>(userdata);
  timer->fired = true;
  pa_threaded_mainloop_signal(timer->loop, 0);
}

void OnOperationState(pa_operation*, void* loop) {
  pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0);
}

template <typename Info>
struct ListState {
  PulseConnection* connection;
  std::function<void(const Info&)> onItem;
  bool done = false;
  bool failed = false;
};

template <typename Info>
void OnListItem(pa_context*, const Info* info, int eol, void* userdata) {
  auto* state = static_cast<ListState<Info>*>(userdata);
  if (eol != 0) {
    state->failed = eol < 0;
    state->done = true;
    state->connection->Signal();
    return;
  }
  if (info) state->onItem(*info);
}

}  // namespace

void StreamReleaser::operator()(pa_stream* stream) const {
  pa_stream_set_state_callback(stream, nullptr, nullptr);
  pa_stream_set_read_callback(stream, nullptr, nullptr);
  pa_stream_state_t state = pa_stream_get_state(stream);
  if (state == PA_STREAM_CREATING || state == PA_STREAM_READY) pa_stream_disconnect(stream);
  pa_stream_unref(stream);
}

void OperationReleaser::operator()(pa_operation* operation) const {
  if (pa_operation_get_state(operation) == PA_OPERATION_RUNNING) pa_operation_cancel(operation);
  pa_operation_set_state_callback(operation, nullptr, nullptr);
  pa_operation_unref(operation);
}

SinkInputDesc DescribeSinkInput(const pa_sink_input_info& info) {
  SinkInputDesc desc;
  desc.index = info.index;
  desc.sink = info.sink;
  if (const char* pid = info.proplist ? pa_proplist_gets(info.proplist, PA_PROP_APPLICATION_PROCESS_ID) : nullptr) {
    char* end = nullptr;
    unsigned long value = std::strtoul(pid, &end, 10);
    if (end != pid && *end == '\0' && value <= UINT32_MAX) desc.processId = static_cast<uint32_t>(value);
  }
  return desc;
}

std::string ContextErrorText(pa_context* context) { return pa_strerror(pa_context_errno(context)); }

std::shared_ptr<PulseConnection> PulseConnection::Connect(const std::string& server, std::chrono::milliseconds timeout,
                                                          std::string* error) {
  std::shared_ptr<PulseConnection> connection(new PulseConnection());
  connection->m_loop.reset(pa_threaded_mainloop_new());
  if (!connection->m_loop) {
    *error = "cannot create the main loop";
    return nullptr;
  }
  pa_proplist* props = pa_proplist_new();
  pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, "Kalto");
  pa_proplist_sets(props, PA_PROP_APPLICATION_ID, "kalto.native");
  connection->m_context.reset(
      pa_context_new_with_proplist(pa_threaded_mainloop_get_api(connection->m_loop.get()), "Kalto", props));
  pa_proplist_free(props);
  if (!connection->m_context) {
    *error = "cannot create a context";
    return nullptr;
  }
  pa_context_set_state_callback(connection->m_context.get(), &PulseConnection::OnContextState, connection.get());
  pa_context_set_subscribe_callback(connection->m_context.get(), &PulseConnection::OnSubscription, connection.get());
  // No autospawn: a missing server is a failure to report, not a daemon to start behind the user.
  if (pa_context_connect(connection->m_context.get(), server.empty() ? nullptr : server.c_str(), PA_CONTEXT_NOAUTOSPAWN,
                         nullptr) < 0) {
    *error = ContextErrorText(connection->m_context.get());
    return nullptr;
  }
  if (pa_threaded_mainloop_start(connection->m_loop.get()) < 0) {
    *error = "cannot start the main loop thread";
    return nullptr;
  }
  connection->m_started = true;
  MainloopLock lock(connection->Loop());
  bool ready = connection->WaitLocked(
      [&] {
        pa_context_state_t state = pa_context_get_state(connection->Context());
        return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
      },
      timeout);
  if (!ready || !connection->IsReadyLocked()) {
    *error = ready ? ContextErrorText(connection->Context()) : "timed out";
    return nullptr;  // the destructor waits for the lock, which this frame releases first
  }
  return connection;
}

PulseConnection::~PulseConnection() {
  if (m_context) {
    if (m_started) {
      MainloopLock lock(Loop());
      pa_context_set_state_callback(m_context.get(), nullptr, nullptr);
      pa_context_set_subscribe_callback(m_context.get(), nullptr, nullptr);
      pa_context_disconnect(m_context.get());
    } else {
      pa_context_disconnect(m_context.get());
    }
  }
  if (m_started) pa_threaded_mainloop_stop(m_loop.get());
  m_context.reset();
  m_loop.reset();
}

bool PulseConnection::IsReady() const {
  MainloopLock lock(m_loop.get());
  return IsReadyLocked();
}

bool PulseConnection::IsReadyLocked() const { return pa_context_get_state(m_context.get()) == PA_CONTEXT_READY; }

bool PulseConnection::WaitLocked(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  if (done()) return true;
  TimerState timer{m_loop.get()};
  TimeEventPtr event = NewTimerLocked(timeout, &OnTimer, &timer);
  while (!done() && !timer.fired && PA_CONTEXT_IS_GOOD(pa_context_get_state(m_context.get()))) {
    pa_threaded_mainloop_wait(m_loop.get());
  }
  return done();
}

TimeEventPtr PulseConnection::NewTimerLocked(std::chrono::microseconds delay, pa_time_event_cb_t callback,
                                             void* userdata) {
  pa_time_event* event = pa_context_rttime_new(
      m_context.get(), pa_rtclock_now() + static_cast<pa_usec_t>(delay.count()), callback, userdata);
  return TimeEventPtr(event, TimeEventReleaser{pa_threaded_mainloop_get_api(m_loop.get())});
}

bool PulseConnection::WaitOperationLocked(OperationPtr operation, std::chrono::milliseconds timeout) {
  if (!operation) return false;
  pa_operation_set_state_callback(operation.get(), &OnOperationState, m_loop.get());
  bool finished = WaitLocked([&] { return pa_operation_get_state(operation.get()) != PA_OPERATION_RUNNING; }, timeout);
  return finished && pa_operation_get_state(operation.get()) == PA_OPERATION_DONE;
}

template <typename Info, typename Start, typename OnItem>
HRESULT PulseConnection::List(Start start, OnItem onItem) {
  ListState<Info> state{this, std::move(onItem)};
  MainloopLock lock(Loop());
  if (!IsReadyLocked()) return AUDCLNT_E_SERVICE_NOT_RUNNING;
  // Released (cancelled when unfinished) before `state`, so no callback outlives it.
  OperationPtr operation(start(Context(), &OnListItem<Info>, &state));
  if (!operation) return AUDCLNT_E_SERVICE_NOT_RUNNING;
  bool done = WaitLocked([&] { return state.done; }, kQueryTimeout);
  if (!done) return IsReadyLocked() ? HRESULT_ERROR_TIMEOUT : AUDCLNT_E_SERVICE_NOT_RUNNING;
  return state.failed ? AUDCLNT_E_SERVICE_NOT_RUNNING : S_OK;
}

HRESULT PulseConnection::GetServer(ServerDesc* server) {
  struct State {
    PulseConnection* connection;
    ServerDesc* out;
    bool done = false;
  } state{this, server};
  auto onInfo = [](pa_context*, const pa_server_info* info, void* userdata) {
    auto* s = static_cast<State*>(userdata);
    if (info) {
      s->out->defaultSink = Text(info->default_sink_name);
      s->out->defaultSource = Text(info->default_source_name);
    }
    s->done = true;
    s->connection->Signal();
  };
  MainloopLock lock(Loop());
  if (!IsReadyLocked()) return AUDCLNT_E_SERVICE_NOT_RUNNING;
  OperationPtr operation(pa_context_get_server_info(Context(), onInfo, &state));
  if (!operation) return AUDCLNT_E_SERVICE_NOT_RUNNING;
  bool done = WaitLocked([&] { return state.done; }, kQueryTimeout);
  if (!done) return IsReadyLocked() ? HRESULT_ERROR_TIMEOUT : AUDCLNT_E_SERVICE_NOT_RUNNING;
  return S_OK;
}

HRESULT PulseConnection::GetSinks(std::vector<SinkDesc>* sinks) {
  sinks->clear();
  return List<pa_sink_info>(pa_context_get_sink_info_list, [sinks](const pa_sink_info& info) {
    SinkDesc desc;
    desc.index = info.index;
    desc.name = Text(info.name);
    desc.description = Text(info.description);
    desc.monitorSource = Text(info.monitor_source_name);
    desc.sampleSpec = info.sample_spec;
    desc.map = info.channel_map;
    sinks->push_back(std::move(desc));
  });
}

HRESULT PulseConnection::GetSources(std::vector<SourceDesc>* sources) {
  sources->clear();
  return List<pa_source_info>(pa_context_get_source_info_list, [sources](const pa_source_info& info) {
    SourceDesc desc;
    desc.index = info.index;
    desc.name = Text(info.name);
    desc.description = Text(info.description);
    desc.monitorOfSink = info.monitor_of_sink;
    desc.sampleSpec = info.sample_spec;
    desc.map = info.channel_map;
    sources->push_back(std::move(desc));
  });
}

HRESULT PulseConnection::GetModuleNames(std::vector<std::string>* names) {
  names->clear();
  return List<pa_module_info>(pa_context_get_module_info_list,
                              [names](const pa_module_info& info) { names->push_back(Text(info.name)); });
}

uint64_t PulseConnection::AddSinkInputListenerLocked(SinkInputListener listener) {
  uint64_t token = m_nextToken++;
  m_listeners.emplace_back(token, std::move(listener));
  if (!m_subscribed) {
    // The mask only widens; events nobody listens to are dropped in OnSubscription.
    OperationPtr operation(pa_context_subscribe(Context(), PA_SUBSCRIPTION_MASK_SINK_INPUT, nullptr, nullptr));
    m_subscribed = operation != nullptr;
    // Dropping the handle of a running request would cancel it: let it finish on its own.
    if (operation) pa_operation_unref(operation.release());
  }
  return token;
}

void PulseConnection::RemoveSinkInputListenerLocked(uint64_t token) {
  std::erase_if(m_listeners, [token](const auto& entry) { return entry.first == token; });
}

void PulseConnection::OnContextState(pa_context*, void* self) {
  // Waiters re-check the state, so a failing server never leaves them asleep.
  static_cast<PulseConnection*>(self)->Signal();
}

void PulseConnection::OnSubscription(pa_context*, pa_subscription_event_type_t type, uint32_t index, void* self) {
  auto* connection = static_cast<PulseConnection*>(self);
  if ((type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) != PA_SUBSCRIPTION_EVENT_SINK_INPUT) return;
  // A listener may remove itself or another from here.
  auto listeners = connection->m_listeners;
  for (auto& [token, listener] : listeners) {
    bool stillThere = std::any_of(connection->m_listeners.begin(), connection->m_listeners.end(),
                                  [t = token](const auto& entry) { return entry.first == t; });
    if (stillThere) listener(type, index);
  }
}

}  // namespace kalto::platform::audio::pulse
