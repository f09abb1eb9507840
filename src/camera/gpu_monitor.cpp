#include "camera/gpu_monitor.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <system_error>

#include "common/debug_output.h"

namespace kalto {

GpuMonitor::~GpuMonitor() {
  Stop();
  m_adapter.reset();
}

bool GpuMonitor::Initialize(gpu::Device* device) {
  if (device == nullptr) {
    DebugLog<128>(L"[GpuMonitor] Initialize failed: null device\n");
    return false;
  }
  return InitializeAdapter(device->GetAdapter());
}

bool GpuMonitor::InitializeAdapter(std::shared_ptr<gpu::Adapter> adapter) {
  if (!adapter) {
    DebugLog<128>(L"[GpuMonitor] Failed to get DXGI adapter\n");
    return false;
  }
  if (!adapter->SupportsVideoMemoryQuery()) {
    DebugLog<128>(L"[GpuMonitor] IDXGIAdapter3 not available (older Windows version)\n");
    return true;
  }
  m_adapter = std::move(adapter);
  gpu::VideoMemoryInfo info;
  if (m_adapter->QueryVideoMemoryInfo(&info) == S_OK) {
    m_budget = info.budget;
    m_currentUsage = info.currentUsage;
    m_lastUsage = info.currentUsage;
  }
  return true;
}

void GpuMonitor::Start() {
  if (m_running.exchange(true)) return;
  if (m_thread.joinable()) m_thread.join();
  m_thread = std::thread([this] { MonitorThread(); });
}

void GpuMonitor::Stop() {
  if (m_thread.joinable() && m_thread.get_id() == std::this_thread::get_id()) {
    throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur));
  }
  {
    std::lock_guard lock(m_wakeMutex);
    m_running.store(false);
  }
  m_wake.notify_all();
  if (m_thread.joinable()) m_thread.join();
}

void GpuMonitor::Sample() {
  float load = 0.5f;
  if (m_adapter) {
    gpu::VideoMemoryInfo info;
    if (m_adapter->QueryVideoMemoryInfo(&info) != S_OK) {
      load = m_smoothedLoad;
    } else {
      const float ratio = info.budget == 0 ? 0.0f : float(double(info.currentUsage) / double(info.budget));
      float delta = 0.0f;
      if (m_lastUsage != 0) {
        const double change = double(int64_t(info.currentUsage - m_lastUsage)) / 104857600.0;
        delta = float(std::clamp(change, -0.2, 0.2));
      }
      m_trend = 0.5f * m_trend + 0.5f * delta;
      m_lastUsage = info.currentUsage;
      m_currentUsage = info.currentUsage;
      m_budget = info.budget;
      load = std::clamp(ratio + std::max(m_trend, 0.0f), 0.0f, 1.0f);
    }
  }
  m_smoothedLoad = 0.7f * m_smoothedLoad + 0.3f * load;
  m_load.exchange(m_smoothedLoad);
  const float s = m_smoothedLoad;
  const int32_t tier = m_tier.load();
  int32_t next = tier;
  if (tier == 1 && s > 0.6f) next = 2;
  if (tier == 2 && s < 0.33f) next = 1;
  if (tier == 2 && s > 0.73f) next = 3;
  if (tier == 3 && s < 0.33f) next = 1;
  if (tier == 3 && s >= 0.33f && s < 0.5f) next = 2;
  if (next != tier) m_tier.exchange(next);
}

void GpuMonitor::MonitorThread() {
  while (m_running.load()) {
    try {
      Sample();
    } catch (const std::exception& e) {
      DebugLog<256>(L"[GpuMonitor] MonitorThread exception: %s\n", e.what());
    } catch (...) {
      DebugLog<128>(L"[GpuMonitor] MonitorThread unknown exception\n");
    }
    std::unique_lock lock(m_wakeMutex);
    m_wake.wait_for(lock, std::chrono::milliseconds(500), [this] { return !m_running.load(); });
  }
}

}  // namespace kalto
