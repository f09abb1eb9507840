// Where captured sound lands on the delivered timeline: nothing captured while paused reaches
// the output, a backlog left by a stall is cut back to the target delay, a source that hands over
// seconds at once loses nothing, and sound heard before the time origin is left out.
#include <cmath>
#include <cstdio>

#include "audio_fixture.h"

namespace kalto::test {
namespace {

constexpr int64_t kRate = 48000;

// Waits until the capture thread has taken every queued packet of `client`.
bool WaitDrained(const fa::FakeAudioClient& client) {
  return WaitUntil([&] { return client.QueuedPackets() == 0; });
}

TEST_F(AudioCaptureTest, SoundCapturedWhilePausedNeverReachesTheOutputAndFreshSoundFollowsTheResume) {
  auto speakers = AddSpeakers();
  auto capture = MakeCapture();
  ASSERT_TRUE(InitializeDefault(*capture, true, false));
  ASSERT_TRUE(capture->Start(sink.Callback()));
  auto client = speakers->LastClient();
  // Three seconds handed over at once sit in the ring when the pause comes: the backlog goes.
  client->PushFloat(FloatFrames(3 * kRate, {0.1f, 0.1f}));
  ASSERT_TRUE(WaitDrained(*client));
  capture->SetPaused(true);
  // Captured during the pause itself: thrown away as it is drained.
  client->PushFloat(FloatFrames(kRate / 2, {0.3f, 0.3f}));
  ASSERT_TRUE(WaitDrained(*client));
  const size_t pausedAt = sink.Count();
  // A few of the output thread's periods pass while paused.
  sink.WaitFor(pausedAt + 100, 100ms);
  capture->SetPaused(false);
  ASSERT_TRUE(sink.WaitFor(pausedAt + 10));
  client->PushFloat(FloatFrames(1024, {0.2f, 0.2f}));
  const int fresh = sink.WaitForChunk([](const DeliveredChunk& c) { return c.Contains(SystemPcm(0.2f)); });
  capture->Stop();

  // Fresh sound is not queued behind what the rings held before the pause.
  ASSERT_GE(fresh, 0) << "sound after the resume did not come through";
  const auto chunks = sink.Chunks();
  for (size_t n = pausedAt + 1; n < chunks.size(); ++n) {
    EXPECT_FALSE(chunks[n].Contains(SystemPcm(0.3f))) << "sound from the pause in chunk " << n;
    EXPECT_FALSE(chunks[n].Contains(SystemPcm(0.1f))) << "backlog from before the pause in chunk " << n;
  }
}

// Values that name the block they were written in, read back after the system gain.
float BlockValue(size_t block) { return 0.002f * static_cast<float>(block % 100 + 1); }
int BlockOf(int16_t pcm) { return static_cast<int>(std::lround(pcm / (0.002 * 0.625 * 32767.0))) - 1; }

TEST_F(AudioCaptureTest, AStallFollowedByABurstLeavesNoLastingDelay) {
  auto capture = MakeCapture();
  ASSERT_TRUE(InitializeDefault(*capture, false, false));
  // A second of sound that a stall held back arrives at once, then the source runs steadily.
  std::vector<float> burst = FloatFrames(kRate, {BlockValue(0), BlockValue(0)});
  ASSERT_NE(capture->ProduceChunkForTesting(nullptr, burst.data(), burst.size() / 2), nullptr);
  const size_t windowChunks = 5 * kRate / 1024;
  std::vector<int> delay;  // in chunks, between the block written and the block read
  int shortChunks = 0;
  for (size_t block = 1; block < 2 * windowChunks; ++block) {
    std::vector<float> steady = FloatFrames(1024, {BlockValue(block), BlockValue(block)});
    const int16_t* out = capture->ProduceChunkForTesting(nullptr, steady.data(), 1024);
    if (out[2 * 1023] == 0) ++shortChunks;
    delay.push_back((static_cast<int>(block % 100) - BlockOf(out[0]) + 100) % 100);
  }
  std::printf("[ figures  ] delay after a 1 s burst: %d chunks at first, %d after one window, %d at the end\n",
              delay[60], delay[windowChunks + 5], delay.back());
  EXPECT_GE(delay[60], 45) << "the backlog was cut before a whole window showed it lasting";
  // Cut to the 100 ms target (4800 frames: four to five chunks), not further.
  EXPECT_GE(delay.back(), 3);
  EXPECT_LE(delay.back(), 5);
  EXPECT_EQ(delay[windowChunks + 5], delay.back()) << "the cut is made once, at the end of the window";
  EXPECT_EQ(shortChunks, 0) << "the cut left the ring short";
}

TEST_F(AudioCaptureTest, ASourceThatDeliversInTwoSecondBurstsLosesNothing) {
  auto capture = MakeCapture();
  ASSERT_TRUE(InitializeDefault(*capture, false, false));
  constexpr size_t kBurstChunks = 94;  // two seconds
  constexpr int kBursts = 6;
  const std::vector<float> burst = FloatFrames(kBurstChunks * 1024, {0.2f, 0.2f});
  size_t soundFrames = 0;
  for (int b = 0; b < kBursts + 1; ++b) {
    for (size_t c = 0; c < kBurstChunks; ++c) {
      const bool arrives = c == 0 && b < kBursts;
      const int16_t* out =
          capture->ProduceChunkForTesting(nullptr, arrives ? burst.data() : nullptr, arrives ? burst.size() / 2 : 0);
      // Not compared with the level: the mix gain ramps up over the first chunks.
      for (size_t f = 0; f < 1024; ++f) soundFrames += out[2 * f] != 0 ? 1 : 0;
    }
  }
  EXPECT_EQ(soundFrames, kBursts * kBurstChunks * 1024);
}

TEST_F(AudioCaptureTest, OnlyAStreamsFirstSoundDueBeforeTheTimeOriginIsLeftOut) {
  struct Case {
    const char* name;
    int64_t latencyHns;
    size_t earlyFrames;  // of 0.1, queued before the start: heard before the origin
    size_t pushAfter;    // chunks delivered before 1024 frames of 0.4 arrive
    size_t kept;         // of those 1024
  };
  const Case cases[] = {
      {"30 ms of sound from before the origin", 300'000, 1440, 0, 1024},
      // Process loopback delivers nothing until the application plays: its first sound, a while
      // after the start, is not sound from before the origin...
      {"a stream quiet at first", 300'000, 0, 40, 1024},
      // ...unless it is still due before the origin: 5 s of latency, a second in.
      {"a stream 5 s late", 50'000'000, 0, 47, 0}};
  auto speakers = AddSpeakers();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sink.Clear();
    speakers->SetLatencyHns(c.latencyHns);
    auto capture = MakeCapture();
    ASSERT_TRUE(InitializeDefault(*capture, true, false));
    auto client = speakers->LastClient();
    if (c.earlyFrames > 0) client->PushFloat(FloatFrames(c.earlyFrames, {0.1f, 0.1f}));
    ASSERT_TRUE(capture->Start(sink.Callback()));
    ASSERT_TRUE(sink.WaitFor(c.pushAfter));
    client->PushFloat(FloatFrames(1024, {0.4f, 0.4f}));
    ASSERT_TRUE(WaitDrained(*client));
    ASSERT_TRUE(sink.WaitFor(sink.Count() + 5));
    capture->Stop();
    EXPECT_EQ(capture->GetFirstFramePosition(), HnsToFramesCeil(c.latencyHns, kRate));
    size_t kept = 0;
    for (const auto& chunk : sink.Chunks()) {
      EXPECT_FALSE(chunk.Contains(SystemPcm(0.1f)));
      for (size_t f = 0; f < 1024; ++f) kept += chunk.pcm[2 * f] == SystemPcm(0.4f);
    }
    EXPECT_EQ(kept, c.kept);
    EXPECT_EQ(sink.Chunks()[0].timestampHns, 0);
  }
}

TEST_F(AudioCaptureTest, RingsHoldFiveSecondsAtTheOutputRateAndDropsAreReportedOnceAtStop) {
  struct Case {
    uint32_t rate;
    size_t frames;  // handed over at once
    std::vector<std::string> lines;
  };
  // Four and a half seconds at 96 kHz: more than a ring sized for 48 kHz holds.
  const Case cases[] = {
      {48000, 6 * 48000, {"[AudioCapture] WARNING: Full ring buffers dropped 96000 system and 0 microphone samples\n"}},
      {96000, 9 * 96000 / 2, {}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rate);
    log.Clear();
    system = std::make_shared<fa::FakeAudioSystem>();
    auto speakers = AddSpeakers(fa::FakeFloatFormat(c.rate, 2));
    auto capture = MakeCapture();
    ASSERT_TRUE(capture->Initialize(true, false, L"", c.rate, 2, false, 0, 1));
    ASSERT_TRUE(capture->Start(sink.Callback()));
    speakers->LastClient()->PushFloat(FloatFrames(c.frames, {0.1f, 0.1f}));
    ASSERT_TRUE(WaitDrained(*speakers->LastClient()));
    EXPECT_TRUE(log.Lines().empty());
    capture->Stop();
    EXPECT_EQ(log.Lines(), c.lines);
  }
}

}  // namespace
}  // namespace kalto::test
