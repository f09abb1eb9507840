#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
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

using namespace std::chrono_literals;

// Shaped like the recorder's events: a sender and one argument.
struct Sender {};
using StringEvent = Event<const Sender&, const std::wstring&>;

TEST(Event, AddedHandlersReceiveEveryRaiseInOrder) {
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
  EXPECT_NE(a.value, 0);
  EXPECT_NE(b.value, 0);
  EXPECT_NE(a, b);
  EXPECT_EQ(event.HandlerCount(), 2u);
  event.Raise(sender, L"/tmp/out.mp4");
  EXPECT_EQ(seen, (std::vector<std::wstring>{L"a:/tmp/out.mp4", L"b:/tmp/out.mp4"}));
}

TEST(Event, RemoveByTokenStopsOnlyThatHandler) {
  Event<int> event;
  int a = 0, b = 0;
  auto ta = event.Add([&](int v) { a += v; });
  auto tb = event.Add([&](int v) { b += v; });
  event.Raise(1);
  EXPECT_TRUE(event.Remove(ta));
  event.Raise(10);
  EXPECT_EQ(a, 1);
  EXPECT_EQ(b, 11);
  EXPECT_FALSE(event.Remove(ta));  // twice: nothing left to remove
  EXPECT_FALSE(event.Remove(EventRegistrationToken{}));
  EXPECT_TRUE(event.Remove(tb));
  EXPECT_EQ(event.HandlerCount(), 0u);
  // A handler can be added again after the list became empty.
  event.Add([&](int v) { a += v; });
  event.Raise(100);
  EXPECT_EQ(a, 101);
}

TEST(Event, TokensAreUniqueAcrossEvents) {
  Event<int> first;
  Event<int> second;
  int calls = 0;
  auto t1 = first.Add([&](int) { ++calls; });
  auto t2 = second.Add([&](int) { ++calls; });
  EXPECT_NE(t1, t2);
  EXPECT_FALSE(second.Remove(t1));  // another event's token removes nothing here
  second.Raise(0);
  EXPECT_EQ(calls, 1);
}

TEST(Event, EmptyHandlersAreRefused) {
  Event<int> event;
  EXPECT_EQ(event.Add(std::function<void(int)>{}).value, 0);
  EXPECT_EQ(event.Add(Event<int>::Handler{}).value, 0);
  void (*nothing)(int) = nullptr;
  EXPECT_EQ(event.Add(nothing).value, 0);
  EXPECT_EQ(event.HandlerCount(), 0u);
  event.Raise(0);
}

TEST(Event, HandlerRemovedDuringARaiseMayGetThatRaiseButNotTheNext) {
  Event<int> event;
  int second = 0;
  EventRegistrationToken secondToken;
  event.Add([&](int) { event.Remove(secondToken); });
  secondToken = event.Add([&](int) { ++second; });
  event.Raise(0);
  EXPECT_EQ(second, 1);  // the raise had already taken its copy of the list
  event.Raise(0);
  EXPECT_EQ(second, 1);
  EXPECT_EQ(event.HandlerCount(), 1u);
}

TEST(Event, HandlerAddedDuringARaiseStartsWithTheNext) {
  Event<int> event;
  int added = 0;
  bool once = false;
  event.Add([&](int) {
    if (!once) {
      once = true;
      event.Add([&](int) { ++added; });
    }
  });
  event.Raise(0);
  EXPECT_EQ(added, 0);
  event.Raise(0);
  EXPECT_EQ(added, 1);
}

TEST(Event, HandlerMayRemoveItselfAndRaiseAgainWithoutDeadlock) {
  Event<int> event;
  int calls = 0;
  EventRegistrationToken self;
  self = event.Add([&](int depth) {
    ++calls;
    if (depth == 0) {
      event.Raise(1);  // no lock is held while handlers run
      event.Remove(self);
    }
  });
  event.Raise(0);
  EXPECT_EQ(calls, 2);
  event.Raise(0);
  EXPECT_EQ(calls, 2);
}

TEST(Event, HandlerWhoseClientIsGoneIsRemoved) {
  test::DebugCapture log;
  Event<int> event;
  int alive = 0, goneCalls = 0, thrownCalls = 0, scriptCalls = 0;
  event.Add([&](int) -> HRESULT {
    ++goneCalls;
    return RPC_E_DISCONNECTED;
  });
  event.Add([&](int) {
    ++thrownCalls;
    throw PlatformError(RPC_S_SERVER_UNAVAILABLE_HR, "server unavailable");
  });
  event.Add([&](int) -> HRESULT {
    ++scriptCalls;
    return JSCRIPT_E_CANTEXECUTE;
  });
  event.Add([&](int) { ++alive; });
  event.Raise(0);
  EXPECT_EQ(event.HandlerCount(), 1u);
  event.Raise(0);
  EXPECT_EQ(goneCalls, 1);
  EXPECT_EQ(thrownCalls, 1);
  EXPECT_EQ(scriptCalls, 1);
  EXPECT_EQ(alive, 2);
  EXPECT_EQ(log.Count("[Event] Handler's client is gone (0x80010108), handler removed\n"), 1);
  EXPECT_EQ(log.Count("[Event] Handler's client is gone (0x800706BA), handler removed\n"), 1);
  EXPECT_EQ(log.Count("[Event] Handler's client is gone (0x89020001), handler removed\n"), 1);
}

TEST(Event, OtherFailuresAndExceptionsKeepTheHandlerAndTheOthersRun) {
  test::DebugCapture log;
  Event<int> event;
  int failing = 0, throwing = 0, unknown = 0, last = 0;
  event.Add([&](int) -> HRESULT {
    ++failing;
    return E_FAIL;
  });
  event.Add([&](int) {
    ++throwing;
    throw std::runtime_error("handler broke");
  });
  event.Add([&](int) {
    ++unknown;
    throw 42;
  });
  event.Add([&](int) {
    ++last;
    throw PlatformError(E_ACCESSDENIED, "denied");
  });
  event.Raise(0);
  event.Raise(0);
  EXPECT_EQ(failing, 2);
  EXPECT_EQ(throwing, 2);
  EXPECT_EQ(unknown, 2);
  EXPECT_EQ(last, 2);
  EXPECT_EQ(event.HandlerCount(), 4u);
  EXPECT_EQ(log.Count("[Event] WARNING: Handler failed with 0x80004005\n"), 2);
  EXPECT_EQ(log.Count("[Event] WARNING: Handler exception: handler broke\n"), 2);
  EXPECT_EQ(log.Count("[Event] WARNING: Handler unknown exception\n"), 2);
  EXPECT_EQ(log.Count("[Event] WARNING: Handler exception: denied\n"), 2);
  EXPECT_EQ(log.CountPrefix("[Event] WARNING: Handler failed with 0x80070005"), 0);  // logged once
  EXPECT_EQ(log.Lines().size(), 8u);
}

TEST(Event, RemovedHandlersCapturesAreReleased) {
  Event<int> event;
  auto resource = std::make_shared<int>(5);
  std::weak_ptr<int> weak = resource;
  auto token = event.Add([resource](int) {});
  resource.reset();
  EXPECT_FALSE(weak.expired());
  event.Remove(token);
  EXPECT_TRUE(weak.expired());
}

// Raises on several threads while others add and remove handlers (run under TSan). A removed
// handler may still be called by the raises already in flight when Remove returned (here at most
// three: two raisers and the other mutator), never by one that begins later.
TEST(Event, ConcurrentRaiseAddAndRemove) {
  Event<int> event;
  std::atomic<int64_t> total{0};
  std::atomic<bool> stop{false};
  event.Add([&](int v) { total += v; });  // a permanent handler every raise must reach
  std::vector<std::thread> threads;
  std::atomic<int64_t> raises{0};
  for (int r = 0; r < 2; ++r) {
    threads.emplace_back([&] {
      while (!stop) {
        event.Raise(1);
        ++raises;
      }
    });
  }
  for (int m = 0; m < 2; ++m) {
    threads.emplace_back([&] {
      for (int i = 0; i < 500; ++i) {
        auto counter = std::make_shared<std::atomic<int>>(0);
        auto token = event.Add([counter](int) { ++*counter; });
        std::this_thread::yield();
        EXPECT_TRUE(event.Remove(token));
        int after = counter->load();
        // Raises that began after the remove must not reach it; ones in flight may.
        event.Raise(0);
        EXPECT_LE(counter->load() - after, 3) << "only the raises already in flight may call it";
      }
    });
  }
  for (std::size_t i = 2; i < threads.size(); ++i) threads[i].join();
  stop = true;
  threads[0].join();
  threads[1].join();
  EXPECT_EQ(event.HandlerCount(), 1u);
  EXPECT_EQ(total.load(), raises.load());
}

TEST(Event, RemoveDuringAConcurrentRaiseWaitsForNothing) {
  // The raise runs a slow handler; a remove on another thread must return while it runs.
  Event<int> event;
  std::atomic<bool> inHandler{false};
  std::atomic<bool> release{false};
  event.Add([&](int) {
    inHandler = true;
    while (!release) std::this_thread::sleep_for(1ms);
  });
  auto other = event.Add([](int) {});
  std::thread raiser([&] { event.Raise(0); });
  while (!inHandler) std::this_thread::sleep_for(1ms);
  auto begin = std::chrono::steady_clock::now();
  EXPECT_TRUE(event.Remove(other));
  event.Add([](int) {});
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 2s);
  release = true;
  raiser.join();
}

}  // namespace
}  // namespace kalto::abi
