// The PulseAudio backend against a private daemon: endpoints and formats, voice-processing
// requests, and a server that is missing or goes away.
#include "platform/audio/pulse/pulse_audio_system.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>

#include "pulse_fixture.h"
#include "support/debug_capture.h"

namespace kalto::test {
namespace {

using namespace pa;

class PulseAudioSystemTest : public PulseTest {
 protected:
  void SetUp() override {
    PulseTest::SetUp();
    if (!HasFatalFailure() && !IsSkipped()) {
      ASSERT_EQ(system->CreateDeviceEnumerator(&enumerator), S_OK);
    }
  }
  std::shared_ptr<Device> Endpoint(EDataFlow flow, ERole role = eConsole) {
    std::shared_ptr<Device> device;
    EXPECT_EQ(enumerator->GetDefaultAudioEndpoint(flow, role, &device), S_OK);
    return device;
  }
  static std::shared_ptr<AudioClient> Activate(const std::shared_ptr<Device>& device) {
    std::shared_ptr<AudioClient> client;
    EXPECT_EQ(device->Activate(&client), S_OK);
    return client;
  }
  std::shared_ptr<DeviceEnumerator> enumerator;
};

std::string Id(Device& device) {
  std::wstring id;
  EXPECT_EQ(device.GetId(&id), S_OK);
  return WideToUtf8(id);
}

std::vector<std::string> Ids(DeviceEnumerator& enumerator, EDataFlow flow) {
  std::vector<std::shared_ptr<Device>> devices;
  EXPECT_EQ(enumerator.EnumAudioEndpoints(flow, &devices), S_OK);
  std::vector<std::string> ids;
  for (auto& d : devices) ids.push_back(Id(*d));
  return ids;
}

TEST_F(PulseAudioSystemTest, EndpointsDefaultsAndMixFormatsAreTheServersOwn) {
  auto render = Endpoint(eRender);
  EXPECT_EQ(Id(*render), "kalto_speakers");
  EXPECT_EQ(render->GetDataFlow(), eRender);
  std::wstring name;
  EXPECT_EQ(render->GetFriendlyName(&name), S_OK);
  EXPECT_EQ(name, L"Speakers");
  // The server has one default source: every role leads to it.
  for (ERole role : {eConsole, eMultimedia, eCommunications}) EXPECT_EQ(Id(*Endpoint(eCapture, role)), "kalto_mic");

  std::shared_ptr<Device> device;
  ASSERT_EQ(enumerator->GetDevice(L"kalto_mic_feed", &device), S_OK);
  EXPECT_EQ(device->GetDataFlow(), eRender);
  EXPECT_EQ(enumerator->GetDevice(L"no_such_source", &device), E_NOTFOUND);
  EXPECT_EQ(device, nullptr);
  EXPECT_EQ(enumerator->GetDevice(L"", &device), E_NOTFOUND);
  EXPECT_EQ(enumerator->GetDefaultAudioEndpoint(eAll, eConsole, &device), E_INVALIDARG);

  const auto capture = Ids(*enumerator, eCapture), renders = Ids(*enumerator, eRender);
  EXPECT_NE(std::find(capture.begin(), capture.end(), "kalto_mic"), capture.end());
  EXPECT_EQ(std::find(capture.begin(), capture.end(), "kalto_speakers.monitor"), capture.end())
      << "monitors are not microphones";
  EXPECT_EQ(renders, (std::vector<std::string>{"kalto_speakers", "kalto_mic_feed", "kalto_feed44"}));
  EXPECT_EQ(Ids(*enumerator, eAll).size(), capture.size() + renders.size());

  std::unique_ptr<WaveFormat> format;
  ASSERT_EQ(Activate(render)->GetMixFormat(&format), S_OK);
  EXPECT_EQ(format->wFormatTag, WAVE_FORMAT_EXTENSIBLE);
  EXPECT_EQ(format->nSamplesPerSec, 48000u);
  EXPECT_EQ(format->nChannels, 2);
  EXPECT_EQ(format->wBitsPerSample, 32);
  EXPECT_EQ(format->nBlockAlign, 8);
  EXPECT_EQ(format->SubFormat, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT);
  EXPECT_EQ(format->dwChannelMask, KSAUDIO_SPEAKER_STEREO);
  ASSERT_EQ(Activate(Endpoint(eCapture))->GetMixFormat(&format), S_OK);
  EXPECT_EQ(format->nChannels, 1);
  EXPECT_EQ(format->wBitsPerSample, 16);
  EXPECT_EQ(format->SubFormat, KSDATAFORMAT_SUBTYPE_PCM);
}

TEST_F(PulseAudioSystemTest, VoiceProcessingIsUnsupportedWithoutAnEchoCancellerAndRequestedWithOne) {
  auto mic = Endpoint(eCapture, eCommunications);
  auto client = Activate(mic);
  AudioClient2* client2 = client->QueryAudioClient2();
  ASSERT_NE(client2, nullptr);
  AudioClientProperties voice, raw, offload;
  voice.eCategory = AudioCategory_Communications;
  raw.Options = AUDCLNT_STREAMOPTIONS_RAW;
  offload.bIsOffload = true;
  EXPECT_EQ(client2->SetClientProperties(voice), HRESULT_ERROR_NOT_SUPPORTED);
  EXPECT_EQ(client2->SetClientProperties(raw), S_OK);
  EXPECT_EQ(client2->SetClientProperties(offload), E_INVALIDARG);
  OpenedStream stream;
  ASSERT_EQ(OpenStream(client, 0, &stream), S_OK) << "an unsupported request leaves the client usable";
  EXPECT_EQ(client2->SetClientProperties(raw), AUDCLNT_E_ALREADY_INITIALIZED);

  const std::string module = server->Output({"pactl", "load-module", "module-filter-apply"});
  ASSERT_FALSE(module.empty());
  {
    auto echoClient = Activate(mic);
    EXPECT_EQ(echoClient->QueryAudioClient2()->SetClientProperties(voice), S_OK);
    OpenedStream echoStream;
    ASSERT_EQ(OpenStream(echoClient, 0, &echoStream), S_OK);
    const std::string outputs = server->Output({"pactl", "list", "source-outputs"});
    EXPECT_NE(outputs.find("filter.want = \"echo-cancel\""), std::string::npos) << outputs;
  }
  server->Run({"pactl", "unload-module", module.substr(0, module.find_first_of("\r\n"))});
}

// Activates a process loopback of `pid` and waits for its completion.
struct Activation : ActivateAudioInterfaceCompletionHandler {
  HRESULT ActivateCompleted(ActivateAudioInterfaceAsyncOperation& operation) override {
    result = operation.GetActivateResult(&activateResult, &client);
    done.Set();
    return S_OK;
  }
  static std::shared_ptr<Activation> Run(AudioSystem& system, uint32_t pid) {
    auto handler = std::make_shared<Activation>();
    AUDIOCLIENT_ACTIVATION_PARAMS params;
    params.ActivationType = AUDIOCLIENT_ACTIVATION_TYPE_PROCESS_LOOPBACK;
    params.ProcessLoopbackParams.TargetProcessId = pid;
    PropVariantBlob blob;
    blob.vt = VT_BLOB;
    blob.blob.cbSize = sizeof(params);
    blob.blob.pBlobData = reinterpret_cast<const uint8_t*>(&params);
    std::shared_ptr<ActivateAudioInterfaceAsyncOperation> operation;
    EXPECT_EQ(system.ActivateAudioInterfaceAsync(VIRTUAL_AUDIO_DEVICE_PROCESS_LOOPBACK, &blob, handler, &operation),
              S_OK);
    EXPECT_EQ(WaitForEvent(handler->done, 10'000), WAIT_OBJECT_0);
    return handler;
  }
  Event done{true, false};
  HRESULT result = E_FAIL, activateResult = E_FAIL;
  std::shared_ptr<AudioClient> client;
};

TEST(PulseServerLossTest, AMissingServerIsReportedOnceAndFailsEveryCall) {
  DebugCapture debug;
  pulse::PulseAudioSystem system("unix:/nonexistent/kalto/native");
  std::shared_ptr<DeviceEnumerator> enumerator;
  ASSERT_EQ(system.CreateDeviceEnumerator(&enumerator), S_OK);
  std::shared_ptr<Device> device;
  EXPECT_EQ(enumerator->GetDefaultAudioEndpoint(eRender, eConsole, &device), AUDCLNT_E_SERVICE_NOT_RUNNING);
  EXPECT_EQ(enumerator->GetDevice(L"kalto_mic", &device), AUDCLNT_E_SERVICE_NOT_RUNNING);
  EXPECT_EQ(debug.CountPrefix("[PulseAudio] Cannot connect to the sound server: "), 1);
  auto handler = Activation::Run(system, 1);
  EXPECT_EQ(handler->result, S_OK);
  EXPECT_EQ(handler->activateResult, AUDCLNT_E_SERVICE_NOT_RUNNING);
  EXPECT_EQ(handler->client, nullptr);
}

TEST(PulseServerLossTest, AServerThatGoesAwayInvalidatesRunningStreams) {
  KALTO_REQUIRE(PulseServer::Available(), "pulseaudio and pacat are not installed");
  // Its own server: this one is killed.
  auto server = std::make_unique<PulseServer>();
  ASSERT_TRUE(server->Running()) << server->Error();
  DebugCapture debug;
  pulse::PulseAudioSystem system(server->Address());
  std::shared_ptr<DeviceEnumerator> enumerator;
  ASSERT_EQ(system.CreateDeviceEnumerator(&enumerator), S_OK);
  std::shared_ptr<Device> mic;
  ASSERT_EQ(enumerator->GetDefaultAudioEndpoint(eCapture, eCommunications, &mic), S_OK);
  std::shared_ptr<AudioClient> client;
  ASSERT_EQ(mic->Activate(&client), S_OK);
  OpenedStream stream, loopback;
  ASSERT_EQ(OpenStream(client, 0, &stream), S_OK);
  ASSERT_EQ(stream.client->Start(), S_OK);
  // A process loopback that follows no stream yet has only its own watch to notice.
  auto handler = Activation::Run(system, static_cast<uint32_t>(getpid()));
  ASSERT_TRUE(handler->client);
  ASSERT_EQ(OpenStream(handler->client, AUDCLNT_STREAMFLAGS_LOOPBACK, &loopback), S_OK);
  ASSERT_EQ(loopback.client->Start(), S_OK);
  server.reset();

  EXPECT_EQ(DrainUntilFailure(stream), AUDCLNT_E_DEVICE_INVALIDATED);
  EXPECT_EQ(DrainUntilFailure(loopback), AUDCLNT_E_DEVICE_INVALIDATED);
  EXPECT_EQ(enumerator->GetDefaultAudioEndpoint(eCapture, eCommunications, &mic), AUDCLNT_E_SERVICE_NOT_RUNNING);
  EXPECT_EQ(debug.CountPrefix("[PulseAudio] Cannot connect to the sound server: "), 1);
  EXPECT_EQ(stream.client->Stop(), AUDCLNT_E_DEVICE_INVALIDATED);
}

}  // namespace
}  // namespace kalto::test
