// Gains, automatic gain, ducking, the limiter and level reports of the output mix.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <vector>

#include "audio/audio_mixer.h"
#include "common/steady_clock.h"

namespace kalto {
namespace {

constexpr uint32_t kRaw = 0;
constexpr uint32_t kVoice = 1;
constexpr uint32_t kNs = 2;

float Limit(const AudioMixer& m, float x) {
  return AudioMixer::SoftLimit(x, static_cast<float>(m.LimiterThreshold()), static_cast<float>(m.LimiterKnee()),
                               static_cast<float>(m.LimiterRatio()));
}

// One chunk through the mixer; the rms arguments stand for what the capture measured.
struct Chunk {
  std::vector<float> mic = std::vector<float>(AudioMixer::kChunkSamples, 0.0f);
  std::vector<float> system = std::vector<float>(AudioMixer::kChunkSamples, 0.0f);
  std::vector<float> mix = std::vector<float>(AudioMixer::kChunkSamples, 0.0f);
  std::vector<int16_t> pcm = std::vector<int16_t>(AudioMixer::kChunkSamples, 0);

  void Run(AudioMixer& m, float micRms, float systemRms, float micLevel, bool hasSystem = true,
           uint32_t mode = kRaw) {
    m.MixChunk(mic.data(), system.data(), micRms, systemRms, micLevel, hasSystem, mode, mix.data(), pcm.data());
  }
};

TEST(Limiter, DefaultCurvePointsSymmetryAndTheMixTruncatedTo16Bit) {
  AudioMixer m;
  EXPECT_FLOAT_EQ(Limit(m, 0.6f), 0.6f);
  EXPECT_NEAR(Limit(m, 0.75f), 0.741667f, 1e-6);
  EXPECT_NEAR(Limit(m, 0.8f), 0.766667f, 1e-6);
  EXPECT_NEAR(Limit(m, 1.4f), 0.966667f, 1e-6);
  EXPECT_FLOAT_EQ(Limit(m, 1.5f), 1.0f);
  EXPECT_FLOAT_EQ(Limit(m, 7.0f), 1.0f);
  for (float x : {0.6f, 0.75f, 0.8f, 1.4f, 1.5f, 3.0f}) EXPECT_FLOAT_EQ(Limit(m, -x), -Limit(m, x)) << x;
  // The knee meets the upper segment at K without a step.
  EXPECT_NEAR(Limit(m, 0.79999f), Limit(m, 0.8f), 1e-4);

  m.SetAudioProcessing(1.5, 1.5, 0.3, 2.0, 1.2, 0.7, 0.8, 3.0, 1.0);  // no AGC, no smoothing
  m.ResetGains(kRaw);
  Chunk c;
  std::fill(c.mic.begin(), c.mic.end(), 0.5f);  // x 1.5 gain = 0.75
  c.mic[1] = -0.5f;
  c.mic[2] = 0.0f;
  c.Run(m, 0.5f, 0.0f, 0.5f);
  EXPECT_NEAR(c.mix[0], 0.741667f, 1e-5);
  EXPECT_NEAR(c.mix[1], -0.741667f, 1e-5);
  EXPECT_EQ(c.pcm[0], 24302);   // 0.741667 x 32767, truncated
  EXPECT_EQ(c.pcm[1], -24302);  // toward zero
  EXPECT_EQ(c.pcm[2], 0);
}

TEST(MixGains, DefaultsByModeVolumeClampsAndSmoothingPerChunk) {
  AudioMixer m;
  m.ResetGains(kRaw);
  EXPECT_DOUBLE_EQ(m.MicGain(), 1.5);
  EXPECT_DOUBLE_EQ(m.SystemGain(), 0.625);
  for (auto [mode, gain] : {std::pair{kNs, 1.8}, {kVoice, 2.0}, {7u, 1.5}}) {
    m.ResetGains(mode);
    EXPECT_NEAR(m.MicGain(), gain, 1e-12) << mode;
  }

  m.SetMicVolume(5.0);
  m.SetSystemVolume(-1.0);
  EXPECT_DOUBLE_EQ(m.GetMicVolume(), 2.0);
  EXPECT_DOUBLE_EQ(m.GetSystemVolume(), 0.0);
  m.SetSystemVolume(std::nan(""));
  EXPECT_DOUBLE_EQ(m.GetSystemVolume(), 0.0);
  m.ResetGains(kVoice);
  EXPECT_DOUBLE_EQ(m.MicGain(), 2.5);  // 2 x 2.0, capped at the AGC maximum
  m.SetSystemVolume(2.0);
  m.ResetGains(kVoice);
  EXPECT_DOUBLE_EQ(m.SystemGain(), 2.0);  // 2 x 1.25, capped

  m.SetMicVolume(1.0);
  m.ResetGains(kRaw);
  m.SetMicVolume(0.5);
  Chunk c;
  c.Run(m, 0.0f, 0.0f, 0.0f);
  EXPECT_NEAR(m.MicGain(), 0.85 * 1.5 + 0.15 * 0.75, 1e-12);
  for (int i = 0; i < 200; ++i) c.Run(m, 0.0f, 0.0f, 0.0f);
  EXPECT_NEAR(m.MicGain(), 0.75, 1e-9);
}

TEST(AutomaticGain, OnOnlyWithAUsableRangeAndTargetThenRisesSlowlyFallsQuicklyAndHoldsInSilence) {
  AudioMixer m;
  EXPECT_FALSE(m.AgcEnabled());
  m.SetAudioProcessing(1.5, 2.5, 0.3, 2.0, 1.2, 0.7, 0.8, 3.0, 0.15);
  EXPECT_TRUE(m.AgcEnabled());
  m.SetAudioProcessing(2.0, 2.0 + 1e-7, 0.3, 2.0, 1.2, 0.7, 0.8, 3.0, 0.15);
  EXPECT_FALSE(m.AgcEnabled());
  m.SetAudioProcessing(1.5, 2.5, 0.0, 2.0, 1.2, 0.7, 0.8, 3.0, 0.15);
  EXPECT_FALSE(m.AgcEnabled());
  m.SetAudioProcessing(2.0, 1.0, 0.3, 2.0, 1.2, 0.7, 0.8, 3.0, 0.15);
  EXPECT_FALSE(m.AgcEnabled());
  EXPECT_DOUBLE_EQ(m.AgcMaxGain(), 2.0);  // raised to the minimum

  // Out-of-range values are clamped or ignored.
  m.SetAudioProcessing(-1.0, 3.0, 4.0, 0.0, -2.0, 0.01, 1.7, 0.5, 0.0);
  EXPECT_EQ((std::vector<double>{m.AgcMinGain(), m.AgcTargetRms(), m.VoiceProcessingGain(), m.NsGainFactor(),
                                 m.LimiterThreshold(), m.LimiterKnee(), m.LimiterRatio(), m.GainSmoothing()}),
            (std::vector<double>{0.0, 1.0, 2.0, 1.2, 0.05, 1.0, 1.0, 0.15}));
  m.SetAudioProcessing(1.5, 2.5, 0.3, 3.0, 2.0, 1.5, 0.9, 4.0, 1.0);
  m.ResetGains(kNs);
  EXPECT_DOUBLE_EQ(m.MicGain(), 2.5);  // 2.0 x 1.5 = 3.0, capped at the maximum

  m.SetAudioProcessing(1.5, 2.5, 0.3, 2.0, 1.2, 0.7, 0.8, 3.0, 1.0);
  m.ResetGains(kRaw);
  Chunk c;
  c.Run(m, 0.1f, 0.0f, 0.1f);  // wants 3.0, capped at 2.5
  EXPECT_NEAR(m.AgcGain(), 0.94 * 1.5 + 0.06 * 2.5, 1e-9);
  const double afterRise = m.AgcGain();
  c.Run(m, 0.5f, 0.0f, 0.5f);  // wants 0.6, floored at 1.5
  EXPECT_NEAR(m.AgcGain(), 0.75 * afterRise + 0.25 * 1.5, 1e-9);
  const double held = m.AgcGain();
  c.Run(m, 0.003f, 0.0f, 0.003f);  // at or below 0.004: held
  EXPECT_DOUBLE_EQ(m.AgcGain(), held);
  EXPECT_DOUBLE_EQ(m.MicGain(), held);  // smoothing 1: the target itself

  // Off again: the base gain times the volume, whatever the level.
  m.SetAudioProcessing(1.5, 1.5, 0.3, 2.0, 1.2, 0.7, 0.8, 3.0, 1.0);
  m.SetMicVolume(0.5);
  c.Run(m, 0.1f, 0.0f, 0.1f, true, kVoice);
  EXPECT_DOUBLE_EQ(m.MicGain(), 1.0);
}

TEST(Ducking, SpeechSettlesTheSystemGainNearMinus12dBAndSilenceReleasesIt) {
  AudioMixer m;
  m.SetDucking(true, -12.0);
  m.ResetGains(kRaw);
  Chunk c;
  for (int i = 0; i < 300; ++i) c.Run(m, 0.1f, 0.2f, 0.1f);
  EXPECT_NEAR(m.DuckGain(), 0.2512f, 1e-4);
  EXPECT_NEAR(m.SystemGain(), 0.5 * 1.25 * std::pow(10.0, -12.0 / 20.0), 1e-5);

  const float ducked = m.DuckGain();
  c.Run(m, 0.01f, 0.2f, 0.01f);
  EXPECT_NEAR(m.DuckGain(), ducked + (1.0f - ducked) * 0.01f, 1e-6);
  for (int i = 0; i < 1000; ++i) c.Run(m, 0.0f, 0.2f, 0.0f);
  EXPECT_NEAR(m.DuckGain(), 1.0f, 1e-3);
  EXPECT_NEAR(m.SystemGain(), 0.625, 1e-3);
}

TEST(Ducking, TheEnvelopeRampsBetweenOnsetAndFullDepth) {
  AudioMixer m;
  m.SetDucking(true, -12.0);
  m.ResetGains(kRaw);
  Chunk c;
  c.Run(m, 0.05f, 0.1f, 0.04f);  // level = max(0.04, 0.05); envelope 0.01 stays below the onset
  EXPECT_NEAR(m.DuckEnvelope(), 0.01f, 1e-6);
  EXPECT_FLOAT_EQ(m.DuckGain(), 1.0f);
  c.Run(m, 0.05f, 0.1f, 0.05f);  // envelope 0.018
  c.Run(m, 0.05f, 0.1f, 0.05f);  // 0.0244
  c.Run(m, 0.05f, 0.1f, 0.05f);  // 0.02952
  c.Run(m, 0.05f, 0.1f, 0.05f);  // 0.033616: 12 % of the way to full depth
  const float envelope = m.DuckEnvelope();
  EXPECT_GT(envelope, 0.03f);
  const float floor = std::pow(10.0f, -12.0f / 20.0f);
  EXPECT_NEAR(m.DuckGain(), 1.0f - (envelope - 0.03f) / 0.03f * (1.0f - floor), 1e-5);
}

TEST(Ducking, OffOrWithoutSystemSourceLeavesTheSystemGainAlone) {
  AudioMixer m;
  m.SetDucking(true, -30.0);
  EXPECT_DOUBLE_EQ(m.DuckingDepthDb(), -24.0);
  m.SetDucking(true, 6.0);
  EXPECT_DOUBLE_EQ(m.DuckingDepthDb(), 0.0);
  m.SetDucking(true, -12.0);
  m.ResetGains(kRaw);
  Chunk c;
  for (int i = 0; i < 50; ++i) c.Run(m, 0.2f, 0.2f, 0.2f);
  ASSERT_LT(m.DuckGain(), 0.3f);

  c.Run(m, 0.2f, 0.2f, 0.2f, /*hasSystem=*/false);
  EXPECT_LT(m.DuckGain(), 0.3f);  // relaxes by 2 % only
  EXPECT_NEAR(m.SystemGain(), 0.85 * 0.5 * 1.25 * 0.2512 + 0.15 * 0.625, 2e-3);

  m.SetDucking(false, -12.0);
  EXPECT_FLOAT_EQ(m.DuckGain(), 1.0f);
  for (int i = 0; i < 100; ++i) c.Run(m, 0.2f, 0.2f, 0.2f);
  EXPECT_NEAR(m.SystemGain(), 0.625, 1e-6);
}

std::atomic<int64_t> g_nowNs{0};
int64_t ScriptedNow() { return g_nowNs.load(); }

class LevelReports : public ::testing::Test {
 protected:
  void SetUp() override {
    g_nowNs = 1'000'000'000;
    SetSteadyClockSourceForTesting(&ScriptedNow);
  }
  void TearDown() override { SetSteadyClockSourceForTesting(nullptr); }
};

TEST_F(LevelReports, AtMostOneReportPer33msAndTheFirstAfter33msFromConstruction) {
  AudioMixer m;
  std::vector<std::pair<float, float>> reports;
  m.SetLevelCallback([&](float mic, float system) { reports.emplace_back(mic, system); });
  m.ResetGains(kRaw);
  Chunk c;
  // Chunks at 21 ms, 33 ms, 65.999999 ms and 66 ms after construction.
  for (int64_t step : {21'000'000, 12'000'000, 32'999'999, 1}) {
    g_nowNs += step;
    c.Run(m, 0.3f, 0.2f + 0.1f * static_cast<float>(reports.size()), 0.1f);
  }
  // The suppressed mic level, not the raw one.
  EXPECT_EQ(reports, (std::vector<std::pair<float, float>>{{0.1f, 0.2f}, {0.1f, 0.3f}}));
}

}  // namespace
}  // namespace kalto
