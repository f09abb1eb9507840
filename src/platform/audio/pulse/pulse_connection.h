#pragma once
// One connection to the sound server: a threaded main loop with its context, shared by every
// enumerator, endpoint and client made from it. Pulse callbacks run on the loop thread with the
// loop lock held; everything else takes the lock (MainloopLock) before touching pulse objects.
#include <pulse/pulseaudio.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/result.h"

namespace kalto::platform::audio::pulse {

// Holds the loop lock while alive. Never taken on the loop thread itself, where it is held already.
class MainloopLock {
 public:
  explicit MainloopLock(pa_threaded_mainloop* loop) : m_loop(loop) { pa_threaded_mainloop_lock(m_loop); }
  ~MainloopLock() { pa_threaded_mainloop_unlock(m_loop); }
  MainloopLock(const MainloopLock&) = delete;
  MainloopLock& operator=(const MainloopLock&) = delete;

 private:
  pa_threaded_mainloop* m_loop;
};

// Owning handles of pulse objects, released with the loop lock held.
struct StreamReleaser {
  // Clears the callbacks first, so nothing reaches the stream's owner afterwards.
  void operator()(pa_stream* stream) const;
};
using StreamPtr = std::unique_ptr<pa_stream, StreamReleaser>;

struct OperationReleaser {
  // Cancels an operation still running, so its callback never fires into freed state.
  void operator()(pa_operation* operation) const;
};
using OperationPtr = std::unique_ptr<pa_operation, OperationReleaser>;

struct TimeEventReleaser {
  pa_mainloop_api* api = nullptr;
  void operator()(pa_time_event* event) const { api->time_free(event); }
};
using TimeEventPtr = std::unique_ptr<pa_time_event, TimeEventReleaser>;

struct ServerDesc {
  std::string defaultSink;
  std::string defaultSource;
};

struct SinkDesc {
  uint32_t index = PA_INVALID_INDEX;
  std::string name;
  std::string description;
  std::string monitorSource;
  pa_sample_spec sampleSpec{};
  pa_channel_map map{};
};

struct SourceDesc {
  uint32_t index = PA_INVALID_INDEX;
  std::string name;
  std::string description;
  uint32_t monitorOfSink = PA_INVALID_INDEX;  // PA_INVALID_INDEX for a real source
  pa_sample_spec sampleSpec{};
  pa_channel_map map{};
};

struct SinkInputDesc {
  uint32_t index = PA_INVALID_INDEX;
  uint32_t sink = PA_INVALID_INDEX;
  uint32_t processId = 0;  // 0 when the client did not say
};

SinkInputDesc DescribeSinkInput(const pa_sink_input_info& info);

class PulseConnection {
 public:
  // Connects to `server` (empty: $PULSE_SERVER or the usual places) and waits until the context
  // is ready. Null with a reason in *error when it cannot.
  static std::shared_ptr<PulseConnection> Connect(const std::string& server, std::chrono::milliseconds timeout,
                                                  std::string* error);
  ~PulseConnection();
  PulseConnection(const PulseConnection&) = delete;
  PulseConnection& operator=(const PulseConnection&) = delete;

  pa_threaded_mainloop* Loop() const { return m_loop.get(); }
  pa_context* Context() const { return m_context.get(); }
  bool InLoopThread() const { return pa_threaded_mainloop_in_thread(m_loop.get()) != 0; }

  // Whether the context is still connected. The first takes the lock, the second expects it held.
  bool IsReady() const;
  bool IsReadyLocked() const;

  // With the lock held: waits until `done` says so, the context fails, or `timeout` passes;
  // returns `done()`. Callbacks that change what `done` reads call Signal. Not on the loop thread.
  bool WaitLocked(const std::function<bool()>& done, std::chrono::milliseconds timeout);
  void Signal() { pa_threaded_mainloop_signal(m_loop.get(), 0); }
  // With the lock held: waits for an operation to finish. False when it was cancelled, the
  // context failed or the time ran out.
  bool WaitOperationLocked(OperationPtr operation, std::chrono::milliseconds timeout);
  // A timer on the loop (the lock held), `delay` from now.
  TimeEventPtr NewTimerLocked(std::chrono::microseconds delay, pa_time_event_cb_t callback, void* userdata);

  // Blocking queries, taking the lock; not on the loop thread. AUDCLNT_E_SERVICE_NOT_RUNNING when
  // the server is gone, HRESULT_ERROR_TIMEOUT when it does not answer.
  HRESULT GetServer(ServerDesc* server);
  HRESULT GetSinks(std::vector<SinkDesc>* sinks);
  HRESULT GetSources(std::vector<SourceDesc>* sources);
  HRESULT GetModuleNames(std::vector<std::string>* names);

  // Sink-input events, delivered on the loop thread. Add and remove with the lock held.
  using SinkInputListener = std::function<void(pa_subscription_event_type_t type, uint32_t index)>;
  uint64_t AddSinkInputListenerLocked(SinkInputListener listener);
  void RemoveSinkInputListenerLocked(uint64_t token);

  static constexpr std::chrono::milliseconds kQueryTimeout{3000};

 private:
  struct LoopDeleter {
    void operator()(pa_threaded_mainloop* loop) const { pa_threaded_mainloop_free(loop); }
  };
  struct ContextDeleter {
    void operator()(pa_context* context) const { pa_context_unref(context); }
  };

  PulseConnection() = default;
  template <typename Info, typename Start, typename OnItem>
  HRESULT List(Start start, OnItem onItem);
  static void OnContextState(pa_context* context, void* self);
  static void OnSubscription(pa_context* context, pa_subscription_event_type_t type, uint32_t index, void* self);

  std::unique_ptr<pa_threaded_mainloop, LoopDeleter> m_loop;
  std::unique_ptr<pa_context, ContextDeleter> m_context;
  bool m_started = false;
  bool m_subscribed = false;
  uint64_t m_nextToken = 1;
  std::vector<std::pair<uint64_t, SinkInputListener>> m_listeners;
};

// Pulse error text for a context's last error.
std::string ContextErrorText(pa_context* context);

}  // namespace kalto::platform::audio::pulse
