#pragma once
// Tests that need a server or a tool skip without it on a developer's machine; under CI
// (CI=true) a missing prerequisite is a failure, so a broken machine cannot pass.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string_view>

namespace kalto::test {

inline bool UnderCi() {
  const char* value = std::getenv("CI");
  return value != nullptr && std::string_view(value) == "true";
}

}  // namespace kalto::test

// In a test body or SetUp: returns from it when `available` is false.
#define KALTO_REQUIRE(available, what)                                        \
  do {                                                                        \
    if (!(available)) {                                                       \
      if (::kalto::test::UnderCi()) FAIL() << (what) << " (required under CI)"; \
      GTEST_SKIP() << (what);                                                 \
    }                                                                         \
  } while (0)
