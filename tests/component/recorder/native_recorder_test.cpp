// NativeRecorder on the fake desktop, capture service and media platform: the lifecycle and its
// failure events, pause arithmetic, frame rebasing and pacing, dropped-frame thinning, progress
// cadence and the bounded progress join.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <thread>
#include <vector>

#include "recorder_fixture.h"

namespace kalto::recorder_test {
namespace {

// ---- Lifecycle ---------------------------------------------------------------------------------

TEST_F(NativeRecorderTest, StopWhenIdleOrPreparedDoesNothingAndASecondPrepareFails) {
  recorder->Stop();
  auto config = Config("a.mp4");
  config->CaptureMicrophone(true);  // no microphone exists: said so, and the audio stream stays
  auto first = recorder->PrepareAsync(config);
  auto second = recorder->PrepareAsync(Config("b.mp4"));  // queued behind the first
  EXPECT_TRUE(Result(first));
  EXPECT_FALSE(Result(second));
  EXPECT_EQ(1u, media->Writers().size());
  EXPECT_EQ((root / "a.mp4").wstring(), recorder->OutputPath());
  EXPECT_TRUE(log.Contains("[NativeRecorder] PrepareAsync: WARNING - Audio capture init failed\n"));
  EXPECT_EQ(2u, media->Writers().back()->OutputTypes().size());  // video and audio
  recorder->Stop();
  EXPECT_TRUE(recorder->IsPrepared());
  recorder->CancelPrepared();
  EXPECT_FALSE(recorder->IsPrepared());
  EXPECT_TRUE(stopped.Get().empty());
}

TEST_F(NativeRecorderTest, StartAsyncWhilePreparedReplacesComponentsAndKeepsPreparedFlag) {
  ASSERT_TRUE(Result(recorder->PrepareAsync(Config("a.mp4"))));
  ASSERT_TRUE(Result(recorder->StartAsync(Config("b.mp4"))));
  EXPECT_TRUE(recorder->IsRecording());
  EXPECT_TRUE(recorder->IsPrepared());
  EXPECT_EQ(1, started.load());
  ASSERT_EQ(2u, media->Writers().size());
  EXPECT_FALSE(Result(recorder->PrepareAsync(Config("c.mp4"))));  // recording
  EXPECT_FALSE(Result(recorder->StartAsync(Config("c.mp4"))));
  recorder->Stop();
  EXPECT_FALSE(recorder->IsRecording());
  EXPECT_TRUE(media->Writers().back()->Finalized());
  EXPECT_EQ(std::vector<std::wstring>{(root / "b.mp4").wstring()}, stopped.Get());
}

TEST_F(NativeRecorderTest, StartPreparedWithoutPrepareAndCaptureModeThreeRaiseTheirErrors) {
  EXPECT_FALSE(Result(recorder->StartPreparedAsync()));
  EXPECT_TRUE(log.Contains("[NativeRecorder] StartPreparedAsync: Not prepared - call PrepareAsync first\n"));
  auto config = Config();
  config->CaptureMode(3);
  EXPECT_FALSE(Result(recorder->StartAsync(config)));
  EXPECT_TRUE(log.Contains("[NativeRecorder] Failed to initialize screen capture\n"));
  EXPECT_EQ((std::vector<std::wstring>{L"Prepared recording could not start because recorder is not prepared",
                                       L"Failed to initialize screen capture"}),
            errors.Get());
  EXPECT_FALSE(recorder->IsRecording());
  EXPECT_TRUE(media->Writers().empty());
  EXPECT_EQ(0, started.load());
}

TEST_F(NativeRecorderTest, FailedPreparedStartReportsTheCaptureReasonAndStaysPrepared) {
  ASSERT_TRUE(Result(recorder->PrepareAsync(Config())));
  service->SetFault(screen::FakePoint::StartCapture, screen::FakeFault::Standard("no session"));
  EXPECT_FALSE(Result(recorder->StartPreparedAsync()));
  auto errorTexts = errors.Get();
  ASSERT_EQ(1u, errorTexts.size());
  const std::wstring prefix = L"Failed to start screen capture during prepared start: ";
  ASSERT_EQ(prefix, errorTexts[0].substr(0, prefix.size()));
  const std::string reason = WideToUtf8(errorTexts[0].substr(prefix.size()));
  EXPECT_FALSE(reason.empty());
  EXPECT_TRUE(log.Contains("[NativeRecorder] StartPreparedAsync: Failed to start capture: " + reason + "\n"));
  EXPECT_FALSE(recorder->IsRecording());
  EXPECT_TRUE(recorder->IsPrepared());
}

TEST_F(NativeRecorderTest, PreparedStartReadsTheKeptConfigurationAgain) {
  auto config = Config("prepared.mp4");
  ASSERT_TRUE(Result(recorder->PrepareAsync(config)));
  config->OutputPath((root / "later.mp4").wstring());  // the encoder already has its file
  config->CameraSyncDelayMs(250);                        // read at start
  ASSERT_TRUE(Result(recorder->StartPreparedAsync()));
  EXPECT_FALSE(recorder->IsPrepared());
  EXPECT_TRUE(recorder->IsRecording());
  EXPECT_EQ(2'500'000, recorder->CameraSyncDelay());
  recorder->Stop();
  EXPECT_EQ(std::vector<std::wstring>{(root / "prepared.mp4").wstring()}, stopped.Get());
  EXPECT_EQ((root / "prepared.mp4").wstring(), media->Writers().back()->Url());
}

// ---- Pause and duration ------------------------------------------------------------------------

TEST_F(NativeRecorderTest, PauseAndResumeActOnceAndFreezeTheDuration) {
  UseScriptedClock();
  ASSERT_TRUE(Result(recorder->StartAsync(Config())));
  g_clockNs = kT0 + 1'500'000'000;
  EXPECT_DOUBLE_EQ(1.5, recorder->DurationSeconds());
  recorder->Pause();
  g_clockNs += kSecond;
  recorder->Pause();  // ignored: the pause still began at 1.5 s
  EXPECT_TRUE(recorder->IsPaused());
  g_clockNs += kSecond;
  EXPECT_DOUBLE_EQ(1.5, recorder->DurationSeconds());
  EXPECT_EQ(1'500'000, recorder->DurationMicroseconds());
  recorder->Resume();
  recorder->Resume();  // ignored: paused time is counted once
  EXPECT_FALSE(recorder->IsPaused());
  g_clockNs += 500'000'000;
  EXPECT_DOUBLE_EQ(2.0, recorder->DurationSeconds());
  recorder->Stop();
  EXPECT_EQ(0.0, recorder->DurationSeconds());
}

// ---- Video routing -----------------------------------------------------------------------------

TEST_F(NativeRecorderTest, FramesAfterATwoSecondPauseAreRebasedAndNeverNegative) {
  UseScriptedClock();
  ASSERT_TRUE(Result(recorder->StartAsync(Config())));
  g_clockNs = kT0 + kSecond;
  recorder->Pause();
  EmitAt(2 * kSecond);  // paused: ignored
  g_clockNs = kT0 + 3 * kSecond;
  recorder->Resume();
  EmitAt(500'000'000);  // stamped 0.5 s with 2 s of pause before it: written at 0
  EmitAt(10 * kSecond);
  EXPECT_EQ((std::vector<int64_t>{0, 80'000'000}), VideoSampleTimes());
  recorder->Stop();
}

TEST_F(NativeRecorderTest, OnlyTheFirstFrameOfEachSlotOfTheRateIsOffered) {
  UseScriptedClock();
  auto config = Config();
  config->FrameRate(30);  // slot k holds the times nearest k/30 s: slot 1 begins at 166667 hns
  ASSERT_TRUE(Result(recorder->StartAsync(config)));
  for (int64_t ms10 : {0, 100, 166, 167, 400, 500}) EmitAt(ms10 * 100'000);  // tenths of ms
  // 100 and 166 fall in slot 0 after 0; 400 in slot 1 after 167; 500 opens slot 2.
  EXPECT_EQ((std::vector<int64_t>{0, 167'000, 500'000}), VideoSampleTimes());
  EXPECT_EQ(0, log.CountPrefix("[NativeRecorder] WriteVideoFrame failed"));
  // The capture is asked not to grab faster than the rate to begin with.
  EXPECT_EQ(std::chrono::nanoseconds(33'333'333), service->LastPool()->MinUpdateInterval());
  recorder->Stop();
}

TEST_F(NativeRecorderTest, RefusedFramesAreCountedAndTheirLineThinned) {
  UseScriptedClock();
  // A full queue refuses a frame at a time; the recording goes on.
  media->SetWriterSetup([](FakeSinkWriter& writer) { writer.FailCall(WriterCall::WriteSample, media::MF_E_NOTACCEPTING); });
  ASSERT_TRUE(Result(recorder->StartAsync(Config())));
  for (int i = 0; i < 3; ++i) EmitAt(i * 40'000'000);
  EXPECT_EQ(1, log.CountPrefix("[NativeRecorder] WriteVideoFrame failed"));
  EXPECT_TRUE(log.Contains("[NativeRecorder] WriteVideoFrame failed, dropped=1\n"));
  for (int i = 3; i < 12; ++i) EmitAt(i * 40'000'000);
  EXPECT_EQ(2, log.CountPrefix("[NativeRecorder] WriteVideoFrame failed"));
  EXPECT_TRUE(log.Contains("[NativeRecorder] WriteVideoFrame failed, dropped=11\n"));
  EXPECT_TRUE(recorder->IsRecording());
  EXPECT_TRUE(errors.Get().empty());
  recorder->Stop();
}

// ---- Progress ----------------------------------------------------------------------------------

TEST_F(NativeRecorderTest, ProgressArrivesOncePerSecondAndStopWakesTheTimer) {
  Recorded<RecordingProgress> progress;
  recorder->ProgressChanged().Add([&](NativeRecorder&, RecordingProgress p) { progress.Add(p); });
  ASSERT_TRUE(Result(recorder->StartAsync(Config())));
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (progress.Get().size() < 2 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(20ms);
  recorder->Stop();
  auto events = progress.Get();
  ASSERT_GE(events.size(), 2u);
  EXPECT_GE(events[0].DurationSeconds(), 0.99);
  EXPECT_GE(events[1].DurationSeconds() - events[0].DurationSeconds(), 0.99);
  EXPECT_EQ(0.0, events[0].AverageFrameRate());  // no frames were captured
  EXPECT_EQ(0, events[0].DroppedFrames());
  // The timer was waiting when Stop came: it woke and joined within the bound.
  EXPECT_EQ(0, log.CountPrefix("[NativeRecorder] STEP 7"));
}

TEST_F(NativeRecorderTest, StuckProgressThreadLogsStepSevenAndStillFinalises) {
  std::promise<void> entered;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<bool> first{true};
  recorder->ProgressChanged().Add([&, released](NativeRecorder&, RecordingProgress) {
    if (first.exchange(false)) {
      entered.set_value();
      released.wait_for(20s);
    }
  });
  ASSERT_TRUE(Result(recorder->StartAsync(Config("one.mp4"))));
  ASSERT_EQ(std::future_status::ready, entered.get_future().wait_for(20s));
  recorder->Stop();
  EXPECT_TRUE(log.Contains("[NativeRecorder] STEP 7: WARNING: Progress thread join timed out after 200ms\n"));
  EXPECT_TRUE(media->Writers().back()->Finalized());
  EXPECT_EQ(1u, stopped.Get().size());
  // The next start waits for the pending join instead of replacing a running thread.
  std::thread releaser([&] {
    std::this_thread::sleep_for(300ms);
    release.set_value();
  });
  EXPECT_TRUE(Result(recorder->StartAsync(Config("two.mp4"))));
  releaser.join();
  recorder->Stop();
  EXPECT_EQ(2u, stopped.Get().size());
}

// ---- Failure branches and slow teardown ------------------------------------------------------

TEST_F(NativeRecorderTest, EncoderThatCannotStartFailsPrepareAndStartWithTheirLines) {
  media->SetCreateWriterResult(E_FAIL);
  EXPECT_FALSE(Result(recorder->PrepareAsync(Config("p.mp4"))));
  EXPECT_TRUE(log.Contains("[NativeRecorder] PrepareAsync: Failed to initialize encoder\n"));
  EXPECT_FALSE(recorder->IsPrepared());
  EXPECT_FALSE(Result(recorder->StartAsync(Config("s.mp4"))));
  EXPECT_TRUE(log.Contains("[NativeRecorder] Failed to initialize encoder\n"));
  EXPECT_EQ(std::vector<std::wstring>{L"Failed to initialize encoder"}, errors.Get());
  EXPECT_FALSE(recorder->IsRecording());
  EXPECT_EQ(0, started.load());
  // Nothing of the failed attempts is left behind: the next start works.
  media->SetCreateWriterResult(S_OK);
  EXPECT_TRUE(Result(recorder->StartAsync(Config("ok.mp4"))));
  recorder->Stop();
  EXPECT_EQ(1u, stopped.Get().size());
}

TEST_F(NativeRecorderTest, MissingConfigurationIsReportedAsAnException) {
  EXPECT_FALSE(Result(recorder->PrepareAsync(nullptr)));
  EXPECT_TRUE(log.Contains("[NativeRecorder] PrepareAsync exception: null configuration\n"));
  EXPECT_FALSE(Result(recorder->StartAsync(nullptr)));
  EXPECT_TRUE(log.Contains("[NativeRecorder] Exception: null configuration\n"));
  EXPECT_EQ(std::vector<std::wstring>{L"null configuration"}, errors.Get());
}

TEST_F(NativeRecorderTest, SlowFinalizeLogsStepElevenAndStopStillReturnsAFinishedFile) {
  ASSERT_TRUE(Result(recorder->StartAsync(Config())));
  auto writer = media->Writers().back();
  writer->SetCallHook(WriterCall::Finalize, [] { std::this_thread::sleep_for(1300ms); });
  std::atomic<bool> finalizedWhenStopped{false};
  recorder->Stopped().Add([&](NativeRecorder&, std::wstring) { finalizedWhenStopped = writer->Finalized(); });
  recorder->Stop();
  EXPECT_TRUE(log.Contains("[NativeRecorder] STEP 11: Encoder finalize taking longer than expected...\n"));
  EXPECT_TRUE(writer->Finalized());
  EXPECT_TRUE(finalizedWhenStopped);
  EXPECT_EQ(1u, stopped.Get().size());
}

TEST_F(NativeRecorderTest, FrameInsideTheEncoderAtStopIsWrittenBeforeTheFileIsFinalised) {
  ASSERT_TRUE(Result(recorder->StartAsync(Config())));
  auto writer = media->Writers().back();
  std::promise<void> entered;
  std::atomic<bool> first{true};
  writer->SetCallHook(WriterCall::WriteSample, [&] {
    if (first.exchange(false)) {
      entered.set_value();
      std::this_thread::sleep_for(800ms);  // longer than every bounded wait of the stop
    }
  });
  service->LastPool()->EmitFrames(1);
  ASSERT_EQ(std::future_status::ready, entered.get_future().wait_for(20s));
  recorder->Stop();
  // The capture's stop outlasts the delivery it is waiting for, so nothing is left in flight
  // when the encoder goes.
  EXPECT_EQ(0, log.CountPrefix("[NativeRecorder] WaitForInFlightCallbacksDrain"));
  auto calls = writer->CallLog();
  auto write = std::find_if(calls.begin(), calls.end(), [](auto& c) { return c.rfind("WriteSample", 0) == 0; });
  auto finalize = std::find_if(calls.begin(), calls.end(), [](auto& c) { return c.rfind("Finalize", 0) == 0; });
  ASSERT_NE(write, calls.end());
  ASSERT_NE(finalize, calls.end());
  EXPECT_LT(write, finalize);
  EXPECT_EQ(S_OK, writer->Samples().front().result);
  EXPECT_EQ(1u, stopped.Get().size());
}

TEST_F(NativeRecorderTest, ApplicationCallsWhileStoppingAndRestartingNeverReachAReleasedCapture) {
  std::atomic<bool> done{false};
  std::thread application([&] {
    for (int i = 0; !done; ++i) {
      if (i % 2) {
        recorder->Pause();
      } else {
        recorder->Resume();
      }
      recorder->SetCropRegion({0, 0, 100 + i % 50, 100});
      recorder->SetMicrophoneVolume(0.5);
    }
  });
  for (int round = 0; round < 5; ++round) {
    ASSERT_TRUE(Result(recorder->StartAsync(Config("r" + std::to_string(round) + ".mp4"))));
    recorder->Stop();
  }
  done = true;
  application.join();
  EXPECT_EQ(5u, stopped.Get().size());
}

TEST(NativeRecorderDeadline, SaturatesInsteadOfOverflowing) {
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  EXPECT_EQ(kMax, NativeRecorder::SaturatingDeadlineNs(kMax - 10, kSecond));
  EXPECT_EQ(kSecond + 5, NativeRecorder::SaturatingDeadlineNs(5, kSecond));
}

}  // namespace
}  // namespace kalto::recorder_test
