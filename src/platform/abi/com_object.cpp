#include "platform/abi/com_object.h"

#include <cstdlib>
#include <new>

#include "platform/abi/abi_string.h"

namespace kalto::abi {

HRESULT ResultOfCurrentException() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (const PlatformError& e) {
    return Failed(e.code()) ? e.code() : E_FAIL;
  } catch (...) {
    return E_FAIL;
  }
}

ComObject::ComObject(std::u16string_view runtimeClassName, Counting counting) noexcept
    : m_counting(counting), m_runtimeClassName(runtimeClassName) {
  if (m_counting == Counting::WhileAlive) m_moduleObject.emplace();
}

uint32_t ComObject::AddRef() noexcept {
  uint32_t count = m_refs.fetch_add(1, std::memory_order_relaxed) + 1;
  // The cache holds the first reference; references handed out beyond it keep the module loaded.
  if (m_counting == Counting::WhileHeldBeyondCache && count == 2) ModuleObjectAdded();
  return count;
}

uint32_t ComObject::Release() noexcept {
  uint32_t count = m_refs.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if (m_counting == Counting::WhileHeldBeyondCache && count == 1) ModuleObjectRemoved();
  if (count == 0) delete this;
  return count;
}

void ComObject::Expose(const KaltoGuid& iid, void* iface) noexcept {
  if (m_entryCount < m_entries.size()) m_entries[m_entryCount++] = Entry{&iid, iface};
}

HRESULT ComObject::QueryInterface(const KaltoGuid* iid, void** object) noexcept {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (!iid) return E_POINTER;
  void* found = nullptr;
  if (m_entryCount > 0 && (SameGuid(*iid, KALTO_IID_IUnknown) || SameGuid(*iid, KALTO_IID_IInspectable))) {
    found = m_entries[0].iface;
  }
  for (std::size_t i = 0; !found && i < m_entryCount; ++i) {
    if (SameGuid(*iid, *m_entries[i].iid)) found = m_entries[i].iface;
  }
  if (!found) return E_NOINTERFACE;
  AddRef();
  *object = found;
  return S_OK;
}

HRESULT ComObject::GetIids(uint32_t* count, KaltoGuid** iids) noexcept {
  if (!count || !iids) return E_POINTER;
  *count = 0;
  *iids = nullptr;
  if (m_entryCount == 0) return S_OK;
  // malloc, so that a C caller frees it with free.
  auto* array = static_cast<KaltoGuid*>(std::malloc(sizeof(KaltoGuid) * m_entryCount));
  if (!array) return E_OUTOFMEMORY;
  for (std::size_t i = 0; i < m_entryCount; ++i) array[i] = *m_entries[i].iid;
  *count = static_cast<uint32_t>(m_entryCount);
  *iids = array;
  return S_OK;
}

HRESULT ComObject::GetRuntimeClassName(KaltoHString* name) noexcept { return ReturnString(m_runtimeClassName, name); }

}  // namespace kalto::abi
