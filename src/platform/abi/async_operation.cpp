#include "platform/abi/async_operation.h"

#include <atomic>

#include "common/debug_output.h"

namespace kalto::abi {
namespace {

std::atomic<uint32_t> s_nextAsyncId{0};

}  // namespace

uint32_t NextAsyncOperationId() noexcept {
  // Relaxed: the id only has to be unique. Zero is skipped so that it can mean "none".
  uint32_t id = s_nextAsyncId.fetch_add(1, std::memory_order_relaxed) + 1;
  if (id == 0) id = s_nextAsyncId.fetch_add(1, std::memory_order_relaxed) + 1;
  return id;
}

void LogCompletedHandlerException(const std::exception* error) noexcept {
  try {
    if (error) {
      DebugLog<256>(L"[AsyncOperation] WARNING: Completed handler exception: %s\n", error->what());
    } else {
      DebugLog<128>(L"[AsyncOperation] WARNING: Completed handler unknown exception\n");
    }
  } catch (...) {
  }
}

}  // namespace kalto::abi
