#include "platform/abi/async_operation_object.h"

#include <mutex>
#include <utility>

#include "platform/abi/delegate.h"

namespace kalto::abi {
namespace {

using Operation = KaltoIAsyncOperationBoolean;
using Info = KaltoIAsyncInfo;
using Handler = KaltoIAsyncOperationCompletedHandlerBoolean;

class AsyncOperationObject final : public ComObject {
 public:
  explicit AsyncOperationObject(std::shared_ptr<AsyncOperationBool> operation) noexcept
      : ComObject(u"Windows.Foundation.IAsyncOperation`1<Boolean>"), m_operation(std::move(operation)) {
    Expose(KALTO_IID_IAsyncOperationBoolean, &m_asOperation.iface);
    Expose(KALTO_IID_IAsyncInfo, &m_asInfo.iface);
  }

  Head<Operation> m_asOperation{&kOperationVtbl, this};
  Head<Info> m_asInfo{&kInfoVtbl, this};
  const std::shared_ptr<AsyncOperationBool> m_operation;

 private:
  static HRESULT PutCompleted(Operation* self, Handler* handler) {
    if (!handler) return E_POINTER;
    auto& object = Self<AsyncOperationObject>(self);
    return Guard([&]() -> HRESULT {
      Delegate<Handler> delegate(handler);
      {
        std::lock_guard lock(object.m_mutex);
        if (object.m_completed) return E_ILLEGAL_DELEGATE_ASSIGNMENT;
        object.m_completed = delegate;
      }
      // The handler holds this object: the application may drop its last reference before the
      // operation finishes, and the handler still receives it.
      auto keep = ComPtr<Operation>::Borrow(self);
      HRESULT hr = object.m_operation->SetCompleted(
          [delegate, keep](AsyncOperationBool&, AsyncStatus status) {
            delegate.Invoke(keep.Get(), static_cast<KaltoAsyncStatus>(status));
          });
      if (Failed(hr)) {
        std::lock_guard lock(object.m_mutex);
        if (hr != E_ILLEGAL_DELEGATE_ASSIGNMENT) object.m_completed = Delegate<Handler>();
      }
      return hr;
    });
  }

  static HRESULT GetCompleted(Operation* self, Handler** handler) {
    if (!handler) return E_POINTER;
    auto& object = Self<AsyncOperationObject>(self);
    std::lock_guard lock(object.m_mutex);
    *handler = ComPtr<Handler>::Borrow(object.m_completed.Get()).Detach();
    return S_OK;
  }

  static HRESULT GetResults(Operation* self, KaltoBoolean* results) {
    if (!results) return E_POINTER;
    bool value = false;
    HRESULT hr = Self<AsyncOperationObject>(self).m_operation->GetResults(value);
    *results = value ? 1 : 0;
    return hr;
  }

  static HRESULT GetId(Info* self, uint32_t* id) {
    if (!id) return E_POINTER;
    *id = Self<AsyncOperationObject>(self).m_operation->Id();
    return S_OK;
  }
  static HRESULT GetStatus(Info* self, KaltoAsyncStatus* status) {
    if (!status) return E_POINTER;
    *status = static_cast<KaltoAsyncStatus>(Self<AsyncOperationObject>(self).m_operation->Status());
    return S_OK;
  }
  static HRESULT GetErrorCode(Info* self, KaltoHResult* error) {
    if (!error) return E_POINTER;
    *error = Self<AsyncOperationObject>(self).m_operation->ErrorCode();
    return S_OK;
  }
  static HRESULT Cancel(Info* self) { return Self<AsyncOperationObject>(self).m_operation->Cancel(); }
  static HRESULT Close(Info* self) { return Self<AsyncOperationObject>(self).m_operation->Close(); }

  static constexpr KaltoIAsyncOperationBooleanVtbl kOperationVtbl{
      KALTO_ABI_IINSPECTABLE_SLOTS(Operation),
      .put_Completed = &PutCompleted,
      .get_Completed = &GetCompleted,
      .GetResults = &GetResults,
  };
  static constexpr KaltoIAsyncInfoVtbl kInfoVtbl{
      KALTO_ABI_IINSPECTABLE_SLOTS(Info),
      .get_Id = &GetId,
      .get_Status = &GetStatus,
      .get_ErrorCode = &GetErrorCode,
      .Cancel = &Cancel,
      .Close = &Close,
  };

  std::mutex m_mutex;
  Delegate<Handler> m_completed;
};

}  // namespace

HRESULT MakeAsyncOperationObject(std::shared_ptr<AsyncOperationBool> operation,
                                 KaltoIAsyncOperationBoolean** result) noexcept {
  if (!result) return E_POINTER;
  *result = nullptr;
  if (!operation) return E_INVALIDARG;
  return Guard([&] {
    *result = MakeComObject(&AsyncOperationObject::m_asOperation, std::move(operation)).Detach();
  });
}

}  // namespace kalto::abi
