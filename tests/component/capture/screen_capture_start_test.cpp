// The start sequence, its failure branches and their exact lines; device creation; items.
#include <chrono>
#include <thread>

#include "capture_fixture.h"
#include "common/debug_output.h"

namespace kalto::test {
namespace {

using screen::FakeFault;
using screen::FakePoint;

class ScreenCaptureStartTest : public CaptureTest {
 protected:
  desktop::MonitorHandle monitor = desktop->AddMonitor({0, 0, 640, 360}, true);
};

TEST_F(ScreenCaptureStartTest, SuccessfulStartLogsEveryStepInOrder) {
  auto capture = MakeCapture();
  capture->SetCaptureCursor(false);
  ASSERT_TRUE(capture->InitializeForMonitor(monitor));
  EXPECT_EQ(capture->GetWidth(), 640);
  EXPECT_EQ(capture->GetHeight(), 360);
  log.Clear();
  ASSERT_TRUE(capture->Start(sink.Callback()));
  std::vector<std::string> expected = {
      "[ScreenCapture] Start: creating frame pool for 640x360, cursor=0\n",
      "[ScreenCapture] Start: frame pool created\n",
      "[ScreenCapture] Start: frame event subscribed\n",
      "[ScreenCapture] Start: creating capture session\n",
      "[ScreenCapture] Start: capture session created\n",
      "[ScreenCapture] Start: cursor capture setting applied\n",
      "[ScreenCapture] Start: border disabled\n",
      "[ScreenCapture] Start: calling StartCapture\n",
      "[ScreenCapture] Start: capture started\n",
  };
  EXPECT_EQ(log.Lines(), expected);
  EXPECT_FALSE(service->LastPool()->CursorCaptureEnabled());
  EXPECT_EQ(capture->GetLastErrorText(), L"");
  Emit(1);
  ASSERT_TRUE(sink.WaitFor(1));
  EXPECT_EQ(sink.Frames()[0].width, 640u);
}

struct StepFailure {
  FakePoint point;
  FakeFault fault;
  std::string line;
};

class ScreenCaptureStepFailureTest : public ScreenCaptureStartTest,
                                     public ::testing::WithParamInterface<StepFailure> {};

TEST_P(ScreenCaptureStepFailureTest, FailureNamesTheStepAndALaterStartSucceeds) {
  const auto& param = GetParam();
  auto capture = MakeCapture();
  ASSERT_TRUE(capture->InitializeForMonitor(monitor));
  service->SetFault(param.point, param.fault);
  EXPECT_FALSE(capture->Start(sink.Callback()));
  EXPECT_EQ(log.Count(param.line), 1);
  EXPECT_EQ(WideToUtf8(capture->GetLastErrorText()), param.line);

  service->ClearFaults();
  ASSERT_TRUE(capture->Start(sink.Callback()));
  EXPECT_EQ(capture->GetLastErrorText(), L"");
  Emit(1);
  EXPECT_TRUE(sink.WaitFor(1));
}

INSTANTIATE_TEST_SUITE_P(
    Steps, ScreenCaptureStepFailureTest,
    ::testing::Values(
        StepFailure{FakePoint::ItemSize, FakeFault::Platform(E_ACCESSDENIED, "Access is denied."),
                    "[ScreenCapture] Start failed during initializing: HRESULT=0x80070005, message=Access is denied.\n"},
        StepFailure{FakePoint::CreateFramePool, FakeFault::Platform(E_INVALIDARG, "The parameter is incorrect."),
                    "[ScreenCapture] Start failed during creating frame pool: HRESULT=0x80070057, message=The "
                    "parameter is incorrect.\n"},
        StepFailure{FakePoint::AddFrameArrived, FakeFault::Standard("bad_alloc"),
                    "[ScreenCapture] Start failed during subscribing to frame events: exception=bad_alloc\n"},
        StepFailure{FakePoint::CreateSession, FakeFault::Unknown(),
                    "[ScreenCapture] Start failed during creating capture session: unknown exception\n"},
        StepFailure{FakePoint::CursorSetting, FakeFault::Platform(E_FAIL, "Unspecified error"),
                    "[ScreenCapture] Start failed during setting cursor capture: HRESULT=0x80004005, "
                    "message=Unspecified error\n"},
        StepFailure{FakePoint::StartCapture, FakeFault::Platform(RO_E_CLOSED, "The object has been closed."),
                    "[ScreenCapture] Start failed during starting capture session: HRESULT=0x80000013, "
                    "message=The object has been closed.\n"}));

TEST_F(ScreenCaptureStartTest, MissingCursorInterfaceFailsStartButMissingBorderInterfaceDoesNot) {
  auto capture = MakeCapture();
  ASSERT_TRUE(capture->InitializeForMonitor(monitor));
  service->SetCursorInterfaceMissing(true);
  EXPECT_FALSE(capture->Start(sink.Callback()));
  EXPECT_EQ(WideToUtf8(capture->GetLastErrorText()),
            "[ScreenCapture] Start failed during setting cursor capture: HRESULT=0x80004002, message=No such "
            "interface supported\n");

  service->SetCursorInterfaceMissing(false);
  service->SetBorderInterfaceMissing(true);
  EXPECT_TRUE(capture->Start(sink.Callback()));
  EXPECT_EQ(log.Count("[ScreenCapture] Start: border setting ignored, HRESULT=0x80004002, message=No such interface "
                      "supported\n"),
            1);
  EXPECT_EQ(log.Count("[ScreenCapture] Start: capture started\n"), 1);
}

TEST_F(ScreenCaptureStartTest, BorderFailuresOfAnyKindAreIgnored) {
  auto capture = MakeCapture();
  ASSERT_TRUE(capture->InitializeForMonitor(monitor));
  service->SetFault(FakePoint::BorderSetting, FakeFault::Standard("nope"));
  EXPECT_TRUE(capture->Start(sink.Callback()));
  EXPECT_EQ(log.Count("[ScreenCapture] Start: border setting ignored due to unknown exception\n"), 1);
}

TEST_F(ScreenCaptureStartTest, SecondStartIsRefusedAndLeavesTheRunningCaptureAlone) {
  auto capture = MakeCapture();
  ASSERT_TRUE(capture->InitializeForMonitor(monitor));
  ASSERT_TRUE(capture->Start(sink.Callback()));
  FrameSink other;
  EXPECT_FALSE(capture->Start(other.Callback()));
  EXPECT_EQ(capture->GetLastErrorText(), L"Screen capture is already active");
  EXPECT_EQ(log.Count("[ScreenCapture] Start failed: already capturing\n"), 1);
  EXPECT_EQ(service->PoolsCreated(), 1);
  Emit(2);
  EXPECT_TRUE(sink.WaitFor(2));
  EXPECT_EQ(other.Count(), 0u);
}

TEST_F(ScreenCaptureStartTest, StartWithoutItemFailsAlsoAfterStop) {
  auto capture = MakeCapture();
  EXPECT_FALSE(capture->Start(sink.Callback()));
  EXPECT_EQ(capture->GetLastErrorText(), L"Capture item is missing");
  EXPECT_EQ(log.Count("[ScreenCapture] Start failed: capture item missing\n"), 1);

  ASSERT_TRUE(capture->InitializeForMonitor(monitor));
  ASSERT_TRUE(capture->Start(sink.Callback()));
  capture->Stop();
  EXPECT_FALSE(capture->Start(sink.Callback()));
  EXPECT_EQ(capture->GetLastErrorText(), L"Capture item is missing");
}

TEST_F(ScreenCaptureStartTest, DeviceFallsBackToWarpAndReportsEachFailure) {
  gpuFactory->Faults().Fail(gpu::software::FaultPoint::CreateDeviceHardware, E_FAIL);
  {
    auto capture = MakeCapture();
    EXPECT_TRUE(capture->HasDevice());
    ASSERT_NE(capture->GetDevice(), nullptr);
    EXPECT_EQ(log.CountPrefix("[ScreenCapture] Failed"), 0);
  }
  gpuFactory->Faults().Fail(gpu::software::FaultPoint::CreateDeviceWarp, E_FAIL);
  {
    auto capture = MakeCapture();
    EXPECT_FALSE(capture->HasDevice());
    EXPECT_EQ(capture->GetDevice(), nullptr);
    EXPECT_EQ(log.Count("[ScreenCapture] Failed to create D3D11 device\n"), 1);
    EXPECT_EQ(log.Count("[ScreenCapture] Failed to create WinRT device\n"), 0);
  }
  gpuFactory->Faults().ClearAll();
  service->SetFault(FakePoint::CaptureDevice, FakeFault::Result(E_NOINTERFACE));
  auto capture = MakeCapture();
  EXPECT_FALSE(capture->HasDevice());
  EXPECT_NE(capture->GetDevice(), nullptr);
  EXPECT_EQ(log.Count("[ScreenCapture] Failed to create WinRT device\n"), 1);
}

TEST_F(ScreenCaptureStartTest, MonitorItemFailuresAndTheCachedFactory) {
  auto capture = MakeCapture();
  EXPECT_FALSE(capture->InitializeForMonitor(0x7777));
  EXPECT_EQ(log.Count("[ScreenCapture] CreateForMonitor failed: 0x80070057\n"), 1);
  ASSERT_TRUE(capture->InitializeForMonitor(monitor));
  // One lookup serves every later item on the same service.
  EXPECT_EQ(service->ItemInteropCalls(), 1);

  auto otherDesktop = std::make_shared<desktop::FakeDesktop>();
  auto otherService = std::make_shared<screen::FakeCaptureService>(otherDesktop);
  otherService->SetFault(FakePoint::ItemInterop, FakeFault::Platform(REGDB_E_CLASSNOTREG, "Class not registered"));
  auto otherPlatform = std::make_shared<platform::Platform>();
  otherPlatform->gpu = gpuFactory;
  otherPlatform->desktop = otherDesktop;
  otherPlatform->screen = otherService;
  ScreenCapture other(otherPlatform);
  EXPECT_FALSE(other.InitializeForMonitor(monitor));
  EXPECT_EQ(log.Count("[ScreenCapture] Exception creating capture item: 0x80040154\n"), 1);
}

TEST_F(ScreenCaptureStartTest, WindowClampsAgainstItsMonitorOrItsOwnSize) {
  auto window = desktop->AddWindow({100, 50, 400, 250}, 1234, "App");
  auto capture = MakeCapture();
  ASSERT_TRUE(capture->InitializeForWindow(window));
  EXPECT_EQ(capture->GetWidth(), 300);
  EXPECT_EQ(capture->GetHeight(), 200);
  // The crop is clamped against the 640x360 monitor, not the 300x200 window.
  capture->SetCropRegion(0, 0, 600, 300);
  EXPECT_EQ(log.CountPrefix("[ScreenCapture] Crop region too small"), 0);

  desktop->FailMonitorInfo(true);
  auto fallback = MakeCapture();
  ASSERT_TRUE(fallback->InitializeForWindow(window));
  fallback->SetCropRegion(0, 0, 600, 300);
  EXPECT_EQ(log.CountPrefix("[ScreenCapture] Crop region too small"), 0);
  fallback->SetCropRegion(250, 0, 600, 300);
  EXPECT_EQ(log.Count("[ScreenCapture] Crop region too small after clamping: 50x200, ignoring\n"), 1);

  EXPECT_FALSE(MakeCapture()->InitializeForWindow(0x5555));
  EXPECT_EQ(log.CountPrefix("[ScreenCapture] CreateFor"), 0);
}

TEST_F(ScreenCaptureStartTest, StopWaitsForAHungCloseAndWarnsAfter500ms) {
  auto capture = MakeCapture();
  ASSERT_TRUE(capture->InitializeForMonitor(monitor));
  ASSERT_TRUE(capture->Start(sink.Callback()));
  service->SetCloseDelayMs(900);
  auto pool = service->LastPool();
  auto begin = std::chrono::steady_clock::now();
  capture->Stop();
  auto elapsed = std::chrono::steady_clock::now() - begin;
  EXPECT_EQ(log.Count("[ScreenCapture] WARNING: Close operations timed out after 500ms\n"), 1);
  EXPECT_GE(elapsed, std::chrono::milliseconds(900));
  EXPECT_TRUE(pool->Closed());
  EXPECT_EQ(pool->HandlerCount(), 0);
}

TEST_F(ScreenCaptureStartTest, ClosingErrorIsLoggedAndStopCompletes) {
  auto capture = MakeCapture();
  ASSERT_TRUE(capture->InitializeForMonitor(monitor));
  ASSERT_TRUE(capture->Start(sink.Callback()));
  service->SetFault(FakePoint::SessionClose, FakeFault::Platform(E_FAIL, "x"));
  auto pool = service->LastPool();
  capture->Stop();
  EXPECT_EQ(log.Count("[ScreenCapture] Exception during Close operations\n"), 1);
  EXPECT_EQ(log.CountPrefix("[ScreenCapture] WARNING"), 0);
  // The session threw first, so the pool was never closed.
  EXPECT_FALSE(pool->Closed());
}

}  // namespace
}  // namespace kalto::test
