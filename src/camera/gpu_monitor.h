#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/gpu/gpu_device.h"

namespace kalto {

// How loaded the graphics adapter is, condensed into a tier from 1 (light) to 3 (heavy): the
// adapter's local memory usage against its budget plus a growth trend, smoothed, with hysteresis.
// Sampled every 500 ms on a thread of its own while running.
class GpuMonitor {
 public:
  GpuMonitor() = default;
  ~GpuMonitor();
  GpuMonitor(const GpuMonitor&) = delete;
  GpuMonitor& operator=(const GpuMonitor&) = delete;

  bool Initialize(gpu::Device* device);
  // The adapter half of Initialize (what a device's adapter answers is all the monitor reads).
  bool InitializeAdapter(std::shared_ptr<gpu::Adapter> adapter);
  // Start and Stop come from the thread that applies the effect configuration; Stop joins.
  void Start();
  void Stop();
  // One iteration of the sampling thread without its sleep.
  void Sample();

  bool IsRunning() const { return m_running.load(); }
  int32_t Tier() const { return m_tier.load(); }
  float Load() const { return m_load.load(); }

 private:
  void MonitorThread();

  std::shared_ptr<gpu::Adapter> m_adapter;
  std::atomic<bool> m_running{false};
  std::atomic<float> m_load{0.5f};
  std::atomic<int32_t> m_tier{3};
  std::thread m_thread;
  uint64_t m_budget = 0;
  uint64_t m_currentUsage = 0;
  float m_smoothedLoad = 0.5f;
  uint64_t m_lastUsage = 0;
  float m_trend = 0.0f;
  // Lets Stop end the 500 ms sleep at once.
  std::mutex m_wakeMutex;
  std::condition_variable m_wake;
};

}  // namespace kalto
