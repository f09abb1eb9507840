// Events and waits of the audio platform: reset modes, wait-for-any order, time-outs, wake-ups
// from other threads, and the failures a malformed wait reports.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/audio/audio.h"
#include "platform/audio/pulse/pulse_audio_system.h"

namespace kalto::platform::audio {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(AudioEventTest, AutoResetReleasesOneWaitThenFallsBack) {
  Event event(false, true);
  EXPECT_EQ(WaitForEvent(event, 0), WAIT_OBJECT_0);
  EXPECT_FALSE(event.IsSignalled());
  EXPECT_EQ(WaitForEvent(event, 0), WAIT_TIMEOUT);
  event.Set();
  event.Set();  // not counted: still one release
  EXPECT_EQ(WaitForEvent(event, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForEvent(event, 0), WAIT_TIMEOUT);
}

TEST(AudioEventTest, ManualResetStaysSignalledUntilReset) {
  Event event(true, false);
  EXPECT_EQ(WaitForEvent(event, 0), WAIT_TIMEOUT);
  event.Set();
  EXPECT_EQ(WaitForEvent(event, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForEvent(event, 0), WAIT_OBJECT_0);
  event.Reset();
  EXPECT_EQ(WaitForEvent(event, 0), WAIT_TIMEOUT);
}

TEST(AudioEventTest, WaitForAnyReportsTheLowestSignalledIndexAndConsumesOnlyIt) {
  Event stop(true, false), first(false, false), second(false, false);
  Event* list[] = {&stop, &first, &second};
  first.Set();
  second.Set();
  EXPECT_EQ(WaitForEvents(list, 0, nullptr), WAIT_OBJECT_0 + 1);
  EXPECT_EQ(WaitForEvents(list, 0, nullptr), WAIT_OBJECT_0 + 2);
  EXPECT_EQ(WaitForEvents(list, 0, nullptr), WAIT_TIMEOUT);
  // A manual-reset stop event first in the list wins every wait while set.
  stop.Set();
  first.Set();
  EXPECT_EQ(WaitForEvents(list, 0, nullptr), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForEvents(list, 0, nullptr), WAIT_OBJECT_0);
  EXPECT_TRUE(first.IsSignalled());
}

TEST(AudioEventTest, TimeOutWaitsAtLeastItsTime) {
  Event a(false, false), b(false, false);
  Event* list[] = {&a, &b};
  auto start = Clock::now();
  EXPECT_EQ(WaitForEvents(list, 30, nullptr), WAIT_TIMEOUT);
  EXPECT_GE(Clock::now() - start, 30ms);
}

TEST(AudioEventTest, SetOnAnotherThreadWakesTheWaiter) {
  Event stop(true, false), data(false, false);
  Event* list[] = {&stop, &data};
  std::thread setter([&] {
    std::this_thread::sleep_for(20ms);
    data.Set();
  });
  // Generous: only the wake-up matters, not how soon it comes on a loaded machine.
  EXPECT_EQ(WaitForEvents(list, 10'000, nullptr), WAIT_OBJECT_0 + 1);
  setter.join();

  std::thread stopper([&] {
    std::this_thread::sleep_for(20ms);
    stop.Set();
  });
  EXPECT_EQ(WaitForEvents(list, INFINITE, nullptr), WAIT_OBJECT_0);
  stopper.join();
}

TEST(AudioEventTest, EveryWaiterOfAManualEventWakesButAnAutoEventReleasesOne) {
  Event manual(true, false), automatic(false, false);
  std::atomic<int> manualWakes{0}, autoWakes{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i) {
    waiters.emplace_back([&] {
      if (WaitForEvent(manual, 10'000) == WAIT_OBJECT_0) ++manualWakes;
    });
    waiters.emplace_back([&] {
      if (WaitForEvent(automatic, 300) == WAIT_OBJECT_0) ++autoWakes;
    });
  }
  std::this_thread::sleep_for(20ms);
  manual.Set();
  automatic.Set();
  for (auto& t : waiters) t.join();
  EXPECT_EQ(manualWakes.load(), 3);
  EXPECT_EQ(autoWakes.load(), 1);
}

TEST(AudioEventTest, MalformedWaitsFailWithTheReason) {
  Event a(false, true);
  uint32_t error = 0;
  EXPECT_EQ(WaitForEvents({}, 0, &error), WAIT_FAILED);
  EXPECT_EQ(error, ERROR_INVALID_PARAMETER);
  Event* withNull[] = {&a, nullptr};
  EXPECT_EQ(WaitForEvents(withNull, 0, &error), WAIT_FAILED);
  EXPECT_EQ(error, ERROR_INVALID_HANDLE);
  EXPECT_TRUE(a.IsSignalled()) << "a failed wait consumes nothing";
  std::vector<Event*> tooMany(MAXIMUM_WAIT_OBJECTS + 1, &a);
  EXPECT_EQ(WaitForEvents(tooMany, 0, &error), WAIT_FAILED);
  EXPECT_EQ(error, ERROR_INVALID_PARAMETER);
}

TEST(AudioEventTest, TheBackendHandsOutTheSameEventsAndWaits) {
  // No server is needed for events: the backend connects only for endpoints.
  pulse::PulseAudioSystem system("unix:/nonexistent/kalto/native");
  auto stop = system.CreateEvent(true, false);
  auto data = system.CreateEvent(false, false);
  ASSERT_TRUE(stop && data);
  EXPECT_TRUE(stop->IsManualReset());
  EXPECT_FALSE(data->IsManualReset());
  Event* list[] = {stop.get(), data.get()};
  uint32_t error = 0;
  EXPECT_EQ(system.WaitForMultipleObjects(list, 1, &error), WAIT_TIMEOUT);
  data->Set();
  EXPECT_EQ(system.WaitForMultipleObjects(list, 1, &error), WAIT_OBJECT_0 + 1);
}

}  // namespace
}  // namespace kalto::platform::audio
