// AudioCapture's endpoints: choosing and opening the system stream (everything heard, or one
// process tree) and the microphone, with every fallback and message.
#include <string>
#include <string_view>

#include "audio/audio_capture.h"
#include "audio/audio_capture_streams.h"
#include "audio/process_loopback_completion_handler.h"
#include "common/debug_output.h"

namespace kalto {

namespace pa = platform::audio;
using namespace audio_capture_detail;

bool AudioCapture::InitializeLoopback() {
  std::shared_ptr<pa::DeviceEnumerator> enumerator;
  if (Failed(m_audioSystem->CreateDeviceEnumerator(&enumerator)) || !enumerator) return false;

  if (HRESULT hr = enumerator->GetDefaultAudioEndpoint(pa::eRender, pa::eConsole, &m_renderDevice);
      Failed(hr) || !m_renderDevice) {
    DebugLog<128>(L"[AudioCapture] Failed to get default render device\n");
    return false;
  }
  if (HRESULT hr = m_renderDevice->Activate(&m_loopbackClient); Failed(hr) || !m_loopbackClient) {
    DebugLog<128>(L"[AudioCapture] Failed to activate loopback client\n");
    return false;
  }
  std::unique_ptr<pa::WaveFormat> mixFormat;
  if (HRESULT hr = m_loopbackClient->GetMixFormat(&mixFormat);
      Failed(hr) || !mixFormat || !IsReadable(ToCaptureFormat(*mixFormat))) {
    DebugLog<128>(L"[AudioCapture] Failed to get mix format\n");
    return false;
  }
  m_systemFormat = ToCaptureFormat(*mixFormat);
  HRESULT hr = m_loopbackClient->Initialize(pa::AUDCLNT_SHAREMODE_SHARED,
                                            pa::AUDCLNT_STREAMFLAGS_LOOPBACK | pa::AUDCLNT_STREAMFLAGS_EVENTCALLBACK,
                                            kBufferDurationHns, 0, mixFormat.get());
  mixFormat.reset();
  if (Failed(hr)) {
    DebugLog<128>(L"[AudioCapture] Failed to initialize loopback: 0x%08X\n", HrBits(hr));
    return false;
  }
  if (hr = m_loopbackClient->SetEventHandle(m_loopbackEvent); Failed(hr)) {
    DebugLog<128>(L"[AudioCapture] Failed to set loopback event: 0x%08X\n", HrBits(hr));
    return false;
  }
  if (hr = m_loopbackClient->GetCaptureClient(&m_loopbackCaptureClient); Failed(hr) || !m_loopbackCaptureClient) {
    DebugLog<128>(L"[AudioCapture] Failed to get loopback capture client\n");
    return false;
  }
  return true;
}

bool AudioCapture::InitializeProcessLoopback(uint32_t processId) {
  try {
    return InitializeProcessLoopbackStreams(processId);
  } catch (const std::exception& e) {
    DebugLog<256>(L"[AudioCapture] InitializeProcessLoopback exception: %ls\n", Utf8ToWide(e.what()).c_str());
    return false;
  } catch (...) {
    DebugLog<128>(L"[AudioCapture] InitializeProcessLoopback unknown exception\n");
    return false;
  }
}

bool AudioCapture::InitializeProcessLoopbackStreams(uint32_t processId) {
  if (!m_audioSystem->IsBuildAtLeast(kProcessLoopbackMinBuild)) {
    DebugLog<128>(L"[AudioCapture] Process loopback not supported on this Windows version (requires Build 20348+)\n");
    return false;
  }
  if (processId == 0) {
    DebugLog<128>(L"[AudioCapture] Invalid process ID for process loopback\n");
    return false;
  }

  const ProcessLoopbackRequest request(processId);
  auto handler = std::make_shared<ProcessLoopbackCompletionHandler>();
  std::shared_ptr<pa::ActivateAudioInterfaceAsyncOperation> operation;
  HRESULT hr = m_audioSystem->ActivateAudioInterfaceAsync(pa::VIRTUAL_AUDIO_DEVICE_PROCESS_LOOPBACK, &request.variant,
                                                          handler, &operation);
  if (Failed(hr)) {
    DebugLog<128>(L"[AudioCapture] ActivateAudioInterfaceAsync failed: 0x%08X\n", HrBits(hr));
    return false;
  }

  // A late completion keeps its client inside the handler, which this function no longer reads.
  if (pa::WaitForEvent(handler->CompletedEvent(), kActivationTimeoutMs) != pa::WAIT_OBJECT_0) {
    DebugLog<256>(L"[AudioCapture] Process loopback activation timed out after %ums; falling back to system audio\n",
                  kActivationTimeoutMs);
    return false;
  }
  if (HRESULT result = handler->ActivateResult(); Failed(result)) {
    if (result == HRESULT_ERROR_TIMEOUT) {
      DebugLog<256>(
          L"[AudioCapture] Process loopback activation timed out after %ums; falling back to system audio\n",
          kActivationTimeoutMs);
    } else {
      DebugLog<256>(L"[AudioCapture] Process loopback activation failed: 0x%08X; falling back to system audio\n",
                    HrBits(result));
    }
    return false;
  }

  m_loopbackClient = handler->AudioClient();
  if (!m_loopbackClient) {
    DebugLog<128>(L"[AudioCapture] Failed to get audio client from process loopback\n");
    return false;
  }
  std::unique_ptr<pa::WaveFormat> mixFormat;
  if (hr = m_loopbackClient->GetMixFormat(&mixFormat);
      Failed(hr) || !mixFormat || !IsReadable(ToCaptureFormat(*mixFormat))) {
    DebugLog<128>(L"[AudioCapture] Failed to get mix format for process loopback\n");
    return false;
  }
  m_systemFormat = ToCaptureFormat(*mixFormat);
  hr = m_loopbackClient->Initialize(pa::AUDCLNT_SHAREMODE_SHARED,
                                    pa::AUDCLNT_STREAMFLAGS_LOOPBACK | pa::AUDCLNT_STREAMFLAGS_EVENTCALLBACK,
                                    kBufferDurationHns, 0, mixFormat.get());
  mixFormat.reset();
  if (Failed(hr)) {
    DebugLog<128>(L"[AudioCapture] Failed to initialize process loopback client: 0x%08X\n", HrBits(hr));
    return false;
  }
  if (hr = m_loopbackClient->SetEventHandle(m_loopbackEvent); Failed(hr)) {
    DebugLog<128>(L"[AudioCapture] Failed to set process loopback event: 0x%08X\n", HrBits(hr));
    return false;
  }
  if (hr = m_loopbackClient->GetCaptureClient(&m_loopbackCaptureClient); Failed(hr) || !m_loopbackCaptureClient) {
    DebugLog<128>(L"[AudioCapture] Failed to get process loopback capture client\n");
    return false;
  }
  m_usingProcessLoopback = true;
  m_processId = processId;
  return true;
}

bool AudioCapture::InitializeMicrophone(const std::wstring& deviceId) {
  std::shared_ptr<pa::DeviceEnumerator> enumerator;
  if (Failed(m_audioSystem->CreateDeviceEnumerator(&enumerator)) || !enumerator) return false;

  std::shared_ptr<pa::Device> device;
  auto found = [&](HRESULT hr) { return Succeeded(hr) && device != nullptr; };
  bool haveDevice = false;
  if (!deviceId.empty()) {
    haveDevice = found(enumerator->GetDevice(deviceId, &device));
    if (!haveDevice) haveDevice = found(enumerator->GetDevice(ExtractEndpointId(deviceId), &device));
    if (!haveDevice) {
      DebugLog<128>(L"[AudioCapture] Extracted ID also failed, using default mic\n");
      HRESULT hr = enumerator->GetDefaultAudioEndpoint(pa::eCapture, pa::eCommunications, &device);
      haveDevice = found(hr);
      if (!haveDevice) {
        DebugLog<128>(L"[AudioCapture] Default communications mic failed (0x%08X), trying multimedia\n",
                      HrBits(OrPointer(hr)));
      }
    }
  } else {
    HRESULT hr = enumerator->GetDefaultAudioEndpoint(pa::eCapture, pa::eCommunications, &device);
    haveDevice = found(hr);
    if (!haveDevice) {
      DebugLog<128>(L"[AudioCapture] Default communications mic failed (0x%08X), trying multimedia role\n",
                    HrBits(OrPointer(hr)));
    }
  }
  if (!haveDevice) {
    HRESULT hr = enumerator->GetDefaultAudioEndpoint(pa::eCapture, pa::eMultimedia, &device);
    if (!found(hr)) {
      DebugLog<128>(L"[AudioCapture] Failed to get microphone device: 0x%08X\n", HrBits(OrPointer(hr)));
      return false;
    }
  }
  m_micDevice = std::move(device);
  // A lost microphone is looked for again under this id, not under whatever is default then.
  if (Failed(m_micDevice->GetId(&m_micEndpointId))) m_micEndpointId.clear();

  if (HRESULT hr = m_micDevice->Activate(&m_micClient); Failed(hr) || !m_micClient) {
    DebugLog<128>(L"[AudioCapture] Failed to activate mic IAudioClient: 0x%08X\n", HrBits(OrPointer(hr)));
    return false;
  }

  pa::AudioClient2* client2 = m_micClient->QueryAudioClient2();
  if (m_voiceProcessing) {
    if (!client2) {
      DebugLog<128>(L"[AudioCapture] IAudioClient2 not available on this mic \u2014 Voice Processing DSP skipped\n");
    } else {
      pa::AudioClientProperties properties;
      properties.cbSize = 16;
      properties.bIsOffload = false;
      properties.eCategory = pa::AudioCategory_Communications;
      properties.Options = pa::AUDCLNT_STREAMOPTIONS_NONE;
      if (HRESULT hr = client2->SetClientProperties(properties); Failed(hr)) {
        DebugLog<256>(L"[AudioCapture] WARNING: Failed to enable Voice Processing DSP: 0x%08X (continuing without)\n",
                      HrBits(hr));
      }
    }
  } else if (client2) {
    pa::AudioClientProperties properties;
    properties.cbSize = 16;
    properties.bIsOffload = false;
    properties.eCategory = pa::AudioCategory_Other;
    properties.Options = pa::AUDCLNT_STREAMOPTIONS_RAW;
    if (HRESULT hr = client2->SetClientProperties(properties); Failed(hr)) {
      DebugLog<256>(L"[AudioCapture] WARNING: RAW mic mode not available: 0x%08X (mic enhancements may still apply)\n",
                    HrBits(hr));
    }
  }

  std::unique_ptr<pa::WaveFormat> mixFormat;
  if (HRESULT hr = m_micClient->GetMixFormat(&mixFormat);
      Failed(hr) || !mixFormat || !IsReadable(ToCaptureFormat(*mixFormat))) {
    DebugLog<128>(L"[AudioCapture] Failed to get mic mix format\n");
    return false;
  }
  m_micFormat = ToCaptureFormat(*mixFormat);

  const uint32_t outputRate = EffectiveOutputRate();
  m_resampleRatio = static_cast<double>(m_micFormat.sampleRate) / static_cast<double>(outputRate);
  m_resamplePosition = 0.0;
  m_resampleHistory.fill(0.0f);
  if (m_micFormat.sampleRate != outputRate) {
    DebugLog<256>(L"[AudioCapture] Mic sample rate (%uHz) differs from output (%uHz) - resampling enabled (ratio: "
                  L"%.4f)\n",
                  m_micFormat.sampleRate, outputRate, m_resampleRatio);
  }

  HRESULT hr = m_micClient->Initialize(pa::AUDCLNT_SHAREMODE_SHARED, pa::AUDCLNT_STREAMFLAGS_EVENTCALLBACK,
                                       kBufferDurationHns, 0, mixFormat.get());
  mixFormat.reset();
  if (Failed(hr)) {
    DebugLog<128>(L"[AudioCapture] Failed to initialize mic: 0x%08X\n", HrBits(hr));
    return false;
  }
  if (hr = m_micClient->SetEventHandle(m_micEvent); Failed(hr)) {
    DebugLog<128>(L"[AudioCapture] Failed to set mic event: 0x%08X\n", HrBits(hr));
    return false;
  }
  if (hr = m_micClient->GetCaptureClient(&m_micCaptureClient); Failed(hr) || !m_micCaptureClient) {
    DebugLog<128>(L"[AudioCapture] Failed to get mic capture client\n");
    return false;
  }
  return true;
}

std::wstring AudioCapture::ExtractEndpointId(const std::wstring& id) {
  static constexpr std::wstring_view kMarker = L"MMDEVAPI#";
  if (id.size() < kMarker.size()) return id;
  const size_t marker = id.find(kMarker);
  if (marker == std::wstring::npos) return id;
  const size_t start = marker + kMarker.size();
  const size_t end = id.find(L'#', start);
  return id.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
}

}  // namespace kalto
