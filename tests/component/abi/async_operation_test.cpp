#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/abi/async_operation.h"
#include "platform/abi/module_count.h"
#include "support/debug_capture.h"

namespace kalto::abi {
namespace {

using namespace std::chrono_literals;

// The application compares against the platform's numeric values.
static_assert(static_cast<int>(AsyncStatus::Started) == 0 && static_cast<int>(AsyncStatus::Completed) == 1 &&
              static_cast<int>(AsyncStatus::Canceled) == 2 && static_cast<int>(AsyncStatus::Error) == 3);

struct HandlerLog {
  std::atomic<int> calls{0};
  std::atomic<AsyncStatus> status{AsyncStatus::Started};
  std::atomic<std::thread::id> thread{};
  AsyncOperationBool::CompletedHandler Handler() {
    return [this](AsyncOperationBool&, AsyncStatus s) {
      status = s;
      thread = std::this_thread::get_id();
      ++calls;
    };
  }
};

// The handler runs on the completing thread, and may wait on and read its own operation there
// (the status is set before the handler runs, outside the lock).
TEST(AsyncOperation, CompletionFromAnotherThreadWakesTheWaiterAndCallsTheHandlerOnce) {
  auto op = AsyncOperationBool::Create();
  HandlerLog log;
  HRESULT readInHandler = E_FAIL;
  auto record = log.Handler();
  ASSERT_EQ(op->SetCompleted([&, record](AsyncOperationBool& self, AsyncStatus s) {
    self.Wait();
    bool value = true;
    readInHandler = self.GetResults(value);
    record(self, s);
  }), S_OK);
  std::thread::id producerId;
  std::thread producer([op, &producerId] {
    producerId = std::this_thread::get_id();
    std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(op->Complete(false));  // false is a result, not a failure
  });
  op->Wait();
  producer.join();
  bool result = true;
  EXPECT_EQ(op->GetResults(result), S_OK);
  EXPECT_FALSE(result);
  EXPECT_EQ(op->ErrorCode(), S_OK);
  EXPECT_EQ(readInHandler, S_OK);
  EXPECT_EQ(log.calls, 1);
  EXPECT_EQ(log.status, AsyncStatus::Completed);
  EXPECT_EQ(log.thread.load(), producerId);
  // Later outcomes are ignored and the handler is not called again.
  EXPECT_FALSE(op->Complete(true));
  EXPECT_FALSE(op->Fail(E_FAIL));
  EXPECT_EQ(op->Cancel(), S_OK);
  EXPECT_EQ(op->Status(), AsyncStatus::Completed);
  EXPECT_EQ(log.calls, 1);
}

TEST(AsyncOperation, HandlerSetAfterCompletionRunsAtOnceAndOnlyOneHandlerIsAccepted) {
  auto op = AsyncOperationBool::Create();
  HandlerLog first, second;
  EXPECT_EQ(op->SetCompleted(nullptr), E_POINTER);
  ASSERT_TRUE(op->Complete(true));
  ASSERT_EQ(op->SetCompleted(first.Handler()), S_OK);
  EXPECT_EQ(first.calls, 1);
  EXPECT_EQ(first.thread.load(), std::this_thread::get_id());
  EXPECT_EQ(op->SetCompleted(second.Handler()), E_ILLEGAL_DELEGATE_ASSIGNMENT);
  auto running = AsyncOperationBool::Create();
  ASSERT_EQ(running->SetCompleted(first.Handler()), S_OK);
  EXPECT_EQ(running->SetCompleted(second.Handler()), E_ILLEGAL_DELEGATE_ASSIGNMENT);
  EXPECT_EQ(second.calls, 0);
}

TEST(AsyncOperation, CancelAndFailEndTheOperationWithTheirCodes) {
  auto op = AsyncOperationBool::Create();
  HandlerLog log;
  op->SetCompleted(log.Handler());
  std::atomic<bool> producerCompleted{true};
  std::thread producer([op, &producerCompleted] {
    while (!op->IsCancellationRequested()) std::this_thread::sleep_for(1ms);
    producerCompleted = op->Complete(true);  // too late: the cancel stands
  });
  std::this_thread::sleep_for(10ms);
  EXPECT_EQ(op->Cancel(), S_OK);
  producer.join();
  EXPECT_FALSE(producerCompleted);
  bool result = true;
  EXPECT_EQ(op->GetResults(result), HRESULT_ERROR_CANCELLED);
  EXPECT_EQ(log.calls, 1);
  EXPECT_EQ(log.status, AsyncStatus::Canceled);

  auto failed = AsyncOperationBool::Create();
  failed->SetCompleted(log.Handler());
  ASSERT_TRUE(failed->Fail(E_ACCESSDENIED));
  EXPECT_EQ(failed->GetResults(result), E_ACCESSDENIED);
  EXPECT_EQ(log.status, AsyncStatus::Error);
  auto notAnError = AsyncOperationBool::Create();
  notAnError->Fail(S_OK);  // a success code still ends it failed
  EXPECT_EQ(notAnError->Status(), AsyncStatus::Error);
  EXPECT_EQ(notAnError->ErrorCode(), E_FAIL);
}

TEST(AsyncOperation, RunningOperationHasNoResultAndWaitForTimesOut) {
  auto op = AsyncOperationBool::Create();
  bool result = true;
  EXPECT_EQ(op->GetResults(result), E_ILLEGAL_METHOD_CALL);
  EXPECT_EQ(op->Close(), E_ILLEGAL_STATE_CHANGE);
  EXPECT_NE(op->Id(), AsyncOperationBool::Create()->Id());
  auto begin = std::chrono::steady_clock::now();
  EXPECT_FALSE(op->WaitFor(50ms));
  EXPECT_GE(std::chrono::steady_clock::now() - begin, 50ms);
  std::thread producer([op] {
    std::this_thread::sleep_for(30ms);
    op->Complete(true);
  });
  EXPECT_TRUE(op->WaitFor(10s));
  producer.join();
  // Once closed, only the status can be read.
  EXPECT_EQ(op->Close(), S_OK);
  EXPECT_EQ(op->GetResults(result), E_ILLEGAL_METHOD_CALL);
  EXPECT_EQ(op->Cancel(), E_ILLEGAL_METHOD_CALL);
  EXPECT_EQ(op->SetCompleted([](AsyncOperationBool&, AsyncStatus) {}), E_ILLEGAL_METHOD_CALL);
  EXPECT_EQ(op->Status(), AsyncStatus::Completed);
}

TEST(AsyncOperation, ThrowingHandlerIsContainedAndLogged) {
  test::DebugCapture log;
  auto op = AsyncOperationBool::Create();
  op->SetCompleted([](AsyncOperationBool&, AsyncStatus) { throw std::runtime_error("boom"); });
  EXPECT_TRUE(op->Complete(true));
  auto late = AsyncOperationBool::Create();
  late->Complete(true);
  EXPECT_EQ(late->SetCompleted([](AsyncOperationBool&, AsyncStatus) { throw 7; }), S_OK);
  EXPECT_EQ(log.Count("[AsyncOperation] WARNING: Completed handler exception: boom\n"), 1);
  EXPECT_EQ(log.Count("[AsyncOperation] WARNING: Completed handler unknown exception\n"), 1);
}

// A handler commonly captures its operation; once invoked it must be released, or the two keep
// each other alive and the module count never reaches zero. Both invocation paths are checked.
TEST(AsyncOperation, HandlerCapturingItsOperationDoesNotKeepItAlive) {
  const int64_t before = ModuleObjectCount();
  for (bool setFirst : {true, false}) {
    std::weak_ptr<AsyncOperationBool> weak;
    {
      auto op = AsyncOperationBool::Create();
      weak = op;
      if (setFirst) op->SetCompleted([op](AsyncOperationBool&, AsyncStatus) {});
      std::thread([op] { op->Complete(true); }).join();
      if (!setFirst) op->SetCompleted([op](AsyncOperationBool&, AsyncStatus) {});
      EXPECT_EQ(ModuleObjectCount(), before + 1);  // a finished operation still counts
    }
    EXPECT_TRUE(weak.expired()) << setFirst;
    EXPECT_EQ(ModuleObjectCount(), before);
  }
}

// Completion racing with handler assignment must call the handler exactly once (run under TSan),
// and the module count must balance afterwards.
TEST(AsyncOperation, HandlerAssignmentRacingCompletionCallsItExactlyOnce) {
  const int64_t before = ModuleObjectCount();
  for (int round = 0; round < 300; ++round) {
    auto op = AsyncOperationBool::Create();
    std::atomic<int> calls{0};
    std::atomic<bool> go{false};
    std::thread producer([op, &go] {
      while (!go) std::this_thread::yield();
      op->Complete(true);
    });
    go = true;
    ASSERT_EQ(op->SetCompleted([&calls](AsyncOperationBool&, AsyncStatus) { ++calls; }), S_OK);
    producer.join();
    ASSERT_EQ(calls, 1) << "round " << round;
  }
  EXPECT_EQ(ModuleObjectCount(), before);
}

}  // namespace
}  // namespace kalto::abi
