#include "platform/abi/event.h"

#include <atomic>

#include "common/debug_output.h"

namespace kalto::abi {
namespace {

std::atomic<int64_t> s_nextToken{0};

}  // namespace

int64_t NextEventToken() noexcept { return s_nextToken.fetch_add(1, std::memory_order_relaxed) + 1; }

void LogHandlerFailure(HRESULT hr) noexcept {
  try {
    DebugLog<128>(L"[Event] WARNING: Handler failed with 0x%08X\n", HrBits(hr));
  } catch (...) {
  }
}

void LogHandlerRemoved(HRESULT hr) noexcept {
  try {
    DebugLog<128>(L"[Event] Handler's client is gone (0x%08X), handler removed\n", HrBits(hr));
  } catch (...) {
  }
}

void LogHandlerException(const std::exception* error) noexcept {
  try {
    if (error) {
      DebugLog<256>(L"[Event] WARNING: Handler exception: %s\n", error->what());
    } else {
      DebugLog<128>(L"[Event] WARNING: Handler unknown exception\n");
    }
  } catch (...) {
  }
}

}  // namespace kalto::abi
