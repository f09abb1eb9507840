#pragma once
// Tests that need a server or a tool skip when it is missing on a developer's machine, but fail
// under CI (CI=true), where a missing prerequisite must not pass as green.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

namespace kalto::test {

inline bool InCi() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && std::strcmp(ci, "true") == 0;
}

}  // namespace kalto::test

// In a test body or SetUp: skips (fails under CI) when `available` is false.
#define KALTO_REQUIRE(available, what)                                          \
  do {                                                                          \
    if (!(available)) {                                                         \
      if (::kalto::test::InCi()) FAIL() << (what) << " (required when CI=true)"; \
      GTEST_SKIP() << (what);                                                   \
    }                                                                           \
  } while (false)
