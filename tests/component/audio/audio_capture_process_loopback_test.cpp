// Per-process loopback: the build test, the activation request, its completion handler, every
// time-out and failure code, and the stream it opens.
#include "audio/process_loopback_completion_handler.h"
#include "audio_fixture.h"

namespace kalto::test {
namespace {

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
  EXPECT_TRUE(capture->IsUsingProcessLoopback());
  EXPECT_EQ(capture->GetProcessId(), 4242u);
  EXPECT_TRUE(capture->HasSystemStream());
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
  EXPECT_EQ(client->InitializeFlags(), 0x60000u);
  EXPECT_EQ(client->InitializeBufferDuration(), 1000000);

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

// An operation that throws when asked for its outcome.
class ThrowingOperation : public fa::ActivateAudioInterfaceAsyncOperation {
 public:
  HRESULT GetActivateResult(HRESULT*, std::shared_ptr<fa::AudioClient>*) override {
    throw std::runtime_error("broken operation");
  }
};

TEST(ProcessLoopbackCompletionHandler, StartsFailedAndAThrowingOperationStillCompletesAsAFailure) {
  ProcessLoopbackCompletionHandler handler;
  EXPECT_EQ(handler.ActivateResult(), E_FAIL);
  EXPECT_FALSE(handler.CompletedEvent().IsSignalled());
  EXPECT_TRUE(handler.CompletedEvent().IsManualReset());
  ThrowingOperation operation;
  EXPECT_EQ(handler.ActivateCompleted(operation), S_OK);
  EXPECT_EQ(handler.ActivateResult(), E_FAIL);
  EXPECT_EQ(handler.AudioClient(), nullptr);
  EXPECT_TRUE(handler.CompletedEvent().IsSignalled()) << "the waiter would wait out the whole time-out";
}

}  // namespace
}  // namespace kalto::test
