// Debug lines, picture blocks, text and path conversions, log thinning, counters, the steady clock and bounded
// waits.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>

#include "common/block_pool.h"
#include "common/bounded_wait.h"
#include "common/counters.h"
#include "common/native_path.h"
#include "common/steady_clock.h"
#include "support/debug_capture.h"

namespace kalto {
namespace {

using namespace std::chrono_literals;

TEST(BlockPool, APictureBlockIsHandedOutAgainForItsSizeAndSmallOnesAreNot) {
  const size_t big = BlockPool::kKeptFrom, small = BlockPool::kKeptFrom - 64;
  auto block = BlockPool::Take(big, false);
  auto other = BlockPool::Take(small, false);
  ASSERT_TRUE(block && other);
  EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(block.get()) % BlockPool::kAlignment);
  uint8_t* const bigBytes = block.get();
  block.get()[100] = 7;
  block.reset(), other.reset();
  auto again = BlockPool::Take(big, true);
  EXPECT_EQ(bigBytes, again.get()) << "the block given back";
  EXPECT_EQ(0, again.get()[100]) << "zeroed when asked";
  EXPECT_NE(bigBytes, BlockPool::Take(big, false).get()) << "one block serves one owner at a time";
  // A fresh block of a size not seen before, not a whole number of pages: zero and usable to its end.
  const size_t odd = big * 3 + 4101;
  auto fresh = BlockPool::Take(odd, true);
  ASSERT_TRUE(fresh);
  EXPECT_TRUE(std::all_of(fresh.get(), fresh.get() + odd, [](uint8_t b) { return b == 0; }));
  std::memset(fresh.get(), 0xAB, odd);
  fresh.reset();
  auto recycled = BlockPool::Take(odd, true);
  EXPECT_TRUE(std::all_of(recycled.get(), recycled.get() + odd, [](uint8_t b) { return b == 0; }));
  // One nobody takes for a while goes back to the system: the next of its size is a fresh one.
  std::memset(recycled.get(), 0xCD, odd);
  recycled.reset();
  std::this_thread::sleep_for(BlockPool::kIdle + 50ms);
  auto later = BlockPool::Take(odd, false);
  EXPECT_NE(0xCD, later.get()[odd - 1]) << "not the idle block";
}

TEST(DebugOutput, LinesAreFormattedWideCutToTheirBufferAndSurviveNonAsciiText) {
  const std::string utf8 = "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\xA5";
  EXPECT_EQ(utf8, WideToUtf8(Utf8ToWide(utf8)));
  EXPECT_EQ(L"a\uFFFDb", Utf8ToWide("a\xFF" "b"));
  std::string outer;
  auto previous = SetDebugSink([&](std::string_view line) { outer += line; });
  {
    test::DebugCapture log;
    const std::wstring longText(300, L'x');
    DebugLog<128>(L"[Encoder] %ls %d 0x%08X\n", L"frame", 7, 0x80070057u);
    DebugLog<128>(L"[Tag] %ls\n", longText.c_str());
    DebugLog<512>(L"[Tag] %ls\n", longText.c_str());
    DebugLog<128>(L"[X] %ls\n", Utf8ToWide(utf8).c_str());
    OutputDebugNarrow("narrow\n");
    EXPECT_EQ((std::vector<std::string>{"[Encoder] frame 7 0x80070057\n", "[Tag] " + std::string(121, 'x'),
                                        "[Tag] " + std::string(300, 'x') + "\n",
                                        "[X] " + utf8 + "\n", "narrow\n"}),
              log.Lines());
  }
  OutputDebugNarrow("outer\n");  // the previous sink is back
  SetDebugSink(std::move(previous));
  EXPECT_EQ("outer\n", outer);
}

// Output paths travel as wide strings and must come back as the same bytes, undecodable ones too.
TEST(NativePath, NamesRoundTripToTheSameBytes) {
  EXPECT_EQ(L"/tmp/Vid\u00E9o \u5F55 \U0001F3AC.mp4", WideFromNativePath("/tmp/Vid\xC3\xA9o \xE5\xBD\x95 \xF0\x9F\x8E\xAC.mp4"));
  EXPECT_EQ(L"/tmp/caf\xDCE9 \xDCE5\xDCBD \xDCC0\xDCAF \xDCED\xDCB3\xDCA9", WideFromNativePath("/tmp/caf\xE9 \xE5\xBD \xC0\xAF \xED\xB3\xA9"));
  std::string all;
  for (int b = 1; b < 256; ++b) all += static_cast<char>(b);
  all += "\xE5\xBD\x95\xF0\x9F\x8E\xAC\xE5\xBD";
  EXPECT_EQ(all, NativePathFromWide(WideFromNativePath(all)));
}

TEST(Counters, ThinningRulesAndIncrementsAcrossThreads) {
  std::vector<int> tenths, fives;
  for (int n = 0; n <= 61; ++n) {
    if (IsEveryNthFromFirst(n, 10)) tenths.push_back(n);
    if (IsFirstFewOrEveryNth(n, 5, 30)) fives.push_back(n);
  }
  EXPECT_EQ((std::vector<int>{1, 11, 21, 31, 41, 51, 61}), tenths);
  EXPECT_EQ((std::vector<int>{1, 2, 3, 4, 5, 30, 60}), fives);
  ProcessCounter counter;
  std::thread other([&] { for (int i = 0; i < 10000; ++i) counter.Increment(); });
  for (int i = 0; i < 10000; ++i) counter.Increment();
  other.join();
  EXPECT_EQ(20000, counter.Load());
}

TEST(SteadyClock, ConversionDoesNotOverflowAndTheSourceCanBeReplaced) {
  // Ten days of a 10 MHz counter: counter * 1e9 would overflow int64.
  EXPECT_EQ(10LL * 86400 * 1'000'000'000 + 123'456'700, CounterToNs(10LL * 86400 * 10'000'000 + 1234567, 10'000'000));
  const int64_t a = SteadyNowNs();
  SetSteadyClockSourceForTesting([]() -> int64_t { return 42; });
  EXPECT_EQ(42, SteadyNowNs());
  SetSteadyClockSourceForTesting(nullptr);
  EXPECT_GE(SteadyNowNs(), a);
}

TEST(BoundedTask, TimesOutButStillWaitsForTheWork) {
  std::atomic<bool> done{false};
  {
    BoundedTask task([&] { std::this_thread::sleep_for(300ms), done = true; });
    EXPECT_FALSE(task.WaitFor(20ms));
    EXPECT_FALSE(done);
  }
  EXPECT_TRUE(done);
  EXPECT_TRUE(BoundedTask([] {}).WaitFor(5000ms));
}

}  // namespace
}  // namespace kalto
