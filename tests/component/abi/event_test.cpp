#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/abi/event.h"
#include "support/debug_capture.h"

namespace kalto::abi {
namespace {

// Shaped like the recorder's events: a sender and one argument.
struct Sender {};
using StringEvent = Event<const Sender&, const std::wstring&>;

TEST(Event, HandlersRunInOrderAndRemoveByTokenStopsOnlyThatOne) {
  StringEvent event;
  Sender sender;
  std::vector<std::wstring> seen;
  auto a = event.Add([&](const Sender& s, const std::wstring& text) {
    EXPECT_EQ(&s, &sender);
    seen.push_back(L"a:" + text);
  });
  auto b = event.Add([&](const Sender&, const std::wstring& text) -> HRESULT {
    seen.push_back(L"b:" + text);
    return S_OK;
  });
  ASSERT_NE(a.value, 0);
  ASSERT_NE(a, b);
  event.Raise(sender, L"1");
  EXPECT_TRUE(event.Remove(a));
  event.Raise(sender, L"2");
  EXPECT_EQ(seen, (std::vector<std::wstring>{L"a:1", L"b:1", L"b:2"}));
  EXPECT_FALSE(event.Remove(a));  // already gone
  EXPECT_FALSE(event.Remove(EventRegistrationToken{}));
  StringEvent other;  // tokens are unique across events: another event's token finds nothing
  EXPECT_FALSE(other.Remove(b));
  EXPECT_TRUE(event.Remove(b));
  EXPECT_EQ(event.HandlerCount(), 0u);
  event.Add([&](const Sender&, const std::wstring&) { seen.push_back(L"again"); });
  event.Raise(sender, L"3");
  EXPECT_EQ(seen.back(), L"again");
}

TEST(Event, EmptyHandlersAreRefusedAndRemovedCapturesReleased) {
  Event<int> event;
  void (*nothing)(int) = nullptr;
  EXPECT_EQ(event.Add(std::function<void(int)>{}).value, 0);
  EXPECT_EQ(event.Add(Event<int>::Handler{}).value, 0);
  EXPECT_EQ(event.Add(nothing).value, 0);
  EXPECT_EQ(event.HandlerCount(), 0u);
  auto resource = std::make_shared<int>(5);
  std::weak_ptr<int> weak = resource;
  auto token = event.Add([resource](int) {});
  resource.reset();
  event.Remove(token);
  EXPECT_TRUE(weak.expired());
}

// No lock is held while handlers run, so they may add, remove and raise. A raise works on the
// list as it was when it began.
TEST(Event, HandlersMayChangeTheListAndRaiseDuringARaise) {
  Event<int> event;
  int removed = 0, added = 0, self = 0;
  EventRegistrationToken removedToken, selfToken;
  bool addedOnce = false;
  event.Add([&](int depth) {
    if (depth != 0) return;
    event.Remove(removedToken);
    if (!addedOnce) event.Add([&](int) { ++added; });
    addedOnce = true;
  });
  removedToken = event.Add([&](int) { ++removed; });
  selfToken = event.Add([&](int depth) {
    ++self;
    if (depth == 0) {
      event.Raise(1);
      event.Remove(selfToken);
    }
  });
  event.Raise(0);
  EXPECT_EQ(removed, 1);  // removed during the raise, which had already taken its list
  EXPECT_EQ(added, 1);    // added during the raise: reached only by the nested one
  EXPECT_EQ(self, 2);
  event.Raise(0);
  EXPECT_EQ(removed, 1);
  EXPECT_EQ(added, 2);
  EXPECT_EQ(self, 2);
}

TEST(Event, HandlerWhoseClientIsGoneIsRemovedAndFailuresDoNotStopTheOthers) {
  test::DebugCapture log;
  Event<int> event;
  std::vector<int> calls(7, 0);
  // Client gone, returned or thrown: removed.
  event.Add([&](int) -> HRESULT { return ++calls[0], RPC_E_DISCONNECTED; });
  event.Add([&](int) { ++calls[1], throw PlatformError(RPC_S_SERVER_UNAVAILABLE_HR, "gone"); });
  event.Add([&](int) -> HRESULT { return ++calls[2], JSCRIPT_E_CANTEXECUTE; });
  // Any other failure is logged once and the handler stays.
  event.Add([&](int) -> HRESULT { return ++calls[3], E_FAIL; });
  event.Add([&](int) { ++calls[4], throw std::runtime_error("handler broke"); });
  event.Add([&](int) { ++calls[5], throw PlatformError(E_ACCESSDENIED, "denied"); });
  event.Add([&](int) { ++calls[6], throw 42; });
  event.Raise(0);
  event.Raise(0);
  EXPECT_EQ(calls, (std::vector<int>{1, 1, 1, 2, 2, 2, 2}));
  EXPECT_EQ(event.HandlerCount(), 4u);
  for (const char* hr : {"80010108", "800706BA", "89020001"}) {
    EXPECT_EQ(log.Count(std::string("[Event] Handler's client is gone (0x") + hr + "), handler removed\n"), 1) << hr;
  }
  EXPECT_EQ(log.Count("[Event] WARNING: Handler failed with 0x80004005\n"), 2);
  EXPECT_EQ(log.Count("[Event] WARNING: Handler exception: handler broke\n"), 2);
  EXPECT_EQ(log.Count("[Event] WARNING: Handler exception: denied\n"), 2);
  EXPECT_EQ(log.Count("[Event] WARNING: Handler unknown exception\n"), 2);
  EXPECT_EQ(log.Lines().size(), 11u);
}

// Raises on several threads while others add and remove handlers (run under TSan). A removed
// handler may still be called by the raises already in flight when Remove returned (here at most
// three: two raisers and the other mutator), never by one that begins later.
TEST(Event, ConcurrentRaiseAddAndRemove) {
  Event<int> event;
  std::atomic<int64_t> total{0}, raises{0};
  std::atomic<bool> stop{false};
  event.Add([&](int v) { total += v; });  // a permanent handler every raise must reach
  std::vector<std::thread> raisers, mutators;
  for (int r = 0; r < 2; ++r) {
    raisers.emplace_back([&] {
      while (!stop) {
        event.Raise(1);
        ++raises;
      }
    });
  }
  for (int m = 0; m < 2; ++m) {
    mutators.emplace_back([&] {
      for (int i = 0; i < 500; ++i) {
        auto counter = std::make_shared<std::atomic<int>>(0);
        auto token = event.Add([counter](int) { ++*counter; });
        std::this_thread::yield();
        EXPECT_TRUE(event.Remove(token));
        int after = counter->load();
        event.Raise(0);
        EXPECT_LE(counter->load() - after, 3) << "only the raises already in flight may call it";
      }
    });
  }
  for (auto& t : mutators) t.join();
  stop = true;
  for (auto& t : raisers) t.join();
  EXPECT_EQ(event.HandlerCount(), 1u);
  EXPECT_EQ(total.load(), raises.load());
}

}  // namespace
}  // namespace kalto::abi
