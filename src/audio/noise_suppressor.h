#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

struct DenoiseState;

namespace kalto {

// Cleans the microphone with RNNoise (480-sample mono frames at 48 kHz) and gates frames without
// speech towards a floor gain, with a hold after speech, asymmetric smoothing, a per-sample ramp
// and a 30 ms fade-in after Initialize. Any other rate is passed through untouched (level only).
//
// Threads: Initialize and the setters run before the owner starts its threads; Process runs on
// the owner's output thread only. No lock.
class NoiseSuppressor {
 public:
  static constexpr uint32_t kFrameSize = 480;
  static constexpr uint32_t kBlockSamples = 2048;
  static constexpr uint32_t kFadeInSamples = 1440;

  // One frame in, one frame out, returns the voice probability (the RNNoise call's shape).
  using FrameProcessor = std::function<float(float* out, const float* in)>;

  NoiseSuppressor();
  ~NoiseSuppressor();
  NoiseSuppressor(const NoiseSuppressor&) = delete;
  NoiseSuppressor& operator=(const NoiseSuppressor&) = delete;

  // Discards queued audio and restarts the fade-in; may be called again.
  void Initialize(int32_t sampleRate, uint32_t channels);
  // Exactly kBlockSamples interleaved samples, processed in place.
  void Process(int16_t* samples);

  void SetLevel(uint32_t level) { m_level = level; }
  void SetVadThreshold(float threshold) { m_vadThreshold = threshold; }
  void SetMinGain(float gain) { m_minGain = gain; }
  uint32_t GetLevel() const { return m_level; }
  uint32_t GetSampleRate() const { return m_sampleRate; }
  uint32_t GetChannels() const { return m_channels; }
  float GetVadThreshold() const { return m_vadThreshold; }
  float GetMinGain() const { return m_minGain; }
  // RMS on a 0-1 scale of the last block Process returned.
  float GetOutputLevel() const { return m_outputLevel; }
  bool IsEnabled() const { return m_enabled; }
  bool IsBypassed() const { return m_bypass || !m_state; }
  float GetGateGain() const { return m_gain; }

  // Replaces the RNNoise call (the state is still created), so the gate can be driven with
  // scripted voice probabilities. An empty function restores RNNoise.
  void SetFrameProcessorForTesting(FrameProcessor processor) { m_frameProcessorForTesting = std::move(processor); }

 private:
  struct StateDeleter {
    void operator()(DenoiseState* state) const;
  };

  void ProcessFrame();

  uint32_t m_sampleRate = 48000;
  uint32_t m_channels = 2;
  bool m_enabled = false;
  bool m_bypass = false;
  uint32_t m_level = 1;
  float m_vadThreshold = 0.5f;
  float m_minGain = 0.15f;
  float m_gain = 1.0f;
  int32_t m_hangover = 0;
  uint64_t m_fadeInPosition = 0;
  std::unique_ptr<DenoiseState, StateDeleter> m_state;
  std::vector<float> m_inputFifo;
  std::vector<float> m_outputFifo;
  std::vector<float> m_frameIn;
  std::vector<float> m_frameOut;
  float m_outputLevel = 0.0f;
  FrameProcessor m_frameProcessorForTesting;
};

}  // namespace kalto
