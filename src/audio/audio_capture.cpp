#include "audio/audio_capture.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <exception>

#include "audio/audio_capture_streams.h"
#include "audio/audio_time.h"
#include "common/bounded_wait.h"
#include "common/debug_output.h"
#include "common/steady_clock.h"

namespace kalto {

namespace pa = platform::audio;
using namespace audio_capture_detail;

namespace {

constexpr uint32_t kCaptureWaitMs = 20;
constexpr auto kJoinTimeout = std::chrono::milliseconds(300);
constexpr uint32_t kDefaultOutputRate = 48000;
constexpr float kInt16Scale = 3.0517578e-5f;
constexpr size_t kLoopbackStagingReserve = 4096;
// How long after the sound from before the origin is due a stream's first sound is still taken
// for it: streams take a moment to deliver their first packet.
constexpr int64_t kSkipGraceNs = 500'000'000;

// Room for kRingSeconds of stereo frames at `rate`: a ring holds one float less than its capacity.
uint64_t RingCapacityFor(uint32_t rate) { return uint64_t{AudioCapture::kRingSeconds} * rate * 2 + 2; }

struct VadSetting {
  float threshold;
  float minGain;
};
constexpr VadSetting kVadByLevel[] = {{0.2f, 0.5f}, {0.5f, 0.15f}, {0.6f, 0.03f}};


// Clamped to full scale; NaN from a broken stream becomes silence rather than reaching the mix.
float SanitiseFloat(float value) { return std::isnan(value) ? 0.0f : std::clamp(value, -1.0f, 1.0f); }

float Rms(const std::vector<float>& chunk) {
  double sum = 0.0;
  for (float s : chunk) sum += static_cast<double>(s) * s;
  return static_cast<float>(std::sqrt(sum / static_cast<double>(chunk.size())));
}

float Peak(const std::vector<float>& chunk) {
  float peak = 0.0f;
  for (float s : chunk) peak = std::max(peak, std::fabs(s));
  return peak;
}

}  // namespace

AudioCapture::AudioCapture(std::shared_ptr<pa::AudioSystem> audioSystem)
    : m_audioSystem(std::move(audioSystem)),
      m_noiseSuppressor(std::make_unique<NoiseSuppressor>()),
      m_systemRing(std::make_unique<AudioRingBuffer>(RingCapacityFor(kDefaultOutputRate))),
      m_micRing(std::make_unique<AudioRingBuffer>(RingCapacityFor(kDefaultOutputRate))),
      m_micChunk(kChunkSamples, 0.0f),
      m_systemChunk(kChunkSamples, 0.0f),
      m_mixChunk(kChunkSamples, 0.0f),
      m_outputPcm(kChunkSamples, 0),
      m_nsPcm(kChunkSamples, 0) {
  m_loopbackEvent = m_audioSystem->CreateEvent(false, false);
  m_micEvent = m_audioSystem->CreateEvent(false, false);
  m_stopEvent = m_audioSystem->CreateEvent(true, false);
  m_loopbackStaging.reserve(kLoopbackStagingReserve);
}

AudioCapture::~AudioCapture() {
  Stop();
  JoinFinishedThreads();
  m_loopbackCaptureClient.reset();
  m_loopbackClient.reset();
  m_renderDevice.reset();
  m_micCaptureClient.reset();
  m_micClient.reset();
  m_micDevice.reset();
}

uint32_t AudioCapture::EffectiveOutputRate() const {
  return m_outputSampleRate != 0 ? m_outputSampleRate : kDefaultOutputRate;
}

bool AudioCapture::Initialize(bool captureSystem, bool captureMic, const std::wstring& micDeviceId,
                              uint32_t outputSampleRate, uint32_t outputChannels, bool noiseSuppression,
                              uint32_t micMode, uint32_t noiseSuppressionLevel) {
  try {
    m_captureSystem = captureSystem;
    m_captureMic = captureMic;
    m_outputSampleRate = outputSampleRate;
    m_outputChannels = outputChannels;

    uint32_t mode = micMode;
    if (noiseSuppression && mode == static_cast<uint32_t>(MicMode::Raw)) {
      mode = static_cast<uint32_t>(MicMode::VoiceProcessing);
    }
    m_micMode = static_cast<MicMode>(mode);
    m_noiseSuppressionLevel = noiseSuppressionLevel;
    m_voiceProcessing = m_micMode == MicMode::VoiceProcessing;

    if (m_micMode == MicMode::NoiseSuppression) {
      // The suppressor reads the stereo chunks the output thread hands it, whatever channel
      // count the encoder was given; any other count would misread the interleaving.
      m_noiseSuppressor->Initialize(static_cast<int32_t>(outputSampleRate), 2);
      m_noiseSuppressor->SetLevel(noiseSuppressionLevel);
      if (noiseSuppressionLevel < std::size(kVadByLevel)) {
        m_noiseSuppressor->SetVadThreshold(kVadByLevel[noiseSuppressionLevel].threshold);
        m_noiseSuppressor->SetMinGain(kVadByLevel[noiseSuppressionLevel].minGain);
      }
    }

    bool result = true;
    if (captureSystem) result = InitializeLoopback();
    if (captureMic) result = InitializeMicrophone(micDeviceId) && result;

    if (m_systemRing->Capacity() != RingCapacityFor(EffectiveOutputRate())) {
      m_systemRing = std::make_unique<AudioRingBuffer>(RingCapacityFor(EffectiveOutputRate()));
      m_micRing = std::make_unique<AudioRingBuffer>(RingCapacityFor(EffectiveOutputRate()));
    }
    m_systemBacklog = MakeBacklogLimiter(EffectiveOutputRate());
    m_micBacklog = MakeBacklogLimiter(EffectiveOutputRate());
    const size_t staging = static_cast<size_t>(EffectiveOutputRate() / 10) * 2;
    if (m_micStaging.capacity() < staging) m_micStaging.reserve(staging);
    if (m_resampleOutput.capacity() < 4 * staging) m_resampleOutput.reserve(4 * staging);
    return result;
  } catch (const std::exception& e) {
    DebugLog<256>(L"[AudioCapture] Initialize exception: %ls\n", Utf8ToWide(e.what()).c_str());
    return false;
  } catch (...) {
    DebugLog<128>(L"[AudioCapture] Initialize unknown exception\n");
    return false;
  }
}

void AudioCapture::SetStartTimeBase(int64_t steadyNs) {
  m_startTimeBaseNs = steadyNs;
  m_hasStartTimeBase = true;
}

void AudioCapture::SetPaused(bool paused) {
  std::lock_guard lock(m_pauseMutex);
  if (paused == m_paused.load()) return;
  const int64_t now = SteadyNowNs();
  if (paused) {
    m_pauseBeganNs = now;
  } else {
    m_pausedTotalNs.fetch_add(now - m_pauseBeganNs);
  }
  m_paused.store(paused);
}

bool AudioCapture::HasSystemStream() const {
  std::lock_guard lock(m_streamMutex);
  return m_loopbackCaptureClient != nullptr;
}

bool AudioCapture::HasMicStream() const {
  std::lock_guard lock(m_streamMutex);
  return m_micCaptureClient != nullptr;
}

CaptureFormat AudioCapture::GetSystemFormat() const {
  std::lock_guard lock(m_streamMutex);
  return m_systemFormat;
}

CaptureFormat AudioCapture::GetMicFormat() const {
  std::lock_guard lock(m_streamMutex);
  return m_micFormat;
}

double AudioCapture::GetResampleRatio() const {
  std::lock_guard lock(m_streamMutex);
  return m_resampleRatio;
}

bool AudioCapture::Start(AudioDataCallback callback) {
  std::lock_guard lock(m_controlMutex);
  if (m_running) return false;
  JoinFinishedThreads();
  try {
    m_audioCallback = std::move(callback);
    m_startTimeNs = SteadyNowNs();
    {
      std::lock_guard pauseLock(m_pauseMutex);
      m_pausedTotalNs = 0;
      if (m_paused) m_pauseBeganNs = m_startTimeNs;
    }
    m_framesDelivered = 0;
    m_startOffset = 0;
    if (m_hasStartTimeBase) m_startOffset = std::max<int64_t>((m_startTimeNs - m_startTimeBaseNs) / 100, 0);

    m_streamLatency = 0;
    for (const auto& client : {m_micClient, m_loopbackClient}) {
      int64_t latency = 0;
      if (client && Succeeded(client->GetStreamLatency(&latency)) && latency > 0) {
        m_streamLatency = latency;
        break;
      }
    }

    m_stopEvent->Reset();
    m_systemRing->Reset();
    m_micRing->Reset();
    const int64_t rate = EffectiveOutputRate();
    // The first frames captured were heard before the time origin when the stream latency
    // exceeds the time since it: they are left out, and the timeline starts where the kept
    // sound was heard, so no stamp falls before zero and every later stamp stays exact.
    const int64_t leadHns = m_streamLatency - m_startOffset;
    m_firstFramePosition = leadHns > 0 ? HnsToFramesCeil(leadHns, rate) : 0;
    m_systemRing->SetSkipFrames(static_cast<uint64_t>(m_firstFramePosition));
    m_micRing->SetSkipFrames(static_cast<uint64_t>(m_firstFramePosition));
    // Only a stream's first sound can be from before the origin: one that stays quiet at first
    // (process loopback before the application plays) must not lose its first sound later.
    m_skipExpiresNs = m_startTimeNs + std::max<int64_t>(leadHns, 0) * 100 + kSkipGraceNs;
    m_systemBacklog = MakeBacklogLimiter(rate);
    m_micBacklog = MakeBacklogLimiter(rate);
    m_systemHealth = SourceHealth{};
    m_micHealth = SourceHealth{};
    m_mixer.ResetGains(static_cast<uint32_t>(m_micMode));
    m_micPeak = 0.0f;
    m_systemPeak = 0.0f;

    if (m_loopbackClient) m_loopbackClient->Start();
    if (m_micClient) m_micClient->Start();

    m_running = true;
    // Named, so profilers and the benchmarks can tell the audio threads' cost apart.
    m_captureThread = std::thread([this] {
      pthread_setname_np(pthread_self(), "kalto-audio-in");
      CaptureThread();
    });
    m_outputThread = std::thread([this] {
      pthread_setname_np(pthread_self(), "kalto-audio-mix");
      OutputThread();
    });
    return true;
  } catch (const std::exception& e) {
    DebugLog<256>(L"[AudioCapture] Start exception: %ls\n", Utf8ToWide(e.what()).c_str());
  } catch (...) {
    DebugLog<128>(L"[AudioCapture] Start unknown exception\n");
  }
  // A thread that could not be created leaves the other one to be stopped.
  m_running = false;
  m_stopEvent->Set();
  JoinFinishedThreads();
  if (m_loopbackClient) m_loopbackClient->Stop();
  if (m_micClient) m_micClient->Stop();
  return false;
}

void AudioCapture::JoinThread(std::thread& thread, const wchar_t* timeoutLine) {
  if (!thread.joinable()) return;
  // Stop from inside a callback cannot join its own thread; that thread ends as soon as the
  // callback returns and is joined by the next Start or the destructor.
  if (thread.get_id() == std::this_thread::get_id()) return;
  BoundedTask join([&thread] { thread.join(); });
  if (!join.WaitFor(kJoinTimeout)) OutputDebugLine(timeoutLine);
}

void AudioCapture::JoinFinishedThreads() {
  for (std::thread* thread : {&m_captureThread, &m_outputThread}) {
    if (thread->joinable() && thread->get_id() != std::this_thread::get_id()) thread->join();
  }
}

void AudioCapture::Stop() {
  std::lock_guard lock(m_controlMutex);
  if (!m_running) return;
  m_running = false;
  m_paused = false;
  m_stopEvent->Set();

  JoinThread(m_captureThread, L"[AudioCapture] WARNING: Capture thread join timed out after 300ms\n");
  JoinThread(m_outputThread, L"[AudioCapture] WARNING: Output thread join timed out after 300ms\n");

  // The capture thread has ended, so the stream fields are no longer replaced.
  if (m_loopbackClient) m_loopbackClient->Stop();
  if (m_micClient) m_micClient->Stop();
  const unsigned long long systemDropped = m_systemRing->DroppedSamples();
  const unsigned long long micDropped = m_micRing->DroppedSamples();
  if (systemDropped + micDropped > 0) {
    DebugLog<256>(L"[AudioCapture] WARNING: Full ring buffers dropped %llu system and %llu microphone samples\n",
                  systemDropped, micDropped);
  }
  // Stopped from inside a callback, the output thread may still be finishing its chunk.
  if (!m_outputThread.joinable()) {
    m_systemRing->Reset();
    m_micRing->Reset();
  }
}

void AudioCapture::CaptureThread() {
  std::vector<pa::Event*> waitList{m_stopEvent.get()};
  int systemIndex = -1;
  int micIndex = -1;
  if (m_loopbackClient && m_loopbackEvent) {
    systemIndex = static_cast<int>(waitList.size());
    waitList.push_back(m_loopbackEvent.get());
  }
  if (m_micClient && m_micEvent) {
    micIndex = static_cast<int>(waitList.size());
    waitList.push_back(m_micEvent.get());
  }

  bool skipExpired = false;
  while (m_running) {
    try {
      if (!skipExpired && SteadyNowNs() > m_skipExpiresNs) {
        m_systemRing->SetSkipFrames(0);
        m_micRing->SetSkipFrames(0);
        skipExpired = true;
      }
      uint32_t lastError = 0;
      const uint32_t result = m_audioSystem->WaitForMultipleObjects(waitList, kCaptureWaitMs, &lastError);
      if (!m_running || result == pa::WAIT_OBJECT_0) break;
      if (result == pa::WAIT_FAILED) {
        DebugLog<128>(L"[AudioCapture] WaitForMultipleObjects failed: %u\n", lastError);
        break;
      }
      // Whichever event fired, both sources are drained: one wake-up serves both.
      if (systemIndex != -1) ServiceSource(AudioSource::System);
      if (micIndex != -1) ServiceSource(AudioSource::Microphone);
    } catch (const std::exception& e) {
      DebugLog<256>(L"[AudioCapture] CaptureThread exception: %ls\n", Utf8ToWide(e.what()).c_str());
    } catch (...) {
      DebugLog<128>(L"[AudioCapture] CaptureThread unknown exception\n");
    }
  }
}

HRESULT AudioCapture::DrainPackets(pa::AudioCaptureClient& client, const CaptureFormat& format,
                                   std::vector<float>& out) {
  uint32_t packetFrames = 0;
  if (HRESULT hr = client.GetNextPacketSize(&packetFrames); Failed(hr)) return hr;
  const size_t channels = format.channels;
  // Stop must not wait behind a stream that never runs dry.
  while (packetFrames > 0 && m_running) {
    uint8_t* data = nullptr;
    uint32_t frames = 0;
    uint32_t flags = 0;
    // A failed packet is left alone; the next wake-up asks again rather than spinning here.
    if (HRESULT hr = client.GetBuffer(&data, &frames, &flags, nullptr, nullptr); Failed(hr)) return hr;
    if (data == nullptr || (flags & pa::AUDCLNT_BUFFERFLAGS_SILENT) != 0 || channels == 0) {
      // Silence still takes its time: leaving it out would pull everything after it early.
      out.insert(out.end(), size_t{frames} * 2, 0.0f);
    } else {
      const size_t rightOffset = channels >= 2 ? 1 : 0;
      if (format.isFloat) {
        for (uint32_t i = 0; i < frames; ++i) {
          float left;
          float right;
          std::memcpy(&left, data + (i * channels) * sizeof(float), sizeof(float));
          std::memcpy(&right, data + (i * channels + rightOffset) * sizeof(float), sizeof(float));
          out.push_back(SanitiseFloat(left));
          out.push_back(SanitiseFloat(right));
        }
      } else {
        for (uint32_t i = 0; i < frames; ++i) {
          int16_t left;
          int16_t right;
          std::memcpy(&left, data + (i * channels) * sizeof(int16_t), sizeof(int16_t));
          std::memcpy(&right, data + (i * channels + rightOffset) * sizeof(int16_t), sizeof(int16_t));
          out.push_back(static_cast<float>(left) * kInt16Scale);
          out.push_back(static_cast<float>(right) * kInt16Scale);
        }
      }
    }
    client.ReleaseBuffer(frames);
    if (HRESULT hr = client.GetNextPacketSize(&packetFrames); Failed(hr)) return hr;
  }
  return S_OK;
}

HRESULT AudioCapture::ProcessLoopbackPackets() {
  if (!m_loopbackCaptureClient || !m_systemRing) return S_OK;
  m_loopbackStaging.clear();
  const HRESULT hr = DrainPackets(*m_loopbackCaptureClient, m_systemFormat, m_loopbackStaging);
  // Drained while paused, the sound is thrown away: none of it may reach the file.
  if (!m_loopbackStaging.empty() && !m_paused) {
    m_systemRing->Write(m_loopbackStaging.data(), m_loopbackStaging.size());
  }
  return hr;
}

HRESULT AudioCapture::ProcessMicPackets() {
  if (!m_micCaptureClient || !m_micRing) return S_OK;
  const HRESULT hr = DrainPackets(*m_micCaptureClient, m_micFormat, m_micStaging);
  if (!m_micStaging.empty()) {
    ResampleMicBlock(m_micStaging.data(), m_micStaging.size() / 2);
    m_micStaging.clear();
  }
  return hr;
}

void AudioCapture::ResampleMicBlock(const float* frames, size_t frameCount) {
  if (!m_micRing || frameCount == 0) return;
  if (m_resampleRatio == 1.0 || m_micFormat.sampleRate == EffectiveOutputRate()) {
    if (!m_paused) m_micRing->Write(frames, frameCount * 2);
    return;
  }
  m_resampleOutput.clear();
  ResampleCatmullRom(frames, frameCount, m_resampleRatio, m_resamplePosition, m_resampleHistory, m_resampleOutput);
  if (!m_resampleOutput.empty() && !m_paused) m_micRing->Write(m_resampleOutput.data(), m_resampleOutput.size());
}

void AudioCapture::OutputThread() {
  const int64_t rate = EffectiveOutputRate();
  const int64_t periodNs = FramesToNs(kChunkFrames, rate);
  const int64_t t0 = SteadyNowNs();
  int64_t deadline = t0;
  while (m_running) {
    const int64_t now = SteadyNowNs();
    if (now < deadline) {
      // Sleeps on the stop event so Stop does not wait out the rest of a period.
      const int64_t waitMs = (deadline - now + 999'999) / 1'000'000;
      pa::WaitForEvent(*m_stopEvent, static_cast<uint32_t>(waitMs));
    }
    if (!m_running) break;
    const bool paused = m_paused;
    // Chunk k is due at t0 + k chunks + the time spent paused: the timeline leaves out exactly
    // the pause, not a whole number of chunks around it.
    const int64_t due = t0 + m_pausedTotalNs.load() + FramesToNs(m_framesDelivered.load(), rate);
    if (!paused && SteadyNowNs() < due) {
      deadline = due;  // just resumed: the schedule has moved on by the pause
      continue;
    }
    try {
      if (paused) {
        DiscardPausedSound();
      } else {
        ProduceChunk();
      }
    } catch (const std::exception& e) {
      DebugLog<256>(L"[AudioCapture] OutputThread exception: %ls\n", Utf8ToWide(e.what()).c_str());
    } catch (...) {
      DebugLog<128>(L"[AudioCapture] OutputThread unknown exception\n");
    }
    // Absolute deadlines: a late pass is caught up, never skipped, and errors do not accumulate.
    // While paused the rings are emptied once a period.
    deadline = paused ? SteadyNowNs() + periodNs
                      : t0 + m_pausedTotalNs.load() + FramesToNs(m_framesDelivered.load(), rate);
  }
}

void AudioCapture::DiscardPausedSound() {
  // What came in while paused was captured while paused; the capture thread may still have
  // written some of it just before the pause took effect.
  if (m_micRing) m_micRing->Discard(m_micRing->Capacity());
  if (m_systemRing) m_systemRing->Discard(m_systemRing->Capacity());
  m_micBacklog.Reset();
  m_systemBacklog.Reset();
}

const int16_t* AudioCapture::ProduceChunkForTesting(const float* mic, const float* system, size_t frames) {
  if (m_running) return nullptr;
  if (mic) m_micRing->Write(mic, frames * 2);
  if (system) m_systemRing->Write(system, frames * 2);
  ProduceChunk();
  return m_outputPcm.data();
}

void AudioCapture::ProduceChunk() {
  if (m_micRing) {
    if (uint64_t excess = m_micBacklog.Observe(m_micRing->Count() / 2)) m_micRing->Discard(excess * 2);
    m_micRing->ReadChunk(m_micChunk.data());
  } else {
    std::fill(m_micChunk.begin(), m_micChunk.end(), 0.0f);
  }
  if (m_systemRing) {
    if (uint64_t excess = m_systemBacklog.Observe(m_systemRing->Count() / 2)) m_systemRing->Discard(excess * 2);
    m_systemRing->ReadChunk(m_systemChunk.data());
  } else {
    std::fill(m_systemChunk.begin(), m_systemChunk.end(), 0.0f);
  }

  const float micRms = Rms(m_micChunk);
  const float systemRms = Rms(m_systemChunk);
  float micLevel = micRms;
  if (m_micMode == MicMode::NoiseSuppression && m_noiseSuppressor) {
    for (size_t i = 0; i < kChunkSamples; ++i) {
      m_nsPcm[i] = static_cast<int16_t>(std::clamp(m_micChunk[i], -1.0f, 1.0f) * 32767.0f);
    }
    m_noiseSuppressor->Process(m_nsPcm.data());
    for (size_t i = 0; i < kChunkSamples; ++i) m_micChunk[i] = static_cast<float>(m_nsPcm[i]) * kInt16Scale;
    micLevel = m_noiseSuppressor->GetOutputLevel();
  }
  m_micPeak.store(Peak(m_micChunk), std::memory_order_relaxed);
  m_systemPeak.store(Peak(m_systemChunk), std::memory_order_relaxed);

  m_mixer.MixChunk(m_micChunk.data(), m_systemChunk.data(), micRms, systemRms, micLevel, m_systemRing != nullptr,
                   static_cast<uint32_t>(m_micMode), m_mixChunk.data(), m_outputPcm.data());

  const int64_t rate = EffectiveOutputRate();
  const int64_t position = m_firstFramePosition + m_framesDelivered.fetch_add(kChunkFrames);
  // Never below zero: the first position is past every frame heard before the origin.
  const int64_t timestamp = m_startOffset + FramesToHns(position, rate) - m_streamLatency;
  if (m_audioCallback) {
    m_audioCallback(reinterpret_cast<const uint8_t*>(m_outputPcm.data()), kChunkBytes, timestamp,
                    int64_t{10'240'000'000} / rate);
  }
}

}  // namespace kalto
