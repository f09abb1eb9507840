#pragma once
#include <exception>
#include <utility>

namespace kalto {

// Stand-in for the structured-exception guards around frame callbacks and GPU copies: runs the
// call and reports whether it completed. Only C++ exceptions can be caught here; hardware faults
// still terminate the process.
template <typename F>
bool GuardedCall(F&& f) noexcept {
  try {
    std::forward<F>(f)();
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace kalto
