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

struct HandlerLog {
  std::atomic<int> calls{0};
  std::atomic<AsyncStatus> status{AsyncStatus::Started};
  std::atomic<std::thread::id> thread{};
};

AsyncOperationBool::CompletedHandler Recording(HandlerLog& log) {
  return [&log](AsyncOperationBool&, AsyncStatus status) {
    log.status = status;
    log.thread = std::this_thread::get_id();
    ++log.calls;
  };
}

TEST(AsyncOperation, StartsRunningWithNoResult) {
  auto op = AsyncOperationBool::Create();
  EXPECT_EQ(op->Status(), AsyncStatus::Started);
  EXPECT_EQ(op->ErrorCode(), S_OK);
  bool result = true;
  EXPECT_EQ(op->GetResults(result), E_ILLEGAL_METHOD_CALL);
  EXPECT_FALSE(op->WaitFor(0ms));
  EXPECT_EQ(op->Close(), E_ILLEGAL_STATE_CHANGE);
  EXPECT_NE(op->Id(), 0u);
  EXPECT_NE(op->Id(), AsyncOperationBool::Create()->Id());
}

TEST(AsyncOperation, StatusValuesMatchThePlatform) {
  EXPECT_EQ(static_cast<int>(AsyncStatus::Started), 0);
  EXPECT_EQ(static_cast<int>(AsyncStatus::Completed), 1);
  EXPECT_EQ(static_cast<int>(AsyncStatus::Canceled), 2);
  EXPECT_EQ(static_cast<int>(AsyncStatus::Error), 3);
}

TEST(AsyncOperation, CompletedFromAnotherThreadWakesTheWaiterAndCallsTheHandlerThere) {
  auto op = AsyncOperationBool::Create();
  HandlerLog log;
  ASSERT_EQ(op->SetCompleted(Recording(log)), S_OK);
  std::thread::id producerId;
  std::thread producer([op, &producerId] {
    producerId = std::this_thread::get_id();
    std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(op->Complete(true));
  });
  op->Wait();
  producer.join();
  EXPECT_EQ(op->Status(), AsyncStatus::Completed);
  bool result = false;
  EXPECT_EQ(op->GetResults(result), S_OK);
  EXPECT_TRUE(result);
  EXPECT_EQ(log.calls, 1);
  EXPECT_EQ(log.status, AsyncStatus::Completed);
  EXPECT_EQ(log.thread.load(), producerId);
}

TEST(AsyncOperation, FalseIsAResultNotAFailure) {
  auto op = AsyncOperationBool::Create();
  ASSERT_TRUE(op->Complete(false));
  bool result = true;
  EXPECT_EQ(op->GetResults(result), S_OK);
  EXPECT_FALSE(result);
  EXPECT_EQ(op->ErrorCode(), S_OK);
}

TEST(AsyncOperation, HandlerSetAfterCompletionRunsAtOnceOnTheCallersThread) {
  auto op = AsyncOperationBool::Create();
  ASSERT_TRUE(op->Complete(true));
  HandlerLog log;
  ASSERT_EQ(op->SetCompleted(Recording(log)), S_OK);
  EXPECT_EQ(log.calls, 1);
  EXPECT_EQ(log.status, AsyncStatus::Completed);
  EXPECT_EQ(log.thread.load(), std::this_thread::get_id());
}

TEST(AsyncOperation, OnlyTheFirstOutcomeCountsAndTheHandlerRunsOnce) {
  auto op = AsyncOperationBool::Create();
  HandlerLog log;
  ASSERT_EQ(op->SetCompleted(Recording(log)), S_OK);
  EXPECT_TRUE(op->Complete(true));
  EXPECT_FALSE(op->Complete(false));
  EXPECT_FALSE(op->Fail(E_FAIL));
  EXPECT_EQ(op->Cancel(), S_OK);
  EXPECT_EQ(op->Status(), AsyncStatus::Completed);
  bool result = false;
  EXPECT_EQ(op->GetResults(result), S_OK);
  EXPECT_TRUE(result);
  EXPECT_EQ(log.calls, 1);
}

TEST(AsyncOperation, ASecondHandlerIsRefusedBeforeAndAfterCompletion) {
  auto op = AsyncOperationBool::Create();
  HandlerLog first, second, third;
  EXPECT_EQ(op->SetCompleted(nullptr), E_POINTER);
  ASSERT_EQ(op->SetCompleted(Recording(first)), S_OK);
  EXPECT_EQ(op->SetCompleted(Recording(second)), E_ILLEGAL_DELEGATE_ASSIGNMENT);
  op->Complete(true);
  EXPECT_EQ(op->SetCompleted(Recording(third)), E_ILLEGAL_DELEGATE_ASSIGNMENT);
  EXPECT_EQ(first.calls, 1);
  EXPECT_EQ(second.calls, 0);
  EXPECT_EQ(third.calls, 0);
}

TEST(AsyncOperation, ErrorKeepsItsCode) {
  auto op = AsyncOperationBool::Create();
  HandlerLog log;
  op->SetCompleted(Recording(log));
  ASSERT_TRUE(op->Fail(E_ACCESSDENIED));
  EXPECT_EQ(op->Status(), AsyncStatus::Error);
  EXPECT_EQ(op->ErrorCode(), E_ACCESSDENIED);
  bool result = true;
  EXPECT_EQ(op->GetResults(result), E_ACCESSDENIED);
  EXPECT_EQ(log.status, AsyncStatus::Error);
  // A success code is not an error: the operation still ends failed.
  auto other = AsyncOperationBool::Create();
  other->Fail(S_OK);
  EXPECT_EQ(other->ErrorCode(), E_FAIL);
}

TEST(AsyncOperation, CancelEndsARunningOperationAndTheProducerSeesIt) {
  auto op = AsyncOperationBool::Create();
  HandlerLog log;
  op->SetCompleted(Recording(log));
  std::atomic<bool> producerSawCancel{false};
  std::atomic<bool> producerCompleted{true};
  std::thread producer([op, &producerSawCancel, &producerCompleted] {
    while (!op->IsCancellationRequested()) std::this_thread::sleep_for(1ms);
    producerSawCancel = true;
    producerCompleted = op->Complete(true);
  });
  std::this_thread::sleep_for(10ms);
  EXPECT_EQ(op->Cancel(), S_OK);
  producer.join();
  EXPECT_TRUE(producerSawCancel);
  EXPECT_FALSE(producerCompleted);
  EXPECT_EQ(op->Status(), AsyncStatus::Canceled);
  EXPECT_EQ(op->ErrorCode(), HRESULT_ERROR_CANCELLED);
  bool result = true;
  EXPECT_EQ(op->GetResults(result), HRESULT_ERROR_CANCELLED);
  EXPECT_EQ(log.calls, 1);
  EXPECT_EQ(log.status, AsyncStatus::Canceled);
  EXPECT_TRUE(op->WaitFor(0ms));
}

TEST(AsyncOperation, WaitForTimesOutThenSucceeds) {
  auto op = AsyncOperationBool::Create();
  auto begin = std::chrono::steady_clock::now();
  EXPECT_FALSE(op->WaitFor(50ms));
  EXPECT_GE(std::chrono::steady_clock::now() - begin, 50ms);
  std::thread producer([op] {
    std::this_thread::sleep_for(30ms);
    op->Complete(true);
  });
  EXPECT_TRUE(op->WaitFor(10s));
  producer.join();
}

TEST(AsyncOperation, CloseAllowsOnlyStatusReadsAfterwards) {
  auto op = AsyncOperationBool::Create();
  op->Complete(true);
  EXPECT_EQ(op->Close(), S_OK);
  EXPECT_EQ(op->Close(), S_OK);
  bool result = false;
  EXPECT_EQ(op->GetResults(result), E_ILLEGAL_METHOD_CALL);
  EXPECT_EQ(op->Cancel(), E_ILLEGAL_METHOD_CALL);
  HandlerLog log;
  EXPECT_EQ(op->SetCompleted(Recording(log)), E_ILLEGAL_METHOD_CALL);
  EXPECT_EQ(log.calls, 0);
  EXPECT_EQ(op->Status(), AsyncStatus::Completed);
}

TEST(AsyncOperation, HandlerMayReadResultsAndWaitOnItsOwnOperation) {
  auto op = AsyncOperationBool::Create();
  std::atomic<bool> seen{false};
  op->SetCompleted([&](AsyncOperationBool& self, AsyncStatus) {
    self.Wait();  // must not deadlock: the status is set before the handler runs
    bool result = false;
    EXPECT_EQ(self.GetResults(result), S_OK);
    seen = result;
  });
  std::thread producer([op] { op->Complete(true); });
  producer.join();
  EXPECT_TRUE(seen);
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

TEST(AsyncOperation, AHandlerCapturingItsOperationDoesNotKeepItAlive) {
  // A consumer's handler commonly holds the operation; once invoked it must be released, or the
  // two would keep each other alive (and the module count would never reach zero).
  std::weak_ptr<AsyncOperationBool> weak;
  {
    auto op = AsyncOperationBool::Create();
    weak = op;
    op->SetCompleted([op](AsyncOperationBool&, AsyncStatus) {});
    std::thread producer([op] { op->Complete(true); });
    producer.join();
  }
  EXPECT_TRUE(weak.expired());
  {
    auto op = AsyncOperationBool::Create();
    weak = op;
    op->Complete(true);
    op->SetCompleted([op](AsyncOperationBool&, AsyncStatus) {});
  }
  EXPECT_TRUE(weak.expired());
}

// Completion racing with handler assignment must call the handler exactly once (run under TSan).
TEST(AsyncOperation, HandlerAssignmentRacingCompletionCallsItExactlyOnce) {
  for (int round = 0; round < 300; ++round) {
    auto op = AsyncOperationBool::Create();
    std::atomic<int> calls{0};
    std::atomic<bool> go{false};
    std::thread producer([op, &go] {
      while (!go) std::this_thread::yield();
      op->Complete(true);
    });
    go = true;
    ASSERT_EQ(op->SetCompleted([&calls](AsyncOperationBool&, AsyncStatus s) {
      EXPECT_EQ(s, AsyncStatus::Completed);
      ++calls;
    }), S_OK);
    producer.join();
    ASSERT_EQ(calls, 1) << "round " << round;
  }
}

TEST(ModuleObjectCount, EveryOperationCountsWhileAlive) {
  int64_t before = ModuleObjectCount();
  {
    auto a = AsyncOperationBool::Create();
    auto b = AsyncOperationBool::Create();
    EXPECT_EQ(ModuleObjectCount(), before + 2);
    a->Complete(true);
    EXPECT_EQ(ModuleObjectCount(), before + 2);  // finished is not released
  }
  EXPECT_EQ(ModuleObjectCount(), before);
}

TEST(ModuleObjectCount, CopiesCountSeparatelyAndAssignmentDoesNotChangeTheCount) {
  int64_t before = ModuleObjectCount();
  {
    ModuleObject a;
    ModuleObject b(a);
    EXPECT_EQ(ModuleObjectCount(), before + 2);
    ModuleObject c;
    c = a;
    EXPECT_EQ(ModuleObjectCount(), before + 3);
  }
  EXPECT_EQ(ModuleObjectCount(), before);
}

TEST(ModuleObjectCount, ConcurrentObjectsBalance) {
  int64_t before = ModuleObjectCount();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 1000; ++i) {
        ModuleObject object;
        auto op = AsyncOperationBool::Create();
        op->Complete(true);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(ModuleObjectCount(), before);
}

}  // namespace
}  // namespace kalto::abi
