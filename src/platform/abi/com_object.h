#pragma once
// The component model's objects as the public C header sees them: interfaces are structs whose
// first member points at a table of functions, and an object may expose several of them. Each
// object owns itself through its reference count; ComPtr is the owning handle on the C++ side.
#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>

#include "common/result.h"
#include "kalto/native.h"
#include "platform/abi/module_count.h"

namespace kalto::abi {

constexpr bool SameGuid(const KaltoGuid& a, const KaltoGuid& b) noexcept {
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
  for (int i = 0; i < 8; ++i) {
    if (a.Data4[i] != b.Data4[i]) return false;
  }
  return true;
}

// The failure result for the exception being handled: E_OUTOFMEMORY for bad_alloc, a
// PlatformError's own failure code, else E_FAIL. Only inside a catch block.
HRESULT ResultOfCurrentException() noexcept;

// Runs one slot's body so that nothing is thrown across the boundary. The body returns an HRESULT
// or nothing (S_OK).
template <typename F>
HRESULT Guard(F&& body) noexcept {
  try {
    if constexpr (std::is_void_v<std::invoke_result_t<F&>>) {
      body();
      return S_OK;
    } else {
      return body();
    }
  } catch (...) {
    return ResultOfCurrentException();
  }
}

template <typename I>
using VtblOf = std::remove_cvref_t<decltype(*std::declval<I&>().lpVtbl)>;

// An owning reference to a C interface: AddRef on copy, Release on destruction. Works for every
// interface of the header (all begin with QueryInterface, AddRef, Release).
template <typename I>
class ComPtr {
 public:
  ComPtr() = default;
  ComPtr(std::nullptr_t) noexcept {}
  ComPtr(const ComPtr& other) noexcept : m_ptr(other.m_ptr) { InternalAddRef(); }
  ComPtr(ComPtr&& other) noexcept : m_ptr(std::exchange(other.m_ptr, nullptr)) {}
  ComPtr& operator=(ComPtr other) noexcept {
    std::swap(m_ptr, other.m_ptr);
    return *this;
  }
  ~ComPtr() { Reset(); }

  // Takes a new reference to a pointer someone else owns.
  static ComPtr Borrow(I* pointer) noexcept {
    ComPtr result;
    result.m_ptr = pointer;
    result.InternalAddRef();
    return result;
  }
  // Takes over a reference the caller already holds.
  static ComPtr Attach(I* pointer) noexcept {
    ComPtr result;
    result.m_ptr = pointer;
    return result;
  }

  I* Get() const noexcept { return m_ptr; }
  I* operator->() const noexcept { return m_ptr; }
  explicit operator bool() const noexcept { return m_ptr != nullptr; }
  // Hands the reference to the caller (an out-pointer of a slot).
  [[nodiscard]] I* Detach() noexcept { return std::exchange(m_ptr, nullptr); }
  // For out-pointer arguments: releases the current reference first.
  I** Put() noexcept {
    Reset();
    return &m_ptr;
  }
  void Reset() noexcept {
    if (I* p = std::exchange(m_ptr, nullptr)) p->lpVtbl->Release(p);
  }

  // QueryInterface for another interface of the same object; null when it has none.
  template <typename Other>
  ComPtr<Other> As(const KaltoGuid& iid) const noexcept {
    ComPtr<Other> result;
    if (m_ptr) {
      void* out = nullptr;
      if (Succeeded(m_ptr->lpVtbl->QueryInterface(m_ptr, &iid, &out))) result = ComPtr<Other>::Attach(static_cast<Other*>(out));
    }
    return result;
  }

 private:
  void InternalAddRef() noexcept {
    if (m_ptr) m_ptr->lpVtbl->AddRef(m_ptr);
  }
  I* m_ptr = nullptr;
};

class ComObject;

// One interface of an object: the C struct the application holds, followed by its owner.
template <typename I>
struct Head {
  I iface;
  ComObject* owner;
  Head(const VtblOf<I>* vtbl, ComObject* object) noexcept : iface{vtbl}, owner(object) {}
};

// The object behind an interface pointer that this module handed out.
template <typename I>
ComObject& OwnerOf(I* iface) noexcept {
  static_assert(std::is_standard_layout_v<Head<I>>);
  return *reinterpret_cast<Head<I>*>(iface)->owner;
}

// The base of every object the module hands out: an atomic reference count, QueryInterface over
// the interfaces the object exposed, and the inspectable basics. The object deletes itself when
// its count reaches zero.
class ComObject {
 public:
  // Activation factories are cached by the module: they count as live objects only while someone
  // beside the cache holds them, so the cache alone never keeps DllCanUnloadNow from answering S_OK.
  enum class Counting { WhileAlive, WhileHeldBeyondCache };

  explicit ComObject(std::u16string_view runtimeClassName, Counting counting = Counting::WhileAlive) noexcept;
  virtual ~ComObject() = default;
  ComObject(const ComObject&) = delete;
  ComObject& operator=(const ComObject&) = delete;

  uint32_t AddRef() noexcept;
  uint32_t Release() noexcept;
  // IUnknown and IInspectable give the first interface exposed.
  HRESULT QueryInterface(const KaltoGuid* iid, void** object) noexcept;
  // The exposed interfaces other than IUnknown and IInspectable, in a malloc'd array.
  HRESULT GetIids(uint32_t* count, KaltoGuid** iids) noexcept;
  HRESULT GetRuntimeClassName(KaltoHString* name) noexcept;
  uint32_t ReferenceCountForTesting() const noexcept { return m_refs.load(); }

 protected:
  // Called by the derived constructor for each interface it implements, the default one first.
  void Expose(const KaltoGuid& iid, void* iface) noexcept;

 private:
  struct Entry {
    const KaltoGuid* iid = nullptr;
    void* iface = nullptr;
  };
  std::atomic<uint32_t> m_refs{1};
  const Counting m_counting;
  std::optional<ModuleObject> m_moduleObject;
  std::u16string_view m_runtimeClassName;
  std::array<Entry, 4> m_entries{};
  std::size_t m_entryCount = 0;
};

// A new object with its first reference held by the returned pointer to interface `I`.
template <typename Object, typename I, typename... Args>
ComPtr<I> MakeComObject(Head<I> Object::*head, Args&&... args) {
  auto* object = new Object(std::forward<Args>(args)...);  // owned by its own reference count
  return ComPtr<I>::Attach(&(object->*head).iface);
}

// The six slots every inspectable interface starts with, for any interface type I.
template <typename I>
HRESULT QueryInterfaceSlot(I* self, const KaltoGuid* iid, void** object) {
  return OwnerOf(self).QueryInterface(iid, object);
}
template <typename I>
uint32_t AddRefSlot(I* self) {
  return OwnerOf(self).AddRef();
}
template <typename I>
uint32_t ReleaseSlot(I* self) {
  return OwnerOf(self).Release();
}
template <typename I>
HRESULT GetIidsSlot(I* self, uint32_t* count, KaltoGuid** iids) {
  return OwnerOf(self).GetIids(count, iids);
}
template <typename I>
HRESULT GetRuntimeClassNameSlot(I* self, KaltoHString* name) {
  return OwnerOf(self).GetRuntimeClassName(name);
}
template <typename I>
HRESULT GetTrustLevelSlot(I*, KaltoTrustLevel* level) {
  if (!level) return E_POINTER;
  *level = KALTO_TRUST_LEVEL_BASE;
  return S_OK;
}

// The derived object behind `iface`.
template <typename Object, typename I>
Object& Self(I* iface) noexcept {
  return static_cast<Object&>(OwnerOf(iface));
}

}  // namespace kalto::abi

// Designated initialisers for the first slots of a vtable of interface I.
#define KALTO_ABI_IUNKNOWN_SLOTS(I)                                                    \
  .QueryInterface = &::kalto::abi::QueryInterfaceSlot<I>, .AddRef = &::kalto::abi::AddRefSlot<I>, \
  .Release = &::kalto::abi::ReleaseSlot<I>
#define KALTO_ABI_IINSPECTABLE_SLOTS(I)                                                                  \
  KALTO_ABI_IUNKNOWN_SLOTS(I), .GetIids = &::kalto::abi::GetIidsSlot<I>,                                  \
                               .GetRuntimeClassName = &::kalto::abi::GetRuntimeClassNameSlot<I>,          \
                               .GetTrustLevel = &::kalto::abi::GetTrustLevelSlot<I>
