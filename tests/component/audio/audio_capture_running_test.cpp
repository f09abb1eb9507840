// The running capture: chunk cadence and timestamps, channel mapping and sample formats, silent
// and failed packets, start, stop and pause, the meters, the threads' failures, and where
// captured sound lands on the delivered timeline (pause, backlog, the time origin, full rings).
#include <cmath>

#include "audio_fixture.h"
#include "common/steady_clock.h"

namespace kalto::test {
namespace {

constexpr int64_t kRate = 48000;

TEST_F(AudioCaptureTest, WithoutStreamsSilentChunksKeepTheCadenceFromTheTimeOrigin) {
  auto capture = MakeCapture();
  // No output rate given: 48 kHz rather than a division by zero.
  ASSERT_TRUE(capture->Initialize(false, false, L"", 0, 2, false, 0, 1));
  capture->SetStartTimeBase(SteadyNowNs() - 2'000'000'000);
  ASSERT_TRUE(capture->Start(sink.Callback()));
  ASSERT_TRUE(sink.WaitFor(8));
  capture->Stop();
  const auto chunks = sink.Chunks();
  EXPECT_GE(capture->GetStartOffset(), 20'000'000);
  EXPECT_LT(capture->GetStartOffset(), 20'000'000 + 50'000'000);  // within 5 s of the base
  ExpectOnTimeline(*capture, chunks);
  for (const auto& chunk : chunks) EXPECT_TRUE(chunk.Silent());
  EXPECT_EQ(chunks[0].timestampHns, capture->GetStartOffset());
  EXPECT_EQ(chunks[1].timestampHns - chunks[0].timestampHns, 213333);
  EXPECT_EQ(chunks[3].timestampHns - chunks[2].timestampHns, 213334);
  EXPECT_EQ(capture->GetFramesDelivered(), static_cast<int64_t>(chunks.size()) * 1024);
  EXPECT_TRUE(log.Lines().empty());
}

TEST_F(AudioCaptureTest, StreamLatencyComesFromTheMicrophoneFirstAndNoStampFallsBeforeTheOrigin) {
  struct Case {
    int64_t micLatency, speakerLatency, expected;
    bool origin;
  };
  for (const Case c : {Case{300'000, 50'000, 300'000, true}, Case{0, 10'000, 10'000, false}}) {
    SCOPED_TRACE(c.expected);
    system = std::make_shared<fa::FakeAudioSystem>();
    sink.Clear();
    AddSpeakers()->SetLatencyHns(c.speakerLatency);
    AddMic()->SetLatencyHns(c.micLatency);
    auto capture = MakeCapture();
    ASSERT_TRUE(InitializeDefault(*capture, true, true));
    if (c.origin) capture->SetStartTimeBase(SteadyNowNs());
    ASSERT_TRUE(capture->Start(sink.Callback()));
    ASSERT_TRUE(sink.WaitFor(3));
    capture->Stop();
    EXPECT_EQ(capture->GetStreamLatency(), c.expected);
    const auto chunks = sink.Chunks();
    ExpectOnTimeline(*capture, chunks);
    // Sound heard before the origin is left out: the first chunk starts at it, within a frame.
    const int64_t lead = c.expected - capture->GetStartOffset();
    EXPECT_EQ(capture->GetFirstFramePosition(), lead > 0 ? HnsToFramesCeil(lead, 48000) : 0);
    EXPECT_GE(chunks[0].timestampHns, 0);
    EXPECT_LT(chunks[0].timestampHns, lead > 0 ? 10'000'000 / 48000 + 1 : INT64_MAX);
    EXPECT_TRUE(c.origin || chunks[0].timestampHns == 0);
  }
}

TEST_F(AudioCaptureTest, ChannelsSampleFormatsAndRatesMapOntoTheStereoOutput) {
  auto mic = AddMic(fa::FakePcm16Format(48000, 1));
  auto speakers = AddSpeakers(fa::FakeFloatFormat(48000, 6));
  auto capture = MakeCapture();
  ASSERT_TRUE(InitializeDefault(*capture, false, true));
  capture->SetAudioProcessing(1.5, 1.5, 0.3, 2.0, 1.2, 0.7, 0.8, 3.0, 1.0);
  auto chunk = FirstSound(*capture, [&] { mic->LastClient()->PushInt16(std::vector<int16_t>(480, 8192)); });
  // A mono 16-bit microphone fills both channels: 0.25 x 1.5.
  for (size_t i = 0; i < 960; ++i) ASSERT_EQ(chunk.pcm[i], static_cast<int16_t>(0.375f * 32767.0f)) << i;
  for (size_t i = 960; i < chunk.pcm.size(); ++i) ASSERT_EQ(chunk.pcm[i], 0) << i;

  // Six float channels give their first two; beyond full scale is clamped, NaN silenced.
  sink.Clear();
  capture = MakeCapture();
  ASSERT_TRUE(InitializeDefault(*capture, true, false));
  auto frames = FloatFrames(256, {0.1f, -0.2f, 0.9f, 0.9f, 0.9f, 0.9f});
  frames[0] = 8.0f;
  frames[1] = std::nanf("");
  frames[6] = -8.0f;
  chunk = FirstSound(*capture, [&] { speakers->LastClient()->PushFloat(frames); });
  ASSERT_EQ(chunk.pcm.size(), 2048u);
  const std::vector<int16_t> head{SystemPcm(1.0f), 0, SystemPcm(-1.0f), SystemPcm(-0.2f)};
  EXPECT_EQ(std::vector<int16_t>(chunk.pcm.begin(), chunk.pcm.begin() + 4), head);
  EXPECT_EQ(chunk.pcm[2 * 255], SystemPcm(0.1f));
  EXPECT_EQ(chunk.pcm[2 * 256], 0);  // 256 frames, not 256 x 6 / 2

  // A microphone at 24 kHz: its 100 frames become 200 at 48 kHz.
  sink.Clear();
  auto slowMic = AddMic(fa::FakePcm16Format(24000, 2), L"{24kHz}");
  capture = MakeCapture();
  ASSERT_TRUE(InitializeDefault(*capture, false, true));
  chunk = FirstSound(*capture, [&] { slowMic->LastClient()->PushInt16(std::vector<int16_t>(2 * 100, 3000)); });
  ASSERT_EQ(chunk.pcm.size(), 2048u);
  EXPECT_NE(chunk.pcm[2 * 199], 0);
  for (size_t i = 2 * 200; i < chunk.pcm.size(); ++i) ASSERT_EQ(chunk.pcm[i], 0) << i;
}

TEST_F(AudioCaptureTest, SilentPacketsHoldTheirPlaceAndAFailedPacketIsSkippedWithoutRelease) {
  auto speakers = AddSpeakers();
  auto mic = AddMic();
  auto capture = MakeCapture();
  ASSERT_TRUE(InitializeDefault(*capture, true, true));
  // Queued before the start, so one drain takes the silent packet and the data together.
  speakers->LastClient()->PushSilent(300);
  speakers->LastClient()->PushFloat(FloatFrames(200, {0.5f, 0.5f}));
  mic->LastClient()->PushSilent(300);
  mic->LastClient()->PushInt16(std::vector<int16_t>(200, 4096));
  auto chunk = FirstSound(*capture, [] {});
  EXPECT_EQ(chunk.FirstNonZero(), 600);  // 300 silent frames, then 200 of sound
  EXPECT_NE(chunk.pcm[999], 0);
  for (size_t i = 1000; i < chunk.pcm.size(); ++i) ASSERT_EQ(chunk.pcm[i], 0) << i;
  EXPECT_EQ(speakers->LastClient()->GetBufferCalls(), 2);
  EXPECT_EQ(speakers->LastClient()->ReleaseBufferCalls(), 2);

  sink.Clear();
  speakers->SetFault(FakeAudioPoint::GetBuffer, FakeAudioFault::Code(AUDCLNT_E_BUFFER_ERROR, 1));
  capture = MakeCapture();
  ASSERT_TRUE(InitializeDefault(*capture, true, false));
  auto client = speakers->LastClient();
  chunk = FirstSound(*capture, [&] {
    client->PushFloat(FloatFrames(100, {0.9f, 0.9f}));  // lost with the failed read
    client->PushFloat(FloatFrames(100, {0.2f, 0.2f}));
  });
  EXPECT_EQ(chunk.pcm[0], SystemPcm(0.2f));
  EXPECT_EQ(client->ReleaseBufferCalls(), client->GetBufferCalls() - 1);
}

TEST_F(AudioCaptureTest, StartTwiceKeepsTheFirstCallbackStopTwiceIsHarmlessAndARestartCountsFromZero) {
  auto speakers = AddSpeakers();
  auto mic = AddMic();
  auto capture = MakeCapture();
  capture->Stop();  // before Start: nothing to do
  ASSERT_TRUE(InitializeDefault(*capture, true, true));
  ChunkSink second;
  ASSERT_TRUE(capture->Start(sink.Callback()));
  EXPECT_TRUE(capture->IsRunning());
  EXPECT_FALSE(capture->Start(second.Callback()));
  ASSERT_TRUE(sink.WaitFor(3));
  EXPECT_TRUE(speakers->LastClient()->IsStarted() && mic->LastClient()->IsStarted());
  capture->Stop();
  const size_t delivered = sink.Count();
  capture->Stop();
  EXPECT_FALSE(capture->IsRunning());
  for (auto& client : {speakers->LastClient(), mic->LastClient()}) {
    EXPECT_TRUE(client->StartCalls() == 1 && client->StopCalls() == 1 && !client->IsStarted());
  }
  EXPECT_EQ(second.Count(), 0u);
  EXPECT_TRUE(log.Lines().empty());

  ASSERT_TRUE(capture->Start(second.Callback()));
  ASSERT_TRUE(second.WaitFor(1));
  capture->Stop();
  EXPECT_EQ(second.Chunks()[0].timestampHns, 0);
  EXPECT_EQ(sink.Count(), delivered) << "a chunk after Stop returned";
}

TEST_F(AudioCaptureTest, AFailedWaitEndsTheCaptureThreadButChunksKeepComing) {
  AddSpeakers();
  auto capture = MakeCapture();
  ASSERT_TRUE(InitializeDefault(*capture, true, false));
  system->SetWaitFailure(fa::ERROR_INVALID_HANDLE);
  ASSERT_TRUE(capture->Start(sink.Callback()));
  ASSERT_TRUE(sink.WaitFor(4)) << "chunks stopped with the capture thread";
  capture->Stop();
  EXPECT_EQ(log.Lines(), (std::vector<std::string>{"[AudioCapture] WaitForMultipleObjects failed: 6\n"}));
  EXPECT_EQ(system->WaitCalls(), 1);
}
TEST_F(AudioCaptureTest, TheMetersFollowTheSourcesBeforeTheGains) {
  auto capture = MakeCapture();
  ASSERT_TRUE(InitializeDefault(*capture, false, false));
  capture->SetMicVolume(2.0);
  const auto mic = FloatFrames(1024, {0.5f, 0.5f}), speakers = FloatFrames(1024, {0.25f, -0.25f});
  ASSERT_NE(capture->ProduceChunkForTesting(mic.data(), speakers.data()), nullptr);
  EXPECT_FLOAT_EQ(capture->GetMicPeak(), 0.5f);
  EXPECT_FLOAT_EQ(capture->GetMicLevel(), 0.5f);
  EXPECT_FLOAT_EQ(capture->GetSystemPeak(), 0.25f);
  EXPECT_FLOAT_EQ(capture->GetSystemLevel(), 0.25f);
}

TEST_F(AudioCaptureTest, NoiseSuppressionRunsOnTheMicrophoneChunks) {
  AddMic();
  auto capture = MakeCapture();
  ASSERT_TRUE(capture->Initialize(false, true, L"", 48000, 2, false, 2, 1));
  std::vector<float> mic;
  for (size_t i = 0; i < 1024; ++i) mic.insert(mic.end(), 2, 0.3f * std::sin(0.06f * static_cast<float>(i)));
  const int16_t* pcm = capture->ProduceChunkForTesting(mic.data());
  // The suppressor delays by one frame and fades in, and hands both channels the same mono.
  for (size_t i = 0; i < 2 * 481; ++i) ASSERT_EQ(pcm[i], 0) << i;
  int sound = 0;
  for (size_t i = 2 * 481; i < 2048; i += 2) {
    sound += pcm[i] != 0;
    ASSERT_EQ(pcm[i], pcm[i + 1]) << i;
  }
  EXPECT_GT(sound, 0);
}

TEST_F(AudioCaptureTest, StopFromInsideTheCallbackDoesNotDeadlockAndARestartJoinsTheOldThread) {
  auto capture = MakeCapture();
  ASSERT_TRUE(InitializeDefault(*capture, false, false));
  std::atomic<int> calls{0};
  ASSERT_TRUE(capture->Start([&](const uint8_t*, uint32_t, int64_t, int64_t) {
    if (calls.fetch_add(1) == 2) capture->Stop();
  }));
  ASSERT_TRUE(WaitUntil([&] { return !capture->IsRunning(); }));
  ASSERT_TRUE(capture->Start(sink.Callback()));
  ASSERT_TRUE(sink.WaitFor(1));
  capture->Stop();
  EXPECT_EQ(calls.load(), 3);
}

TEST_F(AudioCaptureTest, ASlowCallbackIsWarnedAboutAndStillJoinedBeforeStopReturns) {
  auto capture = MakeCapture();
  ASSERT_TRUE(InitializeDefault(*capture, false, false));
  std::atomic<bool> slow{false}, inSlowCallback{false};
  ASSERT_TRUE(capture->Start([&](const uint8_t*, uint32_t, int64_t, int64_t) {
    if (!slow.exchange(false)) return;
    inSlowCallback = true;
    std::this_thread::sleep_for(1000ms);
  }));
  slow = true;
  ASSERT_TRUE(WaitUntil([&] { return inSlowCallback.load(); }));
  const auto begin = std::chrono::steady_clock::now();
  capture->Stop();
  EXPECT_GE(std::chrono::steady_clock::now() - begin, 500ms) << "Stop returned before the thread ended";
  EXPECT_EQ(log.Lines(),
            (std::vector<std::string>{"[AudioCapture] WARNING: Output thread join timed out after 300ms\n"}));
}
TEST_F(AudioCaptureTest, WhilePausedNothingIsDeliveredNorKeptAndTheTimelineResumesWithoutAGap) {
  auto speakers = AddSpeakers();
  auto capture = MakeCapture();
  ASSERT_TRUE(InitializeDefault(*capture, true, false));
  ASSERT_TRUE(capture->Start(sink.Callback()));
  auto client = speakers->LastClient();
  // Three seconds handed over at once sit in the ring when the pause comes: the backlog goes.
  client->PushFloat(FloatFrames(3 * kRate, {0.1f, 0.1f}));
  ASSERT_TRUE(WaitDrained(*client));
  capture->SetPaused(true);
  EXPECT_TRUE(capture->IsPaused());
  // A chunk in progress may still finish: the count settles within a period.
  size_t pausedAt = 0;
  ASSERT_TRUE(WaitUntil([&] { return !sink.WaitFor((pausedAt = sink.Count()) + 1, 50ms); }));
  const int64_t frames = capture->GetFramesDelivered();
  // Captured during the pause itself: thrown away as it is drained.
  client->PushFloat(FloatFrames(kRate / 2, {0.3f, 0.3f}));
  ASSERT_TRUE(WaitDrained(*client));
  EXPECT_FALSE(sink.WaitFor(pausedAt + 1, 150ms)) << "a chunk was delivered while paused";
  EXPECT_EQ(capture->GetFramesDelivered(), frames);
  capture->SetPaused(false);
  ASSERT_TRUE(sink.WaitFor(pausedAt + 10));
  client->PushFloat(FloatFrames(1024, {0.2f, 0.2f}));
  // Fresh sound is not queued behind what the rings held before the pause.
  EXPECT_GE(sink.WaitForChunk([](const DeliveredChunk& c) { return c.Contains(SystemPcm(0.2f)); }), 0);
  capture->Stop();
  const auto chunks = sink.Chunks();
  ExpectOnTimeline(*capture, chunks);
  for (size_t n = pausedAt; n < chunks.size(); ++n) {
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
  EXPECT_GE(delay[60], 45) << "the backlog was cut before a whole window showed it lasting";
  // Cut to the 100 ms target (4800 frames: four to five chunks), not further.
  EXPECT_GE(delay.back(), 3);
  EXPECT_LE(delay.back(), 5);
  EXPECT_EQ(delay[windowChunks + 5], delay.back()) << "the cut is made once, at the end of the window";
  EXPECT_EQ(shortChunks, 0) << "the cut left the ring short";
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
