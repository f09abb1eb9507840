#pragma once
// The workers that run kernels and row loops for every software device of the process.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace kalto::gpu::software {

class ThreadPool {
 public:
  // The process-wide pool: hardware_concurrency() workers (1..8), started on first use and
  // joined when the process's statics are destroyed.
  static ThreadPool& Instance();
  // False once the process-wide pool has been destroyed; ParallelFor then runs inline.
  static bool InstanceAlive();

  explicit ThreadPool(unsigned workers);
  ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  unsigned Workers() const { return static_cast<unsigned>(m_threads.size()); }

  // Runs fn(begin, end) over bands covering [0, count) exactly once and returns when all have
  // finished. The calling thread takes bands too, so progress never depends on idle workers;
  // called from a worker of any pool it runs inline so nesting cannot deadlock. The first
  // exception a band throws is rethrown here after every band has ended.
  void ParallelFor(uint32_t count, const std::function<void(uint32_t begin, uint32_t end)>& fn);

  static bool OnPoolThread();

 private:
  struct Job;
  void WorkerLoop();
  static void RunBands(Job& job);

  std::mutex m_mutex;
  std::condition_variable m_wake;
  std::deque<std::shared_ptr<Job>> m_queue;
  bool m_stopping = false;
  std::vector<std::thread> m_threads;
};

}  // namespace kalto::gpu::software
