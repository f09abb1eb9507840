// The PulseAudio backend against a private daemon: endpoints, formats and streams, process
// loopback of one process tree, voice-processing requests, the order of client calls, and a
// server that is missing or goes away.
#include "platform/audio/pulse/pulse_audio_system.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/audio/pulse/process_loopback_client.h"
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

TEST_F(PulseAudioSystemTest, StreamsDeliverTheirTonesAtTheirOwnRateLevelAndPitch) {
  struct Case {
    const char* endpoint;
    uint32_t flags;
    const char* feed;  // what the tone is played into
    int rate, channels;
    double hz, amplitude, wrongHz;  // wrongHz: where a misread rate or a leak would show
  };
  const Case cases[] = {{"kalto_speakers", AUDCLNT_STREAMFLAGS_LOOPBACK, "", 48000, 2, 1000, 0.5, 1500},
                        {"kalto_mic", 0, "kalto_mic_feed", 48000, 1, 500, 0.25, 1000},
                        {"kalto_mic44", 0, "kalto_feed44", 44100, 1, 440, 0.5, 480}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.endpoint);
    std::shared_ptr<Device> device;
    ASSERT_EQ(enumerator->GetDevice(Utf8ToWide(c.endpoint), &device), S_OK);
    OpenedStream stream;
    ASSERT_EQ(OpenStream(Activate(device), c.flags, &stream), S_OK);
    EXPECT_EQ(stream.format.nSamplesPerSec, static_cast<uint32_t>(c.rate));
    ASSERT_EQ(stream.client->Start(), S_OK);
    int64_t latency = -1;
    EXPECT_EQ(stream.client->GetStreamLatency(&latency), S_OK);
    EXPECT_GE(latency, 0);
    EXPECT_LT(latency, 10'000'000);
    auto player = Play(*server, c.hz, c.amplitude, c.channels, c.feed, c.rate);
    // Half a second after a tenth to settle: whole cycles of both tones.
    auto drained = Drain(stream, c.rate / 2, c.rate / 10);
    EXPECT_EQ(stream.client->Stop(), S_OK);
    EXPECT_EQ(stream.client->Stop(), S_FALSE);
    ASSERT_TRUE(drained.complete) << std::hex << drained.failure;
    EXPECT_EQ(drained.discontinuities, 0);
    EXPECT_GT(drained.eventWakes, 0) << "packets are announced through the event";
    EXPECT_NEAR(ToneAmplitude(drained.samples, c.hz, c.rate), c.amplitude, 0.03);
    EXPECT_NEAR(Rms(drained.samples), c.amplitude / std::sqrt(2.0), 0.02);
    EXPECT_LT(ToneAmplitude(drained.samples, c.wrongHz, c.rate), 0.005);
  }
}

// Completion handler that records where it ran and wakes the test.
class RecordingHandler final : public ActivateAudioInterfaceCompletionHandler {
 public:
  HRESULT ActivateCompleted(ActivateAudioInterfaceAsyncOperation& operation) override {
    result = operation.GetActivateResult(&activateResult, &client);
    thread = std::this_thread::get_id();
    done.Set();
    return S_OK;
  }
  Event done{true, false};
  HRESULT result = E_FAIL, activateResult = E_FAIL;
  std::shared_ptr<AudioClient> client;
  std::thread::id thread;
};

struct Activation {
  AUDIOCLIENT_ACTIVATION_PARAMS params;
  PropVariantBlob blob;
  Activation(uint32_t pid, PROCESS_LOOPBACK_MODE mode = PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE) {
    params.ActivationType = AUDIOCLIENT_ACTIVATION_TYPE_PROCESS_LOOPBACK;
    params.ProcessLoopbackParams.TargetProcessId = pid;
    params.ProcessLoopbackParams.ProcessLoopbackMode = mode;
    blob.vt = VT_BLOB;
    blob.blob.cbSize = sizeof(params);
    blob.blob.pBlobData = reinterpret_cast<const uint8_t*>(&params);
  }
  // Activates and waits for the completion; the client, or null.
  std::shared_ptr<RecordingHandler> Run(AudioSystem& system) {
    auto handler = std::make_shared<RecordingHandler>();
    std::shared_ptr<ActivateAudioInterfaceAsyncOperation> operation;
    EXPECT_EQ(system.ActivateAudioInterfaceAsync(VIRTUAL_AUDIO_DEVICE_PROCESS_LOOPBACK, &blob, handler, &operation),
              S_OK);
    EXPECT_EQ(WaitForEvent(handler->done, 10'000), WAIT_OBJECT_0);
    return handler;
  }
};

TEST_F(PulseAudioSystemTest, ProcessLoopbackHearsTheTreeIncludingStreamsOpenedLaterAndFollowsThemAcrossSinks) {
  auto other = Play(*server, 1100, 0.4, 2);
  // The target's player is a grandchild-to-be: sh starts pacat only once told to, after Start.
  const std::string go = server->Dir() + "/go";
  auto target = server->Spawn(
      {"sh", "-c", "while [ ! -e " + go + " ]; do sleep 0.02; done; " + PlayLine(*server, 700, 0.4, 2) + "; :"});
  Activation activation(static_cast<uint32_t>(target.pid()));
  auto handler = activation.Run(*system);
  EXPECT_NE(handler->thread, std::this_thread::get_id()) << "completion comes on a platform thread";
  ASSERT_EQ(handler->result, S_OK);
  ASSERT_EQ(handler->activateResult, S_OK);
  OpenedStream stream;
  ASSERT_EQ(OpenStream(handler->client, AUDCLNT_STREAMFLAGS_LOOPBACK, &stream), S_OK);
  EXPECT_EQ(stream.format.nChannels, 2);
  EXPECT_EQ(stream.format.wBitsPerSample, 32);
  auto* loopback = dynamic_cast<pulse::ProcessLoopbackClient*>(stream.client.get());
  ASSERT_NE(loopback, nullptr);
  EXPECT_EQ(loopback->FollowedStreamCount(), 0u) << "the other player is not in the tree";
  ASSERT_EQ(stream.client->Start(), S_OK);
  std::ofstream(go).put('\n');
  auto drained = Drain(stream, 24000, 4800);
  ASSERT_TRUE(drained.complete) << std::hex << drained.failure;
  EXPECT_EQ(loopback->FollowedStreamCount(), 1u);
  EXPECT_EQ(drained.discontinuities, 0);
  EXPECT_NEAR(ToneAmplitude(drained.samples, 700), 0.4, 0.03);
  EXPECT_LT(ToneAmplitude(drained.samples, 1100), 0.004) << "the other player leaks in";

  // Both players moved to another sink: still the target's alone.
  std::istringstream inputs(server->Output({"pactl", "list", "short", "sink-inputs"}));
  for (std::string line; std::getline(inputs, line);) {
    ASSERT_EQ(server->Run({"pactl", "move-sink-input", line.substr(0, line.find('\t')), "kalto_mic_feed"}), 0);
  }
  Drain(stream, 9600, 0);  // what was queued before the move is read first
  auto after = Drain(stream, 24000, 4800);
  stream.client->Stop();
  ASSERT_TRUE(after.complete) << std::hex << after.failure;
  EXPECT_NEAR(ToneAmplitude(after.samples, 700), 0.4, 0.05);
  EXPECT_LT(ToneAmplitude(after.samples, 1100), 0.004);
}

TEST_F(PulseAudioSystemTest, ExcludeModeHearsEverythingButTheTree) {
  auto outside = Play(*server, 900, 0.3, 2);
  auto inside = Play(*server, 600, 0.3, 2);
  auto handler = Activation(static_cast<uint32_t>(inside.pid()), PROCESS_LOOPBACK_MODE_EXCLUDE_TARGET_PROCESS_TREE)
                     .Run(*system);
  ASSERT_TRUE(handler->client);
  OpenedStream stream;
  ASSERT_EQ(OpenStream(handler->client, AUDCLNT_STREAMFLAGS_LOOPBACK, &stream), S_OK);
  ASSERT_EQ(stream.client->Start(), S_OK);
  auto drained = Drain(stream, 24000, 4800);
  stream.client->Stop();
  ASSERT_TRUE(drained.complete) << std::hex << drained.failure;
  EXPECT_NEAR(ToneAmplitude(drained.samples, 900), 0.3, 0.03);
  EXPECT_LT(ToneAmplitude(drained.samples, 600), 0.003);
}

TEST_F(PulseAudioSystemTest, MalformedActivationsAreRefusedAtOnce) {
  struct Case {
    const char* name;
    const wchar_t* path;
    bool handler;
    uint32_t blobSize;
    uint16_t vt;
    AUDIOCLIENT_ACTIVATION_TYPE type;
    HRESULT expected;
  };
  const Case cases[] = {
      {"another path", L"VAD\\Other", true, 12, VT_BLOB, AUDIOCLIENT_ACTIVATION_TYPE_PROCESS_LOOPBACK, E_NOTIMPL},
      {"no handler", nullptr, false, 12, VT_BLOB, AUDIOCLIENT_ACTIVATION_TYPE_PROCESS_LOOPBACK, E_POINTER},
      {"short blob", nullptr, true, 8, VT_BLOB, AUDIOCLIENT_ACTIVATION_TYPE_PROCESS_LOOPBACK, E_INVALIDARG},
      {"not a blob", nullptr, true, 12, 0, AUDIOCLIENT_ACTIVATION_TYPE_PROCESS_LOOPBACK, E_INVALIDARG},
      {"default activation", nullptr, true, 12, VT_BLOB, AUDIOCLIENT_ACTIVATION_TYPE_DEFAULT, E_INVALIDARG}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Activation activation(1);
    activation.blob.blob.cbSize = c.blobSize;
    activation.blob.vt = c.vt;
    activation.params.ActivationType = c.type;
    auto handler = std::make_shared<RecordingHandler>();
    std::shared_ptr<ActivateAudioInterfaceAsyncOperation> operation;
    EXPECT_EQ(system->ActivateAudioInterfaceAsync(c.path ? c.path : VIRTUAL_AUDIO_DEVICE_PROCESS_LOOPBACK,
                                                  &activation.blob, c.handler ? handler : nullptr, &operation),
              c.expected);
    EXPECT_EQ(operation, nullptr);
    EXPECT_FALSE(handler->done.IsSignalled());
  }
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

TEST_F(PulseAudioSystemTest, ClientCallsOutOfOrderFailWithThePlatformsCodes) {
  auto client = Activate(Endpoint(eCapture, eCommunications));
  std::unique_ptr<WaveFormat> format;
  ASSERT_EQ(client->GetMixFormat(&format), S_OK);
  std::shared_ptr<AudioCaptureClient> capture;
  int64_t latency = 0;
  auto event = std::make_shared<Event>(false, false);
  EXPECT_EQ(client->Start(), AUDCLNT_E_NOT_INITIALIZED);
  EXPECT_EQ(client->GetCaptureClient(&capture), AUDCLNT_E_NOT_INITIALIZED);
  EXPECT_EQ(client->GetStreamLatency(&latency), AUDCLNT_E_NOT_INITIALIZED);
  EXPECT_EQ(client->SetEventHandle(event), AUDCLNT_E_NOT_INITIALIZED);
  EXPECT_EQ(client->Initialize(AUDCLNT_SHAREMODE_SHARED, AUDCLNT_STREAMFLAGS_LOOPBACK, 1'000'000, 0, format.get()),
            AUDCLNT_E_WRONG_ENDPOINT_TYPE);
  EXPECT_EQ(client->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE, 0, 1'000'000, 0, format.get()),
            AUDCLNT_E_EXCLUSIVE_MODE_NOT_ALLOWED);
  WaveFormat other = *format;
  other.nSamplesPerSec = 22050;
  EXPECT_EQ(client->Initialize(AUDCLNT_SHAREMODE_SHARED, 0, 1'000'000, 0, &other), AUDCLNT_E_UNSUPPORTED_FORMAT);
  const uint32_t eventFlag = AUDCLNT_STREAMFLAGS_EVENTCALLBACK;
  ASSERT_EQ(client->Initialize(AUDCLNT_SHAREMODE_SHARED, eventFlag, 1'000'000, 0, format.get()), S_OK);
  EXPECT_EQ(client->Initialize(AUDCLNT_SHAREMODE_SHARED, eventFlag, 1'000'000, 0, format.get()),
            AUDCLNT_E_ALREADY_INITIALIZED);
  EXPECT_EQ(client->Start(), AUDCLNT_E_EVENTHANDLE_NOT_SET);
  ASSERT_EQ(client->SetEventHandle(event), S_OK);
  EXPECT_EQ(client->Stop(), S_FALSE);
  ASSERT_EQ(client->Start(), S_OK);
  EXPECT_EQ(client->Start(), AUDCLNT_E_NOT_STOPPED);
  EXPECT_EQ(client->Stop(), S_OK);

  // Render endpoints are for listening only; a non-event stream takes no event.
  auto render = Activate(Endpoint(eRender));
  ASSERT_EQ(render->GetMixFormat(&format), S_OK);
  EXPECT_EQ(render->Initialize(AUDCLNT_SHAREMODE_SHARED, 0, 1'000'000, 0, format.get()), E_NOTIMPL);
  ASSERT_EQ(render->Initialize(AUDCLNT_SHAREMODE_SHARED, AUDCLNT_STREAMFLAGS_LOOPBACK, 1'000'000, 0, format.get()),
            S_OK);
  EXPECT_EQ(render->SetEventHandle(event), AUDCLNT_E_EVENTHANDLE_NOT_EXPECTED);
  EXPECT_EQ(render->Start(), S_OK);
}

TEST(PulseServerLossTest, AMissingServerIsReportedOnceAndFailsEveryCall) {
  DebugCapture debug;
  pulse::PulseAudioSystem system("unix:/nonexistent/kalto/native");
  std::shared_ptr<DeviceEnumerator> enumerator;
  ASSERT_EQ(system.CreateDeviceEnumerator(&enumerator), S_OK);
  std::shared_ptr<Device> device;
  EXPECT_EQ(enumerator->GetDefaultAudioEndpoint(eRender, eConsole, &device), AUDCLNT_E_SERVICE_NOT_RUNNING);
  EXPECT_EQ(enumerator->GetDevice(L"kalto_mic", &device), AUDCLNT_E_SERVICE_NOT_RUNNING);
  EXPECT_EQ(debug.CountPrefix("[PulseAudio] Cannot connect to the sound server: "), 1);
  auto handler = Activation(1).Run(system);
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
  auto handler = Activation(static_cast<uint32_t>(getpid())).Run(system);
  ASSERT_TRUE(handler->client);
  ASSERT_EQ(OpenStream(handler->client, AUDCLNT_STREAMFLAGS_LOOPBACK, &loopback), S_OK);
  ASSERT_EQ(loopback.client->Start(), S_OK);
  server.reset();

  EXPECT_EQ(Drain(stream, 1, 0, 2.0f, 10s).failure, AUDCLNT_E_DEVICE_INVALIDATED);
  EXPECT_EQ(Drain(loopback, 1, 0, 2.0f, 10s).failure, AUDCLNT_E_DEVICE_INVALIDATED);
  EXPECT_EQ(enumerator->GetDefaultAudioEndpoint(eCapture, eCommunications, &mic), AUDCLNT_E_SERVICE_NOT_RUNNING);
  EXPECT_EQ(debug.CountPrefix("[PulseAudio] Cannot connect to the sound server: "), 1);
  EXPECT_EQ(stream.client->Stop(), AUDCLNT_E_DEVICE_INVALIDATED);
}

}  // namespace
}  // namespace kalto::test
