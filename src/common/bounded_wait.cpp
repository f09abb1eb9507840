#include "common/bounded_wait.h"

namespace kalto {

BoundedTask::BoundedTask(std::function<void()> work)
    : m_future(std::async(std::launch::async, std::move(work))) {}

BoundedTask::~BoundedTask() { Complete(); }

bool BoundedTask::WaitFor(std::chrono::milliseconds timeout) { return WaitBounded(m_future, timeout); }

void BoundedTask::Complete() {
  if (m_future.valid()) {
    m_future.wait();
    m_future = {};
  }
}

bool WaitBounded(std::future<void>& future, std::chrono::milliseconds timeout) {
  if (!future.valid()) return true;
  return future.wait_for(timeout) == std::future_status::ready;
}

}  // namespace kalto
