// AudioCapture's side of sources that go away while recording: noticing the loss, telling the
// owner, and opening the same source again from the capture thread until it is back.
#include <string>

#include "audio/audio_capture.h"
#include "audio/audio_capture_streams.h"
#include "audio/process_loopback_completion_handler.h"
#include "common/debug_output.h"
#include "common/steady_clock.h"

namespace kalto {

namespace pa = platform::audio;
using namespace audio_capture_detail;

namespace {

// The codes with which a stream says that its device or the sound server is gone.
bool IsSourceLost(HRESULT hr) { return hr == AUDCLNT_E_DEVICE_INVALIDATED || hr == AUDCLNT_E_SERVICE_NOT_RUNNING; }

const wchar_t* SourceName(AudioSource source) {
  return source == AudioSource::System ? L"System audio" : L"Microphone";
}

}  // namespace

void AudioCapture::ServiceSource(AudioSource source) {
  SourceHealth& health = source == AudioSource::System ? m_systemHealth : m_micHealth;
  if (health.lost) {
    if (SteadyNowNs() >= health.retryAtNs) TryReopen(source);
    return;
  }
  const HRESULT hr = source == AudioSource::System ? ProcessLoopbackPackets() : ProcessMicPackets();
  if (IsSourceLost(hr)) MarkLost(source, hr);
}

void AudioCapture::MarkLost(AudioSource source, HRESULT reason) {
  {
    // The dead stream is released; the output thread goes on with silence in its place.
    std::lock_guard lock(m_streamMutex);
    if (source == AudioSource::System) {
      m_loopbackCaptureClient.reset();
      m_loopbackClient.reset();
    } else {
      m_micCaptureClient.reset();
      m_micClient.reset();
    }
  }
  SourceHealth& health = source == AudioSource::System ? m_systemHealth : m_micHealth;
  health.lost = true;
  health.retryAtNs = SteadyNowNs() + int64_t{kReopenIntervalMs} * 1'000'000;
  DebugLog<256>(L"[AudioCapture] WARNING: %ls lost (0x%08X); recording silence until it returns\n",
                SourceName(source), HrBits(reason));
  NotifySource(source, false);
}

void AudioCapture::TryReopen(AudioSource source) {
  SourceHealth& health = source == AudioSource::System ? m_systemHealth : m_micHealth;
  ReopenedStream stream;
  const HRESULT hr = source == AudioSource::System ? ReopenSystem(&stream) : ReopenMicrophone(&stream);
  if (Failed(hr)) {
    health.retryAtNs = SteadyNowNs() + int64_t{kReopenIntervalMs} * 1'000'000;
    return;
  }
  {
    std::lock_guard lock(m_streamMutex);
    if (source == AudioSource::System) {
      if (!m_usingProcessLoopback) m_renderDevice = std::move(stream.device);
      m_loopbackClient = std::move(stream.client);
      m_loopbackCaptureClient = std::move(stream.captureClient);
      m_systemFormat = stream.format;
    } else {
      m_micDevice = std::move(stream.device);
      m_micClient = std::move(stream.client);
      m_micCaptureClient = std::move(stream.captureClient);
      m_micFormat = stream.format;
      m_resampleRatio = static_cast<double>(m_micFormat.sampleRate) / static_cast<double>(EffectiveOutputRate());
    }
  }
  if (source == AudioSource::Microphone) {
    // A fresh stream: nothing of the old one's resampler state applies to it.
    m_resamplePosition = 0.0;
    m_resampleHistory.fill(0.0f);
    m_micStaging.clear();
    m_micRing->SetSkipFrames(0);
  } else {
    m_systemRing->SetSkipFrames(0);
  }
  health.lost = false;
  DebugLog<128>(L"[AudioCapture] %ls is back\n", SourceName(source));
  NotifySource(source, true);
}

void AudioCapture::NotifySource(AudioSource source, bool available) {
  if (!m_sourceStateCallback) return;
  std::wstring message = SourceName(source);
  message += available ? L" is back" : L" lost; recording silence until it returns";
  m_sourceStateCallback(source, available, message);
}

HRESULT AudioCapture::OpenForCapture(std::shared_ptr<pa::AudioClient> client, uint32_t streamFlags,
                                     const std::shared_ptr<pa::Event>& event, ReopenedStream* out) {
  out->client = std::move(client);
  std::unique_ptr<pa::WaveFormat> mixFormat;
  if (HRESULT hr = out->client->GetMixFormat(&mixFormat); Failed(hr) || !mixFormat) return OrPointer(hr);
  out->format = ToCaptureFormat(*mixFormat);
  if (!IsReadable(out->format)) return AUDCLNT_E_UNSUPPORTED_FORMAT;
  if (HRESULT hr = out->client->Initialize(pa::AUDCLNT_SHAREMODE_SHARED, streamFlags, kBufferDurationHns, 0,
                                           mixFormat.get());
      Failed(hr)) {
    return hr;
  }
  if (HRESULT hr = out->client->SetEventHandle(event); Failed(hr)) return hr;
  if (HRESULT hr = out->client->GetCaptureClient(&out->captureClient); Failed(hr) || !out->captureClient) {
    return OrPointer(hr);
  }
  return out->client->Start();
}

HRESULT AudioCapture::ReopenSystem(ReopenedStream* out) {
  if (m_usingProcessLoopback) return ReopenProcessLoopback(out);
  std::shared_ptr<pa::DeviceEnumerator> enumerator;
  if (HRESULT hr = m_audioSystem->CreateDeviceEnumerator(&enumerator); Failed(hr) || !enumerator) return OrPointer(hr);
  // Everything the user hears: the default output as it is now.
  if (HRESULT hr = enumerator->GetDefaultAudioEndpoint(pa::eRender, pa::eConsole, &out->device);
      Failed(hr) || !out->device) {
    return OrPointer(hr);
  }
  std::shared_ptr<pa::AudioClient> client;
  if (HRESULT hr = out->device->Activate(&client); Failed(hr) || !client) return OrPointer(hr);
  return OpenForCapture(std::move(client), pa::AUDCLNT_STREAMFLAGS_LOOPBACK | pa::AUDCLNT_STREAMFLAGS_EVENTCALLBACK,
                        m_loopbackEvent, out);
}

HRESULT AudioCapture::ReopenProcessLoopback(ReopenedStream* out) {
  const ProcessLoopbackRequest request(m_processId);
  auto handler = std::make_shared<ProcessLoopbackCompletionHandler>();
  std::shared_ptr<pa::ActivateAudioInterfaceAsyncOperation> operation;
  if (HRESULT hr = m_audioSystem->ActivateAudioInterfaceAsync(pa::VIRTUAL_AUDIO_DEVICE_PROCESS_LOOPBACK, &request.variant,
                                                             handler, &operation);
      Failed(hr)) {
    return hr;
  }
  // Stop must not wait out the activation: the stop event ends the wait too.
  pa::Event* waitList[] = {m_stopEvent.get(), &handler->CompletedEvent()};
  if (pa::WaitForEvents(waitList, kActivationTimeoutMs, nullptr) != pa::WAIT_OBJECT_0 + 1) {
    return HRESULT_ERROR_TIMEOUT;
  }
  if (Failed(handler->ActivateResult())) return handler->ActivateResult();
  if (!handler->AudioClient()) return E_POINTER;
  return OpenForCapture(handler->AudioClient(),
                        pa::AUDCLNT_STREAMFLAGS_LOOPBACK | pa::AUDCLNT_STREAMFLAGS_EVENTCALLBACK, m_loopbackEvent,
                        out);
}

HRESULT AudioCapture::ReopenMicrophone(ReopenedStream* out) {
  std::shared_ptr<pa::DeviceEnumerator> enumerator;
  if (HRESULT hr = m_audioSystem->CreateDeviceEnumerator(&enumerator); Failed(hr) || !enumerator) return OrPointer(hr);
  // The same endpoint only: whatever is default once it has gone may be another device, or a
  // monitor of the system's own output.
  if (m_micEndpointId.empty()) return E_NOTFOUND;
  if (HRESULT hr = enumerator->GetDevice(m_micEndpointId, &out->device); Failed(hr) || !out->device) {
    return OrPointer(hr);
  }
  std::shared_ptr<pa::AudioClient> client;
  if (HRESULT hr = out->device->Activate(&client); Failed(hr) || !client) return OrPointer(hr);
  // The effects asked for at the start, quietly: their warnings were given then.
  if (pa::AudioClient2* client2 = client->QueryAudioClient2()) {
    pa::AudioClientProperties properties;
    properties.cbSize = 16;
    properties.bIsOffload = false;
    properties.eCategory = m_voiceProcessing ? pa::AudioCategory_Communications : pa::AudioCategory_Other;
    properties.Options = m_voiceProcessing ? pa::AUDCLNT_STREAMOPTIONS_NONE : pa::AUDCLNT_STREAMOPTIONS_RAW;
    client2->SetClientProperties(properties);
  }
  return OpenForCapture(std::move(client), pa::AUDCLNT_STREAMFLAGS_EVENTCALLBACK, m_micEvent, out);
}

}  // namespace kalto
