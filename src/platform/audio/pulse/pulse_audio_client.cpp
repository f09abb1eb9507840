#include "platform/audio/pulse/pulse_audio_client.h"

#include <algorithm>

#include "platform/audio/pulse/pulse_format.h"

namespace kalto::platform::audio::pulse {
namespace {

// The capture service keeps its client alive, as the platform's services hold their object.
class PulseCaptureClient final : public AudioCaptureClient {
 public:
  PulseCaptureClient(std::shared_ptr<PulseAudioClient> owner, PacketQueue& queue)
      : m_owner(std::move(owner)), m_queue(queue) {}
  HRESULT GetNextPacketSize(uint32_t* frames) override { return m_queue.GetNextPacketSize(frames); }
  HRESULT GetBuffer(uint8_t** data, uint32_t* frames, uint32_t* flags, uint64_t* devicePosition,
                    uint64_t* qpcPosition) override {
    return m_queue.GetBuffer(data, frames, flags, devicePosition, qpcPosition);
  }
  HRESULT ReleaseBuffer(uint32_t frames) override { return m_queue.ReleaseBuffer(frames); }

 private:
  std::shared_ptr<PulseAudioClient> m_owner;
  PacketQueue& m_queue;
};

}  // namespace

PulseAudioClient::PulseAudioClient(std::shared_ptr<PulseConnection> connection, const WaveFormat& mixFormat)
    : m_connection(std::move(connection)), m_mixFormat(mixFormat) {}

uint32_t PulseAudioClient::PeriodFrames() const {
  return std::max<uint32_t>(1, static_cast<uint32_t>(int64_t(m_mixFormat.nSamplesPerSec) * kPeriodHns / 10'000'000));
}

HRESULT PulseAudioClient::GetMixFormat(std::unique_ptr<WaveFormat>* format) {
  if (!format) return E_POINTER;
  *format = std::make_unique<WaveFormat>(m_mixFormat);
  return S_OK;
}

HRESULT PulseAudioClient::Initialize(AUDCLNT_SHAREMODE shareMode, uint32_t streamFlags, int64_t bufferDurationHns,
                                     int64_t periodicityHns, const WaveFormat* format) {
  if (!format) return E_POINTER;
  std::lock_guard lock(m_mutex);
  if (m_initialized) return AUDCLNT_E_ALREADY_INITIALIZED;
  if (shareMode != AUDCLNT_SHAREMODE_SHARED) return AUDCLNT_E_EXCLUSIVE_MODE_NOT_ALLOWED;
  if (bufferDurationHns < 0 || periodicityHns != 0) return E_INVALIDARG;
  if (HRESULT hr = CheckStreamFlags(streamFlags); Failed(hr)) return hr;
  if (!MatchesMixFormat(*format, m_mixFormat)) return AUDCLNT_E_UNSUPPORTED_FORMAT;
  // Sources may deliver in bursts far above the period (network and Bluetooth sources, large
  // server quanta, seconds at a time): hold several seconds so a burst is not cut before the
  // reader wakes. Packets are stored as they come, so the room costs nothing until used.
  int64_t requested = bufferDurationHns * m_mixFormat.nSamplesPerSec / 10'000'000;
  auto capacity = static_cast<uint32_t>(std::clamp<int64_t>(requested, int64_t(m_mixFormat.nSamplesPerSec) * kMinQueueSeconds,
                                                            int64_t(m_mixFormat.nSamplesPerSec) * 10));
  m_queue = std::make_unique<PacketQueue>(m_mixFormat.nBlockAlign, PeriodFrames(), capacity);
  HRESULT hr = OpenStreams();
  if (Failed(hr)) return hr;
  m_eventDriven = (streamFlags & AUDCLNT_STREAMFLAGS_EVENTCALLBACK) != 0;
  m_initialized = true;
  return S_OK;
}

HRESULT PulseAudioClient::SetEventHandle(std::shared_ptr<Event> event) {
  std::lock_guard lock(m_mutex);
  if (!m_initialized) return AUDCLNT_E_NOT_INITIALIZED;
  if (!m_eventDriven) return AUDCLNT_E_EVENTHANDLE_NOT_EXPECTED;
  if (!event) return E_INVALIDARG;
  m_queue->SetEvent(std::move(event));
  m_hasEvent = true;
  return S_OK;
}

HRESULT PulseAudioClient::GetCaptureClient(std::shared_ptr<AudioCaptureClient>* captureClient) {
  if (!captureClient) return E_POINTER;
  std::lock_guard lock(m_mutex);
  if (!m_initialized) return AUDCLNT_E_NOT_INITIALIZED;
  *captureClient = std::make_shared<PulseCaptureClient>(shared_from_this(), *m_queue);
  return S_OK;
}

HRESULT PulseAudioClient::Start() {
  std::lock_guard lock(m_mutex);
  if (!m_initialized) return AUDCLNT_E_NOT_INITIALIZED;
  if (m_eventDriven && !m_hasEvent) return AUDCLNT_E_EVENTHANDLE_NOT_SET;
  if (m_running) return AUDCLNT_E_NOT_STOPPED;
  HRESULT hr = SetCorked(false);
  if (Failed(hr)) return hr;
  m_running = true;
  return S_OK;
}

HRESULT PulseAudioClient::Stop() {
  std::lock_guard lock(m_mutex);
  if (!m_initialized) return AUDCLNT_E_NOT_INITIALIZED;
  if (!m_running) return S_FALSE;
  m_running = false;
  return SetCorked(true);
}

HRESULT PulseAudioClient::GetStreamLatency(int64_t* latencyHns) {
  if (!latencyHns) return E_POINTER;
  std::lock_guard lock(m_mutex);
  if (!m_initialized) return AUDCLNT_E_NOT_INITIALIZED;
  return QueryLatency(latencyHns);
}

HRESULT PulseAudioClient::SetClientProperties(const AudioClientProperties& properties) {
  if (properties.cbSize < sizeof(uint32_t) * 4 || properties.bIsOffload) return E_INVALIDARG;
  std::lock_guard lock(m_mutex);
  if (m_initialized) return AUDCLNT_E_ALREADY_INITIALIZED;
  return ApplyProperties(properties);
}

}  // namespace kalto::platform::audio::pulse
