#pragma once
#include <chrono>
#include <functional>
#include <future>

namespace kalto {

// Runs `work` on its own thread. WaitFor bounds how long the owner waits before it logs and
// moves on; the destructor (or Complete) still waits for the work to end, so nothing the work
// uses is released under it.
class BoundedTask {
 public:
  explicit BoundedTask(std::function<void()> work);
  ~BoundedTask();
  BoundedTask(const BoundedTask&) = delete;
  BoundedTask& operator=(const BoundedTask&) = delete;

  // True when the work finished within the time-out.
  bool WaitFor(std::chrono::milliseconds timeout);
  void Complete();

 private:
  std::future<void> m_future;
};

// Waits at most `timeout` for a thread-completion future; returns true when it is ready.
bool WaitBounded(std::future<void>& future, std::chrono::milliseconds timeout);

}  // namespace kalto
