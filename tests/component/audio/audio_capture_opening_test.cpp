// Opening the system and microphone streams and the per-process loopback: endpoint choice,
// every fallback and failure line, microphone modes and formats, the activation request, its
// time-outs, and the stream it opens.
#include "audio_fixture.h"

namespace kalto::test {
namespace {

using Arrange = std::function<void(fa::FakeAudioSystem&, fa::FakeAudioEndpoint&)>;
using Lines = std::vector<std::string>;

struct StepFailure {
  const char* name;
  bool mic;  // the step of the microphone's opening, else the system stream's
  Arrange arrange;
  std::string line;  // after "[AudioCapture] "
};
// Stable test names: the default prints the case's bytes, addresses included.
void PrintTo(const StepFailure& c, std::ostream* os) { *os << c.name; }

Arrange Fault(FakeAudioPoint point, HRESULT code) {
  return [=](fa::FakeAudioSystem&, fa::FakeAudioEndpoint& e) { e.SetFault(point, FakeAudioFault::Code(code)); };
}
Arrange MixFormat(uint32_t rate, uint16_t channels, uint16_t bits = 16) {
  auto format = fa::FakePcm16Format(rate, channels);
  format.wBitsPerSample = bits;
  return [=](fa::FakeAudioSystem&, fa::FakeAudioEndpoint& e) { e.SetMixFormat(format); };
}
const Arrange kNullMixFormat = [](fa::FakeAudioSystem&, fa::FakeAudioEndpoint& e) { e.SetNullMixFormat(true); };
const Arrange kNullService = [](fa::FakeAudioSystem&, fa::FakeAudioEndpoint& e) { e.SetNullCaptureClient(true); };
const Arrange kNoRender = [](fa::FakeAudioSystem& s, fa::FakeAudioEndpoint&) { s.ClearDefault(fa::eRender, fa::eConsole); };

class StepFailureTest : public AudioCaptureTest, public ::testing::WithParamInterface<StepFailure> {};

TEST_P(StepFailureTest, EachStepFailsWithItsLineAndTheOtherStreamStillOpens) {
  auto speakers = AddSpeakers();
  auto mic = AddMic();
  GetParam().arrange(*system, GetParam().mic ? *mic : *speakers);
  auto capture = MakeCapture();
  EXPECT_FALSE(InitializeDefault(*capture, true, true));
  EXPECT_EQ(log.Lines(), Lines{"[AudioCapture] " + GetParam().line + "\n"});
  EXPECT_EQ(capture->HasSystemStream(), GetParam().mic);
  EXPECT_EQ(capture->HasMicStream(), !GetParam().mic);
}

using P = FakeAudioPoint;
// No channels or no rate would never advance the resampler; 8 bits are narrower than the reads.
INSTANTIATE_TEST_SUITE_P(
    Steps, StepFailureTest,
    ::testing::Values(
        StepFailure{"NoRenderEndpoint", false, kNoRender, "Failed to get default render device"},
        StepFailure{"Activate", false, Fault(P::Activate, E_ACCESSDENIED), "Failed to activate loopback client"},
        StepFailure{"MixFormat", false, Fault(P::GetMixFormat, E_OUTOFMEMORY), "Failed to get mix format"},
        StepFailure{"NullMixFormat", false, kNullMixFormat, "Failed to get mix format"},
        StepFailure{"NoChannels", false, MixFormat(48000, 0, 32), "Failed to get mix format"},
        StepFailure{"Initialize", false, Fault(P::Initialize, AUDCLNT_E_UNSUPPORTED_FORMAT),
                    "Failed to initialize loopback: 0x88890008"},
        StepFailure{"SetEventHandle", false, Fault(P::SetEventHandle, E_INVALIDARG),
                    "Failed to set loopback event: 0x80070057"},
        StepFailure{"CaptureService", false, Fault(P::GetCaptureClient, E_NOINTERFACE),
                    "Failed to get loopback capture client"},
        StepFailure{"NullCaptureService", false, kNullService, "Failed to get loopback capture client"},
        StepFailure{"MicActivate", true, Fault(P::Activate, E_ACCESSDENIED),
                    "Failed to activate mic IAudioClient: 0x80070005"},
        StepFailure{"MicMixFormat", true, Fault(P::GetMixFormat, E_OUTOFMEMORY), "Failed to get mic mix format"},
        StepFailure{"MicNullMixFormat", true, kNullMixFormat, "Failed to get mic mix format"},
        StepFailure{"MicNoRate", true, MixFormat(0, 1), "Failed to get mic mix format"},
        StepFailure{"MicEightBit", true, MixFormat(48000, 1, 8), "Failed to get mic mix format"},
        StepFailure{"MicInitialize", true, Fault(P::Initialize, AUDCLNT_E_DEVICE_IN_USE),
                    "Failed to initialize mic: 0x8889000A"},
        StepFailure{"MicSetEventHandle", true, Fault(P::SetEventHandle, E_HANDLE), "Failed to set mic event: 0x80070006"},
        StepFailure{"MicCaptureService", true, Fault(P::GetCaptureClient, E_NOINTERFACE),
                    "Failed to get mic capture client"},
        StepFailure{"MicNullCaptureService", true, kNullService, "Failed to get mic capture client"}),
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
    bool fails = false;
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
       {}, both, {"[AudioCapture] Default communications mic failed (0x80070005), trying multimedia role\n"}, false},
      {"no default microphone", L"",
       [](fa::FakeAudioSystem& s) {
         s.ClearDefault(fa::eCapture, fa::eCommunications);
         s.ClearDefault(fa::eCapture, fa::eMultimedia);
       },
       {}, both,
       {"[AudioCapture] Default communications mic failed (0x80070490), trying multimedia role\n",
        "[AudioCapture] Failed to get microphone device: 0x80070490\n"},
       false, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    system = std::make_shared<fa::FakeAudioSystem>();
    log.Clear();
    auto fallback = AddMic();
    auto usbMic = AddMic(fa::FakePcm16Format(48000, 1), usb, false);
    if (c.arrange) c.arrange(*system);
    auto capture = MakeCapture();
    EXPECT_EQ(InitializeDefault(*capture, false, true, c.id), !c.fails);
    EXPECT_EQ(system->GetDeviceRequests(), c.byId);
    EXPECT_EQ(system->DefaultEndpointRequests(), c.byRole);
    EXPECT_EQ(log.Lines(), c.lines);
    EXPECT_EQ(usbMic->ActivateCalls(), c.opened ? 1 : 0);
    EXPECT_EQ(fallback->ActivateCalls(), c.opened || c.fails ? 0 : 1);
  }
}

TEST_F(AudioCaptureTest, MicrophoneModesSetTheStreamPropertiesAndTheSuppressorAndNeverFailOnThem) {
  enum Client2 { Present, Missing, Refusing };
  struct Case {
    const char* name;
    bool noiseSuppression;
    uint32_t mode, level, outputChannels;
    Client2 client2;
    MicMode expected;
    fa::AUDIO_STREAM_CATEGORY category;
    uint32_t options;
    float vadThreshold, minGain;  // 0: the suppressor is not set up
    std::string line;
  };
  const auto other = fa::AudioCategory_Other, comms = fa::AudioCategory_Communications;
  const uint32_t raw = fa::AUDCLNT_STREAMOPTIONS_RAW, none = fa::AUDCLNT_STREAMOPTIONS_NONE;
  const Case cases[] = {
      {"suppression asked in raw mode means voice processing", true, 0, 1, 2, Present, MicMode::VoiceProcessing,
       comms, none, 0, 0, ""},
      {"raw", false, 0, 1, 2, Present, MicMode::Raw, other, raw, 0, 0, ""},
      // A mono encoder: the suppressor still reads the stereo chunks it is handed.
      {"suppression level 2", true, 2, 2, 1, Present, MicMode::NoiseSuppression, other, raw, 0.6f, 0.03f, ""},
      {"suppression level 0", false, 2, 0, 2, Present, MicMode::NoiseSuppression, other, raw, 0.2f, 0.5f, ""},
      {"an unknown level keeps the defaults", false, 2, 9, 2, Present, MicMode::NoiseSuppression, other, raw, 0.5f,
       0.15f, ""},
      {"voice processing without properties", false, 1, 1, 2, Missing, MicMode::VoiceProcessing, other, 0, 0, 0,
       "[AudioCapture] IAudioClient2 not available on this mic \xE2\x80\x94 Voice Processing DSP skipped\n"},
      {"raw without properties", false, 0, 1, 2, Missing, MicMode::Raw, other, 0, 0, 0, ""},
      {"voice processing refused", false, 1, 1, 2, Refusing, MicMode::VoiceProcessing, comms, none, 0, 0,
       "[AudioCapture] WARNING: Failed to enable Voice Processing DSP: 0x80070032 (continuing without)\n"},
      {"raw refused", false, 0, 1, 2, Refusing, MicMode::Raw, other, raw, 0, 0,
       "[AudioCapture] WARNING: RAW mic mode not available: 0x80070032 (mic enhancements may still apply)\n"}};
  auto mic = AddMic();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    log.Clear();
    mic->SetHasAudioClient2(c.client2 != Missing);
    mic->SetFault(FakeAudioPoint::SetClientProperties,
                  FakeAudioFault::Code(c.client2 == Refusing ? HRESULT_ERROR_NOT_SUPPORTED : S_OK));
    auto capture = MakeCapture();
    ASSERT_TRUE(capture->Initialize(false, true, L"", 48000, c.outputChannels, c.noiseSuppression, c.mode, c.level));
    EXPECT_TRUE(capture->HasMicStream());
    EXPECT_EQ(log.Lines(), c.line.empty() ? Lines{} : Lines{c.line});
    EXPECT_EQ(capture->GetMicMode(), c.expected);
    EXPECT_EQ(capture->IsVoiceProcessing(), c.expected == MicMode::VoiceProcessing);
    const auto properties = mic->LastClient()->PropertiesSet();
    ASSERT_EQ(properties.size(), c.client2 == Present ? 1u : 0u);
    if (c.client2 == Present) {
      EXPECT_EQ(properties[0].cbSize, 16u);
      EXPECT_FALSE(properties[0].bIsOffload);
      EXPECT_EQ(properties[0].eCategory, c.category);
      EXPECT_EQ(properties[0].Options, c.options);
    }
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
  auto capture = MakeCapture();
  ASSERT_TRUE(capture->Initialize(false, true, L"", 44100, 2, false, 2, 1));
  EXPECT_TRUE(capture->GetNoiseSuppressor().IsBypassed());
}

TEST_F(AudioCaptureTest, BothStreamsOpenEventDrivenWithFormatsReadFromTheTagAndWidthAlone) {
  fa::WaveFormat plainFloat = fa::FakePcm16Format(44100, 6);
  plainFloat.wFormatTag = fa::WAVE_FORMAT_IEEE_FLOAT;
  plainFloat.wBitsPerSample = 32;
  plainFloat.nBlockAlign = 24;
  auto speakers = AddSpeakers(plainFloat);
  // Extensible 32-bit integer PCM counts as float: the sub-format is not consulted.
  AddMic(fa::MakeExtensibleFormat(44100, 2, 32, false, fa::KSAUDIO_SPEAKER_STEREO));
  auto capture = MakeCapture();
  ASSERT_TRUE(InitializeDefault(*capture, true, true));
  EXPECT_EQ(capture->GetSystemFormat(), (CaptureFormat{44100, 6, 32, true}));
  EXPECT_EQ(capture->GetMicFormat(), (CaptureFormat{44100, 2, 32, true}));
  EXPECT_DOUBLE_EQ(capture->GetResampleRatio(), 44100.0 / 48000.0);
  EXPECT_EQ(log.Lines(), (Lines{"[AudioCapture] Mic sample rate (44100Hz) differs from output (48000Hz) - "
                                "resampling enabled (ratio: 0.9187)\n"}));
  auto client = speakers->LastClient();
  // Loopback and event-driven, over 100 ms, with its event.
  EXPECT_TRUE(client->InitializeFlags() == 0x60000u && client->InitializeBufferDuration() == 1000000);
  EXPECT_TRUE(client->EventHandle());
  EXPECT_EQ(system->DefaultEndpointRequests(),
            (std::vector<std::pair<fa::EDataFlow, fa::ERole>>{{fa::eRender, fa::eConsole},
                                                               {fa::eCapture, fa::eCommunications}}));
}


using fa::FakeActivation;

constexpr char kTimedOut[] =
    "[AudioCapture] Process loopback activation timed out after 1000ms; falling back to system audio\n";

class ProcessLoopbackTest : public AudioCaptureTest {
 protected:
  // The recorder's order: Initialize without system audio, then the process loopback.
  std::unique_ptr<AudioCapture> InitializedCapture() {
    auto capture = MakeCapture();
    EXPECT_TRUE(InitializeDefault(*capture, false, false));
    return capture;
  }
};

TEST_F(ProcessLoopbackTest, ActivatesTheProcessTreeAndItsStreamFeedsTheMix) {
  system->ProcessLoopbackEndpoint()->SetMixFormat(fa::FakeFloatFormat(44100, 2));
  auto capture = InitializedCapture();
  ASSERT_TRUE(capture->InitializeProcessLoopback(4242));
  EXPECT_TRUE(log.Lines().empty());
  EXPECT_TRUE(capture->IsUsingProcessLoopback() && capture->HasSystemStream());
  EXPECT_EQ(capture->GetProcessId(), 4242u);
  EXPECT_EQ(capture->GetSystemFormat(), (CaptureFormat{44100, 2, 32, true}));
  const auto requests = system->ActivationRequests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].path, L"VAD\\Process_Loopback");
  EXPECT_EQ(requests[0].vt, 65);  // a blob
  EXPECT_EQ(requests[0].blobSize, 12u);
  EXPECT_EQ(requests[0].params.ActivationType, fa::AUDIOCLIENT_ACTIVATION_TYPE_PROCESS_LOOPBACK);
  EXPECT_EQ(requests[0].params.ProcessLoopbackParams.TargetProcessId, 4242u);
  EXPECT_EQ(requests[0].params.ProcessLoopbackParams.ProcessLoopbackMode,
            fa::PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE);
  auto client = system->ProcessLoopbackEndpoint()->LastClient();
  ASSERT_TRUE(client);
  EXPECT_TRUE(client->InitializeFlags() == 0x60000u && client->InitializeBufferDuration() == 1000000);

  auto chunk = FirstSound(*capture, [&] { client->PushFloat(FloatFrames(480, {0.4f, 0.4f})); });
  EXPECT_EQ(chunk.pcm[0], SystemPcm(0.4f));
}

struct LoopbackFailure {
  const char* name;
  std::function<void(fa::FakeAudioSystem&)> arrange;
  std::string line;
  uint32_t processId = 4242;
  bool activates = true;  // false: refused before any activation
};
void PrintTo(const LoopbackFailure& c, std::ostream* os) { *os << c.name; }

class ProcessLoopbackFailureTest : public ProcessLoopbackTest,
                                   public ::testing::WithParamInterface<LoopbackFailure> {};

TEST_P(ProcessLoopbackFailureTest, FallsBackWithItsLine) {
  GetParam().arrange(*system);
  auto capture = InitializedCapture();
  EXPECT_FALSE(capture->InitializeProcessLoopback(GetParam().processId));
  EXPECT_EQ(log.Lines(), (std::vector<std::string>{GetParam().line}));
  EXPECT_FALSE(capture->IsUsingProcessLoopback());
  EXPECT_EQ(capture->GetProcessId(), 0u);
  EXPECT_FALSE(capture->HasSystemStream());
  EXPECT_EQ(system->ActivationRequests().size(), GetParam().activates ? 1u : 0u);
}

// Faults of the activation itself, then of the stream it opens.
std::function<void(fa::FakeAudioSystem&)> Activating(FakeActivation activation) {
  return [=](fa::FakeAudioSystem& s) { s.SetActivation(activation); };
}
std::function<void(fa::FakeAudioSystem&)> Stream(FakeAudioPoint point, HRESULT code) {
  return [=](fa::FakeAudioSystem& s) { s.ProcessLoopbackEndpoint()->SetFault(point, FakeAudioFault::Code(code)); };
}

INSTANTIATE_TEST_SUITE_P(
    Steps, ProcessLoopbackFailureTest,
    ::testing::Values(
        LoopbackFailure{"OlderSystem", [](fa::FakeAudioSystem& s) { s.SetBuildNumber(20347); },
                        "[AudioCapture] Process loopback not supported on this Windows version (requires Build "
                        "20348+)\n",
                        4242, false},
        // The oldest build that has it passes the build test.
        LoopbackFailure{"ProcessZero", [](fa::FakeAudioSystem& s) { s.SetBuildNumber(20348); },
                        "[AudioCapture] Invalid process ID for process loopback\n", 0, false},
        LoopbackFailure{"CallFails", Activating({.callResult = E_ACCESSDENIED}),
                        "[AudioCapture] ActivateAudioInterfaceAsync failed: 0x80070005\n"},
        LoopbackFailure{"PlatformTimeout", Activating({.activateResult = HRESULT_ERROR_TIMEOUT}), kTimedOut},
        LoopbackFailure{"Denied", Activating({.activateResult = E_ACCESSDENIED}),
                        "[AudioCapture] Process loopback activation failed: 0x80070005; falling back to system "
                        "audio\n"},
        LoopbackFailure{"ResultQueryFails", Activating({.resultCallFailure = E_UNEXPECTED}),
                        "[AudioCapture] Process loopback activation failed: 0x8000FFFF; falling back to system "
                        "audio\n"},
        LoopbackFailure{"NoClient", Activating({.nullClient = true}),
                        "[AudioCapture] Failed to get audio client from process loopback\n"},
        LoopbackFailure{"MixFormat", Stream(FakeAudioPoint::GetMixFormat, E_NOTIMPL),
                        "[AudioCapture] Failed to get mix format for process loopback\n"},
        LoopbackFailure{"Initialize", Stream(FakeAudioPoint::Initialize, E_INVALIDARG),
                        "[AudioCapture] Failed to initialize process loopback client: 0x80070057\n"},
        LoopbackFailure{"SetEventHandle", Stream(FakeAudioPoint::SetEventHandle, E_HANDLE),
                        "[AudioCapture] Failed to set process loopback event: 0x80070006\n"},
        LoopbackFailure{"CaptureService",
                        [](fa::FakeAudioSystem& s) { s.ProcessLoopbackEndpoint()->SetNullCaptureClient(true); },
                        "[AudioCapture] Failed to get process loopback capture client\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ProcessLoopbackTest, ALateOrMissingCompletionTimesOutAndLandsInTheHandlerAlone) {
  system->SetActivation({.delayMs = 1500});
  auto capture = InitializedCapture();
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_FALSE(capture->InitializeProcessLoopback(4242));
  EXPECT_GE(std::chrono::steady_clock::now() - begin, 950ms);
  ASSERT_TRUE(system->WaitForActivationsCompleted(1, 10000));
  EXPECT_FALSE(capture->HasSystemStream()) << "the late client was used";
  EXPECT_FALSE(capture->IsUsingProcessLoopback());

  // One that never completes may finish after the capture is gone.
  system->SetActivation({.never = true});
  capture = InitializedCapture();
  EXPECT_FALSE(capture->InitializeProcessLoopback(77));
  capture.reset();
  EXPECT_EQ(log.Lines(), (std::vector<std::string>{kTimedOut, kTimedOut}));
  system->ReleasePendingActivations();
  EXPECT_TRUE(system->WaitForActivationsCompleted(2, 10000));
}

}  // namespace
}  // namespace kalto::test
