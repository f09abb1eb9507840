// NativeRecorder when things go wrong while it records: a capture or file that cannot go on ends
// the recording with ErrorOccurred and a finalised file; a closed window is a warning and the
// picture is held; handlers may call back into the recorder; Stop and CancelPrepared act on
// every operation asked for before them.
#include <string>

#include "recorder_fixture.h"

namespace kalto::recorder_test {
namespace {

enum class Fault { DisplayServerLost, CaptureWorkerFailed, DiskFull };

struct RunningFailure {
  const char* name;
  Fault fault;
  std::wstring error;
};

const HRESULT kDiskFull = HrFromWin32(112);

class RunningFailureTest : public NativeRecorderTest, public ::testing::WithParamInterface<RunningFailure> {};

TEST_P(RunningFailureTest, EndsTheRecordingWithTheReasonAndAFinishedFile) {
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

// Handlers run without the recorder's locks: an application stops from Started, cancels from
// ErrorOccurred and stops again from Stopped.
TEST_F(NativeRecorderTest, HandlersMayCallBackIntoTheRecorder) {
  recorder->Started().Add([](NativeRecorder& r, std::nullptr_t) { r.Stop(); });
  recorder->Stopped().Add([](NativeRecorder& r, std::wstring) { r.Stop(); });
  recorder->ErrorOccurred().Add([](NativeRecorder& r, std::wstring) { r.CancelPrepared(); });
  EXPECT_TRUE(Result(recorder->StartAsync(Config("a.mp4"))));
  EXPECT_FALSE(recorder->IsRecording());
  EXPECT_TRUE(media->Writers().back()->Finalized());
  EXPECT_EQ(std::vector<std::wstring>{L"stopped"}, events.Get());

  auto config = Config("b.mp4");
  config->CaptureMode(3);
  ASSERT_TRUE(Result(recorder->PrepareAsync(Config("c.mp4"))));
  EXPECT_FALSE(Result(recorder->StartAsync(config)));
  EXPECT_FALSE(recorder->IsPrepared());  // cancelled from the handler
}

// Stop and CancelPrepared act on the operations asked for before them: no recording is left
// running behind a Stop, nothing prepared behind a CancelPrepared.
TEST_F(NativeRecorderTest, StopAndCancelRightAfterStartOrPrepareAlwaysWin) {
  auto start = recorder->StartAsync(Config("run.mp4"));
  recorder->Stop();
  EXPECT_TRUE(Result(start));
  EXPECT_FALSE(recorder->IsRecording());
  EXPECT_TRUE(media->Writers().back()->Finalized());
  EXPECT_EQ(std::vector<std::wstring>{(root / "run.mp4").wstring()}, stopped.Get());
  auto prepare = recorder->PrepareAsync(Config());
  recorder->CancelPrepared();
  EXPECT_TRUE(Result(prepare));
  EXPECT_FALSE(recorder->IsPrepared());
}

}  // namespace
}  // namespace kalto::recorder_test
