// NativeRecorder's lifecycle: prepare, start, prepared start and stop, every way a start fails,
// pause arithmetic, frame rebasing and pacing, dropped-frame thinning; and when things go wrong
// while it records: a capture or file that cannot go on ends the recording with ErrorOccurred and
// a finalised file, a closed window is a warning and its last picture is held.
#include <future>
#include <limits>
#include <string>

#include "recorder_fixture.h"

namespace kalto::recorder_test {
namespace {

TEST_F(NativeRecorderTest, PrepareStartAndStopFollowTheStateMachine) {
  recorder->Stop();  // idle: nothing
  auto config = Config("a.mp4");
  config->CaptureMicrophone(true);  // no microphone exists: said so, and the audio stream stays
  auto first = recorder->PrepareAsync(config);
  auto second = recorder->PrepareAsync(Config("b.mp4"));  // queued behind the first
  EXPECT_TRUE(Result(first));
  EXPECT_FALSE(Result(second));
  EXPECT_EQ((root / "a.mp4").wstring(), recorder->OutputPath());
  EXPECT_TRUE(log.Contains("[NativeRecorder] PrepareAsync: WARNING - Audio capture init failed\n"));
  EXPECT_EQ(2u, media->Writers().back()->OutputTypes().size());  // video and audio
  recorder->Stop();
  EXPECT_TRUE(recorder->IsPrepared());
  // A plain start while prepared builds its own components and leaves the prepared flag.
  ASSERT_TRUE(Result(recorder->StartAsync(Config("b.mp4"))));
  EXPECT_TRUE(recorder->IsRecording());
  EXPECT_TRUE(recorder->IsPrepared());
  EXPECT_EQ(1, started.load());
  ASSERT_EQ(2u, media->Writers().size());
  EXPECT_FALSE(Result(recorder->PrepareAsync(Config("c.mp4"))));
  EXPECT_FALSE(Result(recorder->StartAsync(Config("c.mp4"))));
  recorder->CancelPrepared();  // the components belong to the running recording
  EXPECT_TRUE(recorder->IsRecording());
  recorder->Stop();
  EXPECT_TRUE(media->Writers().back()->Finalized());
  EXPECT_EQ(std::vector<std::wstring>{(root / "b.mp4").wstring()}, stopped.Get());
  recorder->CancelPrepared();
  EXPECT_FALSE(recorder->IsPrepared());
  // Stop and CancelPrepared act on every operation asked for before them.
  auto start = recorder->StartAsync(Config("c.mp4"));
  recorder->Stop();
  EXPECT_TRUE(Result(start));
  EXPECT_FALSE(recorder->IsRecording());
  EXPECT_EQ((std::vector<std::wstring>{(root / "b.mp4").wstring(), (root / "c.mp4").wstring()}), stopped.Get());
  auto prepare = recorder->PrepareAsync(Config());
  recorder->CancelPrepared();
  EXPECT_TRUE(Result(prepare));
  EXPECT_FALSE(recorder->IsPrepared());
}

// The prepared start reads the kept configuration again; the encoder already has its file.
TEST_F(NativeRecorderTest, ConfigurationValuesReachTheirComponents) {
  auto config = Config("prepared.mp4");
  ASSERT_TRUE(Result(recorder->PrepareAsync(config)));
  config->OutputPath((root / "later.mp4").wstring());
  config->CameraSyncDelayMs(250);
  ASSERT_TRUE(Result(recorder->StartPreparedAsync()));
  EXPECT_FALSE(recorder->IsPrepared());
  EXPECT_EQ(2'500'000, recorder->CameraSyncDelay());
  recorder->Stop();
  EXPECT_EQ(std::vector<std::wstring>{(root / "prepared.mp4").wstring()}, stopped.Get());
  // Camera delays below 1 ms fall back to 100 ms; High 0, Main 1 and Baseline 2 reach the
  // encoder as asked, other profiles are Main; the capture grabs no faster than the frame rate.
  for (auto [ms, hns, profile, h264, fps] : {std::tuple{0, 1'000'000, 0, 100u, 1}, {1, 10'000, 1, 77u, 2},
                                             {-5, 1'000'000, 2, 66u, 30}, {2, 20'000, 3, 77u, 30}, {2, 20'000, -1, 77u, 30}}) {
    config = Config();
    config->CameraSyncDelayMs(ms);
    config->VideoProfile(profile);
    config->FrameRate(fps);
    ASSERT_TRUE(Result(recorder->StartAsync(config)));
    EXPECT_EQ(hns, recorder->CameraSyncDelay()) << ms;
    uint32_t value = 0;
    EXPECT_EQ(S_OK, media->Writers().back()->OutputTypes()[0].GetUINT32(media::MF_MT_MPEG2_PROFILE, &value));
    EXPECT_EQ(h264, value) << profile;
    EXPECT_EQ(std::chrono::nanoseconds(1'000'000'000 / fps), service->LastPool()->MinUpdateInterval());
    recorder->Stop();
  }
}

// ---- Every way a prepare or start fails ----------------------------------------------------------

enum class Op { Prepare, Start, StartPrepared };

struct StartFailure {
  const char* name;
  Op op;
  std::function<void(NativeRecorderTest&, RecordingConfig&)> arrange;
  std::string line;                     // the debug line
  std::wstring error;                   // ErrorOccurred's text, empty for none
  bool recordingAfter, preparedAfter;  // a recording that was running before goes on
  bool nullConfig = false;
};
// Stable test names: the default prints the case's bytes, addresses included.
void PrintTo(const StartFailure& c, std::ostream* os) { *os << c.name; }

class StartFailureTest : public NativeRecorderTest, public ::testing::WithParamInterface<StartFailure> {};

TEST_P(StartFailureTest, FailsWithItsLineAndLeavesNothingBehind) {
  const StartFailure& row = GetParam();
  auto config = Config("failed.mp4");
  row.arrange(*this, *config);
  if (row.nullConfig) config.reset();
  auto op = row.op == Op::Prepare ? recorder->PrepareAsync(config)
            : row.op == Op::Start ? recorder->StartAsync(config)
                                  : recorder->StartPreparedAsync();
  EXPECT_FALSE(Result(op));
  EXPECT_EQ(1, log.Count(row.line)) << ::testing::PrintToString(log.Lines());
  EXPECT_EQ(row.error.empty() ? std::vector<std::wstring>{} : std::vector<std::wstring>{L"error: " + row.error},
            events.Get());
  EXPECT_EQ(row.recordingAfter, recorder->IsRecording());
  EXPECT_EQ(row.preparedAfter, recorder->IsPrepared());
  EXPECT_EQ(row.recordingAfter ? 1 : 0, started.load());
  // Nothing of the failed attempt is left behind: the next start works.
  service->ClearFaults();
  gpuFactory->Faults().ClearAll();
  media->SetCreateWriterResult(S_OK);
  recorder->Stop();
  recorder->CancelPrepared();
  ASSERT_TRUE(Result(recorder->StartAsync(Config("ok.mp4"))));
  recorder->Stop();
  EXPECT_EQ((root / "ok.mp4").wstring(), stopped.Get().back());
}

void Nothing(NativeRecorderTest&, RecordingConfig&) {}
void NoCaptureMode(NativeRecorderTest&, RecordingConfig& c) { c.CaptureMode(3); }
void NoEncoder(NativeRecorderTest& t, RecordingConfig&) { t.media->SetCreateWriterResult(E_FAIL); }
void NoFrameRate(NativeRecorderTest&, RecordingConfig& c) { c.FrameRate(0); }
void NoDevice(NativeRecorderTest& t, RecordingConfig&) {
  t.gpuFactory->Faults().Fail(gpu::software::FaultPoint::CreateDeviceHardware, E_FAIL);
  t.gpuFactory->Faults().Fail(gpu::software::FaultPoint::CreateDeviceWarp, E_FAIL);
}
void NoSession(NativeRecorderTest& t, RecordingConfig&) {
  t.service->SetFault(screen::FakePoint::StartCapture, screen::FakeFault::Standard("no session"));
}
void PreparedThenNoSession(NativeRecorderTest& t, RecordingConfig& c) {
  ASSERT_TRUE(NativeRecorderTest::Result(t.recorder->PrepareAsync(t.Config())));
  NoSession(t, c);
}
void PreparedAndRecording(NativeRecorderTest& t, RecordingConfig&) {
  ASSERT_TRUE(NativeRecorderTest::Result(t.recorder->PrepareAsync(t.Config())));
  ASSERT_TRUE(NativeRecorderTest::Result(t.recorder->StartAsync(t.Config("running.mp4"))));
}

const std::string kNoSession = "[ScreenCapture] Start failed during starting capture session: exception=no session\n";

INSTANTIATE_TEST_SUITE_P(
    Steps, StartFailureTest,
    ::testing::Values(
        StartFailure{"PrepareCaptureMode", Op::Prepare, NoCaptureMode,
                     "[NativeRecorder] PrepareAsync: Failed to initialize screen capture\n", L"", false, false},
        StartFailure{"PrepareEncoder", Op::Prepare, NoEncoder,
                     "[NativeRecorder] PrepareAsync: Failed to initialize encoder\n", L"", false, false},
        StartFailure{"PrepareNullConfig", Op::Prepare, Nothing,
                     "[NativeRecorder] PrepareAsync exception: null configuration\n", L"", false, false, true},
        StartFailure{"StartCaptureMode", Op::Start, NoCaptureMode, "[NativeRecorder] Failed to initialize screen capture\n",
                     L"Failed to initialize screen capture", false, false},
        StartFailure{"StartNoDevice", Op::Start, NoDevice, "[NativeRecorder] Failed to initialize screen capture\n",
                     L"Failed to initialize screen capture", false, false},
        StartFailure{"StartEncoder", Op::Start, NoEncoder, "[NativeRecorder] Failed to initialize encoder\n",
                     L"Failed to initialize encoder", false, false},
        StartFailure{"StartZeroFrameRate", Op::Start, NoFrameRate, "[NativeRecorder] Failed to initialize encoder\n",
                     L"Failed to initialize encoder", false, false},
        StartFailure{"StartNullConfig", Op::Start, Nothing, "[NativeRecorder] Exception: null configuration\n",
                     L"null configuration", false, false, true},
        StartFailure{"StartCapture", Op::Start, NoSession, "[NativeRecorder] Failed to start screen capture\n",
                     L"Failed to start screen capture", false, false},
        StartFailure{"StartPreparedUnprepared", Op::StartPrepared, Nothing,
                     "[NativeRecorder] StartPreparedAsync: Not prepared - call PrepareAsync first\n",
                     L"Prepared recording could not start because recorder is not prepared", false, false},
        StartFailure{"StartPreparedCapture", Op::StartPrepared, PreparedThenNoSession,
                     "[NativeRecorder] StartPreparedAsync: Failed to start capture: " + kNoSession + "\n",
                     L"Failed to start screen capture during prepared start: " + Utf8ToWide(kNoSession), false, true},
        StartFailure{"StartPreparedWhileRecording", Op::StartPrepared, PreparedAndRecording,
                     "[NativeRecorder] StartPreparedAsync: Already recording\n",
                     L"Prepared recording could not start because recording is already active", true, true}),
    [](const ::testing::TestParamInfo<StartFailure>& info) { return std::string(info.param.name); });

// ---- Pause, duration and video routing ---------------------------------------------------------

TEST_F(NativeRecorderTest, PauseFreezesTheDurationAndFramesAfterItAreRebased) {
  UseScriptedClock();
  ASSERT_TRUE(Result(recorder->StartAsync(Config())));
  g_clockNs = kT0 + 1'500'000'000;
  EXPECT_DOUBLE_EQ(1.5, recorder->DurationSeconds());
  recorder->Pause();
  g_clockNs += kSecond;
  recorder->Pause();  // ignored: the pause still began at 1.5 s
  EXPECT_TRUE(recorder->IsPaused());
  EmitAt(2 * kSecond);  // paused: ignored
  g_clockNs = kT0 + 3'500'000'000;
  EXPECT_DOUBLE_EQ(1.5, recorder->DurationSeconds());
  EXPECT_EQ(1'500'000, recorder->DurationMicroseconds());
  recorder->Resume();
  recorder->Resume();  // ignored: paused time is counted once
  EXPECT_FALSE(recorder->IsPaused());
  g_clockNs += 500'000'000;
  EXPECT_DOUBLE_EQ(2.0, recorder->DurationSeconds());
  EmitAt(500'000'000);  // stamped 0.5 s with 2 s of pause before it: written at 0
  EmitAt(10 * kSecond);
  // Nothing is held while paused, and a recording stopped while paused ends where the pause began.
  g_clockNs = kT0 + 10'500'000'000;
  recorder->Pause();
  g_clockNs = kT0 + 20 * kSecond;
  recorder->Stop();
  EXPECT_EQ((std::vector<int64_t>{0, 80'000'000, 85'000'000 - 333'333}), VideoSampleTimes());
  EXPECT_EQ(0.0, recorder->DurationSeconds());
}

TEST_F(NativeRecorderTest, OnlyTheFirstFrameOfEachSlotOfTheRateIsOffered) {
  UseScriptedClock();
  auto config = Config();
  config->FrameRate(30);  // slot k holds the times nearest k/30 s: slot 1 begins at 166667 hns
  ASSERT_TRUE(Result(recorder->StartAsync(config)));
  for (int64_t ms10 : {0, 100, 166, 167, 400, 500}) EmitAt(ms10 * 100'000);  // tenths of ms
  // 100 and 166 fall in slot 0 after 0; 400 in slot 1 after 167; 500 opens slot 2.
  EXPECT_EQ((std::vector<int64_t>{0, 167'000, 500'000}), VideoSampleTimes());
  // The capture is asked not to grab faster than the rate to begin with.
  EXPECT_EQ(std::chrono::nanoseconds(33'333'333), service->LastPool()->MinUpdateInterval());
  // A full queue refuses a frame at a time: counted, its line thinned, and the recording goes on.
  media->Writers().back()->FailCall(WriterCall::WriteSample, media::MF_E_NOTACCEPTING);
  for (int i = 0; i < 12; ++i) EmitAt(100'000'000 + i * 40'000'000);
  EXPECT_EQ(2, log.CountPrefix("[NativeRecorder] WriteVideoFrame failed"));
  EXPECT_TRUE(log.Contains("[NativeRecorder] WriteVideoFrame failed, dropped=1\n"));
  EXPECT_TRUE(log.Contains("[NativeRecorder] WriteVideoFrame failed, dropped=11\n"));
  EXPECT_EQ(12, recorder->CurrentProgress().DroppedFrames());
  EXPECT_TRUE(recorder->IsRecording());
  recorder->Stop();
  EXPECT_EQ(std::vector<std::wstring>{L"stopped"}, events.Get());
}

// ---- Failures while recording ------------------------------------------------------------------

enum class Fault { DisplayServerLost, CaptureWorkerFailed, DiskFull };

struct RunningFailure {
  const char* name;
  Fault fault;
  std::wstring error;
};
void PrintTo(const RunningFailure& c, std::ostream* os) { *os << c.name; }

const HRESULT kDiskFull = HrFromWin32(112);

class RunningFailureTest : public NativeRecorderTest, public ::testing::WithParamInterface<RunningFailure> {};

TEST_P(RunningFailureTest, EndsTheRecordingWithTheReasonAndAFinishedFile) {
  // Handlers run without the recorder's locks: they may call back in.
  recorder->ErrorOccurred().Add([](NativeRecorder& r, std::wstring) { r.CancelPrepared(); });
  recorder->Stopped().Add([](NativeRecorder& r, std::wstring) { r.Stop(); });
  ASSERT_TRUE(Result(recorder->StartAsync(Config())));
  EmitAt(0);
  switch (GetParam().fault) {
    case Fault::DisplayServerLost:
      service->LastPool()->EndCapture(screen::CaptureEnd::ConnectionLost);
      break;
    case Fault::CaptureWorkerFailed:
      service->LastPool()->EndCapture(screen::CaptureEnd::Failed);
      break;
    case Fault::DiskFull:
      media->Writers().back()->FailCall(WriterCall::WriteSample, kDiskFull);
      EmitAt(100'000'000);
      break;
  }
  EXPECT_EQ((std::vector<std::wstring>{L"error: " + GetParam().error, L"stopped"}), events.WaitFor(2));
  EXPECT_FALSE(recorder->IsRecording());
  EXPECT_TRUE(media->Writers().back()->Finalized());
  EXPECT_TRUE(log.Contains("[NativeRecorder] ERROR: " + WideToUtf8(GetParam().error) + "; stopping the recording\n"));
  recorder->Stop();  // nothing left to stop
  EXPECT_EQ(2u, events.Get().size());
}

INSTANTIATE_TEST_SUITE_P(
    Failures, RunningFailureTest,
    ::testing::Values(RunningFailure{"DisplayServerLost", Fault::DisplayServerLost,
                                     L"Screen capture failed: the connection to the display server was lost"},
                      RunningFailure{"CaptureWorkerFailed", Fault::CaptureWorkerFailed,
                                     L"Screen capture failed: the capture could not go on"},
                      RunningFailure{"DiskFull", Fault::DiskFull, L"Could not write the recording: the disk is full"}),
    [](const ::testing::TestParamInfo<RunningFailure>& info) { return std::string(info.param.name); });

// A slow finalise is waited for (with a line after a second); a failed one is told before Stopped.
TEST_F(NativeRecorderTest, SlowFinaliseIsAwaitedAndAFailedOneReportedBeforeStopped) {
  ASSERT_TRUE(Result(recorder->StartAsync(Config())));
  auto writer = media->Writers().back();
  writer->SetCallHook(WriterCall::Finalize, [] { std::this_thread::sleep_for(1300ms); });
  std::atomic<bool> finalizedWhenStopped{false};
  recorder->Stopped().Add([&](NativeRecorder&, std::wstring) { finalizedWhenStopped = writer->Finalized(); });
  recorder->Stop();
  EXPECT_TRUE(log.Contains("[NativeRecorder] STEP 11: Encoder finalize taking longer than expected...\n"));
  EXPECT_TRUE(finalizedWhenStopped);
  media->SetWriterSetup([](FakeSinkWriter& w) { w.FailCall(WriterCall::Finalize, kDiskFull); });
  ASSERT_TRUE(Result(recorder->StartAsync(Config())));
  recorder->Stop();
  EXPECT_EQ((std::vector<std::wstring>{L"stopped", L"error: Could not finish the recording's file: the disk is full",
                                       L"stopped"}),
            events.Get());
  EXPECT_TRUE(log.Contains("[NativeRecorder] ERROR: Encoder finalize failed: 0x80070070\n"));
}

// A closed window (or a still screen) sends no more frames: the last picture is written again
// about once a second and once more at the end, so the video lasts as long as the recording.
TEST_F(NativeRecorderTest, ClosedWindowIsAWarningAndTheLastPictureIsHeldToTheEnd) {
  UseScriptedClock();
  Recorded<double> progress;
  recorder->ProgressChanged().Add([&](NativeRecorder&, RecordingProgress p) { progress.Add(p.DurationSeconds()); });
  ASSERT_TRUE(Result(recorder->StartAsync(Config())));
  EmitAt(0);
  service->LastPool()->EndCapture(screen::CaptureEnd::ItemClosed);
  EXPECT_EQ((std::vector<std::wstring>{
                L"warning: The recorded window or monitor is gone; the recording goes on with its last picture"}),
            events.WaitFor(1));
  EXPECT_TRUE(recorder->IsRecording());
  g_clockNs = kT0 + 5 * kSecond;
  ASSERT_FALSE(progress.WaitFor(1).empty());
  EXPECT_EQ((std::vector<int64_t>{0, 50'000'000}), VideoSampleTimes());
  g_clockNs = kT0 + 7'500'000'000;
  recorder->Stop();
  EXPECT_EQ(0, log.CountPrefix("[NativeRecorder] STEP 7"));  // the waiting timer woke at once
  // The last frame ends with the recording: 7.5 s minus one frame at 30 per second.
  EXPECT_EQ((std::vector<int64_t>{0, 50'000'000, 75'000'000 - 333'333}), VideoSampleTimes());
  EXPECT_EQ(3, recorder->FramesWritten());  // held frames are frames of the file
}

TEST(NativeRecorderDeadline, SaturatesInsteadOfOverflowing) {
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  EXPECT_EQ(kMax, NativeRecorder::SaturatingDeadlineNs(kMax - 10, kSecond));
  EXPECT_EQ(kSecond + 5, NativeRecorder::SaturatingDeadlineNs(5, kSecond));
}

}  // namespace
}  // namespace kalto::recorder_test
