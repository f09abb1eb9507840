// A source that goes away while recording (device removed, sound server gone) and comes back:
// the delivered timeline goes on unbroken with silence in its place, one warning line and one
// callback on the loss, one line and one callback on the return, and its sound again after it.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "audio_fixture.h"

namespace kalto::test {
namespace {

using namespace std::chrono_literals;
using fa::FakeAudioFault;
using fa::FakeAudioPoint;

struct SourceEvent {
  AudioSource source;
  bool available;
  std::wstring message;
};

class SourceEvents {
 public:
  SourceStateCallback Callback() {
    return [this](AudioSource source, bool available, const std::wstring& message) {
      {
        std::lock_guard lock(m_mutex);
        m_events.push_back({source, available, message});
      }
      m_changed.notify_all();
    };
  }
  bool WaitFor(size_t count, std::chrono::milliseconds timeout = 10s) {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_events.size() >= count; });
  }
  std::vector<SourceEvent> Events() const {
    std::lock_guard lock(m_mutex);
    return m_events;
  }

 private:
  mutable std::mutex m_mutex;
  std::condition_variable m_changed;
  std::vector<SourceEvent> m_events;
};

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
        return system->ProcessLoopbackEndpoint();
    }
    return nullptr;
  }
  bool HasStream(const AudioCapture& capture) const {
    return GetParam().source == AudioSource::Microphone ? capture.HasMicStream() : capture.HasSystemStream();
  }
  // The source is gone: its reads fail, and it is no longer there to be opened again (the
  // microphone's endpoint is gone, there is no default output, the activation is refused).
  void Remove() {
    Endpoint()->SetFault(FakeAudioPoint::GetNextPacketSize, FakeAudioFault::Code(GetParam().reason));
    switch (GetParam().kind) {
      case Kind::Microphone:
        system->RemoveEndpoint(kMicId);
        break;
      case Kind::SystemLoopback:
        system->SetDefaultEndpointFault(fa::eRender, fa::eConsole, E_NOTFOUND);
        break;
      case Kind::ProcessLoopback: {
        fa::FakeActivation refused;
        refused.activateResult = GetParam().reason;
        system->SetActivation(refused);
        break;
      }
    }
  }
  // Back, but its first stream comes without a capture service: that attempt fails too.
  void ReturnBroken() {
    if (GetParam().kind == Kind::Microphone) mic = AddMic(fa::FakePcm16Format(48000, 1), kMicId);
    Endpoint()->ClearFaults();
    Endpoint()->SetNullCaptureClient(true);
    system->SetDefaultEndpointFault(fa::eRender, fa::eConsole, S_OK);
    system->SetActivation(fa::FakeActivation{});
  }
  void Mend() { Endpoint()->SetNullCaptureClient(false); }
  // Attempts to open the source, whichever way it is opened.
  int OpenAttempts() {
    switch (GetParam().kind) {
      case Kind::Microphone:
        return static_cast<int>(system->GetDeviceRequests().size());
      case Kind::SystemLoopback:
        return static_cast<int>(system->DefaultEndpointRequests().size());
      case Kind::ProcessLoopback:
        return static_cast<int>(system->ActivationRequests().size());
    }
    return 0;
  }
  bool WaitForAttempts(int count) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (OpenAttempts() < count && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(10ms);
    }
    return OpenAttempts() >= count;
  }
  void Push(float value) {
    if (GetParam().kind == Kind::Microphone) {
      mic->LastClient()->PushInt16(std::vector<int16_t>(480, static_cast<int16_t>(value * 32767.0f)));
    } else {
      Endpoint()->LastClient()->PushFloat(FloatFrames(480, {value, value}));
    }
  }

  std::shared_ptr<fa::FakeAudioEndpoint> speakers = AddSpeakers();
  static constexpr const wchar_t* kMicId = L"{0.0.1.00000000}.{mic}";
  std::shared_ptr<fa::FakeAudioEndpoint> mic = AddMic(fa::FakePcm16Format(48000, 1), kMicId);
  SourceEvents events;
};

TEST_P(DeviceLossTest, TheTimelineGoesOnSilentlyAndTheSourceIsReopenedWhenItReturns) {
  const LossCase& param = GetParam();
  auto capture = MakeCapture();
  if (param.kind == Kind::ProcessLoopback) {
    ASSERT_TRUE(InitializeDefault(*capture, false, false));
    ASSERT_TRUE(capture->InitializeProcessLoopback(4242));
  } else {
    ASSERT_TRUE(InitializeDefault(*capture, param.kind == Kind::SystemLoopback, param.kind == Kind::Microphone));
  }
  const int opensAtStart = OpenAttempts();
  capture->SetSourceStateCallback(events.Callback());
  ASSERT_TRUE(capture->Start(sink.Callback()));
  auto firstClient = Endpoint()->LastClient();
  Push(0.25f);
  ASSERT_GE(sink.WaitForChunk([](const DeliveredChunk& c) { return !c.Silent(); }), 0);

  Remove();
  ASSERT_TRUE(events.WaitFor(1)) << "the loss was not reported";
  EXPECT_FALSE(HasStream(*capture));
  // Two failed attempts to open it again: still one warning.
  ASSERT_TRUE(WaitForAttempts(opensAtStart + 2));
  const size_t lostAt = sink.Count();
  ASSERT_TRUE(sink.WaitFor(lostAt + 5)) << "chunks stopped with the source";
  EXPECT_EQ(log.Count(param.lostLine), 1);

  ReturnBroken();
  const int brokenFrom = OpenAttempts();
  ASSERT_TRUE(WaitForAttempts(brokenFrom + 2));  // the first of them has surely finished
  EXPECT_EQ(events.Events().size(), 1u) << "a stream without a capture service is no return";
  EXPECT_FALSE(HasStream(*capture));
  Mend();
  ASSERT_TRUE(events.WaitFor(2)) << "the return was not reported";
  EXPECT_TRUE(HasStream(*capture));
  auto secondClient = Endpoint()->LastClient();
  ASSERT_NE(secondClient, firstClient);
  EXPECT_TRUE(secondClient->IsStarted());
  const size_t backAt = sink.Count();
  Push(0.5f);
  const int after = sink.WaitForChunk([](const DeliveredChunk& c) { return !c.Silent(); }, 5000, backAt);
  capture->Stop();

  ASSERT_GE(after, static_cast<int>(backAt)) << "no sound after the source returned";
  EXPECT_EQ(secondClient->StopCalls(), 1) << "the reopened stream is stopped with the capture";
  const auto chunks = sink.Chunks();
  for (size_t n = 0; n < chunks.size(); ++n) {
    EXPECT_EQ(chunks[n].byteCount, 4096u);
    if (n > 0) {
      const int64_t step = chunks[n].timestampHns - chunks[n - 1].timestampHns;
      ASSERT_TRUE(step == 213333 || step == 213334) << "chunk " << n << " steps " << step;
    }
  }
  for (size_t n = lostAt + 1; n < backAt; ++n) EXPECT_TRUE(chunks[n].Silent()) << n;
  const auto seen = events.Events();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].source, param.source);
  EXPECT_FALSE(seen[0].available);
  EXPECT_EQ(seen[0].message, param.lostMessage);
  EXPECT_EQ(seen[1].source, param.source);
  EXPECT_TRUE(seen[1].available);
  EXPECT_EQ(seen[1].message, param.backMessage);
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
  SourceEvents events;
  capture->SetSourceStateCallback(events.Callback());
  mic->SetFault(FakeAudioPoint::GetBuffer, FakeAudioFault::Code(AUDCLNT_E_BUFFER_ERROR, 1));
  ASSERT_TRUE(capture->Start(sink.Callback()));
  mic->LastClient()->PushInt16(std::vector<int16_t>(480, 1000));  // lost with the failed read
  mic->LastClient()->PushInt16(std::vector<int16_t>(480, 1000));
  ASSERT_GE(sink.WaitForChunk([](const DeliveredChunk& c) { return !c.Silent(); }), 0);
  EXPECT_TRUE(events.Events().empty());

  // Gone for good; another microphone is the default now, and is not taken instead.
  mic->SetFault(FakeAudioPoint::GetNextPacketSize, FakeAudioFault::Code(AUDCLNT_E_DEVICE_INVALIDATED));
  system->RemoveEndpoint(L"{0.0.1.00000000}.{mic}");
  system->SetDefault(fa::eCapture, L"{0.0.1.00000000}.{other}");
  ASSERT_TRUE(events.WaitFor(1));
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (system->GetDeviceRequests().size() < 2 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
  }
  capture->Stop();
  const auto requests = system->GetDeviceRequests();
  ASSERT_GE(requests.size(), 2u);
  for (const auto& id : requests) EXPECT_EQ(id, L"{0.0.1.00000000}.{mic}");
  EXPECT_EQ(other->ActivateCalls(), 0);
  EXPECT_FALSE(capture->HasMicStream());
}

}  // namespace
}  // namespace kalto::test
