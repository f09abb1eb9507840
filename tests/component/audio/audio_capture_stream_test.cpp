// The running capture: chunk cadence and timestamps, channel mapping, silent packets, pause,
// start and stop, and the threads' failure lines.
#include <chrono>
#include <cmath>
#include <thread>

#include "audio/audio_time.h"
#include "audio_fixture.h"
#include "common/steady_clock.h"

namespace kalto::test {
namespace {

using namespace std::chrono_literals;
using fa::FakeAudioFault;
using fa::FakeAudioPoint;

int64_t ExpectedTimestamp(const AudioCapture& capture, int64_t chunk) {
  return capture.GetStartOffset() + FramesToHns(capture.GetFirstFramePosition() + chunk * 1024, 48000) -
         capture.GetStreamLatency();
}

TEST_F(AudioCaptureTest, WithoutStreamsSilentChunksKeepTheCadenceAndTheirStamps) {
  auto capture = MakeCapture();
  ASSERT_TRUE(InitializeDefault(*capture, false, false));
  capture->SetStartTimeBase(SteadyNowNs() - 2'000'000'000);
  ASSERT_TRUE(capture->Start(sink.Callback()));
  ASSERT_TRUE(sink.WaitFor(8));
  capture->Stop();
  auto chunks = sink.Chunks();
  EXPECT_GE(capture->GetStartOffset(), 20'000'000);
  EXPECT_LT(capture->GetStartOffset(), 20'000'000 + 50'000'000);  // within 5 s of the base
  EXPECT_EQ(capture->GetStreamLatency(), 0);
  for (size_t n = 0; n < chunks.size(); ++n) {
    EXPECT_EQ(chunks[n].byteCount, 4096u);
    EXPECT_EQ(chunks[n].durationHns, 213333);
    EXPECT_TRUE(chunks[n].Silent());
    EXPECT_EQ(chunks[n].timestampHns, ExpectedTimestamp(*capture, static_cast<int64_t>(n))) << n;
    if (n > 0) {
      int64_t step = chunks[n].timestampHns - chunks[n - 1].timestampHns;
      EXPECT_TRUE(step == 213333 || step == 213334) << step;
    }
  }
  EXPECT_EQ(chunks[0].timestampHns, capture->GetStartOffset());
  EXPECT_EQ(chunks[1].timestampHns - chunks[0].timestampHns, 213333);
  EXPECT_EQ(chunks[3].timestampHns - chunks[2].timestampHns, 213334);
  EXPECT_EQ(capture->GetFramesDelivered(), static_cast<int64_t>(chunks.size()) * 1024);
}

TEST_F(AudioCaptureTest, AMissingOutputRateRunsAt48kHzRatherThanDividingByZero) {
  AddMic(fa::FakePcm16Format(48000, 1));
  auto capture = MakeCapture();
  ASSERT_TRUE(capture->Initialize(false, true, L"", 0, 2, false, 0, 1));
  EXPECT_TRUE(log.Lines().empty());  // the microphone matches the effective rate
  ASSERT_TRUE(capture->Start(sink.Callback()));
  ASSERT_TRUE(sink.WaitFor(2));
  capture->Stop();
  auto chunks = sink.Chunks();
  EXPECT_EQ(chunks[0].durationHns, 213333);
  EXPECT_EQ(chunks[1].timestampHns - chunks[0].timestampHns, 213333);
}

TEST_F(AudioCaptureTest, StreamLatencyComesFromTheMicrophoneFirstAndNoStampFallsBeforeTheOrigin) {
  AddSpeakers()->SetLatencyHns(50'000);
  AddMic()->SetLatencyHns(300'000);
  auto capture = MakeCapture();
  ASSERT_TRUE(InitializeDefault(*capture, true, true));
  capture->SetStartTimeBase(SteadyNowNs());
  ASSERT_TRUE(capture->Start(sink.Callback()));
  ASSERT_TRUE(sink.WaitFor(3));
  capture->Stop();
  EXPECT_EQ(capture->GetStreamLatency(), 300'000);
  auto chunks = sink.Chunks();
  for (size_t n = 0; n < chunks.size(); ++n) {
    EXPECT_EQ(chunks[n].timestampHns, ExpectedTimestamp(*capture, static_cast<int64_t>(n))) << n;
    if (n > 0) {
      const int64_t step = chunks[n].timestampHns - chunks[n - 1].timestampHns;
      EXPECT_TRUE(step == 213333 || step == 213334) << step;  // no overlap at the start
    }
  }
  EXPECT_GE(chunks[0].timestampHns, 0);
  if (capture->GetStartOffset() < 300'000) {
    // The first chunk starts at the origin, to within one frame, not before it.
    EXPECT_EQ(capture->GetFirstFramePosition(), HnsToFramesCeil(300'000 - capture->GetStartOffset(), 48000));
    EXPECT_LT(chunks[0].timestampHns, 10'000'000 / 48000 + 1);
  }
}

TEST_F(AudioCaptureTest, WithoutATimeOriginTheFirstStampIsZero) {
  AddMic()->SetLatencyHns(0);
  AddSpeakers()->SetLatencyHns(10'000);
  auto capture = MakeCapture();
  ASSERT_TRUE(InitializeDefault(*capture, true, true));
  ASSERT_TRUE(capture->Start(sink.Callback()));
  ASSERT_TRUE(sink.WaitFor(2));
  capture->Stop();
  EXPECT_EQ(capture->GetStartOffset(), 0);
  EXPECT_EQ(capture->GetStreamLatency(), 10'000);  // the system stream's, the microphone had none
  EXPECT_EQ(capture->GetFirstFramePosition(), 48);  // 1 ms
  EXPECT_EQ(sink.Chunks()[0].timestampHns, 0);
  EXPECT_EQ(sink.Chunks()[1].timestampHns, 213333);
}

TEST_F(AudioCaptureTest, AMonoMicrophoneFillsBothChannels) {
  auto mic = AddMic(fa::FakePcm16Format(48000, 1));
  auto capture = MakeCapture();
  ASSERT_TRUE(InitializeDefault(*capture, false, true));
  capture->SetAudioProcessing(1.5, 1.5, 0.3, 2.0, 1.2, 0.7, 0.8, 3.0, 1.0);
  ASSERT_TRUE(capture->Start(sink.Callback()));
  mic->LastClient()->PushInt16(std::vector<int16_t>(480, 8192));  // 0.25
  int index = sink.WaitForChunk([](const DeliveredChunk& c) { return !c.Silent(); });
  capture->Stop();
  ASSERT_GE(index, 0);
  const auto chunks = sink.Chunks();
  const auto& pcm = chunks[index].pcm;
  ASSERT_EQ(sink.Chunks()[index].FirstNonZero(), 0);
  const int16_t expected = static_cast<int16_t>(0.375f * 32767.0f);  // 0.25 x 1.5
  for (size_t i = 0; i < 960; ++i) ASSERT_EQ(pcm[i], expected) << i;
  for (size_t i = 960; i < pcm.size(); ++i) ASSERT_EQ(pcm[i], 0) << i;
}

TEST_F(AudioCaptureTest, ASixChannelSystemStreamContributesItsFirstTwoChannels) {
  auto speakers = AddSpeakers(fa::FakeFloatFormat(48000, 6));
  auto capture = MakeCapture();
  ASSERT_TRUE(InitializeDefault(*capture, true, false));
  ASSERT_TRUE(capture->Start(sink.Callback()));
  speakers->LastClient()->PushFloat(FloatFrames(256, {0.1f, -0.2f, 0.9f, 0.9f, 0.9f, 0.9f}));
  int index = sink.WaitForChunk([](const DeliveredChunk& c) { return !c.Silent(); });
  capture->Stop();
  ASSERT_GE(index, 0);
  const auto chunks = sink.Chunks();
  const auto& pcm = chunks[index].pcm;
  // System gain 0.5 x 1.25 = 0.625 at start.
  EXPECT_EQ(pcm[0], static_cast<int16_t>(static_cast<float>(0.1f * 0.625) * 32767.0f));
  EXPECT_EQ(pcm[1], static_cast<int16_t>(static_cast<float>(-0.2f * 0.625) * 32767.0f));
  EXPECT_EQ(pcm[2 * 255], pcm[0]);
  EXPECT_EQ(pcm[2 * 256], 0);  // 256 frames, not 256 x 6 / 2
}

TEST_F(AudioCaptureTest, FloatSamplesBeyondFullScaleOrNotANumberAreTamed) {
  auto speakers = AddSpeakers(fa::FakeFloatFormat(48000, 2));
  auto capture = MakeCapture();
  ASSERT_TRUE(InitializeDefault(*capture, true, false));
  ASSERT_TRUE(capture->Start(sink.Callback()));
  speakers->LastClient()->PushFloat({8.0f, std::nanf(""), -8.0f, 0.5f});
  int index = sink.WaitForChunk([](const DeliveredChunk& c) { return !c.Silent(); });
  capture->Stop();
  ASSERT_GE(index, 0);
  const auto chunks = sink.Chunks();
  const auto& pcm = chunks[index].pcm;
  EXPECT_EQ(pcm[0], static_cast<int16_t>(0.625f * 32767.0f));
  EXPECT_EQ(pcm[1], 0);
  EXPECT_EQ(pcm[2], static_cast<int16_t>(-0.625f * 32767.0f));
}

TEST_F(AudioCaptureTest, SilentPacketsCountAsTimeAndHoldTheirPlaceAsZeros) {
  auto speakers = AddSpeakers();
  auto mic = AddMic();
  auto capture = MakeCapture();
  ASSERT_TRUE(InitializeDefault(*capture, true, true));
  // Queued before the start, so one drain takes the silent packet and the data together.
  speakers->LastClient()->PushSilent(300);
  speakers->LastClient()->PushFloat(FloatFrames(200, {0.5f, 0.5f}));
  mic->LastClient()->PushSilent(300);
  mic->LastClient()->PushInt16(std::vector<int16_t>(200, 4096));
  ASSERT_TRUE(capture->Start(sink.Callback()));
  int index = sink.WaitForChunk([](const DeliveredChunk& c) { return !c.Silent(); });
  capture->Stop();
  ASSERT_GE(index, 0);
  const auto chunks = sink.Chunks();
  const auto& chunk = chunks[index];
  // 300 silent frames, then 200 of sound: the sound keeps its place after the silence.
  EXPECT_EQ(chunk.FirstNonZero(), 600);
  EXPECT_NE(chunk.pcm[999], 0);
  for (size_t i = 1000; i < chunk.pcm.size(); ++i) ASSERT_EQ(chunk.pcm[i], 0) << i;
  auto client = speakers->LastClient();
  EXPECT_EQ(client->GetBufferCalls(), 2);
  EXPECT_EQ(client->ReleaseBufferCalls(), 2);
}

TEST_F(AudioCaptureTest, AFailedPacketIsSkippedWithoutRelease) {
  auto speakers = AddSpeakers();
  auto capture = MakeCapture();
  ASSERT_TRUE(InitializeDefault(*capture, true, false));
  speakers->SetFault(FakeAudioPoint::GetBuffer, FakeAudioFault::Code(AUDCLNT_E_BUFFER_ERROR, 1));
  ASSERT_TRUE(capture->Start(sink.Callback()));
  auto client = speakers->LastClient();
  client->PushFloat(FloatFrames(100, {0.9f, 0.9f}));  // lost
  client->PushFloat(FloatFrames(100, {0.2f, 0.2f}));
  int index = sink.WaitForChunk([](const DeliveredChunk& c) { return !c.Silent(); });
  capture->Stop();
  ASSERT_GE(index, 0);
  EXPECT_EQ(sink.Chunks()[index].pcm[0], static_cast<int16_t>(static_cast<float>(0.2f * 0.625) * 32767.0f));
  EXPECT_EQ(client->ReleaseBufferCalls(), client->GetBufferCalls() - 1);
}

TEST_F(AudioCaptureTest, TheMicrophoneIsResampledToTheOutputRate) {
  auto mic = AddMic(fa::FakePcm16Format(24000, 2));
  auto capture = MakeCapture();
  ASSERT_TRUE(InitializeDefault(*capture, false, true));
  ASSERT_TRUE(capture->Start(sink.Callback()));
  std::vector<int16_t> samples(2 * 100, 3000);
  mic->LastClient()->PushInt16(samples);
  int index = sink.WaitForChunk([](const DeliveredChunk& c) { return !c.Silent(); });
  capture->Stop();
  ASSERT_GE(index, 0);
  const auto chunks = sink.Chunks();
  const auto& pcm = chunks[index].pcm;
  // 100 frames at 24 kHz become 200 at 48 kHz.
  EXPECT_NE(pcm[2 * 199], 0);
  for (size_t i = 2 * 200; i < pcm.size(); ++i) ASSERT_EQ(pcm[i], 0) << i;
}

TEST_F(AudioCaptureTest, StartTwiceKeepsTheFirstCallbackAndStopTwiceIsHarmless) {
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
  EXPECT_TRUE(speakers->LastClient()->IsStarted());
  EXPECT_TRUE(mic->LastClient()->IsStarted());
  capture->Stop();
  const size_t delivered = sink.Count();
  capture->Stop();
  EXPECT_FALSE(capture->IsRunning());
  EXPECT_EQ(second.Count(), 0u);
  EXPECT_EQ(speakers->LastClient()->StartCalls(), 1);
  EXPECT_EQ(speakers->LastClient()->StopCalls(), 1);
  EXPECT_EQ(mic->LastClient()->StopCalls(), 1);
  EXPECT_FALSE(mic->LastClient()->IsStarted());
  std::this_thread::sleep_for(60ms);
  EXPECT_EQ(sink.Count(), delivered);
  EXPECT_TRUE(log.Lines().empty());

  // A new start counts from zero again, under its own callback.
  ASSERT_TRUE(capture->Start(second.Callback()));
  ASSERT_TRUE(second.WaitFor(1));
  capture->Stop();
  EXPECT_EQ(second.Chunks()[0].timestampHns, 0);
}

TEST_F(AudioCaptureTest, PausedChunksAreNotDeliveredAndTheTimelineResumesWithoutAGap) {
  auto capture = MakeCapture();
  ASSERT_TRUE(InitializeDefault(*capture, false, false));
  ASSERT_TRUE(capture->Start(sink.Callback()));
  ASSERT_TRUE(sink.WaitFor(2));
  capture->SetPaused(true);
  std::this_thread::sleep_for(30ms);  // lets a chunk in progress finish
  const size_t before = sink.Count();
  const int64_t frames = capture->GetFramesDelivered();
  std::this_thread::sleep_for(120ms);
  EXPECT_EQ(sink.Count(), before);
  EXPECT_EQ(capture->GetFramesDelivered(), frames);
  capture->SetPaused(false);
  ASSERT_TRUE(sink.WaitFor(before + 2));
  capture->Stop();
  auto chunks = sink.Chunks();
  for (size_t n = 0; n < chunks.size(); ++n) {
    EXPECT_EQ(chunks[n].timestampHns, ExpectedTimestamp(*capture, static_cast<int64_t>(n))) << n;
  }
}

TEST_F(AudioCaptureTest, AFailedWaitEndsTheCaptureThreadButChunksKeepComing) {
  AddSpeakers();
  auto capture = MakeCapture();
  ASSERT_TRUE(InitializeDefault(*capture, true, false));
  system->SetWaitFailure(fa::ERROR_INVALID_HANDLE);
  ASSERT_TRUE(capture->Start(sink.Callback()));
  ASSERT_TRUE(sink.WaitFor(4));
  capture->Stop();
  EXPECT_EQ(log.Lines(), (std::vector<std::string>{"[AudioCapture] WaitForMultipleObjects failed: 6\n"}));
  EXPECT_EQ(system->WaitCalls(), 1);
}

TEST_F(AudioCaptureTest, ExceptionsOnEitherThreadAreLoggedAndTheThreadsGoOn) {
  auto speakers = AddSpeakers();
  auto capture = MakeCapture();
  ASSERT_TRUE(InitializeDefault(*capture, true, false));
  speakers->SetFault(FakeAudioPoint::GetNextPacketSize, FakeAudioFault::Throw("drain broke", 1));
  std::atomic<int> calls{0};
  ASSERT_TRUE(capture->Start([&](const uint8_t* data, uint32_t bytes, int64_t ts, int64_t duration) {
    if (calls.fetch_add(1) == 1) throw std::runtime_error("sink broke");
    sink.Callback()(data, bytes, ts, duration);
  }));
  speakers->LastClient()->PushFloat(FloatFrames(100, {0.5f, 0.5f}));
  std::this_thread::sleep_for(30ms);
  speakers->LastClient()->PushFloat(FloatFrames(100, {0.5f, 0.5f}));
  int index = sink.WaitForChunk([](const DeliveredChunk& c) { return !c.Silent(); });
  ASSERT_TRUE(sink.WaitFor(4));
  capture->Stop();
  EXPECT_GE(index, 0);
  EXPECT_EQ(log.Count("[AudioCapture] CaptureThread exception: drain broke\n"), 1);
  EXPECT_EQ(log.Count("[AudioCapture] OutputThread exception: sink broke\n"), 1);
}

TEST_F(AudioCaptureTest, MetersAndLevelReportsFollowTheMicrophoneAndVolumesApplyLive) {
  auto speakers = AddSpeakers();
  auto mic = AddMic();
  auto capture = MakeCapture();
  ASSERT_TRUE(InitializeDefault(*capture, true, true));
  std::atomic<int> reports{0};
  std::atomic<float> lastMic{0.0f};
  capture->SetLevelCallback([&](float micLevel, float) {
    lastMic = micLevel;
    ++reports;
  });
  capture->SetMicVolume(3.0);
  EXPECT_DOUBLE_EQ(capture->GetMicVolume(), 2.0);
  ASSERT_TRUE(capture->Start(sink.Callback()));
  mic->LastClient()->PushInt16(std::vector<int16_t>(1024, 16384));  // 0.5 in both channels
  int index = sink.WaitForChunk([](const DeliveredChunk& c) { return !c.Silent(); });
  ASSERT_GE(index, 0);
  EXPECT_NEAR(capture->GetMicPeak(), 0.5f, 1e-3);
  EXPECT_NEAR(capture->GetMicLevel(), 0.5f, 1e-3);

  capture->SetSystemVolume(0.0);
  capture->SetMicVolume(0.0);
  std::this_thread::sleep_for(20ms);
  speakers->LastClient()->PushFloat(FloatFrames(1024, {0.5f, 0.5f}));
  std::this_thread::sleep_for(1000ms);  // about 47 chunks: the smoothed gains fall below 0.1 %
  const size_t seen = sink.Count();
  speakers->LastClient()->PushFloat(FloatFrames(1024, {0.5f, 0.5f}));
  mic->LastClient()->PushInt16(std::vector<int16_t>(1024, 16384));
  ASSERT_TRUE(sink.WaitFor(seen + 4));
  capture->Stop();
  auto chunks = sink.Chunks();
  for (size_t n = seen; n < chunks.size(); ++n) {
    for (int16_t s : chunks[n].pcm) ASSERT_LE(std::abs(s), 200) << n;
  }
  EXPECT_GT(reports.load(), 0);
}

TEST_F(AudioCaptureTest, NoiseSuppressionRunsOnTheMicrophoneChunks) {
  auto mic = AddMic();
  auto capture = MakeCapture();
  ASSERT_TRUE(capture->Initialize(false, true, L"", 48000, 2, false, 2, 1));
  ASSERT_TRUE(capture->Start(sink.Callback()));
  for (int i = 0; i < 4; ++i) mic->LastClient()->PushInt16(std::vector<int16_t>(1024, 3000));
  ASSERT_TRUE(sink.WaitFor(6));
  capture->Stop();
  // The suppressor delays by one frame and fades in: the first chunk starts with silence.
  auto chunks = sink.Chunks();
  for (size_t i = 0; i < 2 * 480; ++i) ASSERT_EQ(chunks[0].pcm[i], 0) << i;
  for (const auto& chunk : chunks) {
    for (size_t i = 0; i < chunk.pcm.size(); i += 2) ASSERT_EQ(chunk.pcm[i], chunk.pcm[i + 1]);
  }
}

TEST_F(AudioCaptureTest, StopFromInsideTheCallbackDoesNotDeadlock) {
  auto capture = MakeCapture();
  ASSERT_TRUE(InitializeDefault(*capture, false, false));
  std::atomic<int> calls{0};
  ASSERT_TRUE(capture->Start([&](const uint8_t*, uint32_t, int64_t, int64_t) {
    if (calls.fetch_add(1) == 2) capture->Stop();
  }));
  for (int i = 0; i < 200 && capture->IsRunning(); ++i) std::this_thread::sleep_for(5ms);
  EXPECT_FALSE(capture->IsRunning());
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(calls.load(), 3);
  // Restarting joins the finished thread first.
  ASSERT_TRUE(capture->Start(sink.Callback()));
  ASSERT_TRUE(sink.WaitFor(1));
  capture->Stop();
}

}  // namespace
}  // namespace kalto::test

namespace kalto::test {
namespace {

TEST_F(AudioCaptureTest, AHungPlatformCallIsWarnedAboutAndStillJoinedBeforeStopReturns) {
  auto speakers = AddSpeakers();
  auto capture = MakeCapture();
  ASSERT_TRUE(InitializeDefault(*capture, true, false));
  ASSERT_TRUE(capture->Start(sink.Callback()));
  speakers->SetDelayOnce(fa::FakeAudioPoint::GetNextPacketSize, 1500);
  speakers->LastClient()->PushFloat(FloatFrames(10, {0.1f, 0.1f}));
  for (int i = 0; i < 1000 && speakers->DelaysStarted() == 0; ++i) std::this_thread::sleep_for(2ms);
  ASSERT_EQ(speakers->DelaysStarted(), 1);
  auto begin = std::chrono::steady_clock::now();
  capture->Stop();
  // The call holds the thread for 1.5 s: Stop warned after 300 ms and waited for the rest.
  EXPECT_GE(std::chrono::steady_clock::now() - begin, 1000ms);
  EXPECT_EQ(log.Lines(),
            (std::vector<std::string>{"[AudioCapture] WARNING: Capture thread join timed out after 300ms\n"}));
  EXPECT_FALSE(speakers->LastClient()->IsStarted());
}

TEST_F(AudioCaptureTest, ASlowCallbackIsWarnedAboutAndStillJoinedBeforeStopReturns) {
  auto capture = MakeCapture();
  ASSERT_TRUE(InitializeDefault(*capture, false, false));
  std::atomic<bool> slow{false};
  std::atomic<bool> inSlowCallback{false};
  std::atomic<bool> callbackDone{false};
  ASSERT_TRUE(capture->Start([&](const uint8_t*, uint32_t, int64_t, int64_t) {
    if (!slow.exchange(false)) return;
    inSlowCallback = true;
    std::this_thread::sleep_for(1000ms);
    callbackDone = true;
  }));
  slow = true;
  for (int i = 0; i < 1000 && !inSlowCallback; ++i) std::this_thread::sleep_for(2ms);
  ASSERT_TRUE(inSlowCallback.load());
  capture->Stop();
  EXPECT_TRUE(callbackDone.load());  // Stop returned only after the output thread ended
  EXPECT_EQ(log.Lines(),
            (std::vector<std::string>{"[AudioCapture] WARNING: Output thread join timed out after 300ms\n"}));
}

}  // namespace
}  // namespace kalto::test
