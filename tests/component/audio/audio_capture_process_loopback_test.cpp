// Per-process loopback: the build test, the activation request, its completion handler, every
// time-out and failure code, and the stream it opens.
#include <chrono>
#include <cstring>

#include "audio/process_loopback_completion_handler.h"
#include "audio_fixture.h"

namespace kalto::test {
namespace {

using fa::FakeActivation;
using fa::FakeAudioFault;
using fa::FakeAudioPoint;

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

TEST_F(ProcessLoopbackTest, ActivatesTheProcessTreeAndOpensItsStream) {
  system->ProcessLoopbackEndpoint()->SetMixFormat(fa::FakeFloatFormat(44100, 2));
  auto capture = InitializedCapture();
  ASSERT_TRUE(capture->InitializeProcessLoopback(4242));
  EXPECT_TRUE(log.Lines().empty());
  EXPECT_TRUE(capture->IsUsingProcessLoopback());
  EXPECT_EQ(capture->GetProcessId(), 4242u);
  EXPECT_TRUE(capture->HasSystemStream());
  EXPECT_EQ(capture->GetSystemFormat(), (CaptureFormat{44100, 2, 32, true}));

  auto requests = system->ActivationRequests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].path, L"VAD\\Process_Loopback");
  EXPECT_EQ(requests[0].vt, 65);
  EXPECT_EQ(requests[0].blobSize, 12u);
  EXPECT_EQ(requests[0].params.ActivationType, fa::AUDIOCLIENT_ACTIVATION_TYPE_PROCESS_LOOPBACK);
  EXPECT_EQ(requests[0].params.ProcessLoopbackParams.TargetProcessId, 4242u);
  EXPECT_EQ(requests[0].params.ProcessLoopbackParams.ProcessLoopbackMode,
            fa::PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE);
  auto client = system->ProcessLoopbackEndpoint()->LastClient();
  ASSERT_TRUE(client);
  EXPECT_EQ(client->InitializeFlags(), 0x60000u);
  EXPECT_EQ(client->InitializeBufferDuration(), 1000000);
}

TEST_F(ProcessLoopbackTest, OlderSystemsAndProcessZeroAreRefusedBeforeAnyActivation) {
  system->SetBuildNumber(19045);
  auto capture = InitializedCapture();
  EXPECT_FALSE(capture->InitializeProcessLoopback(4242));
  system->SetBuildNumber(20348);
  EXPECT_FALSE(capture->InitializeProcessLoopback(0));
  EXPECT_EQ(log.Lines(),
            (std::vector<std::string>{"[AudioCapture] Process loopback not supported on this Windows version "
                                      "(requires Build 20348+)\n",
                                      "[AudioCapture] Invalid process ID for process loopback\n"}));
  EXPECT_TRUE(system->ActivationRequests().empty());
  EXPECT_FALSE(capture->IsUsingProcessLoopback());
}

struct ActivationFailure {
  const char* name;
  FakeActivation activation;
  std::string line;
};

class ActivationFailureTest : public ProcessLoopbackTest, public ::testing::WithParamInterface<ActivationFailure> {};

TEST_P(ActivationFailureTest, FallsBackWithItsLine) {
  system->SetActivation(GetParam().activation);
  auto capture = InitializedCapture();
  EXPECT_FALSE(capture->InitializeProcessLoopback(4242));
  EXPECT_EQ(log.Lines(), (std::vector<std::string>{GetParam().line}));
  EXPECT_FALSE(capture->IsUsingProcessLoopback());
  EXPECT_EQ(capture->GetProcessId(), 0u);
  EXPECT_FALSE(capture->HasSystemStream());
}

FakeActivation CallFails(HRESULT code) {
  FakeActivation a;
  a.callResult = code;
  return a;
}
FakeActivation CompletesWith(HRESULT code) {
  FakeActivation a;
  a.activateResult = code;
  return a;
}
FakeActivation ResultQueryFails(HRESULT code) {
  FakeActivation a;
  a.resultCallFailure = code;
  return a;
}
FakeActivation NoClient() {
  FakeActivation a;
  a.nullClient = true;
  return a;
}

INSTANTIATE_TEST_SUITE_P(
    Codes, ActivationFailureTest,
    ::testing::Values(
        ActivationFailure{"CallFails", CallFails(E_ACCESSDENIED),
                          "[AudioCapture] ActivateAudioInterfaceAsync failed: 0x80070005\n"},
        ActivationFailure{"PlatformTimeout", CompletesWith(HRESULT_ERROR_TIMEOUT), kTimedOut},
        ActivationFailure{"Denied", CompletesWith(E_ACCESSDENIED),
                          "[AudioCapture] Process loopback activation failed: 0x80070005; falling back to system "
                          "audio\n"},
        ActivationFailure{"ResultQueryFails", ResultQueryFails(E_UNEXPECTED),
                          "[AudioCapture] Process loopback activation failed: 0x8000FFFF; falling back to system "
                          "audio\n"},
        ActivationFailure{"NoClient", NoClient(),
                          "[AudioCapture] Failed to get audio client from process loopback\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ProcessLoopbackTest, ACompletionAfterTheWaitIsReportedAsATimeOutAndItsClientIsNeverUsed) {
  FakeActivation late;
  late.delayMs = 1500;
  system->SetActivation(late);
  auto capture = InitializedCapture();
  auto begin = std::chrono::steady_clock::now();
  EXPECT_FALSE(capture->InitializeProcessLoopback(4242));
  auto waited = std::chrono::steady_clock::now() - begin;
  EXPECT_GE(waited, std::chrono::milliseconds(950));
  EXPECT_EQ(log.Lines(), (std::vector<std::string>{kTimedOut}));

  // The late completion lands in the handler alone, which goes away with its client.
  ASSERT_TRUE(system->WaitForActivationsCompleted(1, 10000));
  EXPECT_FALSE(capture->HasSystemStream());
  EXPECT_FALSE(capture->IsUsingProcessLoopback());
}

TEST_F(ProcessLoopbackTest, AnActivationThatNeverCompletesTimesOutAndCanFinishAfterTheCaptureIsGone) {
  FakeActivation never;
  never.never = true;
  system->SetActivation(never);
  {
    auto capture = InitializedCapture();
    EXPECT_FALSE(capture->InitializeProcessLoopback(77));
  }
  EXPECT_EQ(log.Lines(), (std::vector<std::string>{kTimedOut}));
  system->ReleasePendingActivations();
  EXPECT_TRUE(system->WaitForActivationsCompleted(1, 10000));
}

struct StreamFailure {
  const char* name;
  std::function<void(fa::FakeAudioEndpoint&)> arrange;
  std::string line;
};

class ProcessStreamFailureTest : public ProcessLoopbackTest, public ::testing::WithParamInterface<StreamFailure> {};

TEST_P(ProcessStreamFailureTest, EachStreamStepFailsWithItsLine) {
  GetParam().arrange(*system->ProcessLoopbackEndpoint());
  auto capture = InitializedCapture();
  EXPECT_FALSE(capture->InitializeProcessLoopback(4242));
  EXPECT_EQ(log.Lines(), (std::vector<std::string>{GetParam().line}));
  EXPECT_FALSE(capture->IsUsingProcessLoopback());
}

INSTANTIATE_TEST_SUITE_P(
    Steps, ProcessStreamFailureTest,
    ::testing::Values(
        StreamFailure{"MixFormat",
                      [](fa::FakeAudioEndpoint& e) {
                        e.SetFault(FakeAudioPoint::GetMixFormat, FakeAudioFault::Code(E_NOTIMPL));
                      },
                      "[AudioCapture] Failed to get mix format for process loopback\n"},
        StreamFailure{"Initialize",
                      [](fa::FakeAudioEndpoint& e) {
                        e.SetFault(FakeAudioPoint::Initialize, FakeAudioFault::Code(E_INVALIDARG));
                      },
                      "[AudioCapture] Failed to initialize process loopback client: 0x80070057\n"},
        StreamFailure{"SetEventHandle",
                      [](fa::FakeAudioEndpoint& e) {
                        e.SetFault(FakeAudioPoint::SetEventHandle, FakeAudioFault::Code(E_HANDLE));
                      },
                      "[AudioCapture] Failed to set process loopback event: 0x80070006\n"},
        StreamFailure{"CaptureService", [](fa::FakeAudioEndpoint& e) { e.SetNullCaptureClient(true); },
                      "[AudioCapture] Failed to get process loopback capture client\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ProcessLoopbackTest, TheProcessStreamFeedsTheMix) {
  auto capture = InitializedCapture();
  ASSERT_TRUE(capture->InitializeProcessLoopback(4242));
  ASSERT_TRUE(capture->Start(sink.Callback()));
  system->ProcessLoopbackEndpoint()->LastClient()->PushFloat(FloatFrames(480, {0.4f, 0.4f}));
  int index = sink.WaitForChunk([](const DeliveredChunk& c) { return !c.Silent(); });
  ASSERT_GE(index, 0);
  // 0.4 x 0.625 (default system gain)
  EXPECT_EQ(sink.Chunks()[index].pcm[0], static_cast<int16_t>(0.25f * 32767.0f));
  capture->Stop();
}

// The handler on its own: every outcome signals the event, and a failed query keeps no client.
class ScriptedOperation : public fa::ActivateAudioInterfaceAsyncOperation {
 public:
  ScriptedOperation(HRESULT call, HRESULT result, std::shared_ptr<fa::AudioClient> client, bool throws = false)
      : m_call(call), m_result(result), m_client(std::move(client)), m_throws(throws) {}
  HRESULT GetActivateResult(HRESULT* activateResult, std::shared_ptr<fa::AudioClient>* activated) override {
    if (m_throws) throw std::runtime_error("broken operation");
    *activateResult = m_result;
    *activated = m_client;
    return m_call;
  }

 private:
  HRESULT m_call;
  HRESULT m_result;
  std::shared_ptr<fa::AudioClient> m_client;
  bool m_throws;
};

TEST(ProcessLoopbackCompletionHandler, StartsFailedAndRecordsEachOutcome) {
  fa::FakeAudioSystem fake;
  auto client = fake.ProcessLoopbackEndpoint()->MakeClient(true);

  ProcessLoopbackCompletionHandler fresh;
  EXPECT_EQ(fresh.ActivateResult(), E_FAIL);
  EXPECT_FALSE(fresh.CompletedEvent().IsSignalled());
  EXPECT_TRUE(fresh.CompletedEvent().IsManualReset());

  ProcessLoopbackCompletionHandler ok;
  ScriptedOperation success(S_OK, S_OK, client);
  EXPECT_EQ(ok.ActivateCompleted(success), S_OK);
  EXPECT_EQ(ok.ActivateResult(), S_OK);
  EXPECT_EQ(ok.AudioClient(), client);
  EXPECT_TRUE(ok.CompletedEvent().IsSignalled());

  ProcessLoopbackCompletionHandler queryFailed;
  ScriptedOperation failedQuery(E_ILLEGAL_METHOD_CALL, S_OK, client);
  EXPECT_EQ(queryFailed.ActivateCompleted(failedQuery), S_OK);
  EXPECT_EQ(queryFailed.ActivateResult(), E_ILLEGAL_METHOD_CALL);
  EXPECT_FALSE(queryFailed.AudioClient());
  EXPECT_TRUE(queryFailed.CompletedEvent().IsSignalled());

  ProcessLoopbackCompletionHandler denied;
  ScriptedOperation deniedOp(S_OK, E_ACCESSDENIED, nullptr);
  denied.ActivateCompleted(deniedOp);
  EXPECT_EQ(denied.ActivateResult(), E_ACCESSDENIED);

  ProcessLoopbackCompletionHandler empty;
  ScriptedOperation emptyOp(S_OK, S_OK, nullptr);
  empty.ActivateCompleted(emptyOp);
  EXPECT_EQ(empty.ActivateResult(), S_OK);
  EXPECT_FALSE(empty.AudioClient());

  ProcessLoopbackCompletionHandler thrown;
  ScriptedOperation throwing(S_OK, S_OK, client, true);
  EXPECT_EQ(thrown.ActivateCompleted(throwing), S_OK);
  EXPECT_EQ(thrown.ActivateResult(), E_FAIL);
  EXPECT_TRUE(thrown.CompletedEvent().IsSignalled());
}

}  // namespace
}  // namespace kalto::test
