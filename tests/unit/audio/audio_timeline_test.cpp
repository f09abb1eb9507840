// The arithmetic of the audio timeline (exact at any recording length), the backlog limiter,
// and the ring's discards, skip debt and drop count.
#include <gtest/gtest.h>

#include <vector>

#include "audio/audio_ring_buffer.h"
#include "audio/audio_time.h"
#include "audio/backlog_limiter.h"

namespace kalto {
namespace {

int64_t Reference(int64_t frames, int64_t rate, int64_t units) {
  return static_cast<int64_t>(static_cast<__int128>(frames) * units / rate);
}

struct TimeCase {
  int64_t frames;
  int64_t rate;
};

class FramesToUnitsTest : public ::testing::TestWithParam<TimeCase> {};

TEST_P(FramesToUnitsTest, MatchesWideArithmeticWithoutOverflowing) {
  const auto [frames, rate] = GetParam();
  EXPECT_EQ(FramesToHns(frames, rate), Reference(frames, rate, 10'000'000));
  EXPECT_EQ(FramesToNs(frames, rate), Reference(frames, rate, 1'000'000'000));
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, FramesToUnitsTest,
    ::testing::Values(TimeCase{0, 48000}, TimeCase{1024, 48000}, TimeCase{3 * 1024, 48000}, TimeCase{47999, 48000},
                      TimeCase{1024, 44100},
                      // 53 hours of chunks: where n * 1024 * 1e9 used to pass 2^63.
                      TimeCase{int64_t{9'007'199} * 1024, 48000},
                      // 10^11 chunks, about 67 years: still exact, where the deadline in
                      // nanoseconds still fits 64 bits (it would pass them after 292 years).
                      TimeCase{int64_t{100'000'000'000} * 1024, 48000},
                      TimeCase{int64_t{100'000'000'000} * 1024 + 777, 96000}));

TEST(AudioTime, ChunkDeadlinesAndStampsAtAHugeChunkCount) {
  const int64_t n = int64_t{1} << 38;  // about 186 years of chunks
  EXPECT_EQ(FramesToNs(n * 1024, 48000), Reference(n * 1024, 48000, 1'000'000'000));
  EXPECT_GT(FramesToNs(n * 1024, 48000), 0);
  // Successive stamps still step by 213333 or 213334.
  const int64_t step = FramesToHns((n + 1) * 1024, 48000) - FramesToHns(n * 1024, 48000);
  EXPECT_TRUE(step == 213333 || step == 213334) << step;
}

TEST(AudioTime, HnsToFramesCeilIsTheFewestFramesThatLastThatLong) {
  EXPECT_EQ(HnsToFramesCeil(0, 48000), 0);
  EXPECT_EQ(HnsToFramesCeil(300'000, 48000), 1440);
  EXPECT_EQ(HnsToFramesCeil(300'001, 48000), 1441);
  EXPECT_EQ(HnsToFramesCeil(208, 48000), 1);
  EXPECT_EQ(HnsToFramesCeil(10'000'000, 48000), 48000);
  for (int64_t hns : {1, 209, 12'345, 999'999, 25'000'001}) {
    const int64_t frames = HnsToFramesCeil(hns, 44100);
    EXPECT_GE(FramesToHns(frames, 44100), hns) << hns;
    EXPECT_LT(FramesToHns(frames - 1, 44100), hns) << hns;
  }
}

struct LimiterCase {
  const char* name;
  std::vector<uint64_t> fills;  // frames held before each read
  std::vector<uint64_t> cuts;   // what Observe returned, read by read
};

class BacklogLimiterTest : public ::testing::TestWithParam<LimiterCase> {};

TEST_P(BacklogLimiterTest, CutsOnlyTheDelayThatLastedAWholeWindow) {
  // Windows of four reads, a target of 100 frames.
  BacklogLimiter limiter(4, 100);
  std::vector<uint64_t> cuts;
  for (uint64_t fill : GetParam().fills) cuts.push_back(limiter.Observe(fill));
  EXPECT_EQ(cuts, GetParam().cuts);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BacklogLimiterTest,
    ::testing::Values(
        LimiterCase{"steady_backlog_is_cut_to_the_target", {900, 950, 1000, 920, 100, 120, 110, 100},
                    {0, 0, 0, 800, 0, 0, 0, 0}},
        LimiterCase{"a_burst_that_runs_dry_is_left_alone", {4000, 3000, 2000, 0, 4000, 3000, 2000, 1000},
                    {0, 0, 0, 0, 0, 0, 0, 900}},
        LimiterCase{"at_the_target_nothing_is_cut", {100, 100, 100, 100}, {0, 0, 0, 0}},
        LimiterCase{"each_window_starts_afresh", {500, 500, 500, 500, 300, 300, 300, 300}, {0, 0, 0, 400, 0, 0, 0, 200}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BacklogLimiter, ResetStartsANewWindow) {
  BacklogLimiter limiter(3, 10);
  EXPECT_EQ(limiter.Observe(0), 0u);
  EXPECT_EQ(limiter.Observe(50), 0u);
  limiter.Reset();  // the low reading before the reset no longer counts
  EXPECT_EQ(limiter.Observe(50), 0u);
  EXPECT_EQ(limiter.Observe(60), 0u);
  EXPECT_EQ(limiter.Observe(70), 40u);
}

TEST(RingBuffer, DiscardTakesTheOldestWholeFramesAndNoMoreThanItHolds) {
  AudioRingBuffer ring(100);
  ring.ResetAt(90);  // across the wrap point
  std::vector<float> in{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20};
  ASSERT_EQ(ring.Write(in.data(), in.size()), 20u);
  EXPECT_EQ(ring.Discard(5), 4u);  // whole frames only
  std::vector<float> chunk(AudioRingBuffer::kChunkSamples);
  ASSERT_EQ(ring.ReadChunk(chunk.data()), 16u);
  EXPECT_EQ(chunk[0], 5.0f);
  EXPECT_EQ(chunk[15], 20.0f);
  ASSERT_EQ(ring.Write(in.data(), 6), 6u);
  EXPECT_EQ(ring.Discard(1000), 6u);
  EXPECT_EQ(ring.Count(), 0u);
  EXPECT_EQ(ring.Discard(2), 0u);
}

TEST(RingBuffer, SkipDebtIsPaidOffAcrossWritesBeforeAnythingIsKept) {
  AudioRingBuffer ring(100);
  ring.SetSkipFrames(3);
  std::vector<float> in{1, 2, 3, 4};
  EXPECT_EQ(ring.Write(in.data(), in.size()), 0u);
  EXPECT_EQ(ring.SkipFrames(), 1u);
  std::vector<float> more{5, 6, 7, 8, 9, 10};
  EXPECT_EQ(ring.Write(more.data(), more.size()), 4u);
  EXPECT_EQ(ring.SkipFrames(), 0u);
  std::vector<float> chunk(AudioRingBuffer::kChunkSamples);
  ASSERT_EQ(ring.ReadChunk(chunk.data()), 4u);
  EXPECT_EQ(chunk[0], 7.0f);
  EXPECT_EQ(chunk[3], 10.0f);
}

TEST(RingBuffer, DroppedSamplesCountWhatAFullRingRefusedUntilReset) {
  AudioRingBuffer ring(11);  // holds 10 floats
  std::vector<float> in(14, 1.0f);
  EXPECT_EQ(ring.Write(in.data(), in.size()), 10u);
  EXPECT_EQ(ring.DroppedSamples(), 4u);
  EXPECT_EQ(ring.Write(in.data(), 2), 0u);
  EXPECT_EQ(ring.DroppedSamples(), 6u);
  ring.SetSkipFrames(5);
  ring.Reset();
  EXPECT_EQ(ring.DroppedSamples(), 0u);
  EXPECT_EQ(ring.SkipFrames(), 0u);
}

}  // namespace
}  // namespace kalto
