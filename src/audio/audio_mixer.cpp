#include "audio/audio_mixer.h"

#include <algorithm>
#include <cmath>

#include "common/steady_clock.h"

namespace kalto {
namespace {

constexpr int64_t kLevelIntervalNs = 33'000'000;
constexpr double kMaxVolume = 2.0;
constexpr double kSystemGainScale = 1.25;
constexpr double kMaxSystemGain = 2.0;
constexpr double kRawMicGain = 1.5;
constexpr double kNsGainScale = 1.5;
constexpr double kAgcGate = 0.004;
constexpr double kAgcRise = 0.06;
constexpr double kAgcFall = 0.25;
constexpr float kDuckOnset = 0.03f;
constexpr float kDuckRange = 0.03f;

// NaN would survive a clamp and reach the samples; keep what was there instead.
double ClampVolume(double volume, double previous) {
  return std::isnan(volume) ? previous : std::clamp(volume, 0.0, kMaxVolume);
}

}  // namespace

AudioMixer::AudioMixer() : m_lastLevelTimeNs(SteadyNowNs()) {}

void AudioMixer::SetMicVolume(double volume) {
  m_micVolume.store(ClampVolume(volume, m_micVolume.load(std::memory_order_relaxed)), std::memory_order_relaxed);
}

void AudioMixer::SetSystemVolume(double volume) {
  m_systemVolume.store(ClampVolume(volume, m_systemVolume.load(std::memory_order_relaxed)),
                       std::memory_order_relaxed);
}

void AudioMixer::SetDucking(bool enabled, double depthDb) {
  m_duckingEnabled = enabled;
  if (!enabled) m_duckGain = 1.0f;
  m_duckingDepthDb = std::clamp(depthDb, -24.0, 0.0);
}

void AudioMixer::SetAudioProcessing(double minGain, double maxGain, double targetRms, double voiceProcessingGain,
                                    double nsGainFactor, double limiterThreshold, double limiterKnee,
                                    double limiterRatio, double gainSmoothing) {
  m_agcMinGain = std::max(minGain, 0.0);
  m_agcMaxGain = std::max(maxGain, m_agcMinGain);
  m_agcTargetRms = std::clamp(targetRms, 0.0, 1.0);
  if (voiceProcessingGain > 0.0) m_voiceProcessingGain = voiceProcessingGain;
  if (nsGainFactor > 0.0) m_nsGainFactor = nsGainFactor;
  m_limiterThreshold = std::clamp(limiterThreshold, 0.05, 1.0);
  m_limiterKnee = limiterKnee > 1.0 ? 1.0 : std::max(limiterKnee, m_limiterThreshold);
  m_limiterRatio = std::max(limiterRatio, 1.0);
  if (gainSmoothing > 0.0 && gainSmoothing <= 1.0) m_gainSmoothing = gainSmoothing;
  m_agcEnabled = (m_agcMaxGain > m_agcMinGain + 1e-6) && (m_agcTargetRms > 0.0);
}

double AudioMixer::BaseMicGain(uint32_t micMode) const {
  switch (static_cast<MicMode>(micMode)) {
    case MicMode::VoiceProcessing:
      return m_voiceProcessingGain;
    case MicMode::NoiseSuppression:
      return m_nsGainFactor * kNsGainScale;
    default:
      return kRawMicGain;
  }
}

void AudioMixer::ResetGains(uint32_t micMode) {
  const double base = BaseMicGain(micMode);
  m_agcGain = base;
  m_micGain = std::clamp(GetMicVolume() * base, 0.0, m_agcMaxGain);
  m_systemGain = std::clamp(GetSystemVolume() * kSystemGainScale, 0.0, kMaxSystemGain);
}

void AudioMixer::ReportLevels(float micLevel, float systemLevel) {
  m_micLevel.store(micLevel, std::memory_order_relaxed);
  m_systemLevel.store(systemLevel, std::memory_order_relaxed);
  if (!m_levelCallback) return;
  const int64_t now = SteadyNowNs();
  if (now - m_lastLevelTimeNs < kLevelIntervalNs) return;
  m_lastLevelTimeNs = now;
  m_levelCallback(micLevel, systemLevel);
}

double AudioMixer::NextMicGain(float rawMicRms, uint32_t micMode) {
  if (!m_agcEnabled) return BaseMicGain(micMode);
  if (rawMicRms > kAgcGate) {
    const double desired = std::clamp(m_agcTargetRms / rawMicRms, m_agcMinGain, m_agcMaxGain);
    // Falls quickly so loud speech does not clip, rises slowly so pauses do not pump.
    const double k = desired >= m_agcGain ? kAgcRise : kAgcFall;
    m_agcGain = (1.0 - k) * m_agcGain + k * desired;
  }
  return m_agcGain;
}

float AudioMixer::NextDuckFactor(float micLevel, float rawMicRms, bool hasSystemSource) {
  if (!m_duckingEnabled || !hasSystemSource) {
    m_duckGain += (1.0f - m_duckGain) * 0.02f;
    m_duckEnvelope *= 0.9f;
    return 1.0f;
  }
  const float level = std::max(micLevel, rawMicRms);
  if (level <= kDuckOnset) {
    m_duckEnvelope *= 0.95f;
    m_duckGain += (1.0f - m_duckGain) * 0.01f;
    return m_duckGain;
  }
  m_duckEnvelope += (level - m_duckEnvelope) * (level > m_duckEnvelope ? 0.2f : 0.02f);
  if (m_duckEnvelope <= kDuckOnset) {
    m_duckGain += (1.0f - m_duckGain) * 0.01f;
  } else {
    const float floor = std::pow(10.0f, static_cast<float>(m_duckingDepthDb) / 20.0f);
    const float amount = std::min((m_duckEnvelope - kDuckOnset) / kDuckRange, 1.0f);
    m_duckGain = 1.0f - amount * (1.0f - floor);
  }
  return m_duckGain;
}

float AudioMixer::SoftLimit(float x, float threshold, float knee, float ratio) {
  const float a = std::fabs(x);
  if (a <= threshold || ratio <= 1.0f) return std::clamp(x, -1.0f, 1.0f);
  const float width = std::max(knee - threshold, 0.0001f);
  const float sign = x < 0.0f ? -1.0f : 1.0f;
  if (a >= knee) {
    return sign * std::min(1.0f, threshold + width * (1.0f + 1.0f / ratio) * 0.5f + (a - knee) / ratio);
  }
  const float u = a - threshold;
  return sign * std::min(1.0f, threshold + u + (1.0f / ratio - 1.0f) * u * u / (2.0f * width));
}

void AudioMixer::MixChunk(const float* mic, const float* system, float rawMicRms, float systemRms, float micLevel,
                          bool hasSystemSource, uint32_t micMode, float* mixOut, int16_t* pcmOut) {
  ReportLevels(micLevel, systemRms);

  const double s = m_gainSmoothing;
  const double micTarget = std::clamp(NextMicGain(rawMicRms, micMode) * GetMicVolume(), 0.0, m_agcMaxGain);
  m_micGain = (1.0 - s) * m_micGain + s * micTarget;

  const float duck = NextDuckFactor(micLevel, rawMicRms, hasSystemSource);
  const double systemTarget = std::clamp(GetSystemVolume() * kSystemGainScale * duck, 0.0, kMaxSystemGain);
  m_systemGain = (1.0 - s) * m_systemGain + s * systemTarget;

  const float threshold = static_cast<float>(m_limiterThreshold);
  const float knee = static_cast<float>(m_limiterKnee);
  const float ratio = static_cast<float>(m_limiterRatio);
  const double systemGain = m_systemGain;
  const double micGain = m_micGain;
  for (size_t i = 0; i < kChunkSamples; ++i) {
    const float x = static_cast<float>(system[i] * systemGain) + static_cast<float>(mic[i] * micGain);
    const float y = SoftLimit(x, threshold, knee, ratio);
    mixOut[i] = y;
    pcmOut[i] = static_cast<int16_t>(y * 32767.0f);
  }
}

}  // namespace kalto
