#pragma once
// Application delegates (completion and event handlers) held by the module, and the adapter that
// stores them in an abi::Event and hands out its tokens.
#include <cstddef>
#include <exception>
#include <string>
#include <utility>

#include "common/result.h"
#include "kalto/native.h"
#include "platform/abi/abi_string.h"
#include "platform/abi/com_object.h"
#include "platform/abi/event.h"

namespace kalto::abi {

// A delegate kept with a reference of its own, so that it may be invoked from any thread for as
// long as the holder lives (the part an agile reference plays on the platform: objects here have
// no apartment to marshal into). Invoke passes the delegate itself first.
template <typename I>
class Delegate {
 public:
  Delegate() = default;
  explicit Delegate(I* handler) noexcept : m_handler(ComPtr<I>::Borrow(handler)) {}

  template <typename... Args>
  HRESULT Invoke(Args... args) const noexcept {
    if (!m_handler) return S_OK;
    // A handler written in C++ may throw through its C slot; it must not reach our thread.
    try {
      return m_handler->lpVtbl->Invoke(m_handler.Get(), args...);
    } catch (...) {
      return ResultOfCurrentException();
    }
  }

  I* Get() const noexcept { return m_handler.Get(); }
  explicit operator bool() const noexcept { return static_cast<bool>(m_handler); }

 private:
  ComPtr<I> m_handler;
};

// Converters of an engine event's argument to the borrowed argument of the C handler: each calls
// `invoke` with the C value, which lives for the call.
struct PassObjectArg {
  template <typename Invoke>
  HRESULT operator()(const Invoke& invoke, std::nullptr_t) const {
    return invoke(static_cast<KaltoIInspectable*>(nullptr));
  }
};
struct PassStringArg {
  template <typename Invoke>
  HRESULT operator()(const Invoke& invoke, const std::wstring& text) const {
    UniqueHString string = MakeAbiString(text);
    return invoke(string.get());
  }
};
struct PassBooleanArg {
  template <typename Invoke>
  HRESULT operator()(const Invoke& invoke, bool value) const {
    return invoke(static_cast<KaltoBoolean>(value ? 1 : 0));
  }
};

// add_X of an event whose engine handlers take (Sender&, Arg): the delegate is held (AddRef'd)
// until its token is removed or the event dies, and is invoked with `sender` (the C interface the
// application knows the recorder by, not referenced, since the event lives inside it) and the
// converted argument.
template <typename HandlerI, typename SenderI, typename Sender, typename Arg, typename Convert>
HRESULT AddEventHandler(Event<Sender&, Arg>& event, SenderI* sender, HandlerI* handler,
                        KaltoEventRegistrationToken* token, Convert convert) noexcept {
  if (!token) return E_POINTER;
  token->value = 0;
  if (!handler) return E_INVALIDARG;
  return Guard([&]() -> HRESULT {
    EventRegistrationToken added =
        event.Add([delegate = Delegate<HandlerI>(handler), sender, convert](Sender&, Arg arg) -> HRESULT {
          return convert([&](auto value) { return delegate.Invoke(sender, value); }, arg);
        });
    if (added.value == 0) return E_OUTOFMEMORY;
    token->value = added.value;
    return S_OK;
  });
}

// remove_X: an unknown token is not an error, as on the platform.
template <typename Sender, typename Arg>
HRESULT RemoveEventHandler(Event<Sender&, Arg>& event, KaltoEventRegistrationToken token) noexcept {
  event.Remove(EventRegistrationToken{token.value});
  return S_OK;
}

}  // namespace kalto::abi
