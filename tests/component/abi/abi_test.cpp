// The ABI stand-ins: one-shot asynchronous operations, events and UTF-16 strings.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/abi/async_operation.h"
#include "platform/abi/event.h"
#include "platform/abi/hstring.h"
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

// The handler runs once, on the completing thread, and may wait on and read its own operation.
TEST(AsyncOperation, CompletionWakesTheWaiterAndCallsTheHandlerOnceAndTheFirstOutcomeStays) {
  auto op = AsyncOperationBool::Create();
  HandlerLog log;
  HRESULT readInHandler = E_FAIL;
  ASSERT_EQ(S_OK, op->SetCompleted([&, record = log.Handler()](AsyncOperationBool& self, AsyncStatus s) {
    self.Wait();
    bool value = true;
    readInHandler = self.GetResults(value);
    record(self, s);
  }));
  bool result = true;
  EXPECT_EQ(E_ILLEGAL_METHOD_CALL, op->GetResults(result));  // still running
  EXPECT_EQ(E_ILLEGAL_STATE_CHANGE, op->Close());
  std::thread::id producerId;
  std::thread producer([op, &producerId] {
    producerId = std::this_thread::get_id();
    EXPECT_TRUE(op->Complete(false));  // false is a result, not a failure
  });
  EXPECT_TRUE(op->WaitFor(10s));
  producer.join();
  EXPECT_EQ(std::tuple(S_OK, false, S_OK, S_OK), std::tuple(op->GetResults(result), result, op->ErrorCode(), readInHandler));
  EXPECT_EQ(producerId, log.thread.load());
  EXPECT_FALSE(op->Complete(true) || op->Fail(E_FAIL));  // the first outcome stays
  EXPECT_EQ(S_OK, op->Cancel());
  EXPECT_EQ(1, log.calls);
  // Once closed, only the status can be read.
  EXPECT_EQ(S_OK, op->Close());
  EXPECT_EQ(E_ILLEGAL_METHOD_CALL, op->GetResults(result));
  EXPECT_EQ(E_ILLEGAL_METHOD_CALL, op->Cancel());
  EXPECT_EQ(E_ILLEGAL_METHOD_CALL, op->SetCompleted(log.Handler()));
  EXPECT_EQ(AsyncStatus::Completed, op->Status());
}

TEST(AsyncOperation, CancelAndFailEndTheOperationWithTheirCodes) {
  auto op = AsyncOperationBool::Create();
  HandlerLog log;
  EXPECT_EQ(E_POINTER, op->SetCompleted(nullptr));
  op->SetCompleted(log.Handler());
  EXPECT_EQ(E_ILLEGAL_DELEGATE_ASSIGNMENT, op->SetCompleted(log.Handler()));  // one handler, ever
  EXPECT_EQ(S_OK, op->Cancel());
  EXPECT_TRUE(op->IsCancellationRequested());
  EXPECT_FALSE(op->Complete(true));  // too late: the cancel stands
  bool result = true;
  EXPECT_EQ(std::pair(HRESULT_ERROR_CANCELLED, AsyncStatus::Canceled), std::pair(op->GetResults(result), log.status.load()));
  auto failed = AsyncOperationBool::Create();
  failed->SetCompleted(log.Handler());
  ASSERT_TRUE(failed->Fail(E_ACCESSDENIED));
  EXPECT_EQ(std::tuple(E_ACCESSDENIED, AsyncStatus::Error, 2), std::tuple(failed->GetResults(result), log.status.load(), log.calls.load()));
  HandlerLog late;  // set after the end: runs at once, on the caller's thread
  auto done = AsyncOperationBool::Create();
  done->Complete(true);
  ASSERT_EQ(S_OK, done->SetCompleted(late.Handler()));
  EXPECT_EQ(std::this_thread::get_id(), late.thread.load());
  auto notAnError = AsyncOperationBool::Create();
  notAnError->Fail(S_OK);  // a success code still ends it failed
  EXPECT_EQ(std::pair(AsyncStatus::Error, E_FAIL), std::pair(notAnError->Status(), notAnError->ErrorCode()));
  // A handler's failure stays with it, logged.
  test::DebugCapture lines;
  auto throwing = AsyncOperationBool::Create();
  throwing->SetCompleted([](AsyncOperationBool&, AsyncStatus) { throw std::runtime_error("boom"); });
  EXPECT_TRUE(throwing->Complete(true));
  EXPECT_EQ(S_OK, notAnError->SetCompleted([](AsyncOperationBool&, AsyncStatus) { throw 7; }));
  EXPECT_EQ((std::vector<std::string>{"[AsyncOperation] WARNING: Completed handler exception: boom\n",
                                      "[AsyncOperation] WARNING: Completed handler unknown exception\n"}),
            lines.Lines());
}

// A handler commonly captures its operation; once invoked it must be released, or the two keep
// each other alive and the module count never reaches zero. Completion racing with the handler's
// assignment calls it exactly once (run under TSan).
TEST(AsyncOperation, HandlersRunExactlyOnceAndDoNotKeepTheirOperationAlive) {
  const int64_t before = ModuleObjectCount();
  for (int round = 0; round < 300; ++round) {
    std::weak_ptr<AsyncOperationBool> weak;
    std::atomic<int> calls{0};
    {
      auto op = AsyncOperationBool::Create();
      weak = op;
      std::thread producer([op] { op->Complete(true); });
      ASSERT_EQ(S_OK, op->SetCompleted([op, &calls](AsyncOperationBool&, AsyncStatus) { ++calls; }));
      producer.join();
      EXPECT_EQ(before + 1, ModuleObjectCount());  // a finished operation still counts
    }
    ASSERT_EQ(1, calls) << "round " << round;
    ASSERT_TRUE(weak.expired()) << round;
  }
  EXPECT_EQ(before, ModuleObjectCount());
}

// ---- Events -------------------------------------------------------------------------------------

TEST(Event, HandlersRunInOrderAndRemoveByTokenStopsOnlyThatOne) {
  Event<int> event, other;
  std::vector<int> seen;
  EXPECT_EQ(0, event.Add(std::function<void(int)>{}).value);  // empty handlers are refused
  auto resource = std::make_shared<int>(5);
  std::weak_ptr<int> weak = resource;
  auto a = event.Add([&, resource](int v) { seen.push_back(10 + v); });
  auto b = event.Add([&](int v) -> HRESULT { return seen.push_back(20 + v), S_OK; });
  resource.reset();
  ASSERT_NE(0, a.value);
  ASSERT_NE(a, b);
  event.Raise(1);
  EXPECT_TRUE(event.Remove(a));
  EXPECT_TRUE(weak.expired());  // a removed handler's captures go with it
  event.Raise(2);
  EXPECT_EQ((std::vector<int>{11, 21, 22}), seen);
  EXPECT_FALSE(event.Remove(a));
  EXPECT_FALSE(event.Remove(EventRegistrationToken{}));
  EXPECT_FALSE(other.Remove(b));  // tokens are unique across events
  EXPECT_TRUE(event.Remove(b));
  EXPECT_EQ(0u, event.HandlerCount());
}

TEST(Event, HandlerWhoseClientIsGoneIsRemovedAndFailuresDoNotStopTheOthers) {
  test::DebugCapture log;
  Event<int> event;
  std::vector<int> calls(5, 0);
  // Client gone, returned or thrown: removed. Any other failure is logged and the handler stays.
  event.Add([&](int) -> HRESULT { return ++calls[0], RPC_E_DISCONNECTED; });
  event.Add([&](int) { ++calls[1], throw PlatformError(RPC_S_SERVER_UNAVAILABLE_HR, "gone"); });
  event.Add([&](int) -> HRESULT { return ++calls[2], E_FAIL; });
  event.Add([&](int) { ++calls[3], throw PlatformError(E_ACCESSDENIED, "denied"); });
  event.Add([&](int) { ++calls[4], throw 42; });
  event.Raise(0);
  event.Raise(0);
  EXPECT_EQ((std::vector<int>{1, 1, 2, 2, 2}), calls);
  const auto lines = log.Lines();
  ASSERT_EQ(8u, lines.size());
  EXPECT_EQ((std::vector<std::string>{"[Event] Handler's client is gone (0x80010108), handler removed\n",
                                      "[Event] Handler's client is gone (0x800706BA), handler removed\n",
                                      "[Event] WARNING: Handler failed with 0x80004005\n",
                                      "[Event] WARNING: Handler exception: denied\n",
                                      "[Event] WARNING: Handler unknown exception\n"}),
            std::vector<std::string>(lines.begin(), lines.begin() + 5));
}

// Beyond U+10FFFF becomes U+FFFD; the rest round-trips, NUL and lone surrogates included.
TEST(HString, RoundTripsExactlyAndInvalidInputBecomesReplacementCharacters) {
  const std::wstring wide{L'K', L'\u00e9', L'\0', static_cast<wchar_t>(0x1F3A5), static_cast<wchar_t>(0xDCE9),
                          static_cast<wchar_t>(0x110000)};
  const std::u16string units{u'K', u'\u00e9', u'\0', char16_t(0xD83C), char16_t(0xDFA5), char16_t(0xDCE9), u'\uFFFD'};
  EXPECT_EQ(units, HString::FromWide(wide).Text());
  EXPECT_EQ(std::wstring(wide.begin(), wide.end() - 1) + L'\uFFFD', HString(units).ToWide());
  const std::u16string unpaired{char16_t(0xD83C), u'a', char16_t(0xDFA5), char16_t(0xD83C)};
  EXPECT_EQ(unpaired, HString::FromWide(HString(unpaired).ToWide()).Text());
}

}  // namespace
}  // namespace kalto::abi
