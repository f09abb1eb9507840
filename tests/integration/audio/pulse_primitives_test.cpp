// The backend's parts that need no server: the packet queue between the server's loop thread
// and the capture thread, and process ancestry from /proc.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "platform/audio/audio.h"
#include "platform/audio/pulse/packet_queue.h"
#include "platform/audio/pulse/process_tree.h"

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

TEST(ProcessTreeTest, StatLinesAreReadAfterTheLastParenthesisAndBadEntriesEndTheWalk) {
  const std::string root = ::testing::TempDir() + "kalto-proc-" + std::to_string(getpid());
  for (auto [pid, stat] : {std::pair{100, "100 (evil) S 1 (x) R 7) S 42 100 100 0 -1 4194560"},
                           {42, "42 (sh) S 1 42 42 0"}, {1, "1 (init) S 0 1 1 0"}, {5, "5 (a) S 6 0"},
                           {6, "6 (b) S 5 0"}, {7, "garbage"}}) {
    std::filesystem::create_directories(root + "/" + std::to_string(pid));
    std::ofstream(root + "/" + std::to_string(pid) + "/stat") << stat;
  }
  EXPECT_EQ(ParentProcessId(100, root), 42u);
  EXPECT_TRUE(IsInProcessTree(100, 42, root));
  EXPECT_TRUE(IsInProcessTree(100, 1, root));
  EXPECT_TRUE(IsInProcessTree(42, 42, root));
  EXPECT_FALSE(IsInProcessTree(42, 100, root)) << "a parent is not in its child's tree";
  EXPECT_FALSE(IsInProcessTree(5, 9, root)) << "a cycle a racing read might show ends the walk";
  EXPECT_EQ(ParentProcessId(7, root), 0u);
  EXPECT_EQ(ParentProcessId(8, root), 0u);
  EXPECT_FALSE(IsInProcessTree(0, 0, root));
  EXPECT_FALSE(IsInProcessTree(8, 0, root));
  std::filesystem::remove_all(root);
}

}  // namespace
}  // namespace kalto::platform::audio::pulse
