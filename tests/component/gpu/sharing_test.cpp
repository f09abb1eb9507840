#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "gpu_test_util.h"

namespace kalto::gpu::test {
namespace {

class SharingTest : public GpuTest {
 protected:
  void SetUp() override {
    GpuTest::SetUp();
    ASSERT_EQ(S_OK, factory.CreateDevice(nullptr, DriverType::Hardware, 0, nullptr, 0, &second, &secondContext));
    ASSERT_EQ(S_OK, factory.CreateDevice(nullptr, DriverType::Warp, 0, nullptr, 0, &warp, nullptr));
  }
  std::shared_ptr<Texture2D> MakeShared(uint32_t misc) {
    return Make(Desc(9, 5, Format::B8G8R8A8_UNORM, Usage::Default, BIND_SHADER_RESOURCE, 0, misc));
  }
  std::shared_ptr<Device> second, warp;
  std::shared_ptr<DeviceContext> secondContext;
};

TEST_F(SharingTest, OpeningOnTheSameAdapterSharesThePixels) {
  auto original = MakeShared(MISC_SHARED);
  SharedHandle handle = 0;
  ASSERT_EQ(S_OK, original->GetSharedHandle(&handle));
  EXPECT_NE(0u, handle);
  std::shared_ptr<Texture2D> opened;
  ASSERT_EQ(S_OK, second->OpenSharedResource(handle, &opened));
  EXPECT_EQ(second, opened->GetDevice());

  // Written through the second device, read back through the first.
  const auto fresh = Pattern(9, 5, Format::B8G8R8A8_UNORM, 7);
  secondContext->UpdateSubresource(*opened, 0, nullptr, fresh.data(), 9 * 4, 0);
  EXPECT_EQ(fresh, ReadBack(*original));
}

TEST_F(SharingTest, OtherAdaptersAndDeadHandlesCannotOpen) {
  auto original = MakeShared(MISC_SHARED_KEYEDMUTEX);
  auto other = MakeShared(MISC_SHARED);
  SharedHandle handle = 0, otherHandle = 0, none = 0;
  ASSERT_EQ(S_OK, original->GetSharedHandle(&handle));
  ASSERT_EQ(S_OK, other->GetSharedHandle(&otherHandle));
  EXPECT_NE(handle, otherHandle);
  EXPECT_EQ(E_INVALIDARG, MakeShared(0)->GetSharedHandle(&none));

  std::shared_ptr<Texture2D> opened = other;
  EXPECT_EQ(E_INVALIDARG, warp->OpenSharedResource(handle, &opened));
  EXPECT_FALSE(opened);
  // A handle names the texture while any opening of it lives, and nothing after.
  ASSERT_EQ(S_OK, second->OpenSharedResource(handle, &opened));
  original.reset();
  std::shared_ptr<Texture2D> again;
  EXPECT_EQ(S_OK, device->OpenSharedResource(handle, &again));
  again.reset();
  opened.reset();
  EXPECT_EQ(E_INVALIDARG, device->OpenSharedResource(handle, &again));
}

class KeyedMutexTest : public SharingTest {
 protected:
  void SetUp() override {
    SharingTest::SetUp();
    texture = MakeShared(MISC_SHARED_KEYEDMUTEX);
    SharedHandle handle = 0;
    ASSERT_EQ(S_OK, texture->GetSharedHandle(&handle));
    ASSERT_EQ(S_OK, second->OpenSharedResource(handle, &opened));
    first = texture->QueryKeyedMutex();
    other = opened->QueryKeyedMutex();
    ASSERT_TRUE(first && other);
    EXPECT_FALSE(MakeShared(MISC_SHARED)->QueryKeyedMutex());
  }
  std::shared_ptr<Texture2D> texture, opened;
  std::shared_ptr<KeyedMutex> first, other;
};

TEST_F(KeyedMutexTest, HandsTheTextureOverBetweenThreads) {
  std::atomic<HRESULT> consumerResult{E_FAIL};
  std::atomic<int> seen{-1};
  // The consumer starts first and has to wait for the producer's release with key 1.
  std::thread consumer([&] {
    consumerResult = other->AcquireSync(1, 5000);
    if (consumerResult == S_OK) {
      seen = PixelsOf(*opened).data[0];
      other->ReleaseSync(0);
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_EQ(S_OK, first->AcquireSync(0, 0xFFFFFFFFu));
  const uint8_t pixel[4] = {0x5A, 0, 0, 0};
  const Box box{0, 0, 0, 1, 1, 1};
  context->UpdateSubresource(*texture, 0, &box, pixel, 4, 0);
  ASSERT_EQ(S_OK, first->ReleaseSync(1));
  consumer.join();
  EXPECT_EQ(S_OK, consumerResult.load());
  EXPECT_EQ(0x5A, seen.load());
  EXPECT_EQ(S_OK, first->AcquireSync(0, 0));  // released with key 0 again
}

TEST_F(KeyedMutexTest, TimesOutOnAnotherKeyOrAHolder) {
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(0x102, first->AcquireSync(1, 60));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
  ASSERT_EQ(S_OK, first->AcquireSync(0, 0));
  EXPECT_EQ(WAIT_TIMEOUT_RESULT, other->AcquireSync(0, 10));
  ASSERT_EQ(S_OK, first->ReleaseSync(0));
  EXPECT_TRUE(Failed(first->ReleaseSync(5)));  // not held: fails and keeps key 0
  EXPECT_EQ(S_OK, other->AcquireSync(0, 10));
}

}  // namespace
}  // namespace kalto::gpu::test
