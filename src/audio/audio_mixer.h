#pragma once
#include <atomic>
#include <cstdint>
#include <functional>

namespace kalto {

// Microphone and system-audio levels (RMS, 0-1), at most every 33 ms.
using AudioLevelCallback = std::function<void(float micLevel, float systemLevel)>;

// The microphone processing modes a recording can ask for.
enum class MicMode : uint32_t { Raw = 0, VoiceProcessing = 1, NoiseSuppression = 2 };

// The gain stage of the audio output: level reports, the automatic microphone gain, ducking of
// the system audio under speech, the mix of both sources and the soft limiter. One chunk of
// 2048 interleaved stereo floats per call; gains change once per chunk and are smoothed across
// chunks.
//
// Threads: SetMicVolume and SetSystemVolume from any thread at any time; the other setters
// before the output thread starts; ResetGains and MixChunk on the output thread (or before it
// starts). The level and peak getters may be read from any thread.
class AudioMixer {
 public:
  static constexpr size_t kChunkSamples = 2048;

  AudioMixer();

  void SetMicVolume(double volume);
  void SetSystemVolume(double volume);
  double GetMicVolume() const { return m_micVolume.load(std::memory_order_relaxed); }
  double GetSystemVolume() const { return m_systemVolume.load(std::memory_order_relaxed); }
  void SetDucking(bool enabled, double depthDb);
  void SetAudioProcessing(double minGain, double maxGain, double targetRms, double voiceProcessingGain,
                          double nsGainFactor, double limiterThreshold, double limiterKnee, double limiterRatio,
                          double gainSmoothing);
  void SetLevelCallback(AudioLevelCallback callback) { m_levelCallback = std::move(callback); }

  double BaseMicGain(uint32_t micMode) const;
  // The gains a recording starts from.
  void ResetGains(uint32_t micMode);

  // Mixes one chunk. rawMicRms and systemRms are measured before noise suppression; micLevel is
  // the suppressor's output level in NoiseSuppression mode, else rawMicRms. hasSystemSource is
  // false when there is no system ring (ducking then releases).
  void MixChunk(const float* mic, const float* system, float rawMicRms, float systemRms, float micLevel,
                bool hasSystemSource, uint32_t micMode, float* mixOut, int16_t* pcmOut);

  // The soft limiter: identity below the threshold, a quadratic knee up to `knee`, then the
  // ratio, never beyond full scale.
  static float SoftLimit(float x, float threshold, float knee, float ratio);

  float GetMicLevel() const { return m_micLevel.load(std::memory_order_relaxed); }
  float GetSystemLevel() const { return m_systemLevel.load(std::memory_order_relaxed); }

  // Output-thread state, for tests and diagnostics (read only on the thread that mixes).
  double MicGain() const { return m_micGain; }
  double SystemGain() const { return m_systemGain; }
  double AgcGain() const { return m_agcGain; }
  bool AgcEnabled() const { return m_agcEnabled; }
  float DuckGain() const { return m_duckGain; }
  float DuckEnvelope() const { return m_duckEnvelope; }
  bool DuckingEnabled() const { return m_duckingEnabled; }
  double DuckingDepthDb() const { return m_duckingDepthDb; }
  double AgcMinGain() const { return m_agcMinGain; }
  double AgcMaxGain() const { return m_agcMaxGain; }
  double AgcTargetRms() const { return m_agcTargetRms; }
  double VoiceProcessingGain() const { return m_voiceProcessingGain; }
  double NsGainFactor() const { return m_nsGainFactor; }
  double LimiterThreshold() const { return m_limiterThreshold; }
  double LimiterKnee() const { return m_limiterKnee; }
  double LimiterRatio() const { return m_limiterRatio; }
  double GainSmoothing() const { return m_gainSmoothing; }

 private:
  void ReportLevels(float micLevel, float systemLevel);
  double NextMicGain(float rawMicRms, uint32_t micMode);
  float NextDuckFactor(float micLevel, float rawMicRms, bool hasSystemSource);

  double m_voiceProcessingGain = 2.0;
  double m_nsGainFactor = 1.2;
  bool m_agcEnabled = false;
  double m_agcMinGain = 1.5;
  double m_agcMaxGain = 2.5;
  double m_agcTargetRms = 0.3;
  double m_agcGain = 1.5;
  double m_limiterThreshold = 0.7;
  double m_limiterKnee = 0.8;
  double m_limiterRatio = 3.0;
  std::atomic<double> m_micVolume{1.0};
  std::atomic<double> m_systemVolume{0.5};
  double m_micGain = 1.0;
  double m_systemGain = 0.5;
  double m_gainSmoothing = 0.15;
  bool m_duckingEnabled = false;
  double m_duckingDepthDb = -12.0;
  float m_duckGain = 1.0f;
  float m_duckEnvelope = 0.0f;
  // Written by the output thread, read by level meters on other threads.
  std::atomic<float> m_micLevel{0.0f};
  std::atomic<float> m_systemLevel{0.0f};
  AudioLevelCallback m_levelCallback;
  int64_t m_lastLevelTimeNs = 0;
};

}  // namespace kalto
