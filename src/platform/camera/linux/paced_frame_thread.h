#pragma once
// The frame thread of a camera that makes its own frames (the synthetic camera, a file): one
// tick per period of the steady clock, stopped through a condition variable so Stop never waits
// out a frame interval.
#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "common/exception_guard.h"
#include "common/steady_clock.h"

namespace kalto::camera::linuxcam {

class PacedFrameThread {
 public:
  // Called on the thread with the steady-clock time of the tick; false ends the stream.
  using Tick = std::function<bool(int64_t timeNs)>;

  PacedFrameThread() = default;
  PacedFrameThread(const PacedFrameThread&) = delete;
  PacedFrameThread& operator=(const PacedFrameThread&) = delete;
  ~PacedFrameThread() {
    Stop();
    // Still joinable only when the owner is released from inside its own tick: that thread
    // cannot join itself, and it touches nothing but its shared state once the tick returns.
    if (m_thread.joinable()) m_thread.detach();
  }

  // False when a stream is already running. `ended` runs once, on the thread, when a tick ends
  // the stream (returns false or throws) and Stop has not been asked for.
  bool Start(const char* name, int64_t periodNs, Tick tick, std::function<void()> ended) {
    if (OnFrameThread()) return false;
    std::lock_guard control(m_controlMutex);
    {
      std::lock_guard lock(m_state->mutex);
      if (m_state->running) return false;
    }
    // A stream that ended by itself left its thread to be joined here.
    if (m_thread.joinable()) m_thread.join();
    m_state = std::make_shared<State>();
    m_state->running = true;
    m_thread = std::thread([owner = this, state = m_state, name, periodNs, tick = std::move(tick),
                            ended = std::move(ended)] {
      pthread_setname_np(pthread_self(), name);
      t_current = owner;
      Run(*state, periodNs, tick, ended);
    });
    return true;
  }

  // Frames stop before it returns. From inside a tick it only asks the thread to end (a thread
  // cannot join itself); the next Start or Stop from elsewhere joins it.
  void Stop() {
    if (OnFrameThread()) {
      std::lock_guard lock(m_state->mutex);
      m_state->stop = true;
      return;
    }
    std::lock_guard control(m_controlMutex);
    {
      std::lock_guard lock(m_state->mutex);
      m_state->stop = true;
    }
    m_state->wake.notify_all();
    if (m_thread.joinable()) m_thread.join();
  }

  // Not concurrently with Start.
  bool Running() const {
    std::lock_guard lock(m_state->mutex);
    return m_state->running;
  }

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable wake;
    bool stop = false;
    bool running = false;
  };

  // The owner of the frame thread this is, so a Stop from inside a tick or the ended call is told
  // apart without reading m_thread or m_state, which a Start elsewhere may be assigning.
  static inline thread_local const PacedFrameThread* t_current = nullptr;
  bool OnFrameThread() const { return t_current == this; }

  static void Run(State& state, int64_t periodNs, const Tick& tick, const std::function<void()>& ended) {
    int64_t deadlineNs = SteadyNowNs();
    bool endedByItself = false;
    for (;;) {
      {
        std::unique_lock lock(state.mutex);
        const int64_t waitNs = deadlineNs - SteadyNowNs();
        if (waitNs > 0) state.wake.wait_for(lock, std::chrono::nanoseconds(waitNs), [&] { return state.stop; });
        if (state.stop) break;
      }
      bool more = false;
      if (!GuardedCall([&] { more = tick(SteadyNowNs()); }) || !more) {
        endedByItself = true;
        break;
      }
      deadlineNs += periodNs;
      // A thread that fell more than a frame behind (a loaded machine, a slow decode) starts a new
      // schedule rather than delivering the missed frames in a burst.
      if (const int64_t afterNs = SteadyNowNs(); afterNs - deadlineNs > periodNs) deadlineNs = afterNs;
    }
    bool callEnded = false;
    {
      std::lock_guard lock(state.mutex);
      callEnded = endedByItself && !state.stop;
    }
    if (callEnded && ended) GuardedCall(ended);
    // Running until `ended` has returned, so a Start cannot join this thread while the owner's
    // ended handler still waits for a lock the Start holds.
    std::lock_guard lock(state.mutex);
    state.running = false;
    t_current = nullptr;
  }

  std::mutex m_controlMutex;  // orders Start and Stop from other threads
  std::shared_ptr<State> m_state = std::make_shared<State>();
  std::thread m_thread;
};

}  // namespace kalto::camera::linuxcam
