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
  HRESULT reason;
  const char* code;  // the reason as the warning writes it
};
// Stable test names: the default prints the case's bytes, addresses included.
void PrintTo(const LossCase& c, std::ostream* os) { *os << c.name; }

class DeviceLossTest : public AudioCaptureTest, public ::testing::WithParamInterface<LossCase> {
 protected:
  bool IsMic() const { return GetParam().kind == Kind::Microphone; }
  // The endpoint whose clients carry the source.
  std::shared_ptr<fa::FakeAudioEndpoint> Endpoint() {
    return IsMic() ? mic : GetParam().kind == Kind::SystemLoopback ? speakers : system->ProcessLoopbackEndpoint();
  }
  bool HasStream(const AudioCapture& capture) const { return IsMic() ? capture.HasMicStream() : capture.HasSystemStream(); }
  // The source is gone: its reads fail, and it is no longer there to be opened again (the
  // microphone's endpoint is gone, there is no default output, the activation is refused).
  void Remove() {
    Endpoint()->SetFault(FakeAudioPoint::GetNextPacketSize, FakeAudioFault::Code(GetParam().reason));
    if (IsMic()) system->RemoveEndpoint(kMicId);
    system->SetDefaultEndpointFault(fa::eRender, fa::eConsole, E_NOTFOUND);
    system->SetActivation({.activateResult = GetParam().reason});
  }
  // Back, but its first stream comes without a capture service: that attempt fails too.
  void ReturnBroken() {
    if (IsMic()) mic = AddMic(fa::FakePcm16Format(48000, 1), kMicId);
    Endpoint()->ClearFaults();
    Endpoint()->SetNullCaptureClient(true);
    system->SetDefaultEndpointFault(fa::eRender, fa::eConsole, S_OK);
    system->SetActivation({});
  }
  // Attempts to open the source, whichever way it is opened.
  size_t OpenAttempts() {
    return IsMic() ? system->GetDeviceRequests().size()
                   : GetParam().kind == Kind::SystemLoopback ? system->DefaultEndpointRequests().size()
                                                             : system->ActivationRequests().size();
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
  const std::string name = IsMic() ? "Microphone" : "System audio";
  const std::string lostLine = "[AudioCapture] WARNING: " + name + " lost (" + GetParam().code +
                               "); recording silence until it returns\n";
  auto capture = MakeCapture();
  ASSERT_TRUE(InitializeDefault(*capture, GetParam().kind == Kind::SystemLoopback, IsMic()));
  if (GetParam().kind == Kind::ProcessLoopback) {
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
  EXPECT_EQ(log.Count(lostLine), 1);

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
  const std::wstring wideName = Utf8ToWide(name);
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(events[i].source, IsMic() ? AudioSource::Microphone : AudioSource::System);
    EXPECT_EQ(events[i].available, i == 1);
  }
  EXPECT_EQ(events[0].message, wideName + L" lost; recording silence until it returns");
  EXPECT_EQ(events[1].message, wideName + L" is back");
  EXPECT_EQ(log.Lines(), (std::vector<std::string>{lostLine, "[AudioCapture] " + name + " is back\n"}));
}

INSTANTIATE_TEST_SUITE_P(
    Sources, DeviceLossTest,
    ::testing::Values(LossCase{"Microphone", Kind::Microphone, AUDCLNT_E_DEVICE_INVALIDATED, "0x88890004"},
                      LossCase{"SystemLoopback", Kind::SystemLoopback, AUDCLNT_E_SERVICE_NOT_RUNNING, "0x88890010"},
                      LossCase{"ProcessLoopback", Kind::ProcessLoopback, AUDCLNT_E_DEVICE_INVALIDATED, "0x88890004"}),
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
