// The start sequence and every way it fails, with their exact lines; a hung Stop; crop clamping.
#include <cctype>

#include "capture_fixture.h"
#include "common/debug_output.h"

namespace kalto::test {
namespace {

using ScreenCaptureStartTest = CaptureTest;

TEST_F(ScreenCaptureStartTest, StartLogsEachStepAndASecondStartIsRefused) {
  auto capture = MakeCapture();
  capture->SetCaptureCursor(false);
  ASSERT_TRUE(capture->InitializeForMonitor(monitor));
  EXPECT_EQ(640, capture->GetWidth());
  EXPECT_EQ(360, capture->GetHeight());
  log.Clear();
  ASSERT_TRUE(capture->Start(sink.Callback()));
  const auto lines = log.Lines();
  ASSERT_EQ(9u, lines.size());  // a line per step
  EXPECT_EQ("[ScreenCapture] Start: creating frame pool for 640x360, cursor=0\n", lines.front());
  EXPECT_EQ("[ScreenCapture] Start: border disabled\n", lines[6]);
  EXPECT_EQ("[ScreenCapture] Start: capture started\n", lines.back());
  EXPECT_FALSE(service->LastPool()->CursorCaptureEnabled());
  EXPECT_EQ(L"", capture->GetLastErrorText());
  FrameSink other;
  EXPECT_FALSE(capture->Start(other.Callback()));
  EXPECT_EQ(L"Screen capture is already active", capture->GetLastErrorText());
  EXPECT_EQ(1, log.Count("[ScreenCapture] Start failed: already capturing\n"));
  EXPECT_EQ(1, service->PoolsCreated());
  Emit(2);
  EXPECT_TRUE(sink.WaitFor(2));
  EXPECT_EQ(0u, other.Count());
  // Stop lets go of the item: a start after it has nothing to capture.
  capture->Stop();
  EXPECT_FALSE(capture->Start(sink.Callback()));
  EXPECT_EQ(L"Capture item is missing", capture->GetLastErrorText());
  EXPECT_EQ(1, log.Count("[ScreenCapture] Start failed: capture item missing\n"));
}

struct StepFailure {
  std::function<void(screen::FakeCaptureService&)> arrange;
  std::string line;
  bool starts = false;  // the border is cosmetic: whatever goes wrong with it, capture goes on
};
// Stable test names: the default prints the case's bytes, addresses included.
void PrintTo(const StepFailure& c, std::ostream* os) {
  for (char ch : c.line.substr(c.line.find(' ') + 1)) *os << (std::isalnum(static_cast<unsigned char>(ch)) ? ch : ' ');
}

class ScreenCaptureStepFailureTest : public CaptureTest, public ::testing::WithParamInterface<StepFailure> {};

TEST_P(ScreenCaptureStepFailureTest, FailureNamesTheStepAndALaterStartSucceeds) {
  auto capture = MakeCapture();
  ASSERT_TRUE(capture->InitializeForMonitor(monitor));
  GetParam().arrange(*service);
  EXPECT_EQ(GetParam().starts, capture->Start(sink.Callback()));
  EXPECT_EQ(1, log.Count(GetParam().line));
  EXPECT_EQ(GetParam().starts ? "" : GetParam().line, WideToUtf8(capture->GetLastErrorText()));
  capture->Stop();
  service->ClearFaults();
  service->SetCursorInterfaceMissing(false);
  service->SetBorderInterfaceMissing(false);
  ASSERT_TRUE(capture->InitializeForMonitor(monitor));
  ASSERT_TRUE(capture->Start(sink.Callback()));
  EXPECT_EQ(L"", capture->GetLastErrorText());
  Emit(1);
  EXPECT_TRUE(sink.WaitFor(1));
}

StepFailure Fails(FakePoint point, FakeFault fault, std::string line) {
  return {[point, fault](screen::FakeCaptureService& s) { s.SetFault(point, fault); }, std::move(line)};
}

INSTANTIATE_TEST_SUITE_P(
    Steps, ScreenCaptureStepFailureTest,
    ::testing::Values(
        Fails(FakePoint::ItemSize, FakeFault::Platform(E_ACCESSDENIED, "Access is denied."),
              "[ScreenCapture] Start failed during initializing: HRESULT=0x80070005, message=Access is denied.\n"),
        Fails(FakePoint::CreateFramePool, FakeFault::Platform(E_INVALIDARG, "The parameter is incorrect."),
              "[ScreenCapture] Start failed during creating frame pool: HRESULT=0x80070057, message=The parameter is "
              "incorrect.\n"),
        Fails(FakePoint::AddFrameArrived, FakeFault::Standard("bad_alloc"),
              "[ScreenCapture] Start failed during subscribing to frame events: exception=bad_alloc\n"),
        Fails(FakePoint::CreateSession, FakeFault::Unknown(),
              "[ScreenCapture] Start failed during creating capture session: unknown exception\n"),
        Fails(FakePoint::CursorSetting, FakeFault::Platform(E_FAIL, "Unspecified error"),
              "[ScreenCapture] Start failed during setting cursor capture: HRESULT=0x80004005, message=Unspecified "
              "error\n"),
        StepFailure{[](screen::FakeCaptureService& s) { s.SetCursorInterfaceMissing(true); },
                    "[ScreenCapture] Start failed during setting cursor capture: HRESULT=0x80004002, message=No such "
                    "interface supported\n"},
        Fails(FakePoint::StartCapture, FakeFault::Platform(RO_E_CLOSED, "The object has been closed."),
              "[ScreenCapture] Start failed during starting capture session: HRESULT=0x80000013, message=The object "
              "has been closed.\n"),
        StepFailure{[](screen::FakeCaptureService& s) { s.SetBorderInterfaceMissing(true); },
                    "[ScreenCapture] Start: border setting ignored, HRESULT=0x80004002, message=No such interface "
                    "supported\n", true},
        StepFailure{[](screen::FakeCaptureService& s) { s.SetFault(FakePoint::BorderSetting, FakeFault::Standard("x")); },
                    "[ScreenCapture] Start: border setting ignored due to unknown exception\n", true}));

TEST_F(ScreenCaptureStartTest, StopWaitsForAHungCloseAndWarnsAfter500ms) {
  auto capture = Started();
  service->SetCloseDelayMs(900);
  auto pool = service->LastPool();
  const auto begin = std::chrono::steady_clock::now();
  capture->Stop();
  EXPECT_GE(std::chrono::steady_clock::now() - begin, 900ms);
  EXPECT_EQ(1, log.Count("[ScreenCapture] WARNING: Close operations timed out after 500ms\n"));
  EXPECT_TRUE(pool->Closed());
}

// ---- Crops ---------------------------------------------------------------------------------------

using screen::FakeFramePixel;

class ScreenCaptureCropTest : public CaptureTest {
 protected:
  ScreenCaptureCropTest() { monitor = desktop->AddMonitor({0, 0, 1920, 1080}); }
};

// Each crop in turn, then the frame it gives: clamped to the origin, made even, a too-small one
// ignored (the previous stays), and an empty one switching cropping off.
TEST_F(ScreenCaptureCropTest, ClampsRoundsToEvenIgnoresTooSmallAndSwitchesOff) {
  struct Step {
    int x, y, w, h;
    uint32_t width, height;
    int left, top;
  } steps[] = {{-50, -50, 400, 300, 400, 300, 0, 0},
               {10, 10, 1001, 777, 1000, 776, 10, 10},
               {100, 200, 640, 360, 640, 360, 100, 200},
               {1900, 1000, 400, 300, 640, 360, 100, 200},
               {0, 0, 0, 0, 1920, 1080, 0, 0}};
  auto capture = Started();
  int frame = 0;
  for (const Step& s : steps) {
    SCOPED_TRACE(s.x);
    capture->SetCropRegion(s.x, s.y, s.w, s.h);
    const auto f = Next();
    ++frame;
    EXPECT_EQ(s.width, f.width);
    EXPECT_EQ(s.height, f.height);
    EXPECT_EQ(FakeFramePixel(frame, s.left, s.top), f.topLeft);
    EXPECT_EQ(FakeFramePixel(frame, s.left + s.width - 1, s.top + s.height - 1), f.bottomRight);
  }
  EXPECT_EQ(1, log.Count("[ScreenCapture] Crop region too small after clamping: 20x80, ignoring\n"));
}

}  // namespace
}  // namespace kalto::test
