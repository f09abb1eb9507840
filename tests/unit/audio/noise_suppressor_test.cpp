// The RNNoise wrapper: priming, fade-in, the voice-activity gate, bypass, and RNNoise for real.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>
#include <vector>

#include "audio/noise_suppressor.h"

namespace kalto {
namespace {

constexpr size_t kBlock = NoiseSuppressor::kBlockSamples;

std::vector<int16_t> ConstantStereo(int16_t value) { return std::vector<int16_t>(kBlock, value); }

// A frame processor that passes audio through and answers the scripted probabilities in turn
// (the last one repeats), recording the gate gain it found before each frame.
struct ScriptedVad {
  std::vector<float> script;
  size_t frames = 0;
  std::vector<float> gainBefore;
  NoiseSuppressor* suppressor = nullptr;

  NoiseSuppressor::FrameProcessor Processor() {
    return [this](float* out, const float* in) {
      std::copy(in, in + NoiseSuppressor::kFrameSize, out);
      gainBefore.push_back(suppressor->GetGateGain());
      float vad = script.empty() ? 1.0f : script[std::min(frames, script.size() - 1)];
      ++frames;
      return vad;
    };
  }
};

// At 48 kHz with scripted probabilities in place of RNNoise.
class NoiseSuppressorTest : public ::testing::Test {
 protected:
  void Script(std::vector<float> script, uint32_t channels = 2) {
    ns.Initialize(48000, channels);
    vad.script = std::move(script);
    ns.SetFrameProcessorForTesting(vad.Processor());
  }
  NoiseSuppressor ns;
  ScriptedVad vad{{}, 0, {}, &ns};
};

// Left channel of `blocks` blocks of constant input.
std::vector<int16_t> RunConstant(NoiseSuppressor& ns, int16_t value, int blocks) {
  std::vector<int16_t> left;
  for (int b = 0; b < blocks; ++b) {
    auto block = ConstantStereo(value);
    ns.Process(block.data());
    for (size_t i = 0; i < kBlock; i += 2) {
      EXPECT_EQ(block[i], block[i + 1]) << "both channels carry the cleaned mono";
      left.push_back(block[i]);
    }
  }
  return left;
}

TEST_F(NoiseSuppressorTest, OneFrameOfSilenceThenARaisedCosineOver1440SamplesAfterEachInitializeInStereoOrMono) {
  Script({1.0f});
  auto out = RunConstant(ns, 10000, 3);

  for (size_t i = 0; i < 480; ++i) ASSERT_EQ(out[i], 0) << i;
  EXPECT_EQ(out[480], 0);  // fade position 0: fully muted
  EXPECT_EQ(out[480 + 720], 5000);  // half way: half amplitude
  for (size_t j : {1u, 100u, 360u, 1000u, 1439u}) {
    float expected = 10000.0f * (1.0f - std::cos(std::numbers::pi_v<float> * j / 1440.0f)) * 0.5f;
    EXPECT_NEAR(out[480 + j], expected, 1.0f) << j;
  }
  for (size_t i = 480 + 1440; i < out.size(); ++i) ASSERT_EQ(out[i], 10000) << i;
  EXPECT_NEAR(ns.GetOutputLevel(), 10000.0f / 32768.0f, 1e-4);

  // Initialize again: queued audio is dropped and the fade starts over.
  ns.Initialize(48000, 2);
  out = RunConstant(ns, 10000, 2);
  for (size_t i = 0; i <= 480; ++i) ASSERT_EQ(out[i], 0) << i;
  EXPECT_EQ(out[480 + 720], 5000);

  Script({1.0f}, 1);
  for (int b = 0; b < 20; ++b) {
    auto block = ConstantStereo(3000);
    ns.Process(block.data());
    const size_t first = b == 0 ? 480 + 1440 : 0;
    for (size_t i = first; i < kBlock; ++i) ASSERT_EQ(block[i], 3000) << "block " << b << " sample " << i;
  }
}

TEST_F(NoiseSuppressorTest, FramesWithoutVoiceReleaseTowardsTheFloorAtEightPercentAndPartialVoiceAboveIt) {
  Script({0.0f});
  auto out = RunConstant(ns, 10000, 4);  // 8 frames
  ASSERT_EQ(vad.frames, 8u);
  float gain = 1.0f;
  for (size_t f = 0; f < vad.frames; ++f) {
    EXPECT_NEAR(vad.gainBefore[f], gain, 1e-6) << f;
    gain += (0.15f - gain) * 0.08f;
  }
  EXPECT_NEAR(ns.GetGateGain(), gain, 1e-6);
  // Frame 3 is past the fade-in: each sample steps evenly from the previous gain to the new one.
  const float before = 0.15f + 0.85f * std::pow(0.92f, 3.0f);
  const float after = 0.15f + 0.85f * std::pow(0.92f, 4.0f);
  const size_t frame3 = 480 + 3 * 480;
  EXPECT_NEAR(out[frame3], std::round(10000.0f * (before + (after - before) / 480.0f)), 1.0f);
  EXPECT_NEAR(out[frame3 + 479], std::round(10000.0f * after), 1.0f);

  for (int i = 0; i < 30; ++i) RunConstant(ns, 10000, 1);
  EXPECT_NEAR(ns.GetGateGain(), 0.15f, 0.01f);

  // Partial voice settles on the smoothstep, r = 0.5: 0.15 + 0.85 x 0.25 x 2.
  vad.script = {0.25f};
  for (int i = 0; i < 60; ++i) RunConstant(ns, 1000, 1);
  EXPECT_NEAR(ns.GetGateGain(), 0.575f, 1e-3);
}

TEST_F(NoiseSuppressorTest, OneVoicedFrameHoldsFullGainForItselfAndSevenMore) {
  std::vector<float> script(40, 0.0f);
  script[10] = 0.5f;  // exactly at the threshold counts as speech
  Script(script);
  RunConstant(ns, 1000, 12);  // 25 frames
  ASSERT_GE(vad.frames, 21u);
  // gainBefore[f + 1] is the gain after frame f.
  for (size_t f = 10; f <= 17; ++f) {
    float previous = vad.gainBefore[f];
    EXPECT_NEAR(vad.gainBefore[f + 1], previous + (1.0f - previous) * 0.6f, 1e-6) << "attack at frame " << f;
  }
  float previous = vad.gainBefore[18];
  EXPECT_NEAR(vad.gainBefore[19], previous + (0.15f - previous) * 0.08f, 1e-6) << "release after the hold";
}

TEST(NoiseSuppressorBypass, OtherRatesOrUnusableChannelCountsLeaveSamplesAloneAndOnlyMeasure) {
  std::vector<int16_t> alternating(kBlock);
  for (size_t i = 0; i < kBlock; ++i) alternating[i] = static_cast<int16_t>((i % 2 ? -1 : 1) * 16384);
  struct Case {
    const char* name;
    int32_t rate;      // 0: never initialized
    uint32_t channels;
    float level;       // -1: not measured
  };
  // 4096 channels: no whole frame in a block, so measure only (no division by 0).
  const Case cases[] = {{"44.1 kHz", 44100, 2, 0.5f}, {"not initialized", 0, 2, -1.0f},
                        {"no channels", 48000, 0, -1.0f}, {"wider than a block", 48000, 4096, 0.5f}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    NoiseSuppressor ns;
    if (c.rate != 0) ns.Initialize(c.rate, c.channels);
    EXPECT_EQ(ns.IsEnabled(), c.rate != 0);
    EXPECT_EQ(ns.IsBypassed(), c.rate != 48000);
    auto block = alternating;
    ns.Process(block.data());
    EXPECT_EQ(block, alternating);
    EXPECT_NEAR(ns.GetOutputLevel(), c.level < 0 ? 0.0f : c.level, 1e-6);
  }
}

TEST(NoiseSuppressorRnnoise, PrimesOneFrameAndRemovesSteadyNoise) {
  NoiseSuppressor ns;
  ns.Initialize(48000, 2);
  ASSERT_FALSE(ns.IsBypassed());
  std::mt19937 rng(7);
  std::normal_distribution<float> noise(0.0f, 3000.0f);
  double inEnergy = 0.0, outEnergy = 0.0;
  for (int b = 0; b < 150; ++b) {
    std::vector<int16_t> block(kBlock);
    for (size_t f = 0; f < kBlock / 2; ++f) block[2 * f] = block[2 * f + 1] = static_cast<int16_t>(noise(rng));
    const auto input = block;
    ns.Process(block.data());
    // The first frame out is the priming one: silence.
    EXPECT_TRUE(b > 0 || std::all_of(block.begin(), block.begin() + 960, [](int16_t v) { return v == 0; }));
    for (size_t i = 0; b >= 50 && i < kBlock; ++i) {
      inEnergy += double(input[i]) * input[i];
      outEnergy += double(block[i]) * block[i];
    }
  }
  EXPECT_LT(outEnergy, 0.1 * inEnergy);
  EXPECT_LT(ns.GetOutputLevel(), 3000.0f / 32768.0f);
}

}  // namespace
}  // namespace kalto
