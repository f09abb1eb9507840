#include "platform/gpu/software/thread_pool.h"

#include <algorithm>
#include <atomic>
#include <exception>

namespace kalto::gpu::software {
namespace {

thread_local bool t_onPoolThread = false;
// Trivially destructible, so it stays readable by statics destroyed after the pool.
std::atomic<bool> g_instanceDestroyed{false};

// Enough bands per thread that an unevenly loaded band does not leave the others idle.
constexpr uint32_t kBandsPerThread = 4;

unsigned DefaultWorkerCount() {
  const unsigned hw = std::thread::hardware_concurrency();
  return std::clamp(hw, 1u, 8u);
}

// Owns the process-wide pool; its destructor joins the workers at static destruction.
struct InstanceHolder {
  ThreadPool pool{DefaultWorkerCount()};
  ~InstanceHolder() { g_instanceDestroyed.store(true); }
};

}  // namespace

struct ThreadPool::Job {
  const std::function<void(uint32_t, uint32_t)>* fn = nullptr;
  uint32_t count = 0;
  uint32_t bandSize = 0;
  uint32_t bands = 0;
  std::atomic<uint32_t> nextBand{0};
  std::mutex mutex;
  std::condition_variable finished;
  uint32_t doneBands = 0;
  std::exception_ptr error;
};

ThreadPool& ThreadPool::Instance() {
  static InstanceHolder holder;
  return holder.pool;
}

bool ThreadPool::InstanceAlive() { return !g_instanceDestroyed.load(); }

bool ThreadPool::OnPoolThread() { return t_onPoolThread; }

ThreadPool::ThreadPool(unsigned workers) {
  m_threads.reserve(workers);
  for (unsigned i = 0; i < workers; ++i) m_threads.emplace_back([this] { WorkerLoop(); });
}

ThreadPool::~ThreadPool() {
  {
    std::lock_guard lock(m_mutex);
    m_stopping = true;
  }
  m_wake.notify_all();
  for (auto& thread : m_threads) thread.join();
}

void ThreadPool::WorkerLoop() {
  t_onPoolThread = true;
  for (;;) {
    std::shared_ptr<Job> job;
    {
      std::unique_lock lock(m_mutex);
      m_wake.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
      // Queued jobs always have a caller running bands too, so dropping them on stop is safe.
      if (m_stopping) return;
      job = std::move(m_queue.front());
      m_queue.pop_front();
    }
    RunBands(*job);
  }
}

void ThreadPool::RunBands(Job& job) {
  for (;;) {
    const uint32_t band = job.nextBand.fetch_add(1);
    if (band >= job.bands) return;
    const uint32_t begin = band * job.bandSize;
    const uint32_t end = std::min(job.count, begin + job.bandSize);
    std::exception_ptr error;
    try {
      (*job.fn)(begin, end);
    } catch (...) {
      error = std::current_exception();
    }
    std::lock_guard lock(job.mutex);
    if (error && !job.error) job.error = error;
    if (++job.doneBands == job.bands) job.finished.notify_all();
  }
}

void ThreadPool::ParallelFor(uint32_t count, const std::function<void(uint32_t, uint32_t)>& fn) {
  if (count == 0) return;
  if (count == 1 || Workers() <= 1 || OnPoolThread()) {
    fn(0, count);
    return;
  }
  auto job = std::make_shared<Job>();
  job->fn = &fn;
  job->count = count;
  const uint32_t wantedBands = std::min<uint32_t>(count, (Workers() + 1) * kBandsPerThread);
  job->bandSize = (count + wantedBands - 1) / wantedBands;
  job->bands = (count + job->bandSize - 1) / job->bandSize;
  const uint32_t helpers = std::min<uint32_t>(Workers(), job->bands - 1);
  {
    std::lock_guard lock(m_mutex);
    for (uint32_t i = 0; i < helpers; ++i) m_queue.push_back(job);
  }
  if (helpers == 1) {
    m_wake.notify_one();
  } else {
    m_wake.notify_all();
  }
  RunBands(*job);
  std::unique_lock lock(job->mutex);
  job->finished.wait(lock, [&] { return job->doneBands == job->bands; });
  // Workers that pick up this job later find no bands left and never touch fn.
  if (job->error) std::rethrow_exception(job->error);
}

}  // namespace kalto::gpu::software
