// The microphone resampler, the lock-free ring, and the endpoint id inside device paths.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "audio/audio_capture.h"
#include "audio/audio_ring_buffer.h"
#include "audio/catmull_rom_resampler.h"

namespace kalto {
namespace {

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

float Quadratic(size_t i) { return 0.5f * (i / 100.0f) * (i / 100.0f); }

TEST(Resampler, HalfRatioDoublesTheFramesAndExtrapolatesAtTheBlockEnd) {
  auto in = Frames(100, Quadratic);
  double position = 0.0;
  ResampleHistory history{};
  std::vector<float> out;
  ResampleCatmullRom(in.data(), 100, 0.5, position, history, out);
  ASSERT_EQ(out.size(), 400u);  // 200 stereo frames
  EXPECT_DOUBLE_EQ(position, 0.0);
  // Whole positions reproduce the input.
  EXPECT_FLOAT_EQ(out[2 * 198], Quadratic(99));
  EXPECT_FLOAT_EQ(out[2 * 198 + 1], -Quadratic(99));
  // At 99.5 both later neighbours are extrapolated (2·p1 − p0, 2·p2 − p1): the four points lie
  // on a line through frames 98 and 99, so the spline continues that line.
  const float expected = 1.5f * Quadratic(99) - 0.5f * Quadratic(98);
  EXPECT_NEAR(out[2 * 199], expected, 1e-6);
  EXPECT_NEAR(out[2 * 199 + 1], -expected, 1e-6);
  // Inside the block the spline follows the parabola closely.
  EXPECT_NEAR(out[2 * 101], 0.5f * 0.505f * 0.505f, 1e-6);
}

TEST(Resampler, DoubleRatioHalvesTheFrames) {
  auto in = Frames(100, Quadratic);
  double position = 0.0;
  ResampleHistory history{};
  std::vector<float> out;
  ResampleCatmullRom(in.data(), 100, 2.0, position, history, out);
  ASSERT_EQ(out.size(), 100u);  // 50 frames
  EXPECT_DOUBLE_EQ(position, 0.0);
  for (size_t j = 0; j < 50; ++j) EXPECT_FLOAT_EQ(out[2 * j], Quadratic(2 * j)) << j;
}

TEST(Resampler, FractionalPositionCarriesIntoTheNextBlock) {
  auto in = Frames(10, [](size_t i) { return i * 0.01f; });
  double position = 0.0;
  ResampleHistory history{};
  std::vector<float> out;
  ResampleCatmullRom(in.data(), 10, 0.75, position, history, out);
  EXPECT_EQ(out.size(), 2u * 14);  // 0, 0.75, ..., 9.75
  EXPECT_DOUBLE_EQ(position, 0.5);
  out.clear();
  auto next = Frames(10, [](size_t i) { return (10 + i) * 0.01f; });
  ResampleCatmullRom(next.data(), 10, 0.75, position, history, out);
  EXPECT_EQ(out.size(), 2u * 13);  // 0.5, 1.25, ..., 9.5
  // A ramp stays a ramp across the block boundary: position 0.5 of the second block is 10.5.
  EXPECT_NEAR(out[0], 0.105f, 1e-6);
  EXPECT_NEAR(out[1], -0.105f, 1e-6);
}

TEST(Resampler, HistoryKeepsTheLastFourFramesPerChannel) {
  ResampleHistory history{};
  double position = 0.0;
  std::vector<float> out;
  std::vector<float> two = {0.1f, -0.1f, 0.2f, -0.2f};
  ResampleCatmullRom(two.data(), 2, 0.5, position, history, out);
  EXPECT_EQ(history, (ResampleHistory{0, 0, 0.1f, 0.2f, 0, 0, -0.1f, -0.2f}));
  auto five = Frames(5, [](size_t i) { return 0.3f + i * 0.1f; });
  ResampleCatmullRom(five.data(), 5, 0.5, position, history, out);
  EXPECT_FLOAT_EQ(history[0], 0.4f);
  EXPECT_FLOAT_EQ(history[3], 0.7f);
  EXPECT_FLOAT_EQ(history[4], -0.4f);
  EXPECT_FLOAT_EQ(history[7], -0.7f);
}

TEST(Resampler, OutputIsClampedAndAStuckRatioProducesNothing) {
  std::vector<float> in = {0.0f, 0.0f, 1.0f, 1.0f, 1.0f, 1.0f, 0.0f, 0.0f};
  double position = 0.0;
  ResampleHistory history{};
  std::vector<float> out;
  ResampleCatmullRom(in.data(), 4, 0.25, position, history, out);
  for (float s : out) {
    EXPECT_LE(s, 1.0f);
    EXPECT_GE(s, -1.0f);
  }
  out.clear();
  position = 0.0;
  ResampleCatmullRom(in.data(), 4, 0.0, position, history, out);  // a 0 Hz microphone
  EXPECT_TRUE(out.empty());
}

TEST(RingBuffer, HoldsAtMostCapacityMinusOneInWholeFrames) {
  AudioRingBuffer ring;
  EXPECT_EQ(ring.Capacity(), 48000u);
  std::vector<float> big(48000, 0.5f);
  EXPECT_EQ(ring.Write(big.data(), big.size()), 47998u);
  EXPECT_EQ(ring.Count(), 47998u);
  EXPECT_EQ(ring.Write(big.data(), 2), 0u);  // full: the newest samples are dropped
  std::vector<float> chunk(2048);
  EXPECT_EQ(ring.ReadChunk(chunk.data()), 2048u);
  EXPECT_EQ(ring.Count(), 47998u - 2048u);
}

TEST(RingBuffer, WrapsAndPadsAShortChunkWithZeros) {
  AudioRingBuffer ring;
  ring.ResetAt(47000);
  std::vector<float> in(2000);
  for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<float>(i + 1);
  EXPECT_EQ(ring.Write(in.data(), in.size()), 2000u);
  std::vector<float> chunk(2048, -1.0f);
  EXPECT_EQ(ring.ReadChunk(chunk.data()), 2000u);
  for (size_t i = 0; i < 2000; ++i) ASSERT_EQ(chunk[i], static_cast<float>(i + 1)) << i;
  for (size_t i = 2000; i < 2048; ++i) ASSERT_EQ(chunk[i], 0.0f) << i;
  EXPECT_EQ(ring.ReadChunk(chunk.data()), 0u);
  for (float s : chunk) ASSERT_EQ(s, 0.0f);
}

TEST(RingBuffer, AWriteThatDoesNotFitKeepsLeftAndRightInOrder) {
  AudioRingBuffer ring(1000);
  auto first = Frames(450, [](size_t i) { return 1.0f + i; });  // 900 floats
  ASSERT_EQ(ring.Write(first.data(), first.size()), 900u);
  auto second = Frames(100, [](size_t i) { return 1000.0f + i; });
  // 99 floats of room: only 49 whole frames go in.
  EXPECT_EQ(ring.Write(second.data(), second.size()), 98u);
  std::vector<float> chunk(2048);
  ASSERT_EQ(ring.ReadChunk(chunk.data()), 998u);
  for (size_t i = 0; i < 998; i += 2) {
    ASSERT_GT(chunk[i], 0.0f) << i;
    ASSERT_EQ(chunk[i + 1], -chunk[i]) << i;
  }
  auto third = Frames(10, [](size_t i) { return 5000.0f + i; });
  EXPECT_EQ(ring.Write(third.data(), third.size()), 20u);
  ASSERT_EQ(ring.ReadChunk(chunk.data()), 20u);
  EXPECT_EQ(chunk[0], 5000.0f);
  EXPECT_EQ(chunk[1], -5000.0f);
}

TEST(RingBuffer, OneWriterAndOneReaderSeeEveryFrameInOrder) {
  AudioRingBuffer ring(4096);
  constexpr int kFrames = 200000;
  std::atomic<bool> done{false};
  std::thread writer([&] {
    std::vector<float> block;
    int next = 1;
    while (next <= kFrames) {
      block.clear();
      for (int i = 0; i < 300 && next + i <= kFrames; ++i) {
        block.push_back(static_cast<float>(next + i));
        block.push_back(-static_cast<float>(next + i));
      }
      uint64_t kept = ring.Write(block.data(), block.size());
      next += static_cast<int>(kept / 2);
      if (kept < block.size()) std::this_thread::yield();
    }
    done = true;
  });
  std::vector<float> chunk(2048);
  int expected = 1;
  bool ordered = true;
  while (expected <= kFrames && ordered) {
    uint64_t got = ring.ReadChunk(chunk.data());
    for (uint64_t i = 0; i < got; i += 2) {
      ordered = ordered && chunk[i] == static_cast<float>(expected) && chunk[i + 1] == -chunk[i];
      ++expected;
    }
    if (got == 0 && done && ring.Count() == 0) break;
  }
  writer.join();
  EXPECT_TRUE(ordered);
  EXPECT_EQ(expected, kFrames + 1);
}

TEST(EndpointId, TheIdBetweenTheMarkerAndTheNextHash) {
  EXPECT_EQ(AudioCapture::ExtractEndpointId(
                L"\\\\?\\SWD#MMDEVAPI#{0.0.1.00000000}.{8c1a}#{2eef81be-33fa-4800-9670-1cd474972c3f}"),
            L"{0.0.1.00000000}.{8c1a}");
  EXPECT_EQ(AudioCapture::ExtractEndpointId(L"SWD#MMDEVAPI#{0.0.1.00000000}.{8c1a}"), L"{0.0.1.00000000}.{8c1a}");
  EXPECT_EQ(AudioCapture::ExtractEndpointId(L"SWD#MMDEVAPI#"), L"");
  EXPECT_EQ(AudioCapture::ExtractEndpointId(L"MMDEVAPI#a#MMDEVAPI#b#"), L"a");
  EXPECT_EQ(AudioCapture::ExtractEndpointId(L"{0.0.1.00000000}.{8c1a}"), L"{0.0.1.00000000}.{8c1a}");
  EXPECT_EQ(AudioCapture::ExtractEndpointId(L"MMDEVAPI"), L"MMDEVAPI");
  EXPECT_EQ(AudioCapture::ExtractEndpointId(L""), L"");
}

}  // namespace
}  // namespace kalto
