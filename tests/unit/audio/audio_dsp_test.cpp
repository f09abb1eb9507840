// The audio pipeline's pure arithmetic: the timeline in 100-ns units, the backlog limiter, the
// ring (its two threads are exercised by the capture's component tests, under the sanitizers),
// the microphone resampler and the endpoint id inside device paths.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "audio/audio_capture.h"
#include "audio/audio_ring_buffer.h"
#include "audio/audio_time.h"
#include "audio/backlog_limiter.h"
#include "audio/catmull_rom_resampler.h"
#include "common/debug_output.h"

namespace kalto {
namespace {

int64_t Reference(int64_t frames, int64_t rate, int64_t units) {
  return static_cast<int64_t>(static_cast<__int128>(frames) * units / rate);
}

TEST(AudioTime, FramesToUnitsIsExactAtEveryLengthAndHnsToFramesCeilRoundsUp) {
  const std::pair<int64_t, int64_t> cases[] = {
      {0, 48000}, {1024, 48000}, {3 * 1024, 48000}, {47999, 48000}, {1024, 44100},
      // 53 hours of chunks: where n * 1024 * 1e9 used to pass 2^63.
      {int64_t{9'007'199} * 1024, 48000},
      // 10^11 chunks (67 years), and about 186 years: still exact.
      {int64_t{100'000'000'000} * 1024, 48000}, {int64_t{100'000'000'000} * 1024 + 777, 96000},
      {(int64_t{1} << 38) * 1024, 48000}};
  for (auto [frames, rate] : cases) {
    SCOPED_TRACE(frames);
    EXPECT_EQ(FramesToHns(frames, rate), Reference(frames, rate, 10'000'000));
    EXPECT_EQ(FramesToNs(frames, rate), Reference(frames, rate, 1'000'000'000));
  }
  const int64_t n = int64_t{1} << 38;
  const int64_t step = FramesToHns((n + 1) * 1024, 48000) - FramesToHns(n * 1024, 48000);
  EXPECT_TRUE(step == 213333 || step == 213334) << step;

  EXPECT_EQ(HnsToFramesCeil(0, 48000), 0);
  EXPECT_EQ(HnsToFramesCeil(300'000, 48000), 1440);
  EXPECT_EQ(HnsToFramesCeil(300'001, 48000), 1441);
  EXPECT_EQ(HnsToFramesCeil(208, 48000), 1);
  EXPECT_EQ(HnsToFramesCeil(10'000'000, 48000), 48000);
  EXPECT_EQ(HnsToFramesCeil(25'000'001, 48000), 120001);
  EXPECT_EQ(HnsToFramesCeil(12'345, 44100), 55);  // 54 frames last 12244
}

TEST(BacklogLimiter, CutsOnlyTheDelayThatLastedAWholeWindow) {
  struct Case {
    const char* name;
    std::vector<uint64_t> fills;  // frames held before each read
    std::vector<uint64_t> cuts;   // what Observe returned, read by read
  };
  // Windows of four reads, a target of 100 frames.
  const Case cases[] = {
      {"steady backlog is cut to the target", {900, 950, 1000, 920, 100, 120, 110, 100}, {0, 0, 0, 800, 0, 0, 0, 0}},
      {"a burst that runs dry is left alone", {4000, 3000, 2000, 0, 4000, 3000, 2000, 1000}, {0, 0, 0, 0, 0, 0, 0, 900}},
      {"at the target nothing is cut", {100, 100, 100, 100}, {0, 0, 0, 0}},
      {"each window starts afresh", {500, 500, 500, 500, 300, 300, 300, 300}, {0, 0, 0, 400, 0, 0, 0, 200}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BacklogLimiter limiter(4, 100);
    std::vector<uint64_t> cuts;
    for (uint64_t fill : c.fills) cuts.push_back(limiter.Observe(fill));
    EXPECT_EQ(cuts, c.cuts);
  }
  BacklogLimiter limiter(3, 10);
  EXPECT_EQ(limiter.Observe(0), 0u);
  EXPECT_EQ(limiter.Observe(50), 0u);
  limiter.Reset();  // the low reading before the reset no longer counts
  EXPECT_EQ(limiter.Observe(50), 0u);
  EXPECT_EQ(limiter.Observe(60), 0u);
  EXPECT_EQ(limiter.Observe(70), 40u);
}

// Interleaved frames: left = f(i), right = -f(i).
template <typename F>
std::vector<float> Frames(size_t n, F f) {
  std::vector<float> v;
  for (size_t i = 0; i < n; ++i) {
    v.push_back(f(i));
    v.push_back(-f(i));
  }
  return v;
}

std::vector<float> Read(AudioRingBuffer& ring, uint64_t expected) {
  std::vector<float> chunk(AudioRingBuffer::kChunkSamples, -1.0f);
  EXPECT_EQ(ring.ReadChunk(chunk.data()), expected);
  return chunk;
}

TEST(RingBuffer, HoldsCapacityMinusOneInWholeFramesAndPadsShortChunksWithZeros) {
  AudioRingBuffer full;
  EXPECT_EQ(full.Capacity(), 48000u);
  std::vector<float> big(48000, 0.5f);
  EXPECT_EQ(full.Write(big.data(), big.size()), 47998u);
  EXPECT_EQ(full.Write(big.data(), 2), 0u);  // full: the newest samples are dropped
  Read(full, 2048);
  EXPECT_EQ(full.Count(), 47998u - 2048u);

  AudioRingBuffer ring;
  ring.ResetAt(47000);  // across the wrap point
  std::vector<float> in(2000);
  for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<float>(i + 1);
  EXPECT_EQ(ring.Write(in.data(), in.size()), 2000u);
  auto chunk = Read(ring, 2000);
  for (size_t i = 0; i < 2000; ++i) ASSERT_EQ(chunk[i], static_cast<float>(i + 1)) << i;
  for (size_t i = 2000; i < 2048; ++i) ASSERT_EQ(chunk[i], 0.0f) << i;
  EXPECT_EQ(Read(ring, 0), std::vector<float>(2048, 0.0f));
}

TEST(RingBuffer, AWriteThatDoesNotFitKeepsLeftAndRightInOrderAndCountsTheDrop) {
  AudioRingBuffer ring(1000);
  auto first = Frames(450, [](size_t i) { return 1.0f + i; });  // 900 floats
  ASSERT_EQ(ring.Write(first.data(), first.size()), 900u);
  auto second = Frames(100, [](size_t i) { return 1000.0f + i; });
  // 99 floats of room: only 49 whole frames go in.
  EXPECT_EQ(ring.Write(second.data(), second.size()), 98u);
  EXPECT_EQ(ring.DroppedSamples(), 102u);
  auto chunk = Read(ring, 998);
  for (size_t i = 0; i < 998; i += 2) ASSERT_EQ(chunk[i + 1], -chunk[i]) << i;
  EXPECT_EQ(chunk[997], -1048.0f);
  auto third = Frames(10, [](size_t i) { return 5000.0f + i; });
  EXPECT_EQ(ring.Write(third.data(), third.size()), 20u);
  chunk = Read(ring, 20);
  EXPECT_EQ(chunk[0], 5000.0f);
  EXPECT_EQ(chunk[1], -5000.0f);

  ring.SetSkipFrames(5);
  ring.Reset();
  EXPECT_EQ(ring.DroppedSamples(), 0u);
  EXPECT_EQ(ring.SkipFrames(), 0u);
}

TEST(RingBuffer, DiscardTakesTheOldestWholeFramesAndSkipDebtIsPaidAcrossWrites) {
  AudioRingBuffer ring(100);
  ring.ResetAt(90);
  auto in = Frames(10, [](size_t i) { return 1.0f + i; });
  ASSERT_EQ(ring.Write(in.data(), in.size()), 20u);
  EXPECT_EQ(ring.Discard(5), 4u);  // whole frames only
  auto chunk = Read(ring, 16);
  EXPECT_EQ(chunk[0], 3.0f);
  EXPECT_EQ(chunk[15], -10.0f);
  ASSERT_EQ(ring.Write(in.data(), 6), 6u);
  EXPECT_EQ(ring.Discard(1000), 6u);
  EXPECT_EQ(ring.Discard(2), 0u);

  ring.SetSkipFrames(3);
  EXPECT_EQ(ring.Write(in.data(), 4), 0u);
  EXPECT_EQ(ring.SkipFrames(), 1u);
  EXPECT_EQ(ring.Write(in.data() + 4, 6), 4u);
  EXPECT_EQ(ring.SkipFrames(), 0u);
  chunk = Read(ring, 4);
  EXPECT_EQ(chunk[0], 4.0f);
  EXPECT_EQ(chunk[3], -5.0f);
}

float Quadratic(size_t i) { return 0.5f * (i / 100.0f) * (i / 100.0f); }

struct Resampled {
  std::vector<float> out;
  double position = 0.0;
  ResampleHistory history{};
  void Run(const std::vector<float>& in, double ratio) {
    ResampleCatmullRom(in.data(), in.size() / 2, ratio, position, history, out);
  }
};

TEST(Resampler, RatiosSetTheFrameCountTheBlockEndIsExtrapolatedAndStateCarriesOver) {
  const auto in = Frames(100, Quadratic);
  Resampled up;
  up.Run(in, 0.5);
  ASSERT_EQ(up.out.size(), 400u);
  EXPECT_DOUBLE_EQ(up.position, 0.0);
  EXPECT_FLOAT_EQ(up.out[2 * 198], Quadratic(99));
  EXPECT_FLOAT_EQ(up.out[2 * 198 + 1], -Quadratic(99));
  // At 99.5 both later neighbours are extrapolated (2·p1 − p0, 2·p2 − p1): the spline continues
  // the line through frames 98 and 99.
  const float expected = 1.5f * Quadratic(99) - 0.5f * Quadratic(98);
  EXPECT_NEAR(up.out[2 * 199], expected, 1e-6);
  EXPECT_NEAR(up.out[2 * 199 + 1], -expected, 1e-6);
  EXPECT_NEAR(up.out[2 * 101], 0.5f * 0.505f * 0.505f, 1e-6);

  Resampled down;
  down.Run(in, 2.0);
  ASSERT_EQ(down.out.size(), 100u);
  for (size_t j = 0; j < 50; ++j) EXPECT_FLOAT_EQ(down.out[2 * j], Quadratic(2 * j)) << j;

  // Clamped to full scale; a 0 Hz microphone (ratio 0) would never advance: nothing comes out.
  Resampled overshoot;
  overshoot.Run({0.0f, 0.0f, 1.0f, 1.0f, 1.0f, 1.0f, 0.0f, 0.0f}, 0.25);
  for (float s : overshoot.out) ASSERT_LE(std::fabs(s), 1.0f);
  Resampled stuck;
  stuck.Run(in, 0.0);
  EXPECT_TRUE(stuck.out.empty());

  Resampled r;
  r.Run(Frames(10, [](size_t i) { return i * 0.01f; }), 0.75);
  EXPECT_EQ(r.out.size(), 2u * 14);  // 0, 0.75, ..., 9.75
  EXPECT_DOUBLE_EQ(r.position, 0.5);
  r.out.clear();
  r.Run(Frames(10, [](size_t i) { return (10 + i) * 0.01f; }), 0.75);
  EXPECT_EQ(r.out.size(), 2u * 13);
  // A ramp stays a ramp across the boundary: position 0.5 of the second block is 10.5.
  EXPECT_NEAR(r.out[0], 0.105f, 1e-6);
  EXPECT_NEAR(r.out[1], -0.105f, 1e-6);

  Resampled h;
  h.Run({0.1f, -0.1f, 0.2f, -0.2f}, 0.5);
  EXPECT_EQ(h.history, (ResampleHistory{0, 0, 0.1f, 0.2f, 0, 0, -0.1f, -0.2f}));
  const auto five = Frames(5, [](size_t i) { return 0.3f + i * 0.1f; });
  h.Run(five, 0.5);
  for (size_t j = 0; j < 4; ++j) {
    EXPECT_EQ(h.history[j], five[2 * (j + 1)]) << j;
    EXPECT_EQ(h.history[4 + j], five[2 * (j + 1) + 1]) << j;
  }
}

TEST(EndpointId, TheIdBetweenTheMarkerAndTheNextHash) {
  const std::pair<const wchar_t*, const wchar_t*> cases[] = {
      {L"\\\\?\\SWD#MMDEVAPI#{0.0.1.00000000}.{8c1a}#{2eef81be-33fa-4800-9670-1cd474972c3f}", L"{0.0.1.00000000}.{8c1a}"},
      {L"SWD#MMDEVAPI#{0.0.1.00000000}.{8c1a}", L"{0.0.1.00000000}.{8c1a}"},
      {L"SWD#MMDEVAPI#", L""},
      {L"MMDEVAPI#a#MMDEVAPI#b#", L"a"},
      {L"{0.0.1.00000000}.{8c1a}", L"{0.0.1.00000000}.{8c1a}"},
      {L"MMDEVAPI", L"MMDEVAPI"},
      {L"", L""}};
  for (auto [path, id] : cases) EXPECT_EQ(AudioCapture::ExtractEndpointId(path), id) << WideToUtf8(path);
}

}  // namespace
}  // namespace kalto
