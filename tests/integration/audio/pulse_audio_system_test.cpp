// The PulseAudio backend against a private daemon: endpoints and defaults, formats, loopback of
// the default sink, process loopback of one process tree, the microphone, voice-processing
// requests, the order of client calls, and a server that is missing or goes away.
#include "platform/audio/pulse/pulse_audio_system.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <thread>

#include <unistd.h>

#include "capture_analysis.h"
#include "platform/audio/pulse/process_loopback_client.h"
#include "support/debug_capture.h"
#include "support/require.h"
#include "support/pulse_server.h"

namespace kalto::platform::audio::pulse {
namespace {

using namespace std::chrono_literals;
using probe::Drain;
using probe::OpenedStream;
using probe::OpenStream;
using probe::Rms;
using probe::ToneAmplitude;

constexpr uint32_t kLoopbackFlags = AUDCLNT_STREAMFLAGS_LOOPBACK;

class PulseAudioSystemTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!kalto::test::PulseServer::Available()) return;
    s_server = std::make_unique<kalto::test::PulseServer>();
  }
  static void TearDownTestSuite() { s_server.reset(); }

  void SetUp() override {
    KALTO_REQUIRE(s_server != nullptr, "pulseaudio and pacat are not installed");
    ASSERT_TRUE(s_server->Running()) << s_server->Error();
    m_system = std::make_unique<PulseAudioSystem>(s_server->Address());
    ASSERT_EQ(m_system->CreateDeviceEnumerator(&m_enumerator), S_OK);
  }

  static kalto::test::PulseServer& Server() { return *s_server; }

  std::shared_ptr<AudioClient> Activate(const std::shared_ptr<Device>& device) {
    std::shared_ptr<AudioClient> client;
    EXPECT_EQ(device->Activate(&client), S_OK);
    return client;
  }

  // A raw 16-bit tone file for pacat.
  std::string ToneFile(const std::string& name, double hz, double amplitude, int channels, double seconds) {
    std::string path = Server().Dir() + "/" + name;
    kalto::test::WriteFile(path, kalto::test::SineS16(hz, amplitude, 48000, channels, seconds));
    return path;
  }
  static std::vector<std::string> Pacat(const std::string& file, int channels, const std::string& sink = {}) {
    std::vector<std::string> argv = {"pacat",
                                     "--raw",
                                     "--format=s16le",
                                     "--rate=48000",
                                     "--channels=" + std::to_string(channels),
                                     "--latency-msec=100"};
    if (!sink.empty()) argv.push_back("--device=" + sink);
    argv.push_back(file);
    return argv;
  }

  std::unique_ptr<PulseAudioSystem> m_system;
  std::shared_ptr<DeviceEnumerator> m_enumerator;

 private:
  static std::unique_ptr<kalto::test::PulseServer> s_server;
};

std::unique_ptr<kalto::test::PulseServer> PulseAudioSystemTest::s_server;

std::string Id(Device& device) {
  std::wstring id;
  EXPECT_EQ(device.GetId(&id), S_OK);
  return WideToUtf8(id);
}

TEST_F(PulseAudioSystemTest, DefaultsAndEnumerationNameTheServersSinksAndSources) {
  std::shared_ptr<Device> render, communications, multimedia, console;
  ASSERT_EQ(m_enumerator->GetDefaultAudioEndpoint(eRender, eConsole, &render), S_OK);
  EXPECT_EQ(Id(*render), "kalto_speakers");
  EXPECT_EQ(render->GetDataFlow(), eRender);
  std::wstring name;
  EXPECT_EQ(render->GetFriendlyName(&name), S_OK);
  EXPECT_EQ(name, L"Speakers");
  // The server has one default source: every role leads to it.
  ASSERT_EQ(m_enumerator->GetDefaultAudioEndpoint(eCapture, eCommunications, &communications), S_OK);
  ASSERT_EQ(m_enumerator->GetDefaultAudioEndpoint(eCapture, eMultimedia, &multimedia), S_OK);
  ASSERT_EQ(m_enumerator->GetDefaultAudioEndpoint(eCapture, eConsole, &console), S_OK);
  EXPECT_EQ(Id(*communications), "kalto_mic");
  EXPECT_EQ(Id(*multimedia), "kalto_mic");
  EXPECT_EQ(communications->GetDataFlow(), eCapture);

  std::shared_ptr<Device> device;
  ASSERT_EQ(m_enumerator->GetDevice(L"kalto_mic", &device), S_OK);
  EXPECT_EQ(device->GetDataFlow(), eCapture);
  ASSERT_EQ(m_enumerator->GetDevice(L"kalto_mic_feed", &device), S_OK);
  EXPECT_EQ(device->GetDataFlow(), eRender);
  EXPECT_EQ(m_enumerator->GetDevice(L"no_such_source", &device), E_NOTFOUND);
  EXPECT_EQ(device, nullptr);
  EXPECT_EQ(m_enumerator->GetDevice(L"", &device), E_NOTFOUND);
  EXPECT_EQ(m_enumerator->GetDefaultAudioEndpoint(eAll, eConsole, &device), E_INVALIDARG);

  std::vector<std::shared_ptr<Device>> devices;
  ASSERT_EQ(m_enumerator->EnumAudioEndpoints(eCapture, &devices), S_OK);
  std::vector<std::string> ids;
  for (auto& d : devices) ids.push_back(Id(*d));
  EXPECT_NE(std::find(ids.begin(), ids.end(), "kalto_mic"), ids.end());
  EXPECT_EQ(std::find(ids.begin(), ids.end(), "kalto_speakers.monitor"), ids.end()) << "monitors are not microphones";
  ASSERT_EQ(m_enumerator->EnumAudioEndpoints(eRender, &devices), S_OK);
  ids.clear();
  for (auto& d : devices) ids.push_back(Id(*d));
  EXPECT_EQ(ids, (std::vector<std::string>{"kalto_speakers", "kalto_mic_feed"}));
  ASSERT_EQ(m_enumerator->EnumAudioEndpoints(eAll, &devices), S_OK);
  EXPECT_EQ(devices.size(), 3u);
}

TEST_F(PulseAudioSystemTest, MixFormatsAreTheEndpointsOwnSampleSpecs) {
  std::shared_ptr<Device> render, mic;
  ASSERT_EQ(m_enumerator->GetDefaultAudioEndpoint(eRender, eConsole, &render), S_OK);
  ASSERT_EQ(m_enumerator->GetDefaultAudioEndpoint(eCapture, eCommunications, &mic), S_OK);
  std::unique_ptr<WaveFormat> format;
  ASSERT_EQ(Activate(render)->GetMixFormat(&format), S_OK);
  ASSERT_TRUE(format);
  EXPECT_EQ(format->wFormatTag, WAVE_FORMAT_EXTENSIBLE);
  EXPECT_EQ(format->nSamplesPerSec, 48000u);
  EXPECT_EQ(format->nChannels, 2);
  EXPECT_EQ(format->wBitsPerSample, 32);
  EXPECT_EQ(format->nBlockAlign, 8);
  EXPECT_EQ(format->SubFormat, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT);
  EXPECT_EQ(format->dwChannelMask, KSAUDIO_SPEAKER_STEREO);
  ASSERT_EQ(Activate(mic)->GetMixFormat(&format), S_OK);
  EXPECT_EQ(format->nSamplesPerSec, 48000u);
  EXPECT_EQ(format->nChannels, 1);
  EXPECT_EQ(format->wBitsPerSample, 16);
  EXPECT_EQ(format->SubFormat, KSDATAFORMAT_SUBTYPE_PCM);
}

TEST_F(PulseAudioSystemTest, A44kHzMicrophoneReportsAndDeliversItsRealFormat) {
  // A second virtual microphone at 44.1 kHz, fed like the first.
  std::string sinkModule = Server().Output({"pactl", "load-module", "module-null-sink", "sink_name=kalto_feed44",
                                            "format=s16le", "rate=44100", "channels=1", "norewinds=1"});
  std::string sourceModule = Server().Output(
      {"pactl", "load-module", "module-remap-source", "master=kalto_feed44.monitor", "source_name=kalto_mic44"});
  ASSERT_FALSE(sinkModule.empty());
  ASSERT_FALSE(sourceModule.empty());
  std::shared_ptr<Device> mic;
  ASSERT_EQ(m_enumerator->GetDevice(L"kalto_mic44", &mic), S_OK);
  OpenedStream stream;
  ASSERT_EQ(OpenStream(Activate(mic), 0, &stream), S_OK);
  EXPECT_EQ(stream.format.nSamplesPerSec, 44100u);
  EXPECT_EQ(stream.format.nChannels, 1);
  EXPECT_EQ(stream.format.wBitsPerSample, 16);
  EXPECT_FALSE(probe::IsFloat(stream.format));
  ASSERT_EQ(stream.client->Start(), S_OK);
  std::string tone = Server().Dir() + "/tone440.raw";
  kalto::test::WriteFile(tone, kalto::test::SineS16(440, 0.5, 44100, 1, 6));
  auto player = Server().Spawn({"pacat", "--raw", "--format=s16le", "--rate=44100", "--channels=1",
                                "--latency-msec=100", "--device=kalto_feed44", tone});
  auto drained = Drain(stream, 22050, 4410, 0.05f);
  stream.client->Stop();
  ASSERT_TRUE(drained.complete) << std::hex << drained.failure;
  EXPECT_EQ(drained.discontinuities, 0);
  // Half a second holds whole cycles of both tones at 44.1 kHz; read at another rate it would not.
  EXPECT_NEAR(ToneAmplitude(drained.samples, 440, 44100), 0.5, 0.03);
  EXPECT_LT(ToneAmplitude(drained.samples, 480, 44100), 0.005);
  player.Stop();
  stream = {};
  mic.reset();
  Server().Run({"pactl", "unload-module", sourceModule.substr(0, sourceModule.find_first_of("\r\n"))});
  Server().Run({"pactl", "unload-module", sinkModule.substr(0, sinkModule.find_first_of("\r\n"))});
}

TEST_F(PulseAudioSystemTest, LoopbackCapturesAToneOfTheDefaultSinkAtItsLevelAndPitch) {
  std::shared_ptr<Device> render;
  ASSERT_EQ(m_enumerator->GetDefaultAudioEndpoint(eRender, eConsole, &render), S_OK);
  OpenedStream stream;
  ASSERT_EQ(OpenStream(Activate(render), kLoopbackFlags, &stream), S_OK);
  ASSERT_EQ(stream.client->Start(), S_OK);
  int64_t latency = -1;
  EXPECT_EQ(stream.client->GetStreamLatency(&latency), S_OK);
  EXPECT_GE(latency, 0);
  EXPECT_LT(latency, 10'000'000);

  auto player = Server().Spawn(Pacat(ToneFile("tone1k.raw", 1000, 0.5, 2, 6), 2));
  auto drained = Drain(stream, 24000, 4800, 0.05f);
  EXPECT_EQ(stream.client->Stop(), S_OK);
  EXPECT_EQ(stream.client->Stop(), S_FALSE);
  ASSERT_TRUE(drained.complete) << std::hex << drained.failure;
  EXPECT_EQ(drained.discontinuities, 0);
  EXPECT_NEAR(ToneAmplitude(drained.samples, 1000, 48000), 0.5, 0.03);
  EXPECT_NEAR(Rms(drained.samples), 0.5 / std::sqrt(2.0), 0.02);
  EXPECT_LT(ToneAmplitude(drained.samples, 1500, 48000), 0.005);
  EXPECT_GT(drained.eventWakes, 0) << "packets are announced through the event";
}

TEST_F(PulseAudioSystemTest, MicrophoneCapturesTheDefaultSourceAsSixteenBitMono) {
  std::shared_ptr<Device> mic;
  ASSERT_EQ(m_enumerator->GetDefaultAudioEndpoint(eCapture, eCommunications, &mic), S_OK);
  OpenedStream stream;
  ASSERT_EQ(OpenStream(Activate(mic), 0, &stream), S_OK);
  ASSERT_EQ(stream.client->Start(), S_OK);
  auto player = Server().Spawn(Pacat(ToneFile("tone500.raw", 500, 0.25, 1, 6), 1, "kalto_mic_feed"));
  auto drained = Drain(stream, 24000, 4800, 0.05f);
  stream.client->Stop();
  ASSERT_TRUE(drained.complete) << std::hex << drained.failure;
  EXPECT_EQ(drained.discontinuities, 0);
  EXPECT_NEAR(ToneAmplitude(drained.samples, 500, 48000), 0.25, 0.02);
  EXPECT_LT(ToneAmplitude(drained.samples, 1000, 48000), 0.005);
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
  HRESULT result = E_FAIL;
  HRESULT activateResult = E_FAIL;
  std::shared_ptr<AudioClient> client;
  std::thread::id thread;
};

HRESULT ActivateProcessLoopback(AudioSystem& system, uint32_t pid, const std::shared_ptr<RecordingHandler>& handler,
                                PROCESS_LOOPBACK_MODE mode = PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE) {
  AUDIOCLIENT_ACTIVATION_PARAMS params;
  params.ActivationType = AUDIOCLIENT_ACTIVATION_TYPE_PROCESS_LOOPBACK;
  params.ProcessLoopbackParams.TargetProcessId = pid;
  params.ProcessLoopbackParams.ProcessLoopbackMode = mode;
  PropVariantBlob blob;
  blob.vt = VT_BLOB;
  blob.blob.cbSize = sizeof(params);
  blob.blob.pBlobData = reinterpret_cast<const uint8_t*>(&params);
  std::shared_ptr<ActivateAudioInterfaceAsyncOperation> operation;
  return system.ActivateAudioInterfaceAsync(VIRTUAL_AUDIO_DEVICE_PROCESS_LOOPBACK, &blob, handler, &operation);
}

TEST_F(PulseAudioSystemTest, ProcessLoopbackHearsOnlyTheTargetTreeIncludingStreamsOpenedAfterStart) {
  std::string dir = Server().Dir();
  auto other = Server().Spawn(Pacat(ToneFile("tone1100.raw", 1100, 0.4, 2, 8), 2));
  // The target's player is a grandchild-to-be: sh starts pacat only once told to, after Start.
  std::string go = dir + "/go";
  std::string script = "while [ ! -e " + go + " ]; do sleep 0.02; done; " +
                       "pacat --raw --format=s16le --rate=48000 --channels=2 --latency-msec=100 " +
                       ToneFile("tone700.raw", 700, 0.4, 2, 8) + "; :";
  auto target = Server().Spawn({"sh", "-c", script});
  ASSERT_TRUE(target.Started());

  auto handler = std::make_shared<RecordingHandler>();
  ASSERT_EQ(ActivateProcessLoopback(*m_system, static_cast<uint32_t>(target.pid()), handler), S_OK);
  ASSERT_EQ(WaitForEvent(handler->done, 10'000), WAIT_OBJECT_0);
  EXPECT_NE(handler->thread, std::this_thread::get_id()) << "completion comes on a platform thread";
  ASSERT_EQ(handler->result, S_OK);
  ASSERT_EQ(handler->activateResult, S_OK);
  ASSERT_TRUE(handler->client);

  OpenedStream stream;
  ASSERT_EQ(OpenStream(handler->client, kLoopbackFlags, &stream), S_OK);
  EXPECT_EQ(stream.format.nSamplesPerSec, 48000u);
  EXPECT_EQ(stream.format.nChannels, 2);
  EXPECT_TRUE(probe::IsFloat(stream.format));
  auto* loopback = dynamic_cast<ProcessLoopbackClient*>(stream.client.get());
  ASSERT_NE(loopback, nullptr);
  EXPECT_EQ(loopback->FollowedStreamCount(), 0u) << "the other player is not in the tree";
  ASSERT_EQ(stream.client->Start(), S_OK);
  std::ofstream(go).put('\n');

  auto drained = Drain(stream, 24000, 4800, 0.05f);
  EXPECT_EQ(loopback->FollowedStreamCount(), 1u);
  stream.client->Stop();
  ASSERT_TRUE(drained.complete) << std::hex << drained.failure;
  EXPECT_EQ(drained.discontinuities, 0);
  EXPECT_NEAR(ToneAmplitude(drained.samples, 700, 48000), 0.4, 0.03);
  EXPECT_LT(ToneAmplitude(drained.samples, 1100, 48000), 0.004) << "the other player leaks in";
}

TEST_F(PulseAudioSystemTest, ProcessLoopbackFollowsAStreamMovedToAnotherSink) {
  auto target = Server().Spawn(Pacat(ToneFile("tone800.raw", 800, 0.4, 2, 8), 2));
  auto handler = std::make_shared<RecordingHandler>();
  ASSERT_EQ(ActivateProcessLoopback(*m_system, static_cast<uint32_t>(target.pid()), handler), S_OK);
  ASSERT_EQ(WaitForEvent(handler->done, 10'000), WAIT_OBJECT_0);
  ASSERT_TRUE(handler->client);
  OpenedStream stream;
  ASSERT_EQ(OpenStream(handler->client, kLoopbackFlags, &stream), S_OK);
  ASSERT_EQ(stream.client->Start(), S_OK);
  auto before = Drain(stream, 4800, 0, 0.05f);
  ASSERT_TRUE(before.complete) << std::hex << before.failure;

  std::string inputs = Server().Output({"pactl", "list", "short", "sink-inputs"});
  ASSERT_FALSE(inputs.empty());
  std::string index = inputs.substr(0, inputs.find_first_of(" \t"));
  ASSERT_EQ(Server().Run({"pactl", "move-sink-input", index, "kalto_mic_feed"}), 0);
  // Whatever was queued before the move is read first; the tone must come back after it.
  Drain(stream, 9600, 0, 0.05f);
  auto after = Drain(stream, 24000, 4800, 0.05f);
  stream.client->Stop();
  ASSERT_TRUE(after.complete) << std::hex << after.failure;
  EXPECT_NEAR(ToneAmplitude(after.samples, 800, 48000), 0.4, 0.05);
}

TEST_F(PulseAudioSystemTest, ExcludeModeHearsEverythingButTheTree) {
  auto outside = Server().Spawn(Pacat(ToneFile("tone900.raw", 900, 0.3, 2, 8), 2));
  auto inside = Server().Spawn({"sh", "-c",
                                "pacat --raw --format=s16le --rate=48000 --channels=2 --latency-msec=100 " +
                                    ToneFile("tone600.raw", 600, 0.3, 2, 8) + "; :"});
  auto handler = std::make_shared<RecordingHandler>();
  ASSERT_EQ(ActivateProcessLoopback(*m_system, static_cast<uint32_t>(inside.pid()), handler,
                                    PROCESS_LOOPBACK_MODE_EXCLUDE_TARGET_PROCESS_TREE),
            S_OK);
  ASSERT_EQ(WaitForEvent(handler->done, 10'000), WAIT_OBJECT_0);
  ASSERT_TRUE(handler->client);
  OpenedStream stream;
  ASSERT_EQ(OpenStream(handler->client, kLoopbackFlags, &stream), S_OK);
  ASSERT_EQ(stream.client->Start(), S_OK);
  auto drained = Drain(stream, 24000, 4800, 0.05f);
  stream.client->Stop();
  ASSERT_TRUE(drained.complete) << std::hex << drained.failure;
  EXPECT_EQ(drained.discontinuities, 0);
  EXPECT_NEAR(ToneAmplitude(drained.samples, 900, 48000), 0.3, 0.03);
  EXPECT_LT(ToneAmplitude(drained.samples, 600, 48000), 0.003);
}

TEST_F(PulseAudioSystemTest, MalformedActivationsAreRefusedAtOnce) {
  auto handler = std::make_shared<RecordingHandler>();
  std::shared_ptr<ActivateAudioInterfaceAsyncOperation> operation;
  AUDIOCLIENT_ACTIVATION_PARAMS params;
  params.ActivationType = AUDIOCLIENT_ACTIVATION_TYPE_PROCESS_LOOPBACK;
  params.ProcessLoopbackParams.TargetProcessId = 1;
  PropVariantBlob blob;
  blob.vt = VT_BLOB;
  blob.blob.cbSize = sizeof(params);
  blob.blob.pBlobData = reinterpret_cast<const uint8_t*>(&params);
  EXPECT_EQ(m_system->ActivateAudioInterfaceAsync(L"VAD\\Other", &blob, handler, &operation), E_NOTIMPL);
  EXPECT_EQ(m_system->ActivateAudioInterfaceAsync(VIRTUAL_AUDIO_DEVICE_PROCESS_LOOPBACK, &blob, nullptr, &operation),
            E_POINTER);
  PropVariantBlob shortBlob = blob;
  shortBlob.blob.cbSize = 8;
  EXPECT_EQ(
      m_system->ActivateAudioInterfaceAsync(VIRTUAL_AUDIO_DEVICE_PROCESS_LOOPBACK, &shortBlob, handler, &operation),
      E_INVALIDARG);
  PropVariantBlob notABlob = blob;
  notABlob.vt = 0;
  EXPECT_EQ(
      m_system->ActivateAudioInterfaceAsync(VIRTUAL_AUDIO_DEVICE_PROCESS_LOOPBACK, &notABlob, handler, &operation),
      E_INVALIDARG);
  params.ActivationType = AUDIOCLIENT_ACTIVATION_TYPE_DEFAULT;
  EXPECT_EQ(m_system->ActivateAudioInterfaceAsync(VIRTUAL_AUDIO_DEVICE_PROCESS_LOOPBACK, &blob, handler, &operation),
            E_INVALIDARG);
  EXPECT_EQ(operation, nullptr);
  EXPECT_FALSE(handler->done.IsSignalled());
  EXPECT_TRUE(m_system->IsBuildAtLeast(20348));
}

TEST_F(PulseAudioSystemTest, VoiceProcessingIsUnsupportedWithoutAnEchoCancellerAndRequestedWithOne) {
  std::shared_ptr<Device> mic;
  ASSERT_EQ(m_enumerator->GetDefaultAudioEndpoint(eCapture, eCommunications, &mic), S_OK);
  auto client = Activate(mic);
  AudioClient2* client2 = client->QueryAudioClient2();
  ASSERT_NE(client2, nullptr);
  AudioClientProperties voice;
  voice.eCategory = AudioCategory_Communications;
  EXPECT_EQ(client2->SetClientProperties(voice), HRESULT_ERROR_NOT_SUPPORTED);
  AudioClientProperties raw;
  raw.Options = AUDCLNT_STREAMOPTIONS_RAW;
  EXPECT_EQ(client2->SetClientProperties(raw), S_OK);
  AudioClientProperties offload;
  offload.bIsOffload = true;
  EXPECT_EQ(client2->SetClientProperties(offload), E_INVALIDARG);
  OpenedStream stream;
  ASSERT_EQ(OpenStream(client, 0, &stream), S_OK) << "an unsupported request leaves the client usable";
  EXPECT_EQ(client2->SetClientProperties(raw), AUDCLNT_E_ALREADY_INITIALIZED);

  std::string module = Server().Output({"pactl", "load-module", "module-filter-apply"});
  ASSERT_FALSE(module.empty());
  auto echoClient = Activate(mic);
  EXPECT_EQ(echoClient->QueryAudioClient2()->SetClientProperties(voice), S_OK);
  OpenedStream echoStream;
  ASSERT_EQ(OpenStream(echoClient, 0, &echoStream), S_OK);
  std::string outputs = Server().Output({"pactl", "list", "source-outputs"});
  EXPECT_NE(outputs.find("filter.want = \"echo-cancel\""), std::string::npos) << outputs;
  echoStream = {};
  echoClient.reset();
  Server().Run({"pactl", "unload-module", module.substr(0, module.find_first_of("\r\n"))});
}

TEST_F(PulseAudioSystemTest, ClientCallsOutOfOrderFailWithThePlatformsCodes) {
  std::shared_ptr<Device> mic, render;
  ASSERT_EQ(m_enumerator->GetDefaultAudioEndpoint(eCapture, eCommunications, &mic), S_OK);
  ASSERT_EQ(m_enumerator->GetDefaultAudioEndpoint(eRender, eConsole, &render), S_OK);
  auto client = Activate(mic);
  std::unique_ptr<WaveFormat> format;
  ASSERT_EQ(client->GetMixFormat(&format), S_OK);
  std::shared_ptr<AudioCaptureClient> capture;
  int64_t latency = 0;
  EXPECT_EQ(client->Start(), AUDCLNT_E_NOT_INITIALIZED);
  EXPECT_EQ(client->GetCaptureClient(&capture), AUDCLNT_E_NOT_INITIALIZED);
  EXPECT_EQ(client->GetStreamLatency(&latency), AUDCLNT_E_NOT_INITIALIZED);
  EXPECT_EQ(client->SetEventHandle(std::make_shared<Event>(false, false)), AUDCLNT_E_NOT_INITIALIZED);
  EXPECT_EQ(client->Initialize(AUDCLNT_SHAREMODE_SHARED, kLoopbackFlags, 1'000'000, 0, format.get()),
            AUDCLNT_E_WRONG_ENDPOINT_TYPE);
  EXPECT_EQ(client->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE, 0, 1'000'000, 0, format.get()),
            AUDCLNT_E_EXCLUSIVE_MODE_NOT_ALLOWED);
  WaveFormat other = *format;
  other.nSamplesPerSec = 22050;
  EXPECT_EQ(client->Initialize(AUDCLNT_SHAREMODE_SHARED, 0, 1'000'000, 0, &other), AUDCLNT_E_UNSUPPORTED_FORMAT);
  ASSERT_EQ(client->Initialize(AUDCLNT_SHAREMODE_SHARED, AUDCLNT_STREAMFLAGS_EVENTCALLBACK, 1'000'000, 0, format.get()),
            S_OK);
  EXPECT_EQ(client->Initialize(AUDCLNT_SHAREMODE_SHARED, AUDCLNT_STREAMFLAGS_EVENTCALLBACK, 1'000'000, 0, format.get()),
            AUDCLNT_E_ALREADY_INITIALIZED);
  EXPECT_EQ(client->Start(), AUDCLNT_E_EVENTHANDLE_NOT_SET);
  ASSERT_EQ(client->SetEventHandle(std::make_shared<Event>(false, false)), S_OK);
  EXPECT_EQ(client->Stop(), S_FALSE);
  ASSERT_EQ(client->Start(), S_OK);
  EXPECT_EQ(client->Start(), AUDCLNT_E_NOT_STOPPED);
  EXPECT_EQ(client->Stop(), S_OK);

  // Render endpoints are for listening only; a non-event stream takes no event.
  auto renderClient = Activate(render);
  ASSERT_EQ(renderClient->GetMixFormat(&format), S_OK);
  EXPECT_EQ(renderClient->Initialize(AUDCLNT_SHAREMODE_SHARED, 0, 1'000'000, 0, format.get()), E_NOTIMPL);
  ASSERT_EQ(renderClient->Initialize(AUDCLNT_SHAREMODE_SHARED, kLoopbackFlags, 1'000'000, 0, format.get()), S_OK);
  EXPECT_EQ(renderClient->SetEventHandle(std::make_shared<Event>(false, false)), AUDCLNT_E_EVENTHANDLE_NOT_EXPECTED);
  EXPECT_EQ(renderClient->Start(), S_OK);
}

TEST(PulseAudioSystemServerTest, AMissingServerIsReportedOnceAndFailsEveryCall) {
  kalto::test::DebugCapture debug;
  PulseAudioSystem system("unix:/nonexistent/kalto/native");
  std::shared_ptr<DeviceEnumerator> enumerator;
  ASSERT_EQ(system.CreateDeviceEnumerator(&enumerator), S_OK);
  std::shared_ptr<Device> device;
  EXPECT_EQ(enumerator->GetDefaultAudioEndpoint(eRender, eConsole, &device), AUDCLNT_E_SERVICE_NOT_RUNNING);
  EXPECT_EQ(enumerator->GetDevice(L"kalto_mic", &device), AUDCLNT_E_SERVICE_NOT_RUNNING);
  EXPECT_EQ(debug.CountPrefix("[PulseAudio] Cannot connect to the sound server: "), 1);

  auto handler = std::make_shared<RecordingHandler>();
  ASSERT_EQ(ActivateProcessLoopback(system, 1, handler), S_OK);
  ASSERT_EQ(WaitForEvent(handler->done, 10'000), WAIT_OBJECT_0);
  EXPECT_EQ(handler->result, S_OK);
  EXPECT_EQ(handler->activateResult, AUDCLNT_E_SERVICE_NOT_RUNNING);
  EXPECT_EQ(handler->client, nullptr);
}

TEST(PulseAudioSystemServerTest, AServerThatGoesAwayInvalidatesRunningStreams) {
  KALTO_REQUIRE(kalto::test::PulseServer::Available(), "pulseaudio and pacat are not installed");
  auto server = std::make_unique<kalto::test::PulseServer>();
  ASSERT_TRUE(server->Running()) << server->Error();
  kalto::test::DebugCapture debug;
  PulseAudioSystem system(server->Address());
  std::shared_ptr<DeviceEnumerator> enumerator;
  ASSERT_EQ(system.CreateDeviceEnumerator(&enumerator), S_OK);
  std::shared_ptr<Device> mic;
  ASSERT_EQ(enumerator->GetDefaultAudioEndpoint(eCapture, eCommunications, &mic), S_OK);
  std::shared_ptr<AudioClient> client;
  ASSERT_EQ(mic->Activate(&client), S_OK);
  OpenedStream stream;
  ASSERT_EQ(OpenStream(client, 0, &stream), S_OK);
  ASSERT_EQ(stream.client->Start(), S_OK);
  // A process loopback that follows no stream yet has only its own watch to notice.
  auto handler = std::make_shared<RecordingHandler>();
  ASSERT_EQ(ActivateProcessLoopback(system, static_cast<uint32_t>(getpid()), handler), S_OK);
  ASSERT_EQ(WaitForEvent(handler->done, 10'000), WAIT_OBJECT_0);
  ASSERT_TRUE(handler->client);
  OpenedStream loopback;
  ASSERT_EQ(OpenStream(handler->client, kLoopbackFlags, &loopback), S_OK);
  ASSERT_EQ(loopback.client->Start(), S_OK);
  server.reset();

  auto drainUntilFailure = [](OpenedStream& s) {
    HRESULT hr = S_OK;
    for (int i = 0; i < 500 && Succeeded(hr); ++i) {
      WaitForEvent(*s.event, 20);
      uint32_t next = 0;
      hr = s.capture->GetNextPacketSize(&next);
      for (uint8_t* data = nullptr; Succeeded(hr) && next > 0; hr = s.capture->GetNextPacketSize(&next)) {
        uint32_t frames = 0, flags = 0;
        if (Failed(hr = s.capture->GetBuffer(&data, &frames, &flags, nullptr, nullptr))) break;
        s.capture->ReleaseBuffer(frames);
      }
    }
    return hr;
  };
  EXPECT_EQ(drainUntilFailure(stream), AUDCLNT_E_DEVICE_INVALIDATED);
  EXPECT_EQ(drainUntilFailure(loopback), AUDCLNT_E_DEVICE_INVALIDATED);
  EXPECT_EQ(enumerator->GetDefaultAudioEndpoint(eCapture, eCommunications, &mic), AUDCLNT_E_SERVICE_NOT_RUNNING);
  EXPECT_EQ(debug.CountPrefix("[PulseAudio] Cannot connect to the sound server: "), 1);
  EXPECT_EQ(stream.client->Stop(), AUDCLNT_E_DEVICE_INVALIDATED);
}

}  // namespace
}  // namespace kalto::platform::audio::pulse
