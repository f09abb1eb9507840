#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "common/bounded_wait.h"
#include "common/counters.h"
#include "common/debug_output.h"
#include "common/known_folders.h"
#include "common/steady_clock.h"
#include "support/debug_capture.h"

namespace kalto {
namespace {

using namespace std::chrono_literals;

TEST(DebugOutput, LinesAreFormattedWideAndCutToTheirBuffer) {
  test::DebugCapture log;
  DebugLog<128>(L"[Encoder] %ls %d 0x%08X\n", L"frame", 7, 0x80070057u);
  std::wstring longText(300, L'x');
  DebugLog<128>(L"[Tag] %ls\n", longText.c_str());
  DebugLog<512>(L"[Tag] %ls\n", longText.c_str());
  auto lines = log.Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "[Encoder] frame 7 0x80070057\n");
  EXPECT_EQ(lines[1], "[Tag] " + std::string(121, 'x'));  // 127 characters, newline cut
  EXPECT_EQ(lines[2], "[Tag] " + std::string(300, 'x') + "\n");
}

TEST(DebugOutput, NonAsciiTextSurvivesTheRoundTrip) {
  std::string utf8 = "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\xA5";
  EXPECT_EQ(WideToUtf8(Utf8ToWide(utf8)), utf8);
  EXPECT_EQ(Utf8ToWide("a\xFF" "b"), L"a\uFFFDb");
  test::DebugCapture log;
  DebugLog<128>(L"[X] %ls\n", Utf8ToWide(utf8).c_str());
  EXPECT_EQ(log.Lines().at(0), "[X] " + utf8 + "\n");
}

TEST(DebugOutput, NarrowLinesAndSinkRestore) {
  std::string seen;
  auto previous = SetDebugSink([&](std::string_view line) { seen += line; });
  OutputDebugNarrow("error X3501: 'main': entrypoint not found\n");
  {
    test::DebugCapture inner;
    OutputDebugNarrow("inner\n");
    EXPECT_EQ(inner.Lines().size(), 1u);
  }
  OutputDebugNarrow("outer\n");
  SetDebugSink(std::move(previous));
  EXPECT_EQ(seen, "error X3501: 'main': entrypoint not found\nouter\n");
}

TEST(Thinning, EveryTenthFromTheFirstAndFirstFiveThenEveryThirtieth) {
  std::vector<int> tenths, fives;
  for (int n = 1; n <= 61; ++n) {
    if (IsEveryNthFromFirst(n, 10)) tenths.push_back(n);
    if (IsFirstFewOrEveryNth(n, 5, 30)) fives.push_back(n);
  }
  EXPECT_EQ(tenths, (std::vector<int>{1, 11, 21, 31, 41, 51, 61}));
  EXPECT_EQ(fives, (std::vector<int>{1, 2, 3, 4, 5, 30, 60}));
}

TEST(ProcessCounter, CountsEveryIncrementAcrossThreads) {
  ProcessCounter counter;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 10000; ++i) counter.Increment();
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter.Load(), 40000);
}

TEST(SteadyClock, ConversionDoesNotOverflowForLargeCounters) {
  // Ten days of a 10 MHz counter: counter * 1e9 would overflow int64.
  int64_t frequency = 10'000'000;
  int64_t counter = 10LL * 86400 * frequency + 1234567;
  EXPECT_EQ(CounterToNs(counter, frequency), 10LL * 86400 * 1'000'000'000 + 123'456'700);
  int64_t a = SteadyNowNs();
  int64_t b = SteadyNowNs();
  EXPECT_LE(a, b);
  SetSteadyClockSourceForTesting([]() -> int64_t { return 42; });
  EXPECT_EQ(SteadyNowNs(), 42);
  SetSteadyClockSourceForTesting(nullptr);
  EXPECT_GE(SteadyNowNs(), b);
}

TEST(BoundedTask, TimesOutButStillWaitsForTheWork) {
  std::atomic<bool> done{false};
  {
    BoundedTask task([&] {
      std::this_thread::sleep_for(300ms);
      done = true;
    });
    EXPECT_FALSE(task.WaitFor(20ms));
    EXPECT_FALSE(done);
  }
  EXPECT_TRUE(done);
  BoundedTask quick([] {});
  EXPECT_TRUE(quick.WaitFor(5000ms));
}

TEST(KnownFolders, FollowXdgThenHome) {
  std::string savedXdg = std::getenv("XDG_DATA_HOME") ? std::getenv("XDG_DATA_HOME") : "";
  std::string savedHome = std::getenv("HOME") ? std::getenv("HOME") : "";
  setenv("XDG_DATA_HOME", "/tmp/xdg", 1);
  EXPECT_EQ(KaltoDataFolder(), std::filesystem::path("/tmp/xdg/Kalto"));
  setenv("XDG_DATA_HOME", "relative/ignored", 1);
  setenv("HOME", "/home/u", 1);
  EXPECT_EQ(LocalAppDataFolder(), std::filesystem::path("/home/u/.local/share"));
  unsetenv("XDG_DATA_HOME");
  unsetenv("HOME");
  EXPECT_TRUE(KaltoDataFolder().empty());
  if (!savedXdg.empty()) setenv("XDG_DATA_HOME", savedXdg.c_str(), 1);
  if (!savedHome.empty()) setenv("HOME", savedHome.c_str(), 1);
  EXPECT_EQ(ExecutablePath().filename(), "kalto_unit_common_tests");
  EXPECT_EQ(ExecutableFolder(), ExecutablePath().parent_path());
}

}  // namespace
}  // namespace kalto
