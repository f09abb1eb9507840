// The async operation object and the event adapter, driven as a C application drives them.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "fake_delegate.h"
#include "platform/abi/async_operation_object.h"
#include "platform/abi/delegate.h"

namespace kalto::abi {
namespace {

using namespace std::chrono_literals;
using CompletedHandler =
    test::FakeDelegate<KaltoIAsyncOperationCompletedHandlerBoolean, KaltoIAsyncOperationBoolean*, KaltoAsyncStatus>;

// What a completion handler saw, waited for with a deadline.
struct Completion {
  std::mutex mutex;
  std::condition_variable changed;
  int calls = 0;
  KaltoIAsyncOperationBoolean* sender = nullptr;
  KaltoAsyncStatus status = -1;
  KaltoBoolean results = 2;
  std::thread::id thread;
  CompletedHandler handler{KALTO_IID_IAsyncOperationCompletedHandlerBoolean,
                           [this](KaltoIAsyncOperationBoolean* op, KaltoAsyncStatus s) {
                             std::lock_guard lock(mutex);
                             ++calls, sender = op, status = s, thread = std::this_thread::get_id();
                             op->lpVtbl->GetResults(op, &results);
                             changed.notify_all();
                             return KALTO_S_OK;
                           }};
  bool WaitForCall() {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, 10s, [this] { return calls > 0; });
  }
};

ComPtr<KaltoIAsyncOperationBoolean> Wrap(const std::shared_ptr<AsyncOperationBool>& operation) {
  ComPtr<KaltoIAsyncOperationBoolean> object;
  EXPECT_EQ(S_OK, MakeAsyncOperationObject(operation, object.Put()));
  return object;
}

TEST(AsyncOperationObject, CompletedFromAnotherThreadWhileOnlyTheHandlerHoldsIt) {
  Completion completion;
  auto operation = AsyncOperationBool::Create();
  KaltoIAsyncOperationBoolean* seen = nullptr;
  {
    auto object = Wrap(operation);
    seen = object.Get();
    ASSERT_EQ(S_OK, object->lpVtbl->put_Completed(object.Get(), completion.handler.Get()));
    EXPECT_EQ(E_ILLEGAL_DELEGATE_ASSIGNMENT, object->lpVtbl->put_Completed(object.Get(), completion.handler.Get()));
    KaltoIAsyncOperationCompletedHandlerBoolean* current = nullptr;
    ASSERT_EQ(S_OK, object->lpVtbl->get_Completed(object.Get(), &current));
    EXPECT_EQ(completion.handler.Get(), current);
    current->lpVtbl->Release(current);
    KaltoBoolean results = 2;
    EXPECT_EQ(E_ILLEGAL_METHOD_CALL, object->lpVtbl->GetResults(object.Get(), &results));
  }  // the application lets go before the operation finishes
  std::thread producer([operation] { operation->Complete(true); });
  ASSERT_TRUE(completion.WaitForCall());
  std::thread::id producerId = producer.get_id();
  producer.join();
  EXPECT_EQ(std::tuple(1, seen, KALTO_ASYNC_STATUS_COMPLETED, KaltoBoolean{1}, producerId),
            std::tuple(completion.calls, completion.sender, completion.status, completion.results, completion.thread));
  operation.reset();
  EXPECT_EQ(1u, completion.handler.refs.load());  // every reference the module took is given back
  EXPECT_EQ(0, ModuleObjectCount());
}

TEST(AsyncOperationObject, AHandlerSetAfterCompletionRunsAtOnceOnTheCallersThread) {
  Completion completion;
  auto operation = AsyncOperationBool::Create();
  auto object = Wrap(operation);
  operation->Complete(false);
  ASSERT_EQ(S_OK, object->lpVtbl->put_Completed(object.Get(), completion.handler.Get()));
  EXPECT_EQ(std::tuple(1, KALTO_ASYNC_STATUS_COMPLETED, KaltoBoolean{0}, std::this_thread::get_id()),
            std::tuple(completion.calls, completion.status, completion.results, completion.thread));
  EXPECT_EQ(E_POINTER, object->lpVtbl->put_Completed(object.Get(), nullptr));
}

TEST(AsyncOperationObject, InfoReportsIdStatusCancelAndClose) {
  auto operation = AsyncOperationBool::Create();
  auto object = Wrap(operation);
  auto info = object.As<KaltoIAsyncInfo>(KALTO_IID_IAsyncInfo);
  ASSERT_TRUE(info);
  EXPECT_EQ(static_cast<void*>(object.Get()), info.As<KaltoIUnknown>(KALTO_IID_IUnknown).Get());
  uint32_t id = 0;
  KaltoAsyncStatus status = -1;
  KaltoHResult error = 1;
  EXPECT_EQ(S_OK, info->lpVtbl->get_Id(info.Get(), &id));
  EXPECT_EQ(operation->Id(), id);
  EXPECT_EQ(E_ILLEGAL_STATE_CHANGE, info->lpVtbl->Close(info.Get()));  // still running
  EXPECT_EQ(S_OK, info->lpVtbl->Cancel(info.Get()));
  EXPECT_EQ(S_OK, info->lpVtbl->get_Status(info.Get(), &status));
  EXPECT_EQ(S_OK, info->lpVtbl->get_ErrorCode(info.Get(), &error));
  EXPECT_EQ(std::tuple(KALTO_ASYNC_STATUS_CANCELED, KALTO_E_CANCELLED), std::tuple(status, error));
  KaltoBoolean results = 2;
  EXPECT_EQ(KALTO_E_CANCELLED, object->lpVtbl->GetResults(object.Get(), &results));
  EXPECT_EQ(S_OK, info->lpVtbl->Close(info.Get()));
  EXPECT_EQ(E_ILLEGAL_METHOD_CALL, object->lpVtbl->GetResults(object.Get(), &results));
}

// ---- Events ----

struct Sender {};
using StringHandler =
    test::FakeDelegate<KaltoITypedEventHandlerNativeRecorderString, KaltoINativeRecorder*, KaltoHString>;

TEST(EventAdapter, HandlersGetTheSenderAndTheTextAndMayRemoveThemselves) {
  Event<Sender&, std::wstring> event;
  auto* sender = reinterpret_cast<KaltoINativeRecorder*>(&event);
  KaltoEventRegistrationToken token{};
  std::vector<std::wstring> seen;
  StringHandler handler{KALTO_IID_ITypedEventHandlerNativeRecorderString,
                        [&](KaltoINativeRecorder* from, KaltoHString text) {
                          EXPECT_EQ(sender, from);
                          seen.push_back(WideFromAbi(text));
                          return RemoveEventHandler(event, token);  // by token, from inside
                        }};
  ASSERT_EQ(S_OK, AddEventHandler(event, sender, handler.Get(), &token, PassStringArg{}));
  EXPECT_NE(0, token.value);
  EXPECT_EQ(2u, handler.refs.load());
  Sender s;
  event.Raise(s, L"out\U0001F600.mp4");
  event.Raise(s, L"again");
  EXPECT_EQ(std::vector<std::wstring>{L"out\U0001F600.mp4"}, seen);
  EXPECT_EQ(1u, handler.refs.load());
  EXPECT_EQ(S_OK, RemoveEventHandler(event, token));  // an unknown token is no error
  EXPECT_EQ(E_INVALIDARG, AddEventHandler<KaltoITypedEventHandlerNativeRecorderString>(event, sender, nullptr, &token,
                                                                                        PassStringArg{}));
}

}  // namespace
}  // namespace kalto::abi
