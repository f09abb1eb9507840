#include "audio/noise_suppressor.h"

#include <rnnoise.h>

#include <algorithm>
#include <cmath>
#include <numbers>

namespace kalto {
namespace {

constexpr int32_t kHangoverFrames = 8;
constexpr float kAttack = 0.6f;
constexpr float kRelease = 0.08f;
constexpr float kInt16Scale = 3.0517578e-5f;
// Room for a block's worth of input plus a partial frame, and for the priming frame plus a
// block's output, so Process never reallocates.
constexpr size_t kFifoReserve = 4 * NoiseSuppressor::kBlockSamples;

int16_t RoundToInt16(float y) {
  float v = std::round(y);  // halves away from zero
  v = std::clamp(v, -32768.0f, 32767.0f);
  return static_cast<int16_t>(v);
}

}  // namespace

void NoiseSuppressor::StateDeleter::operator()(DenoiseState* state) const { rnnoise_destroy(state); }

NoiseSuppressor::NoiseSuppressor() : m_frameIn(kFrameSize, 0.0f), m_frameOut(kFrameSize, 0.0f) {}

NoiseSuppressor::~NoiseSuppressor() = default;

void NoiseSuppressor::Initialize(int32_t sampleRate, uint32_t channels) {
  m_sampleRate = static_cast<uint32_t>(sampleRate);
  m_channels = channels;
  m_state.reset();
  m_inputFifo.clear();
  m_outputFifo.clear();
  m_inputFifo.reserve(kFifoReserve);
  m_outputFifo.reserve(kFifoReserve);
  m_fadeInPosition = 0;
  m_gain = 1.0f;
  m_hangover = 0;
  m_bypass = sampleRate != 48000;
  if (sampleRate == 48000) {
    m_state.reset(rnnoise_create(nullptr));
    if (!m_state) {
      m_enabled = true;
      m_bypass = true;
      return;
    }
    // Output trails input by one frame from the start, so every block finds enough output.
    m_outputFifo.assign(kFrameSize, 0.0f);
  }
  m_enabled = true;
}

void NoiseSuppressor::Process(int16_t* samples) {
  const uint32_t ch = m_channels;
  if (!m_enabled || ch == 0 || samples == nullptr) return;
  const uint32_t frames = kBlockSamples / ch;
  // More channels than a block holds samples leaves no whole frame to clean: measure only.
  if (m_bypass || !m_state || frames == 0) {
    float sum = 0.0f;
    for (uint32_t i = 0; i < kBlockSamples; ++i) {
      float s = static_cast<float>(samples[i]) / 32768.0f;
      sum += s * s;
    }
    m_outputLevel = std::sqrt(sum / static_cast<float>(kBlockSamples));
    return;
  }

  for (uint32_t f = 0; f < frames; ++f) {
    const int16_t* frame = samples + static_cast<size_t>(f) * ch;
    float mono = ch > 1 ? (static_cast<float>(frame[0]) + static_cast<float>(frame[1])) * 0.5f
                        : static_cast<float>(frame[0]);
    m_inputFifo.push_back(mono);
  }

  size_t consumed = 0;
  while (m_inputFifo.size() - consumed >= kFrameSize) {
    std::copy_n(m_inputFifo.begin() + static_cast<std::ptrdiff_t>(consumed), kFrameSize, m_frameIn.begin());
    ProcessFrame();
    consumed += kFrameSize;
  }
  m_inputFifo.erase(m_inputFifo.begin(), m_inputFifo.begin() + static_cast<std::ptrdiff_t>(consumed));

  const size_t n = std::min<size_t>(m_outputFifo.size(), frames);
  float sum = 0.0f;
  for (uint32_t f = 0; f < frames; ++f) {
    float y = f < n ? m_outputFifo[f] : 0.0f;
    int16_t v = RoundToInt16(y);
    int16_t* frame = samples + static_cast<size_t>(f) * ch;
    frame[0] = v;
    if (ch > 1) frame[1] = v;
    float scaled = y * kInt16Scale;
    sum += scaled * scaled;
  }
  m_outputFifo.erase(m_outputFifo.begin(), m_outputFifo.begin() + static_cast<std::ptrdiff_t>(n));
  m_outputLevel = std::sqrt(sum / static_cast<float>(frames));
}

void NoiseSuppressor::ProcessFrame() {
  float vad = m_frameProcessorForTesting ? m_frameProcessorForTesting(m_frameOut.data(), m_frameIn.data())
                                         : rnnoise_process_frame(m_state.get(), m_frameOut.data(), m_frameIn.data());
  if (vad >= m_vadThreshold) m_hangover = kHangoverFrames;

  float target;
  if (m_hangover > 0) {
    target = 1.0f;
    --m_hangover;
  } else {
    float r = m_vadThreshold <= 1e-6f ? 1.0f : std::clamp(vad / m_vadThreshold, 0.0f, 1.0f);
    target = m_minGain + (1.0f - m_minGain) * r * r * (3.0f - 2.0f * r);
  }

  const float previous = m_gain;
  const float k = target > previous ? kAttack : kRelease;
  m_gain = previous + (target - previous) * k;

  const float step = (m_gain - previous) / static_cast<float>(kFrameSize);
  for (uint32_t j = 0; j < kFrameSize; ++j) {
    float y = (previous + static_cast<float>(j + 1) * step) * m_frameOut[j];
    if (m_fadeInPosition < kFadeInSamples) {
      y *= (1.0f - std::cos(std::numbers::pi_v<float> * static_cast<float>(m_fadeInPosition) /
                            static_cast<float>(kFadeInSamples))) *
           0.5f;
      ++m_fadeInPosition;
    }
    m_outputFifo.push_back(y);
  }
}

}  // namespace kalto
