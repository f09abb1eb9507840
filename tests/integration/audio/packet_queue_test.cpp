// The packet queue between the server's loop thread and the capture thread: packet sizes,
// silent and discontinuity flags, frames split across deliveries, overflow while a packet is
// handed out, and the order the capture calls must keep.
#include "platform/audio/pulse/packet_queue.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace kalto::platform::audio::pulse {
namespace {

// 16-bit stereo: 4 bytes a frame.
constexpr uint32_t kFrameBytes = 4;

std::vector<int16_t> Ramp(size_t frames, int16_t start = 1) {
  std::vector<int16_t> samples(frames * 2);
  for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<int16_t>(start + i);
  return samples;
}

struct Taken {
  std::vector<int16_t> samples;
  uint32_t frames = 0;
  uint32_t flags = 0;
  uint64_t position = 0;
};

Taken Take(PacketQueue& queue) {
  Taken t;
  uint8_t* data = nullptr;
  EXPECT_EQ(queue.GetBuffer(&data, &t.frames, &t.flags, &t.position, nullptr), S_OK);
  t.samples.resize(t.frames * 2);
  if (data) std::memcpy(t.samples.data(), data, t.frames * kFrameBytes);
  EXPECT_EQ(queue.ReleaseBuffer(t.frames), S_OK);
  return t;
}

TEST(PacketQueueTest, DeliveriesAreCutIntoPacketsOfAtMostOnePeriod) {
  PacketQueue queue(kFrameBytes, 100, 1000);
  auto samples = Ramp(250);
  queue.Push(samples.data(), samples.size() * 2);
  uint32_t next = 0;
  ASSERT_EQ(queue.GetNextPacketSize(&next), S_OK);
  EXPECT_EQ(next, 100u);
  Taken a = Take(queue), b = Take(queue), c = Take(queue);
  EXPECT_EQ(a.frames, 100u);
  EXPECT_EQ(b.frames, 100u);
  EXPECT_EQ(c.frames, 50u);
  EXPECT_EQ(c.position, 200u);
  EXPECT_EQ(c.samples.back(), samples.back());
  EXPECT_EQ(a.flags, 0u);
  ASSERT_EQ(queue.GetNextPacketSize(&next), S_OK);
  EXPECT_EQ(next, 0u);
}

TEST(PacketQueueTest, AFrameSplitBetweenDeliveriesIsJoinedInOrder) {
  PacketQueue queue(kFrameBytes, 100, 1000);
  auto samples = Ramp(3);
  const auto* bytes = reinterpret_cast<const uint8_t*>(samples.data());
  queue.Push(bytes, 6);      // one frame and half of the next
  queue.Push(bytes + 6, 6);  // the rest of it and the third frame
  std::vector<int16_t> joined;
  uint32_t next = 0;
  while (Succeeded(queue.GetNextPacketSize(&next)) && next > 0) {
    Taken t = Take(queue);
    joined.insert(joined.end(), t.samples.begin(), t.samples.end());
  }
  EXPECT_EQ(joined, samples);
}

TEST(PacketQueueTest, ZerosAndHolesAreFlaggedSilentAndStillZero) {
  PacketQueue queue(kFrameBytes, 100, 1000);
  std::vector<int16_t> zeros(20, 0);
  queue.Push(zeros.data(), zeros.size() * 2);
  queue.Push(nullptr, 8 * kFrameBytes);
  Taken a = Take(queue), b = Take(queue);
  EXPECT_EQ(a.flags, AUDCLNT_BUFFERFLAGS_SILENT);
  EXPECT_EQ(b.flags, AUDCLNT_BUFFERFLAGS_SILENT);
  EXPECT_EQ(b.frames, 8u);
  EXPECT_EQ(b.samples, std::vector<int16_t>(16, 0));
}

TEST(PacketQueueTest, OverflowDropsTheOldestAndMarksTheGap) {
  PacketQueue queue(kFrameBytes, 10, 40);
  auto first = Ramp(40, 1);
  queue.Push(first.data(), first.size() * 2);
  auto more = Ramp(20, 1000);
  queue.Push(more.data(), more.size() * 2);
  EXPECT_EQ(queue.QueuedFrames(), 40u);
  Taken t = Take(queue);
  EXPECT_EQ(t.position, 20u) << "the two oldest packets went";
  EXPECT_TRUE(t.flags & AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY);
  EXPECT_FALSE(Take(queue).flags & AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY);
}

TEST(PacketQueueTest, AFullQueueStillAnnouncesWhatReplacedTheOldest) {
  PacketQueue queue(kFrameBytes, 10, 40);
  auto event = std::make_shared<Event>(false, false);
  queue.SetEvent(event);
  auto fill = Ramp(40);
  queue.Push(fill.data(), fill.size() * 2);
  ASSERT_EQ(WaitForEvent(*event, 0), WAIT_OBJECT_0);
  auto one = Ramp(10, 300);
  queue.Push(one.data(), one.size() * 2);  // as many frames in as go out
  EXPECT_EQ(queue.QueuedFrames(), 40u);
  EXPECT_EQ(WaitForEvent(*event, 0), WAIT_OBJECT_0);
}

TEST(PacketQueueTest, APacketHandedOutSurvivesOverflowUntilReleased) {
  PacketQueue queue(kFrameBytes, 10, 40);
  auto first = Ramp(10, 7);
  queue.Push(first.data(), first.size() * 2);
  uint8_t* data = nullptr;
  uint32_t frames = 0, flags = 0;
  ASSERT_EQ(queue.GetBuffer(&data, &frames, &flags, nullptr, nullptr), S_OK);
  auto flood = Ramp(100, 5000);
  queue.Push(flood.data(), flood.size() * 2);
  std::vector<int16_t> held(frames * 2);
  std::memcpy(held.data(), data, frames * kFrameBytes);
  EXPECT_EQ(held, first);
  EXPECT_EQ(queue.ReleaseBuffer(frames), S_OK);
  EXPECT_TRUE(Take(queue).flags & AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY);
}

TEST(PacketQueueTest, CaptureCallsKeepTheirOrder) {
  PacketQueue queue(kFrameBytes, 100, 1000);
  uint8_t* data = reinterpret_cast<uint8_t*>(1);
  uint32_t frames = 9, flags = 9;
  EXPECT_EQ(queue.GetBuffer(&data, &frames, &flags, nullptr, nullptr), AUDCLNT_S_BUFFER_EMPTY);
  EXPECT_EQ(data, nullptr);
  EXPECT_EQ(frames, 0u);
  EXPECT_EQ(queue.ReleaseBuffer(0), AUDCLNT_E_OUT_OF_ORDER);
  auto samples = Ramp(30);
  queue.Push(samples.data(), samples.size() * 2);
  ASSERT_EQ(queue.GetBuffer(&data, &frames, &flags, nullptr, nullptr), S_OK);
  EXPECT_EQ(queue.GetBuffer(&data, &frames, &flags, nullptr, nullptr), AUDCLNT_E_OUT_OF_ORDER);
  EXPECT_EQ(queue.ReleaseBuffer(frames - 1), AUDCLNT_E_INVALID_SIZE);
  // Releasing nothing gives the same packet again.
  EXPECT_EQ(queue.ReleaseBuffer(0), S_OK);
  uint64_t position = 99;
  ASSERT_EQ(queue.GetBuffer(&data, &frames, &flags, &position, nullptr), S_OK);
  EXPECT_EQ(position, 0u);
  EXPECT_EQ(frames, 30u);
  EXPECT_EQ(queue.ReleaseBuffer(frames), S_OK);
  EXPECT_EQ(queue.GetBuffer(nullptr, &frames, &flags, nullptr, nullptr), E_POINTER);
}

TEST(PacketQueueTest, PushesSetTheEventAndAnInvalidatedStreamFailsEveryCall) {
  PacketQueue queue(kFrameBytes, 100, 1000);
  auto event = std::make_shared<Event>(false, false);
  queue.SetEvent(event);
  auto samples = Ramp(5);
  queue.Push(samples.data(), 2);  // half a frame: nothing to read yet
  EXPECT_FALSE(event->IsSignalled());
  queue.Push(reinterpret_cast<const uint8_t*>(samples.data()) + 2, samples.size() * 2 - 2);
  EXPECT_TRUE(event->IsSignalled());
  EXPECT_EQ(WaitForEvent(*event, 0), WAIT_OBJECT_0);

  queue.Invalidate(AUDCLNT_E_DEVICE_INVALIDATED);
  EXPECT_TRUE(event->IsSignalled()) << "the reader is woken to see the failure";
  uint32_t frames = 0, flags = 0;
  uint8_t* data = nullptr;
  EXPECT_EQ(queue.GetNextPacketSize(&frames), AUDCLNT_E_DEVICE_INVALIDATED);
  EXPECT_EQ(queue.GetBuffer(&data, &frames, &flags, nullptr, nullptr), AUDCLNT_E_DEVICE_INVALIDATED);
}

}  // namespace
}  // namespace kalto::platform::audio::pulse
