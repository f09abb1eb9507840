#pragma once
// An application's delegate as a C caller would write one: a vtable of four slots and a reference
// count the tests can read.
#include <atomic>
#include <functional>

#include "kalto/native.h"
#include "platform/abi/com_object.h"

namespace kalto::test {

template <typename I, typename... Args>
struct FakeDelegate {
  I iface{&kVtbl};  // first, so that the interface pointer is this object's address
  const KaltoGuid* iid;
  std::function<KaltoHResult(Args...)> body;
  std::atomic<uint32_t> refs{1};  // the test's own reference

  FakeDelegate(const KaltoGuid& id, std::function<KaltoHResult(Args...)> f) : iid(&id), body(std::move(f)) {}
  I* Get() { return &iface; }

  static FakeDelegate& Of(I* self) { return *reinterpret_cast<FakeDelegate*>(self); }
  static KaltoHResult QueryInterface(I* self, const KaltoGuid* id, void** out) {
    bool known = abi::SameGuid(*id, KALTO_IID_IUnknown) || abi::SameGuid(*id, *Of(self).iid);
    *out = known ? self : nullptr;
    if (known) ++Of(self).refs;
    return known ? KALTO_S_OK : KALTO_E_NOINTERFACE;
  }
  static uint32_t AddRef(I* self) { return ++Of(self).refs; }
  static uint32_t Release(I* self) { return --Of(self).refs; }  // the test owns the storage
  static KaltoHResult Invoke(I* self, Args... args) { return Of(self).body(args...); }
  static constexpr abi::VtblOf<I> kVtbl{&QueryInterface, &AddRef, &Release, &Invoke};
};

}  // namespace kalto::test
