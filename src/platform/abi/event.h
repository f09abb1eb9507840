#pragma once
#include <concepts>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/result.h"
#include "platform/abi/abi_result.h"

namespace kalto::abi {

// Names one handler of one event. Tokens are unique across all events of the process, so a
// token given to the wrong event's Remove finds nothing; 0 is never issued.
struct EventRegistrationToken {
  int64_t value = 0;
  friend bool operator==(const EventRegistrationToken&, const EventRegistrationToken&) = default;
};

int64_t NextEventToken() noexcept;

template <typename T>
struct IsStdFunction : std::false_type {};
template <typename R, typename... A>
struct IsStdFunction<std::function<R(A...)>> : std::true_type {};

void LogHandlerFailure(HRESULT hr) noexcept;
void LogHandlerRemoved(HRESULT hr) noexcept;
void LogHandlerException(const std::exception* error) noexcept;

// A typed event. The handler list is copy-on-write behind a reader/writer lock: Raise copies the
// list reference under the shared lock and calls the handlers outside it, so a handler may add
// or remove handlers (or raise again) without deadlock. A handler removed while a Raise runs may
// still receive that Raise, never a later one. A handler whose client is gone (it returns or
// throws RPC_E_DISCONNECTED or its kin) is removed; any other failure or exception is logged and
// the remaining handlers still run.
template <typename... Args>
class Event {
 public:
  // Handlers report failure with a result, as delegates across the component boundary do.
  using Handler = std::function<HRESULT(Args...)>;

  Event() = default;
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  // Takes a callable returning HRESULT or void. Returns the zero token when the handler is
  // empty or cannot be stored.
  template <typename F>
    requires std::invocable<std::decay_t<F>&, Args...>
  EventRegistrationToken Add(F&& handler) noexcept {
    try {
      Handler wrapped = Wrap(std::forward<F>(handler));
      if (!wrapped) return {};
      EventRegistrationToken token{NextEventToken()};
      std::unique_lock lock(m_lock);
      auto next = m_handlers ? std::make_shared<List>(*m_handlers) : std::make_shared<List>();
      next->push_back(Entry{token.value, std::move(wrapped)});
      m_handlers = std::move(next);
      return token;
    } catch (...) {
      return {};
    }
  }

  // True when the token named a handler of this event. Unknown tokens are ignored.
  bool Remove(EventRegistrationToken token) noexcept {
    try {
      std::shared_ptr<const List> old;  // released after the lock, with any captures it holds
      std::unique_lock lock(m_lock);
      if (!m_handlers) return false;
      auto next = std::make_shared<List>();
      next->reserve(m_handlers->size());
      for (const Entry& entry : *m_handlers) {
        if (entry.token != token.value) next->push_back(entry);
      }
      if (next->size() == m_handlers->size()) return false;
      old = std::move(m_handlers);
      if (!next->empty()) m_handlers = std::move(next);
      lock.unlock();
      return true;
    } catch (...) {
      return false;
    }
  }

  void Raise(Args... args) noexcept {
    std::shared_ptr<const List> handlers;
    {
      std::shared_lock lock(m_lock);
      handlers = m_handlers;
    }
    if (!handlers) return;
    for (const Entry& entry : *handlers) {
      HRESULT hr = S_OK;
      try {
        hr = entry.handler(args...);
      } catch (const PlatformError& e) {
        // A thrown disconnection is the same news as a returned one; other errors log once.
        if (IsClientGone(e.code())) {
          hr = e.code();
        } else {
          LogHandlerException(&e);
        }
      } catch (const std::exception& e) {
        LogHandlerException(&e);
      } catch (...) {
        LogHandlerException(nullptr);
      }
      if (IsClientGone(hr)) {
        LogHandlerRemoved(hr);
        Remove(EventRegistrationToken{entry.token});
      } else if (Failed(hr)) {
        LogHandlerFailure(hr);
      }
    }
  }

  std::size_t HandlerCount() const noexcept {
    std::shared_lock lock(m_lock);
    return m_handlers ? m_handlers->size() : 0;
  }

 private:
  struct Entry {
    int64_t token;
    Handler handler;
  };
  using List = std::vector<Entry>;

  template <typename F>
  static Handler Wrap(F&& handler) {
    using Fn = std::decay_t<F>;
    if constexpr (std::is_same_v<Fn, Handler>) {
      return std::forward<F>(handler);
    } else {
      if constexpr (std::is_pointer_v<Fn> || IsStdFunction<Fn>::value) {
        if (!handler) return {};
      }
      if constexpr (std::is_void_v<std::invoke_result_t<Fn&, Args...>>) {
        return [fn = Fn(std::forward<F>(handler))](Args... args) mutable -> HRESULT {
          fn(args...);
          return S_OK;
        };
      } else {
        return Handler(std::forward<F>(handler));
      }
    }
  }

  mutable std::shared_mutex m_lock;
  std::shared_ptr<const List> m_handlers;  // null when there are none
};

}  // namespace kalto::abi
