// A source that goes away while recording (device removed, sound server gone) and comes back:
// the delivered timeline goes on unbroken with silence in its place, one warning line and one
// callback on the loss, one line and one callback on the return, and its sound again after it.
#include "audio_fixture.h"

namespace kalto::test {
namespace {

enum class Kind { Microphone, SystemLoopback, ProcessLoopback };

struct LossCase {
  const char* name;
  Kind kind;
  AudioSource source;
  HRESULT reason;
  const char* lostLine;
  const char* backLine;
  const wchar_t* lostMessage;
  const wchar_t* backMessage;
};

class DeviceLossTest : public AudioCaptureTest, public ::testing::WithParamInterface<LossCase> {
 protected:
  // The endpoint whose clients carry the source.
  std::shared_ptr<fa::FakeAudioEndpoint> Endpoint() {
    switch (GetParam().kind) {
      case Kind::Microphone:
        return mic;
      case Kind::SystemLoopback:
        return speakers;
      case Kind::ProcessLoopback:
        break;
    }
    return system->ProcessLoopbackEndpoint();
  }
  bool HasStream(const AudioCapture& capture) const {
    return GetParam().source == AudioSource::Microphone ? capture.HasMicStream() : capture.HasSystemStream();
  }
  // The source is gone: its reads fail, and it is no longer there to be opened again (the
  // microphone's endpoint is gone, there is no default output, the activation is refused).
  void Remove() {
    Endpoint()->SetFault(FakeAudioPoint::GetNextPacketSize, FakeAudioFault::Code(GetParam().reason));
    if (GetParam().kind == Kind::Microphone) system->RemoveEndpoint(kMicId);
    system->SetDefaultEndpointFault(fa::eRender, fa::eConsole, E_NOTFOUND);
    system->SetActivation({.activateResult = GetParam().reason});
  }
  // Back, but its first stream comes without a capture service: that attempt fails too.
  void ReturnBroken() {
    if (GetParam().kind == Kind::Microphone) mic = AddMic(fa::FakePcm16Format(48000, 1), kMicId);
    Endpoint()->ClearFaults();
    Endpoint()->SetNullCaptureClient(true);
    system->SetDefaultEndpointFault(fa::eRender, fa::eConsole, S_OK);
    system->SetActivation({});
  }
  // Attempts to open the source, whichever way it is opened.
  size_t OpenAttempts() {
    switch (GetParam().kind) {
      case Kind::Microphone:
        return system->GetDeviceRequests().size();
      case Kind::SystemLoopback:
        return system->DefaultEndpointRequests().size();
      case Kind::ProcessLoopback:
        break;
    }
    return system->ActivationRequests().size();
  }
  bool WaitForAttempts(size_t count) {
    return WaitUntil([&] { return OpenAttempts() >= count; });
  }
  void Push(float value) {
    if (GetParam().kind == Kind::Microphone) {
      mic->LastClient()->PushInt16(std::vector<int16_t>(480, static_cast<int16_t>(value * 32767.0f)));
    } else {
      Endpoint()->LastClient()->PushFloat(FloatFrames(480, {value, value}));
    }
  }

  std::shared_ptr<fa::FakeAudioEndpoint> speakers = AddSpeakers();
  std::shared_ptr<fa::FakeAudioEndpoint> mic = AddMic();
};

TEST_P(DeviceLossTest, TheTimelineGoesOnSilentlyAndTheSourceIsReopenedWhenItReturns) {
  const LossCase& param = GetParam();
  auto capture = MakeCapture();
  ASSERT_TRUE(InitializeDefault(*capture, param.kind == Kind::SystemLoopback, param.kind == Kind::Microphone));
  if (param.kind == Kind::ProcessLoopback) {
    ASSERT_TRUE(capture->InitializeProcessLoopback(4242));
  }
  const size_t opensAtStart = OpenAttempts();
  capture->SetSourceStateCallback(sink.Sources());
  ASSERT_TRUE(capture->Start(sink.Callback()));
  auto firstClient = Endpoint()->LastClient();
  Push(0.25f);
  ASSERT_GE(sink.WaitForSound(), 0);

  Remove();
  ASSERT_TRUE(sink.WaitForEvents(1)) << "the loss was not reported";
  EXPECT_FALSE(HasStream(*capture));
  // Tried again a second after the loss and every second after that: two failed attempts, and
  // still one warning.
  EXPECT_FALSE(WaitUntil([&] { return OpenAttempts() > opensAtStart; }, 400ms)) << "retried at once";
  ASSERT_TRUE(WaitForAttempts(opensAtStart + 2));
  EXPECT_FALSE(WaitUntil([&] { return OpenAttempts() > opensAtStart + 2; }, 400ms)) << "retried at once";
  const size_t lostAt = sink.Count();
  ASSERT_TRUE(sink.WaitFor(lostAt + 5)) << "chunks stopped with the source";
  EXPECT_EQ(log.Count(param.lostLine), 1);

  ReturnBroken();
  // Two more attempts: the first of them has surely finished.
  ASSERT_TRUE(WaitForAttempts(OpenAttempts() + 2));
  EXPECT_EQ(sink.Events().size(), 1u) << "a stream without a capture service is no return";
  EXPECT_FALSE(HasStream(*capture));
  Endpoint()->SetNullCaptureClient(false);
  ASSERT_TRUE(sink.WaitForEvents(2)) << "the return was not reported";
  EXPECT_TRUE(HasStream(*capture));
  auto secondClient = Endpoint()->LastClient();
  ASSERT_NE(secondClient, firstClient);
  EXPECT_TRUE(secondClient->IsStarted());
  const size_t backAt = sink.Count();
  Push(0.5f);
  const int after = sink.WaitForSound(backAt);
  capture->Stop();

  ASSERT_GE(after, static_cast<int>(backAt)) << "no sound after the source returned";
  EXPECT_EQ(secondClient->StopCalls(), 1) << "the reopened stream is stopped with the capture";
  const auto chunks = sink.Chunks();
  ExpectOnTimeline(*capture, chunks);
  for (size_t n = lostAt + 1; n < backAt; ++n) EXPECT_TRUE(chunks[n].Silent()) << n;
  const auto events = sink.Events();
  ASSERT_EQ(events.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(events[i].source, param.source);
    EXPECT_EQ(events[i].available, i == 1);
    EXPECT_EQ(events[i].message, i == 0 ? param.lostMessage : param.backMessage);
  }
  EXPECT_EQ(log.Lines(), (std::vector<std::string>{param.lostLine, param.backLine}));
}

INSTANTIATE_TEST_SUITE_P(
    Sources, DeviceLossTest,
    ::testing::Values(
        LossCase{"Microphone", Kind::Microphone, AudioSource::Microphone, AUDCLNT_E_DEVICE_INVALIDATED,
                 "[AudioCapture] WARNING: Microphone lost (0x88890004); recording silence until it returns\n",
                 "[AudioCapture] Microphone is back\n", L"Microphone lost; recording silence until it returns",
                 L"Microphone is back"},
        LossCase{"SystemLoopback", Kind::SystemLoopback, AudioSource::System, AUDCLNT_E_SERVICE_NOT_RUNNING,
                 "[AudioCapture] WARNING: System audio lost (0x88890010); recording silence until it returns\n",
                 "[AudioCapture] System audio is back\n", L"System audio lost; recording silence until it returns",
                 L"System audio is back"},
        LossCase{"ProcessLoopback", Kind::ProcessLoopback, AudioSource::System, AUDCLNT_E_DEVICE_INVALIDATED,
                 "[AudioCapture] WARNING: System audio lost (0x88890004); recording silence until it returns\n",
                 "[AudioCapture] System audio is back\n", L"System audio lost; recording silence until it returns",
                 L"System audio is back"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(AudioCaptureTest, OtherReadFailuresAreNotALossAndAMicrophoneIsReopenedOnlyUnderItsOwnId) {
  auto mic = AddMic();
  auto other = AddMic(fa::FakePcm16Format(48000, 1), L"{0.0.1.00000000}.{other}", false);
  auto capture = MakeCapture();
  ASSERT_TRUE(InitializeDefault(*capture, false, true));
  capture->SetSourceStateCallback(sink.Sources());
  mic->SetFault(FakeAudioPoint::GetBuffer, FakeAudioFault::Code(AUDCLNT_E_BUFFER_ERROR, 1));
  ASSERT_TRUE(capture->Start(sink.Callback()));
  mic->LastClient()->PushInt16(std::vector<int16_t>(480, 1000));  // lost with the failed read
  mic->LastClient()->PushInt16(std::vector<int16_t>(480, 1000));
  ASSERT_GE(sink.WaitForSound(), 0);
  EXPECT_TRUE(sink.Events().empty());

  // Gone for good; another microphone is the default now, and is not taken instead.
  mic->SetFault(FakeAudioPoint::GetNextPacketSize, FakeAudioFault::Code(AUDCLNT_E_DEVICE_INVALIDATED));
  system->RemoveEndpoint(kMicId);
  system->SetDefault(fa::eCapture, L"{0.0.1.00000000}.{other}");
  ASSERT_TRUE(sink.WaitForEvents(1));
  ASSERT_TRUE(WaitUntil([&] { return system->GetDeviceRequests().size() >= 2; }));
  capture->Stop();
  for (const auto& id : system->GetDeviceRequests()) EXPECT_EQ(id, kMicId);
  EXPECT_EQ(other->ActivateCalls(), 0);
  EXPECT_FALSE(capture->HasMicStream());
}

}  // namespace
}  // namespace kalto::test
