// The packet queue between the sound server's loop thread and the capture thread.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/audio/audio.h"
#include "platform/audio/pulse/packet_queue.h"

namespace kalto::platform::audio::pulse {
namespace {

// 16-bit stereo: 4 bytes a frame.
std::vector<int16_t> Ramp(size_t frames, int16_t start = 1) {
  std::vector<int16_t> samples(frames * 2);
  for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<int16_t>(start + i);
  return samples;
}

struct Taken {
  std::vector<int16_t> samples;
  uint32_t frames = 0, flags = 0;
  uint64_t position = 0;
};

Taken Take(PacketQueue& queue) {
  Taken t;
  uint8_t* data = nullptr;
  EXPECT_EQ(queue.GetBuffer(&data, &t.frames, &t.flags, &t.position, nullptr), S_OK);
  t.samples.resize(t.frames * 2);
  if (data) std::memcpy(t.samples.data(), data, t.frames * 4);
  EXPECT_EQ(queue.ReleaseBuffer(t.frames), S_OK);
  return t;
}

TEST(PacketQueueTest, PacketsOfAtMostOnePeriodJoinSplitFramesFlagSilenceAndFailOnceInvalidated) {
  PacketQueue queue(4, 100, 1000);
  auto event = std::make_shared<Event>(false, false);
  queue.SetEvent(event);
  auto samples = Ramp(250);
  const auto* bytes = reinterpret_cast<const uint8_t*>(samples.data());
  queue.Push(bytes, 6);  // one frame and half of the next
  EXPECT_EQ(WaitForEvent(*event, 0), WAIT_OBJECT_0);
  queue.Push(bytes + 6, 2);  // the rest of it: no new packet to announce beyond it
  queue.Push(bytes + 8, samples.size() * 2 - 8);
  std::vector<int16_t> joined;
  std::vector<uint32_t> sizes;
  uint32_t next = 0;
  while (Succeeded(queue.GetNextPacketSize(&next)) && next > 0) {
    Taken t = Take(queue);
    EXPECT_EQ(t.flags, 0u);
    EXPECT_EQ(t.position, joined.size() / 2);
    sizes.push_back(t.frames);
    joined.insert(joined.end(), t.samples.begin(), t.samples.end());
  }
  EXPECT_EQ(joined, samples);
  EXPECT_EQ(sizes, (std::vector<uint32_t>{1, 1, 100, 100, 48}));

  std::vector<int16_t> zeros(20, 0);
  queue.Push(zeros.data(), zeros.size() * 2);
  queue.Push(nullptr, 8 * 4);  // a hole in the stream
  Taken a = Take(queue), b = Take(queue);
  EXPECT_EQ(a.flags, AUDCLNT_BUFFERFLAGS_SILENT);
  EXPECT_EQ(b.flags, AUDCLNT_BUFFERFLAGS_SILENT);
  EXPECT_EQ(b.samples, std::vector<int16_t>(16, 0));
  uint8_t* data = nullptr;
  uint32_t frames = 9, flags = 0;
  EXPECT_EQ(queue.GetBuffer(&data, &frames, &flags, nullptr, nullptr), AUDCLNT_S_BUFFER_EMPTY);
  EXPECT_EQ(frames, 0u);

  WaitForEvent(*event, 0);
  queue.Invalidate(AUDCLNT_E_DEVICE_INVALIDATED);
  EXPECT_TRUE(event->IsSignalled()) << "the reader is woken to see the failure";
  EXPECT_EQ(queue.GetNextPacketSize(&frames), AUDCLNT_E_DEVICE_INVALIDATED);
  EXPECT_EQ(queue.GetBuffer(&data, &frames, &flags, nullptr, nullptr), AUDCLNT_E_DEVICE_INVALIDATED);
}

}  // namespace
}  // namespace kalto::platform::audio::pulse
