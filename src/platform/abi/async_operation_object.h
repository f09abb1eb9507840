#pragma once
#include <memory>

#include "common/result.h"
#include "kalto/native.h"
#include "platform/abi/async_operation.h"
#include "platform/abi/com_object.h"

namespace kalto::abi {

// The IAsyncOperation<Boolean> (and IAsyncInfo) the application receives for `operation`.
// A completion handler set through it keeps the object alive until it has been invoked.
HRESULT MakeAsyncOperationObject(std::shared_ptr<AsyncOperationBool> operation,
                                 KaltoIAsyncOperationBoolean** result) noexcept;

}  // namespace kalto::abi
