// Opening the system and microphone streams: endpoint choice, every fallback and failure line,
// microphone modes and formats.
#include "audio_fixture.h"

namespace kalto::test {
namespace {

using Arrange = std::function<void(fa::FakeAudioSystem&, fa::FakeAudioEndpoint&)>;
using Lines = std::vector<std::string>;

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
  EXPECT_EQ(client->InitializeFlags(), 0x60000u);  // loopback, event-driven
  EXPECT_EQ(client->InitializeBufferDuration(), 1000000);
  EXPECT_TRUE(client->EventHandle());
  EXPECT_EQ(system->DefaultEndpointRequests(),
            (std::vector<std::pair<fa::EDataFlow, fa::ERole>>{{fa::eRender, fa::eConsole}}));
}

struct StepFailure {
  const char* name;
  Arrange arrange;
  std::string line;
};

Arrange Fault(FakeAudioPoint point, HRESULT code) {
  return [=](fa::FakeAudioSystem&, fa::FakeAudioEndpoint& e) { e.SetFault(point, FakeAudioFault::Code(code)); };
}

class LoopbackFailureTest : public AudioCaptureTest, public ::testing::WithParamInterface<StepFailure> {};

TEST_P(LoopbackFailureTest, EachStepFailsWithItsLineAndTheMicrophoneStillOpens) {
  auto speakers = AddSpeakers();
  AddMic();
  GetParam().arrange(*system, *speakers);
  auto capture = MakeCapture();
  EXPECT_FALSE(InitializeDefault(*capture, true, true));
  EXPECT_EQ(log.Lines(), Lines{GetParam().line});
  EXPECT_FALSE(capture->HasSystemStream());
  EXPECT_TRUE(capture->HasMicStream());
}

INSTANTIATE_TEST_SUITE_P(
    Steps, LoopbackFailureTest,
    ::testing::Values(
        StepFailure{"NoRenderEndpoint",
                    [](fa::FakeAudioSystem& s, fa::FakeAudioEndpoint&) { s.ClearDefault(fa::eRender, fa::eConsole); },
                    "[AudioCapture] Failed to get default render device\n"},
        StepFailure{"Activate", Fault(FakeAudioPoint::Activate, E_ACCESSDENIED),
                    "[AudioCapture] Failed to activate loopback client\n"},
        StepFailure{"MixFormat", Fault(FakeAudioPoint::GetMixFormat, AUDCLNT_E_DEVICE_INVALIDATED),
                    "[AudioCapture] Failed to get mix format\n"},
        StepFailure{"NullMixFormat", [](fa::FakeAudioSystem&, fa::FakeAudioEndpoint& e) { e.SetNullMixFormat(true); },
                    "[AudioCapture] Failed to get mix format\n"},
        StepFailure{"NoChannels",
                    [](fa::FakeAudioSystem&, fa::FakeAudioEndpoint& e) { e.SetMixFormat(fa::FakeFloatFormat(48000, 0)); },
                    "[AudioCapture] Failed to get mix format\n"},
        StepFailure{"Initialize", Fault(FakeAudioPoint::Initialize, AUDCLNT_E_UNSUPPORTED_FORMAT),
                    "[AudioCapture] Failed to initialize loopback: 0x88890008\n"},
        StepFailure{"SetEventHandle", Fault(FakeAudioPoint::SetEventHandle, E_INVALIDARG),
                    "[AudioCapture] Failed to set loopback event: 0x80070057\n"},
        StepFailure{"CaptureService", Fault(FakeAudioPoint::GetCaptureClient, E_NOINTERFACE),
                    "[AudioCapture] Failed to get loopback capture client\n"},
        StepFailure{"NullCaptureService",
                    [](fa::FakeAudioSystem&, fa::FakeAudioEndpoint& e) { e.SetNullCaptureClient(true); },
                    "[AudioCapture] Failed to get loopback capture client\n"}),
    [](const auto& info) { return std::string(info.param.name); });

class MicFailureTest : public AudioCaptureTest, public ::testing::WithParamInterface<StepFailure> {};

TEST_P(MicFailureTest, EachStepFailsWithItsLineAndTheSystemStreamStaysOpen) {
  AddSpeakers();
  auto mic = AddMic();
  GetParam().arrange(*system, *mic);
  auto capture = MakeCapture();
  EXPECT_FALSE(InitializeDefault(*capture, true, true));
  EXPECT_EQ(log.Lines(), Lines{GetParam().line});
  EXPECT_TRUE(capture->HasSystemStream());
  EXPECT_FALSE(capture->HasMicStream());
}

INSTANTIATE_TEST_SUITE_P(
    Steps, MicFailureTest,
    ::testing::Values(
        StepFailure{"Activate", Fault(FakeAudioPoint::Activate, E_ACCESSDENIED),
                    "[AudioCapture] Failed to activate mic IAudioClient: 0x80070005\n"},
        StepFailure{"MixFormat", Fault(FakeAudioPoint::GetMixFormat, E_OUTOFMEMORY),
                    "[AudioCapture] Failed to get mic mix format\n"},
        // A rate of 0 would never advance the resampler.
        StepFailure{"NoRate",
                    [](fa::FakeAudioSystem&, fa::FakeAudioEndpoint& e) { e.SetMixFormat(fa::FakePcm16Format(0, 1)); },
                    "[AudioCapture] Failed to get mic mix format\n"},
        StepFailure{"Initialize", Fault(FakeAudioPoint::Initialize, AUDCLNT_E_DEVICE_IN_USE),
                    "[AudioCapture] Failed to initialize mic: 0x8889000A\n"},
        StepFailure{"SetEventHandle", Fault(FakeAudioPoint::SetEventHandle, E_HANDLE),
                    "[AudioCapture] Failed to set mic event: 0x80070006\n"},
        StepFailure{"CaptureService", Fault(FakeAudioPoint::GetCaptureClient, E_NOINTERFACE),
                    "[AudioCapture] Failed to get mic capture client\n"},
        StepFailure{"NullCaptureService",
                    [](fa::FakeAudioSystem&, fa::FakeAudioEndpoint& e) { e.SetNullCaptureClient(true); },
                    "[AudioCapture] Failed to get mic capture client\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(AudioCaptureTest, TheMicrophoneIsChosenByIdThenByTheCommunicationsThenTheMultimediaDefault) {
  const std::wstring usb = L"{0.0.1.00000000}.{usb}";
  const std::wstring path = L"\\\\?\\SWD#MMDEVAPI#" + usb + L"#{2eef81be-33fa-4800-9670-1cd474972c3f}";
  using Roles = std::vector<std::pair<fa::EDataFlow, fa::ERole>>;
  const Roles comms{{fa::eCapture, fa::eCommunications}}, both{comms[0], {fa::eCapture, fa::eMultimedia}};
  const std::string extracted = "[AudioCapture] Extracted ID also failed, using default mic\n";
  struct Case {
    const char* name;
    std::wstring id;
    std::function<void(fa::FakeAudioSystem&)> arrange;
    std::vector<std::wstring> byId;  // the ids asked for
    Roles byRole;                    // the defaults asked for
    Lines lines;
    bool opened;  // the usb microphone, else the default one
  };
  const Case cases[] = {
      {"device path", path, nullptr, {path, usb}, {}, {}, true},
      {"known id", usb, nullptr, {usb}, {}, {}, true},
      {"unknown id", L"{gone}", nullptr, {L"{gone}", L"{gone}"}, comms, {extracted}, false},
      {"unknown id, no communications default", L"{gone}",
       [](fa::FakeAudioSystem& s) { s.ClearDefault(fa::eCapture, fa::eCommunications); },
       {L"{gone}", L"{gone}"}, both,
       {extracted, "[AudioCapture] Default communications mic failed (0x80070490), trying multimedia\n"}, false},
      {"no id, communications refused", L"",
       [](fa::FakeAudioSystem& s) { s.SetDefaultEndpointFault(fa::eCapture, fa::eCommunications, E_ACCESSDENIED); },
       {}, both, {"[AudioCapture] Default communications mic failed (0x80070005), trying multimedia role\n"}, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    system = std::make_shared<fa::FakeAudioSystem>();
    log.Clear();
    auto fallback = AddMic();
    auto usbMic = AddMic(fa::FakePcm16Format(48000, 1), usb, false);
    if (c.arrange) c.arrange(*system);
    auto capture = MakeCapture();
    ASSERT_TRUE(InitializeDefault(*capture, false, true, c.id));
    EXPECT_EQ(system->GetDeviceRequests(), c.byId);
    EXPECT_EQ(system->DefaultEndpointRequests(), c.byRole);
    EXPECT_EQ(log.Lines(), c.lines);
    EXPECT_EQ(usbMic->ActivateCalls(), c.opened ? 1 : 0);
    EXPECT_EQ(fallback->ActivateCalls(), c.opened ? 0 : 1);
  }
}

TEST_F(AudioCaptureTest, NoMicrophoneAtAllFailsWithTheLastCodeAndNoEnumeratorFailsBothWithoutALine) {
  auto capture = MakeCapture();
  EXPECT_FALSE(InitializeDefault(*capture, false, true));
  EXPECT_EQ(log.Lines(), (Lines{"[AudioCapture] Default communications mic failed (0x80070490), trying multimedia role\n",
                                "[AudioCapture] Failed to get microphone device: 0x80070490\n"}));
  log.Clear();
  AddSpeakers();
  AddMic();
  system->SetCreateEnumeratorFault(REGDB_E_CLASSNOTREG);
  capture = MakeCapture();
  EXPECT_FALSE(InitializeDefault(*capture, true, true));
  EXPECT_FALSE(capture->HasSystemStream() || capture->HasMicStream());
  EXPECT_TRUE(log.Lines().empty());
}

TEST_F(AudioCaptureTest, MicrophoneModesSetTheStreamCategoryAndTheSuppressor) {
  struct Case {
    const char* name;
    bool noiseSuppression;
    uint32_t mode, level, outputChannels;
    MicMode expected;
    fa::AUDIO_STREAM_CATEGORY category;
    uint32_t options;
    float vadThreshold, minGain;  // 0: the suppressor is not set up
  };
  const Case cases[] = {
      {"suppression asked in raw mode means voice processing", true, 0, 1, 2, MicMode::VoiceProcessing,
       fa::AudioCategory_Communications, fa::AUDCLNT_STREAMOPTIONS_NONE, 0, 0},
      {"raw", false, 0, 1, 2, MicMode::Raw, fa::AudioCategory_Other, fa::AUDCLNT_STREAMOPTIONS_RAW, 0, 0},
      // A mono encoder: the suppressor still reads the stereo chunks it is handed.
      {"suppression level 2", true, 2, 2, 1, MicMode::NoiseSuppression, fa::AudioCategory_Other,
       fa::AUDCLNT_STREAMOPTIONS_RAW, 0.6f, 0.03f},
      {"suppression level 0", false, 2, 0, 2, MicMode::NoiseSuppression, fa::AudioCategory_Other,
       fa::AUDCLNT_STREAMOPTIONS_RAW, 0.2f, 0.5f},
      {"an unknown level keeps the defaults", false, 2, 9, 2, MicMode::NoiseSuppression, fa::AudioCategory_Other,
       fa::AUDCLNT_STREAMOPTIONS_RAW, 0.5f, 0.15f}};
  auto mic = AddMic();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto capture = MakeCapture();
    ASSERT_TRUE(capture->Initialize(false, true, L"", 48000, c.outputChannels, c.noiseSuppression, c.mode, c.level));
    EXPECT_EQ(capture->GetMicMode(), c.expected);
    EXPECT_EQ(capture->IsVoiceProcessing(), c.expected == MicMode::VoiceProcessing);
    const auto properties = mic->LastClient()->PropertiesSet();
    ASSERT_EQ(properties.size(), 1u);
    EXPECT_EQ(properties[0].cbSize, 16u);
    EXPECT_FALSE(properties[0].bIsOffload);
    EXPECT_EQ(properties[0].eCategory, c.category);
    EXPECT_EQ(properties[0].Options, c.options);
    EXPECT_EQ(mic->LastClient()->InitializeFlags(), 0x40000u);  // event-driven only
    const auto& ns = capture->GetNoiseSuppressor();
    EXPECT_EQ(ns.IsEnabled(), c.vadThreshold > 0);
    if (c.vadThreshold > 0) {
      EXPECT_FALSE(ns.IsBypassed());
      EXPECT_EQ(ns.GetChannels(), 2u);
      EXPECT_EQ(ns.GetLevel(), c.level);
      EXPECT_FLOAT_EQ(ns.GetVadThreshold(), c.vadThreshold);
      EXPECT_FLOAT_EQ(ns.GetMinGain(), c.minGain);
    }
  }
  // At another rate the suppressor only measures.
  auto other = MakeCapture();
  ASSERT_TRUE(other->Initialize(false, true, L"", 44100, 2, false, 2, 1));
  EXPECT_TRUE(other->GetNoiseSuppressor().IsBypassed());
  EXPECT_EQ(log.Lines().size(), 1u) << "only the resampling line";
}

TEST_F(AudioCaptureTest, MissingOrRefusingClientPropertiesNeverFailTheMicrophone) {
  auto mic = AddMic();
  mic->SetHasAudioClient2(false);
  for (uint32_t mode : {1u, 0u}) ASSERT_TRUE(MakeCapture()->Initialize(false, true, L"", 48000, 2, false, mode, 1));
  EXPECT_EQ(log.Lines(), (Lines{"[AudioCapture] IAudioClient2 not available on this mic "
                                "\xE2\x80\x94 Voice Processing DSP skipped\n"}));
  log.Clear();
  mic->SetHasAudioClient2(true);
  mic->SetFault(FakeAudioPoint::SetClientProperties, FakeAudioFault::Code(HRESULT_ERROR_NOT_SUPPORTED));
  for (uint32_t mode : {1u, 0u}) ASSERT_TRUE(MakeCapture()->Initialize(false, true, L"", 48000, 2, false, mode, 1));
  EXPECT_EQ(log.Lines(),
            (Lines{"[AudioCapture] WARNING: Failed to enable Voice Processing DSP: 0x80070032 (continuing without)\n",
                   "[AudioCapture] WARNING: RAW mic mode not available: 0x80070032 (mic enhancements may still "
                   "apply)\n"}));
}

TEST_F(AudioCaptureTest, FormatsAreReadFromTheTagAndWidthAloneAndAnotherRateIsResampled) {
  fa::WaveFormat plainFloat = fa::FakePcm16Format(48000, 2);
  plainFloat.wFormatTag = fa::WAVE_FORMAT_IEEE_FLOAT;
  plainFloat.wBitsPerSample = 32;
  plainFloat.nBlockAlign = 8;
  AddSpeakers(plainFloat);
  // Extensible 32-bit integer PCM counts as float: the sub-format is not consulted.
  AddMic(fa::MakeExtensibleFormat(44100, 2, 32, false, fa::KSAUDIO_SPEAKER_STEREO));
  auto capture = MakeCapture();
  ASSERT_TRUE(InitializeDefault(*capture, true, true));
  EXPECT_EQ(capture->GetSystemFormat(), (CaptureFormat{48000, 2, 32, true}));
  EXPECT_EQ(capture->GetMicFormat(), (CaptureFormat{44100, 2, 32, true}));
  EXPECT_DOUBLE_EQ(capture->GetResampleRatio(), 44100.0 / 48000.0);
  EXPECT_EQ(log.Lines(), (Lines{"[AudioCapture] Mic sample rate (44100Hz) differs from output (48000Hz) - "
                                "resampling enabled (ratio: 0.9187)\n"}));
}

}  // namespace
}  // namespace kalto::test
