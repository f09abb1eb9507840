// Opening the system and microphone streams: endpoint choice, every fallback and failure line,
// microphone modes and formats.
#include "audio_fixture.h"

namespace kalto::test {
namespace {

using fa::FakeAudioFault;
using fa::FakeAudioPoint;

TEST_F(AudioCaptureTest, SystemLoopbackOpensTheDefaultRenderEndpointSilently) {
  auto speakers = AddSpeakers(fa::FakeFloatFormat(44100, 6));
  auto capture = MakeCapture();
  ASSERT_TRUE(InitializeDefault(*capture, true, false));
  EXPECT_TRUE(log.Lines().empty());
  EXPECT_TRUE(capture->HasSystemStream());
  EXPECT_FALSE(capture->HasMicStream());
  EXPECT_EQ(capture->GetSystemFormat(), (CaptureFormat{44100, 6, 32, true}));
  auto client = speakers->LastClient();
  ASSERT_TRUE(client);
  EXPECT_EQ(client->InitializeFlags(), 0x60000u);
  EXPECT_EQ(client->InitializeBufferDuration(), 1000000);
  EXPECT_TRUE(client->EventHandle());
  auto requests = system->DefaultEndpointRequests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0], std::make_pair(fa::eRender, fa::eConsole));
}

struct LoopbackFailure {
  const char* name;
  std::function<void(fa::FakeAudioSystem&, fa::FakeAudioEndpoint&)> arrange;
  std::string line;  // empty: no line at all
};

class LoopbackFailureTest : public AudioCaptureTest, public ::testing::WithParamInterface<LoopbackFailure> {};

TEST_P(LoopbackFailureTest, EachStepFailsWithItsLineAndTheMicrophoneStillOpens) {
  auto speakers = AddSpeakers();
  AddMic();
  GetParam().arrange(*system, *speakers);
  auto capture = MakeCapture();
  EXPECT_FALSE(InitializeDefault(*capture, true, true));
  std::vector<std::string> expected;
  if (!GetParam().line.empty()) expected.push_back(GetParam().line);
  EXPECT_EQ(log.Lines(), expected);
  EXPECT_FALSE(capture->HasSystemStream());
  EXPECT_TRUE(capture->HasMicStream());
}

INSTANTIATE_TEST_SUITE_P(
    Steps, LoopbackFailureTest,
    ::testing::Values(
        LoopbackFailure{"NoRenderEndpoint",
                        [](fa::FakeAudioSystem& s, fa::FakeAudioEndpoint&) {
                          s.ClearDefault(fa::eRender, fa::eConsole);
                        },
                        "[AudioCapture] Failed to get default render device\n"},
        LoopbackFailure{"Activate",
                        [](fa::FakeAudioSystem&, fa::FakeAudioEndpoint& e) {
                          e.SetFault(FakeAudioPoint::Activate, FakeAudioFault::Code(E_ACCESSDENIED));
                        },
                        "[AudioCapture] Failed to activate loopback client\n"},
        LoopbackFailure{"MixFormat",
                        [](fa::FakeAudioSystem&, fa::FakeAudioEndpoint& e) {
                          e.SetFault(FakeAudioPoint::GetMixFormat, FakeAudioFault::Code(AUDCLNT_E_DEVICE_INVALIDATED));
                        },
                        "[AudioCapture] Failed to get mix format\n"},
        LoopbackFailure{"NullMixFormat",
                        [](fa::FakeAudioSystem&, fa::FakeAudioEndpoint& e) { e.SetNullMixFormat(true); },
                        "[AudioCapture] Failed to get mix format\n"},
        LoopbackFailure{"NoChannels",
                        [](fa::FakeAudioSystem&, fa::FakeAudioEndpoint& e) {
                          e.SetMixFormat(fa::FakeFloatFormat(48000, 0));
                        },
                        "[AudioCapture] Failed to get mix format\n"},
        LoopbackFailure{"Initialize",
                        [](fa::FakeAudioSystem&, fa::FakeAudioEndpoint& e) {
                          e.SetFault(FakeAudioPoint::Initialize, FakeAudioFault::Code(AUDCLNT_E_UNSUPPORTED_FORMAT));
                        },
                        "[AudioCapture] Failed to initialize loopback: 0x88890008\n"},
        LoopbackFailure{"SetEventHandle",
                        [](fa::FakeAudioSystem&, fa::FakeAudioEndpoint& e) {
                          e.SetFault(FakeAudioPoint::SetEventHandle, FakeAudioFault::Code(E_INVALIDARG));
                        },
                        "[AudioCapture] Failed to set loopback event: 0x80070057\n"},
        LoopbackFailure{"CaptureService",
                        [](fa::FakeAudioSystem&, fa::FakeAudioEndpoint& e) {
                          e.SetFault(FakeAudioPoint::GetCaptureClient, FakeAudioFault::Code(E_NOINTERFACE));
                        },
                        "[AudioCapture] Failed to get loopback capture client\n"},
        LoopbackFailure{"NullCaptureService",
                        [](fa::FakeAudioSystem&, fa::FakeAudioEndpoint& e) { e.SetNullCaptureClient(true); },
                        "[AudioCapture] Failed to get loopback capture client\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(AudioCaptureTest, NoEnumeratorFailsBothStreamsWithoutALine) {
  AddSpeakers();
  AddMic();
  system->SetCreateEnumeratorFault(REGDB_E_CLASSNOTREG);
  auto capture = MakeCapture();
  EXPECT_FALSE(InitializeDefault(*capture, true, true));
  EXPECT_TRUE(log.Lines().empty());
}

TEST_F(AudioCaptureTest, ADeviceInterfacePathOpensTheEndpointNamedInsideIt) {
  auto mic = AddMic(fa::FakePcm16Format(48000, 1), L"{0.0.1.00000000}.{usb}", /*makeDefault=*/false);
  const std::wstring path = L"\\\\?\\SWD#MMDEVAPI#{0.0.1.00000000}.{usb}#{2eef81be-33fa-4800-9670-1cd474972c3f}";
  auto capture = MakeCapture();
  ASSERT_TRUE(InitializeDefault(*capture, false, true, path));
  EXPECT_TRUE(log.Lines().empty());
  EXPECT_EQ(system->GetDeviceRequests(), (std::vector<std::wstring>{path, L"{0.0.1.00000000}.{usb}"}));
  EXPECT_TRUE(system->DefaultEndpointRequests().empty());
  EXPECT_EQ(mic->ActivateCalls(), 1);
}

TEST_F(AudioCaptureTest, AKnownIdOpensDirectly) {
  auto mic = AddMic(fa::FakePcm16Format(48000, 1), L"{0.0.1.00000000}.{usb}", false);
  auto capture = MakeCapture();
  ASSERT_TRUE(InitializeDefault(*capture, false, true, L"{0.0.1.00000000}.{usb}"));
  EXPECT_EQ(system->GetDeviceRequests().size(), 1u);
  EXPECT_TRUE(log.Lines().empty());
}

TEST_F(AudioCaptureTest, AnUnknownIdFallsBackToTheCommunicationsDefault) {
  auto mic = AddMic();
  auto capture = MakeCapture();
  ASSERT_TRUE(InitializeDefault(*capture, false, true, L"{gone}"));
  EXPECT_EQ(log.Lines(), (std::vector<std::string>{"[AudioCapture] Extracted ID also failed, using default mic\n"}));
  EXPECT_EQ(system->DefaultEndpointRequests(),
            (std::vector<std::pair<fa::EDataFlow, fa::ERole>>{{fa::eCapture, fa::eCommunications}}));
  EXPECT_EQ(mic->ActivateCalls(), 1);
}

TEST_F(AudioCaptureTest, AnUnknownIdWithoutCommunicationsDefaultTriesMultimedia) {
  auto mic = AddMic();
  system->ClearDefault(fa::eCapture, fa::eCommunications);
  auto capture = MakeCapture();
  ASSERT_TRUE(InitializeDefault(*capture, false, true, L"{gone}"));
  EXPECT_EQ(log.Lines(), (std::vector<std::string>{
                             "[AudioCapture] Extracted ID also failed, using default mic\n",
                             "[AudioCapture] Default communications mic failed (0x80070490), trying multimedia\n"}));
  EXPECT_EQ(mic->ActivateCalls(), 1);
}

TEST_F(AudioCaptureTest, AnEmptyIdTriesCommunicationsThenMultimedia) {
  auto mic = AddMic();
  system->SetDefaultEndpointFault(fa::eCapture, fa::eCommunications, E_ACCESSDENIED);
  auto capture = MakeCapture();
  ASSERT_TRUE(InitializeDefault(*capture, false, true));
  EXPECT_EQ(log.Lines(),
            (std::vector<std::string>{
                "[AudioCapture] Default communications mic failed (0x80070005), trying multimedia role\n"}));
  EXPECT_EQ(system->DefaultEndpointRequests(),
            (std::vector<std::pair<fa::EDataFlow, fa::ERole>>{{fa::eCapture, fa::eCommunications},
                                                               {fa::eCapture, fa::eMultimedia}}));
  EXPECT_TRUE(capture->HasMicStream());
}

TEST_F(AudioCaptureTest, NoMicrophoneAtAllFailsWithTheLastCode) {
  auto capture = MakeCapture();
  EXPECT_FALSE(InitializeDefault(*capture, false, true));
  EXPECT_EQ(log.Lines(), (std::vector<std::string>{
                             "[AudioCapture] Default communications mic failed (0x80070490), trying multimedia role\n",
                             "[AudioCapture] Failed to get microphone device: 0x80070490\n"}));
}

struct MicFailure {
  const char* name;
  FakeAudioPoint point;
  HRESULT code;
  std::string line;
};

class MicFailureTest : public AudioCaptureTest, public ::testing::WithParamInterface<MicFailure> {};

TEST_P(MicFailureTest, EachStepFailsWithItsLineAndTheSystemStreamStaysOpen) {
  AddSpeakers();
  auto mic = AddMic();
  mic->SetFault(GetParam().point, FakeAudioFault::Code(GetParam().code));
  auto capture = MakeCapture();
  EXPECT_FALSE(InitializeDefault(*capture, true, true));
  EXPECT_EQ(log.Lines(), (std::vector<std::string>{GetParam().line}));
  EXPECT_TRUE(capture->HasSystemStream());
  EXPECT_FALSE(capture->HasMicStream());
}

INSTANTIATE_TEST_SUITE_P(
    Steps, MicFailureTest,
    ::testing::Values(
        MicFailure{"Activate", FakeAudioPoint::Activate, E_ACCESSDENIED,
                   "[AudioCapture] Failed to activate mic IAudioClient: 0x80070005\n"},
        MicFailure{"MixFormat", FakeAudioPoint::GetMixFormat, E_OUTOFMEMORY,
                   "[AudioCapture] Failed to get mic mix format\n"},
        MicFailure{"Initialize", FakeAudioPoint::Initialize, AUDCLNT_E_DEVICE_IN_USE,
                   "[AudioCapture] Failed to initialize mic: 0x8889000A\n"},
        MicFailure{"SetEventHandle", FakeAudioPoint::SetEventHandle, E_HANDLE,
                   "[AudioCapture] Failed to set mic event: 0x80070006\n"},
        MicFailure{"CaptureService", FakeAudioPoint::GetCaptureClient, E_NOINTERFACE,
                   "[AudioCapture] Failed to get mic capture client\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(AudioCaptureTest, AMicrophoneWhoseCaptureServiceComesBackNullFails) {
  AddSpeakers();
  AddMic()->SetNullCaptureClient(true);
  auto capture = MakeCapture();
  EXPECT_FALSE(InitializeDefault(*capture, true, true));
  EXPECT_EQ(log.Lines(), (std::vector<std::string>{"[AudioCapture] Failed to get mic capture client\n"}));
  EXPECT_FALSE(capture->HasMicStream());
}

TEST_F(AudioCaptureTest, NoiseSuppressionWithRawModeMeansVoiceProcessing) {
  auto mic = AddMic();
  auto capture = MakeCapture();
  ASSERT_TRUE(capture->Initialize(false, true, L"", 48000, 2, true, 0, 1));
  EXPECT_EQ(capture->GetMicMode(), MicMode::VoiceProcessing);
  EXPECT_TRUE(capture->IsVoiceProcessing());
  auto properties = mic->LastClient()->PropertiesSet();
  ASSERT_EQ(properties.size(), 1u);
  EXPECT_EQ(properties[0].cbSize, 16u);
  EXPECT_FALSE(properties[0].bIsOffload);
  EXPECT_EQ(properties[0].eCategory, fa::AudioCategory_Communications);
  EXPECT_EQ(properties[0].Options, fa::AUDCLNT_STREAMOPTIONS_NONE);
  EXPECT_EQ(mic->LastClient()->InitializeFlags(), 0x40000u);
  EXPECT_FALSE(capture->GetNoiseSuppressor().IsEnabled());
}

TEST_F(AudioCaptureTest, NoiseSuppressionModeOpensTheMicrophoneRawAndSetsTheSuppressor) {
  auto mic = AddMic();
  auto capture = MakeCapture();
  // A mono encoder: the suppressor still reads the stereo chunks it is handed.
  ASSERT_TRUE(capture->Initialize(false, true, L"", 48000, 1, true, 2, 2));
  EXPECT_EQ(capture->GetMicMode(), MicMode::NoiseSuppression);
  EXPECT_FALSE(capture->IsVoiceProcessing());
  auto properties = mic->LastClient()->PropertiesSet();
  ASSERT_EQ(properties.size(), 1u);
  EXPECT_EQ(properties[0].eCategory, fa::AudioCategory_Other);
  EXPECT_EQ(properties[0].Options, fa::AUDCLNT_STREAMOPTIONS_RAW);
  const auto& ns = capture->GetNoiseSuppressor();
  EXPECT_TRUE(ns.IsEnabled());
  EXPECT_FALSE(ns.IsBypassed());
  EXPECT_EQ(ns.GetChannels(), 2u);
  EXPECT_EQ(ns.GetLevel(), 2u);
  EXPECT_FLOAT_EQ(ns.GetVadThreshold(), 0.6f);
  EXPECT_FLOAT_EQ(ns.GetMinGain(), 0.03f);
  EXPECT_EQ(capture->GetOutputChannels(), 1u);
}

TEST_F(AudioCaptureTest, SuppressionLevelsMapToThresholdsAndUnknownLevelsKeepThem) {
  AddMic();
  auto low = MakeCapture();
  ASSERT_TRUE(low->Initialize(false, true, L"", 48000, 2, false, 2, 0));
  EXPECT_FLOAT_EQ(low->GetNoiseSuppressor().GetVadThreshold(), 0.2f);
  EXPECT_FLOAT_EQ(low->GetNoiseSuppressor().GetMinGain(), 0.5f);
  auto odd = MakeCapture();
  ASSERT_TRUE(odd->Initialize(false, true, L"", 48000, 2, false, 2, 9));
  EXPECT_EQ(odd->GetNoiseSuppressor().GetLevel(), 9u);
  EXPECT_FLOAT_EQ(odd->GetNoiseSuppressor().GetVadThreshold(), 0.5f);
  EXPECT_FLOAT_EQ(odd->GetNoiseSuppressor().GetMinGain(), 0.15f);
  // At another rate the suppressor only measures.
  auto other = MakeCapture();
  ASSERT_TRUE(other->Initialize(false, true, L"", 44100, 2, false, 2, 1));
  EXPECT_TRUE(other->GetNoiseSuppressor().IsBypassed());
}

TEST_F(AudioCaptureTest, MissingOrRefusingClientPropertiesNeverFailTheMicrophone) {
  auto mic = AddMic();
  mic->SetHasAudioClient2(false);
  auto voice = MakeCapture();
  ASSERT_TRUE(voice->Initialize(false, true, L"", 48000, 2, false, 1, 1));
  EXPECT_EQ(log.Lines(), (std::vector<std::string>{"[AudioCapture] IAudioClient2 not available on this mic "
                                                   "\xE2\x80\x94 Voice Processing DSP skipped\n"}));
  log.Clear();
  auto raw = MakeCapture();
  ASSERT_TRUE(raw->Initialize(false, true, L"", 48000, 2, false, 0, 1));
  EXPECT_TRUE(log.Lines().empty());

  mic->SetHasAudioClient2(true);
  mic->SetFault(FakeAudioPoint::SetClientProperties, FakeAudioFault::Code(HRESULT_ERROR_NOT_SUPPORTED));
  auto voice2 = MakeCapture();
  ASSERT_TRUE(voice2->Initialize(false, true, L"", 48000, 2, false, 1, 1));
  auto raw2 = MakeCapture();
  ASSERT_TRUE(raw2->Initialize(false, true, L"", 48000, 2, false, 0, 1));
  EXPECT_EQ(log.Lines(),
            (std::vector<std::string>{
                "[AudioCapture] WARNING: Failed to enable Voice Processing DSP: 0x80070032 (continuing without)\n",
                "[AudioCapture] WARNING: RAW mic mode not available: 0x80070032 (mic enhancements may still "
                "apply)\n"}));
}

TEST_F(AudioCaptureTest, AMicrophoneAtAnotherRateLogsTheResamplingRatio) {
  AddMic(fa::FakePcm16Format(44100, 1));
  auto capture = MakeCapture();
  ASSERT_TRUE(InitializeDefault(*capture, false, true));
  EXPECT_EQ(log.Lines(), (std::vector<std::string>{"[AudioCapture] Mic sample rate (44100Hz) differs from output "
                                                   "(48000Hz) - resampling enabled (ratio: 0.9187)\n"}));
  EXPECT_DOUBLE_EQ(capture->GetResampleRatio(), 44100.0 / 48000.0);
  EXPECT_EQ(capture->GetMicFormat(), (CaptureFormat{44100, 1, 16, false}));
}

TEST_F(AudioCaptureTest, FormatsAreReadFromTheTagAndWidthAlone) {
  fa::WaveFormat plainFloat = fa::FakePcm16Format(48000, 2);
  plainFloat.wFormatTag = fa::WAVE_FORMAT_IEEE_FLOAT;
  plainFloat.wBitsPerSample = 32;
  plainFloat.nBlockAlign = 8;
  AddSpeakers(plainFloat);
  // Extensible 32-bit integer PCM counts as float: the sub-format is not consulted.
  AddMic(fa::MakeExtensibleFormat(16000, 2, 32, false, fa::KSAUDIO_SPEAKER_STEREO));
  auto capture = MakeCapture();
  ASSERT_TRUE(InitializeDefault(*capture, true, true));
  EXPECT_EQ(capture->GetSystemFormat(), (CaptureFormat{48000, 2, 32, true}));
  EXPECT_EQ(capture->GetMicFormat(), (CaptureFormat{16000, 2, 32, true}));
}

TEST_F(AudioCaptureTest, AMicrophoneWithoutRateIsRefusedRatherThanStallingTheResampler) {
  AddMic(fa::FakePcm16Format(0, 1));
  auto capture = MakeCapture();
  EXPECT_FALSE(InitializeDefault(*capture, false, true));
  EXPECT_EQ(log.Lines(), (std::vector<std::string>{"[AudioCapture] Failed to get mic mix format\n"}));
}

}  // namespace
}  // namespace kalto::test
