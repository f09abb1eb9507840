#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <type_traits>
#include <utility>

#include "common/result.h"
#include "platform/abi/abi_result.h"
#include "platform/abi/module_count.h"

namespace kalto::abi {

// The values of the platform's AsyncStatus, which the application compares against.
enum class AsyncStatus : int32_t { Started = 0, Completed = 1, Canceled = 2, Error = 3 };

uint32_t NextAsyncOperationId() noexcept;
// Logs a completion handler that threw; the handler's failure is the application's and must
// not reach the thread that completed the operation.
void LogCompletedHandlerException(const std::exception* error) noexcept;

// The stand-in for IAsyncOperation<T>. The producer completes it once with Complete or Fail;
// the consumer sets one completion handler (invoked exactly once, at once when the operation
// has already finished), reads the outcome, may cancel while it runs, and C++ callers can
// block on it with or without a time-out. Shared ownership plays the part of the reference count.
template <typename T>
class AsyncOperation : public std::enable_shared_from_this<AsyncOperation<T>> {
  static_assert(std::is_nothrow_move_constructible_v<T> && std::is_nothrow_move_assignable_v<T>,
                "completion must not fail half-way");
  struct PassKey {};

 public:
  using CompletedHandler = std::function<void(AsyncOperation& operation, AsyncStatus status)>;

  explicit AsyncOperation(PassKey) : m_id(NextAsyncOperationId()) {}
  static std::shared_ptr<AsyncOperation> Create() { return std::make_shared<AsyncOperation>(PassKey{}); }
  AsyncOperation(const AsyncOperation&) = delete;
  AsyncOperation& operator=(const AsyncOperation&) = delete;

  uint32_t Id() const noexcept { return m_id; }

  AsyncStatus Status() const noexcept {
    std::lock_guard lock(m_mutex);
    return m_status;
  }

  // S_OK while running or after success; the failure after Fail; ERROR_CANCELLED after Cancel.
  HRESULT ErrorCode() const noexcept {
    std::lock_guard lock(m_mutex);
    return m_error;
  }

  // Only one handler may ever be assigned, as with the platform's Completed property.
  HRESULT SetCompleted(CompletedHandler handler) noexcept {
    if (!handler) return E_POINTER;
    std::unique_lock lock(m_mutex);
    if (m_closed) return E_ILLEGAL_METHOD_CALL;
    if (m_handlerAssigned) return E_ILLEGAL_DELEGATE_ASSIGNMENT;
    m_handlerAssigned = true;
    if (m_status == AsyncStatus::Started) {
      m_handler = std::move(handler);
      return S_OK;
    }
    AsyncStatus status = m_status;
    lock.unlock();
    Invoke(handler, status);
    return S_OK;
  }

  HRESULT GetResults(T& result) const noexcept {
    std::lock_guard lock(m_mutex);
    if (m_closed) return E_ILLEGAL_METHOD_CALL;
    switch (m_status) {
      case AsyncStatus::Completed:
        result = m_result;
        return S_OK;
      case AsyncStatus::Started:
        return E_ILLEGAL_METHOD_CALL;
      default:
        return m_error;
    }
  }

  // A running operation ends as Canceled at once and a later Complete or Fail is ignored; the
  // producer can look at IsCancellationRequested to stop early. Cancelling a finished operation
  // changes nothing.
  HRESULT Cancel() noexcept {
    {
      std::lock_guard lock(m_mutex);
      if (m_closed) return E_ILLEGAL_METHOD_CALL;
    }
    Finish(AsyncStatus::Canceled, T{}, HRESULT_ERROR_CANCELLED);
    return S_OK;
  }

  // Ends the consumer's use: only a finished operation may be closed, and afterwards only the
  // status, id and error code can be read.
  HRESULT Close() noexcept {
    std::lock_guard lock(m_mutex);
    if (m_closed) return S_OK;
    if (m_status == AsyncStatus::Started) return E_ILLEGAL_STATE_CHANGE;
    m_closed = true;
    return S_OK;
  }

  // True once the operation has finished (its handler may still be running on another thread).
  bool WaitFor(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(m_mutex);
    return m_finished.wait_for(lock, timeout, [this] { return m_status != AsyncStatus::Started; });
  }
  void Wait() const {
    std::unique_lock lock(m_mutex);
    m_finished.wait(lock, [this] { return m_status != AsyncStatus::Started; });
  }

  // Producer side. Each returns false when the operation had already finished (or been
  // cancelled), so the first outcome is the one that stays.
  bool Complete(T result) noexcept { return Finish(AsyncStatus::Completed, std::move(result), S_OK); }
  bool Fail(HRESULT error) noexcept {
    return Finish(AsyncStatus::Error, T{}, Failed(error) ? error : E_FAIL);
  }
  bool IsCancellationRequested() const noexcept { return Status() == AsyncStatus::Canceled; }

 private:
  bool Finish(AsyncStatus status, T result, HRESULT error) noexcept {
    CompletedHandler handler;
    {
      std::lock_guard lock(m_mutex);
      if (m_status != AsyncStatus::Started) return false;
      m_status = status;
      m_result = std::move(result);
      m_error = error;
      handler = std::move(m_handler);
      m_handler = nullptr;
    }
    m_finished.notify_all();
    // Outside the lock: the handler may read the results or wait on this operation.
    if (handler) Invoke(handler, status);
    return true;
  }

  void Invoke(CompletedHandler& handler, AsyncStatus status) noexcept {
    // Keeps the operation alive even when the handler drops the consumer's last reference.
    auto self = this->weak_from_this().lock();
    try {
      handler(*this, status);
    } catch (const std::exception& e) {
      LogCompletedHandlerException(&e);
    } catch (...) {
      LogCompletedHandlerException(nullptr);
    }
    // The handler's captures are released while the operation is still alive.
    handler = nullptr;
  }

  const uint32_t m_id;
  ModuleObject m_moduleObject;
  mutable std::mutex m_mutex;
  mutable std::condition_variable m_finished;
  AsyncStatus m_status = AsyncStatus::Started;
  T m_result{};
  HRESULT m_error = S_OK;
  CompletedHandler m_handler;
  bool m_handlerAssigned = false;
  bool m_closed = false;
};

using AsyncOperationBool = AsyncOperation<bool>;

}  // namespace kalto::abi
