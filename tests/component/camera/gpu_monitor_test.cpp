// GpuMonitor over an adapter whose memory readings the test scripts.
#include "camera/gpu_monitor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <stdexcept>

#include "support/debug_capture.h"

namespace kalto::test {
namespace {

constexpr uint64_t kMiB = 1 << 20;

struct ScriptedAdapter : gpu::Adapter {
  gpu::AdapterDesc GetDesc() const override { return {}; }
  bool SupportsVideoMemoryQuery() const override { return supported; }
  HRESULT QueryVideoMemoryInfo(gpu::VideoMemoryInfo* info) const override {
    std::lock_guard lock(mutex);
    ++queries;
    queried.notify_all();
    if (throwOnce) throw std::runtime_error(std::exchange(throwOnce, nullptr));
    *info = reading;
    return result;
  }
  mutable std::mutex mutex;
  mutable std::condition_variable queried;
  mutable int queries = 0;
  mutable const char* throwOnce = nullptr;
  gpu::VideoMemoryInfo reading{0, 800 * kMiB};  // budget, usage
  HRESULT result = S_OK;
  bool supported = true;
};

// Budget 0 reads as ratio 0: the load falls from 0.5 (tier 3 to 2 to 1). A steady 80% then climbs
// through tier 2 (past 0.6) to 3 (past 0.73), one step at a time; a failed query holds the load.
// Without a memory query the load stays 0.5 and the tier 3, whatever the adapter would answer.
TEST(GpuMonitorTest, SteadyUsageWalksTheTiersOneStepAtATime) {
  DebugCapture log;
  auto adapter = std::make_shared<ScriptedAdapter>(), noQuery = std::make_shared<ScriptedAdapter>();
  noQuery->supported = false;
  GpuMonitor monitor, constant;
  ASSERT_TRUE(monitor.InitializeAdapter(adapter) && constant.InitializeAdapter(noQuery));
  std::vector<int32_t> tiers;
  for (int i = 0; i < 8; ++i) {
    if (i == 2) adapter->reading.budget = noQuery->reading.budget = 1000 * kMiB;
    monitor.Sample();
    constant.Sample();
    tiers.push_back(monitor.Tier());
  }
  EXPECT_EQ(tiers, (std::vector<int32_t>{2, 1, 1, 1, 2, 2, 2, 3}));
  EXPECT_NEAR(monitor.Load(), 0.734704f, 1e-5);
  adapter->result = E_FAIL;
  monitor.Sample();
  EXPECT_NEAR(monitor.Load(), 0.734704f, 1e-5);
  EXPECT_TRUE(constant.Load() == 0.5f && constant.Tier() == 3 && noQuery->queries == 0);
  EXPECT_FALSE(monitor.InitializeAdapter(nullptr) || monitor.Initialize(nullptr));
  EXPECT_EQ(log.Lines(), (std::vector<std::string>{"[GpuMonitor] IDXGIAdapter3 not available (older Windows version)\n",
                                                   "[GpuMonitor] Failed to get DXGI adapter\n",
                                                   "[GpuMonitor] Initialize failed: null device\n"}));
}

// Growth adds change / 100 MiB, clamped to 0.2 and half-smoothed; falling usage adds nothing.
TEST(GpuMonitorTest, GrowingUsageAddsAtMostTwoTenthsAndFallingUsageNothing) {
  for (const int64_t stepMiB : {1024, 10, -500}) {
    auto adapter = std::make_shared<ScriptedAdapter>();
    adapter->reading = {8192 * kMiB, 4096 * kMiB};
    GpuMonitor monitor;
    ASSERT_TRUE(monitor.InitializeAdapter(adapter));
    const double delta = std::clamp(double(stepMiB) / 100.0, -0.2, 0.2);
    double trend = 0, load = 0.5;
    for (int i = 0; i < 6; ++i) {
      adapter->reading.currentUsage += uint64_t(stepMiB * int64_t(kMiB));
      monitor.Sample();
      trend = 0.5 * trend + 0.5 * delta;
      const double ratio = double(adapter->reading.currentUsage) / double(adapter->reading.budget);
      load = 0.7 * load + 0.3 * std::clamp(ratio + std::max(trend, 0.0), 0.0, 1.0);
      EXPECT_NEAR(monitor.Load(), load, 1e-5) << stepMiB << " MiB, sample " << i;
    }
  }
}

// The thread samples at once and every 500 ms, logging an exception and going on; a stop during
// the sleep ends it and joins, and the monitor starts again (the destructor stops that one).
TEST(GpuMonitorTest, TheSamplingThreadSurvivesErrorsAndStopsDuringItsSleep) {
  DebugCapture log;
  auto adapter = std::make_shared<ScriptedAdapter>();
  GpuMonitor monitor;
  ASSERT_TRUE(monitor.InitializeAdapter(adapter));  // query 1
  adapter->throwOnce = "device removed";
  const auto waitFor = [&](int count) {
    std::unique_lock lock(adapter->mutex);
    return adapter->queried.wait_for(lock, std::chrono::seconds(10), [&] { return adapter->queries >= count; });
  };
  monitor.Start();
  ASSERT_TRUE(waitFor(3));
  EXPECT_TRUE(log.Contains("[GpuMonitor] MonitorThread exception: device removed\n"));
  const auto before = std::chrono::steady_clock::now();
  monitor.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(400)) << "the 500 ms sleep ended";
  EXPECT_FALSE(monitor.IsRunning());
  monitor.Start();
}

}  // namespace
}  // namespace kalto::test
