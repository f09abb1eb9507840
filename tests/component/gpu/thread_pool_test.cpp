#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/gpu/software/software_device.h"
#include "platform/gpu/software/thread_pool.h"

namespace kalto::gpu::software {
namespace {

void ExpectEachIndexOnce(ThreadPool& pool, uint32_t count) {
  std::vector<std::atomic<int>> hits(count);
  pool.ParallelFor(count, [&](uint32_t begin, uint32_t end) {
    EXPECT_LT(begin, end);
    EXPECT_LE(end, count);
    for (uint32_t i = begin; i < end; ++i) hits[i]++;
  });
  for (uint32_t i = 0; i < count; ++i) ASSERT_EQ(1, hits[i].load()) << "index " << i << " of " << count;
}

TEST(ThreadPool, CoversEveryIndexExactlyOnce) {
  for (unsigned workers : {1u, 2u, 3u}) {
    ThreadPool pool(workers);
    for (uint32_t count : {1u, 2u, 3u, 7u, 64u, 1000u, 100003u}) ExpectEachIndexOnce(pool, count);
  }
  int calls = 0;
  ThreadPool(2).ParallelFor(0, [&](uint32_t, uint32_t) { ++calls; });
  EXPECT_EQ(0, calls);
}

TEST(ThreadPool, NestedLoopsFromWorkersRunInline) {
  ThreadPool pool(2);
  std::atomic<int> inner{0};
  pool.ParallelFor(16, [&](uint32_t begin, uint32_t end) {
    for (uint32_t i = begin; i < end; ++i) {
      pool.ParallelFor(8, [&](uint32_t b, uint32_t e) { inner += static_cast<int>(e - b); });
    }
  });
  EXPECT_EQ(16 * 8, inner.load());
}

TEST(ThreadPool, RethrowsABandsExceptionAfterAllBandsEnd) {
  ThreadPool pool(2);
  std::atomic<uint32_t> done{0};
  std::atomic<uint32_t> failedBandEnd{0};
  EXPECT_THROW(pool.ParallelFor(64,
                                [&](uint32_t begin, uint32_t end) {
                                  if (begin == 0) {
                                    failedBandEnd = end;
                                    throw std::runtime_error("band failed");
                                  }
                                  done += end - begin;
                                }),
               std::runtime_error);
  // Every other band had finished by the time the caller saw the exception.
  EXPECT_EQ(64u - failedBandEnd.load(), done.load());
  // Still usable afterwards.
  ExpectEachIndexOnce(pool, 500);
}

TEST(ThreadPool, ProcessPoolServesConcurrentCallers) {
  std::vector<std::thread> callers;
  std::atomic<uint64_t> total{0};
  for (int t = 0; t < 4; ++t) {
    callers.emplace_back([&] {
      for (int round = 0; round < 50; ++round) {
        ParallelFor(257, [&](uint32_t begin, uint32_t end) { total += end - begin; });
      }
    });
  }
  for (auto& caller : callers) caller.join();
  EXPECT_EQ(4u * 50u * 257u, total.load());
}

}  // namespace
}  // namespace kalto::gpu::software
