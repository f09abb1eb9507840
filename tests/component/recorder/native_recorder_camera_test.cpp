// NativeRecorder's camera overlay on the scripted camera system: the configuration's clamps, the
// bubble in the encoded frames, each set-up failure leaving a recording without a bubble, the
// frames forwarded to the application, stops that a hung camera cannot hold up, and the bubble's
// background effect.
#include <cmath>
#include <fstream>

#include "camera/camera_capture.h"
#include "common/known_folders.h"
#include "platform/camera/fake/fake_camera.h"
#include "platform/inference/fake/fake_inference.h"
#include "recorder_fixture.h"

namespace kalto::recorder_test {
namespace {

using camera::FakeCameraFault;
using camera::FakeCameraFrame;
using camera::FakeCameraPoint;
using gpu::software::FaultPoint;

constexpr uint32_t kWhite = 0xFFFFFFFFu;

class NativeRecorderCameraTest : public NativeRecorderTest {
 public:
  void SetUp() override {
    NativeRecorderTest::SetUp();
    CameraCapture::ResetCountersForTesting();
    camera::FakeCameraInfo info;
    info.id = L"/dev/video0";
    info.name = L"Webcam";
    info.current = {640, 480, "YUY2", 30, 1};
    info.supported = {info.current, {640, 480, "YUY2", 15, 1}};
    cameras->AddCamera(info);
    platform->camera = cameras;
    recorder->PreviewFrameArrived().Add(
        [this](NativeRecorder&, std::shared_ptr<camera::SoftwareBitmap> bitmap) { forwarded.Add(bitmap); });
  }

  static FakeCameraFrame White() {
    FakeCameraFrame frame;
    frame.color = kWhite;
    return frame;
  }
  // A bubble over the whole frame with square corners: every pixel of a composited frame is the
  // camera's.
  CameraOverlayConfig FullFrameBubble() {
    CameraOverlayConfig config;
    config.Enabled = true;
    config.DeviceId = L"/dev/video0";
    config.Width = config.Height = 1.0;
    config.FillMode = 1;
    config.Opacity = 1.0;
    return config;
  }
  void DeliverCamera(FakeCameraFrame frame = White()) {
    auto reader = cameras->LastReader();
    ASSERT_TRUE(reader);
    reader->Deliver(frame);
  }
  // Luma of the last encoded frame's first row: near 235 throughout when the white bubble covers it.
  std::vector<uint8_t> LastFrameRow() {
    std::vector<uint8_t> row;
    for (const auto& s : media->Writers().back()->Samples()) {
      if (s.stream == 0 && s.result == S_OK && s.bytes.size() >= 320) row.assign(s.bytes.begin(), s.bytes.begin() + 320);
    }
    return row;
  }
  static bool AllBubble(const std::vector<uint8_t>& row) {
    return !row.empty() && std::all_of(row.begin(), row.end(), [](uint8_t y) { return y >= 225; });
  }

  std::shared_ptr<camera::FakeCameraSystem> cameras = std::make_shared<camera::FakeCameraSystem>();
  Recorded<std::shared_ptr<camera::SoftwareBitmap>> forwarded;
};

TEST_F(NativeRecorderCameraTest, ConfigurationIsClampedAndNonFiniteValuesAreIgnored) {
  CameraOverlayConfig config = FullFrameBubble();
  config.X = 0.95;
  config.Y = -0.2;
  config.Width = 0.18;
  config.Height = 1.5;
  config.CornerRadius = 2.0;
  config.FillMode = 2;
  config.Opacity = 1.5;
  config.BorderColor = 0xFF8000C0u;
  config.BorderWidth = -1.0;
  recorder->SetCameraOverlayConfig(config);
  CompositorParams p = recorder->CameraOverlayParams();
  EXPECT_FLOAT_EQ(p.x, 0.82f) << "the rectangle stays within the frame";
  EXPECT_FLOAT_EQ(p.y, 0.0f);
  EXPECT_FLOAT_EQ(p.height, 1.0f);
  EXPECT_FLOAT_EQ(p.cornerRadius, 1.0f);
  EXPECT_EQ(p.fillMode, 0) << "anything but 1 is contain";
  EXPECT_FLOAT_EQ(p.opacity, 1.0f);
  EXPECT_FLOAT_EQ(p.borderColor[0], 1.0f);
  EXPECT_FLOAT_EQ(p.borderColor[1], 128.0f / 255.0f);
  EXPECT_FLOAT_EQ(p.borderColor[2], 0.0f);
  EXPECT_FLOAT_EQ(p.borderColor[3], 192.0f / 255.0f);
  EXPECT_FLOAT_EQ(p.borderWidth, 0.0f);

  config.Opacity = std::nan("");
  config.CornerRadius = INFINITY;
  config.BorderWidth = -INFINITY;
  recorder->SetCameraOverlayConfig(config);
  recorder->SetCameraOverlayRect(0.1, std::nan(""), 0.2, 0.2);
  p = recorder->CameraOverlayParams();
  EXPECT_FLOAT_EQ(p.opacity, 1.0f);
  EXPECT_FLOAT_EQ(p.cornerRadius, 1.0f);
  EXPECT_FLOAT_EQ(p.borderWidth, 0.0f);
  EXPECT_FLOAT_EQ(p.x, 0.82f) << "a rectangle with a NaN is ignored whole";
  recorder->SetCameraOverlayRect(0.1, 0.2, 0.3, 0.4);
  EXPECT_FLOAT_EQ(recorder->CameraOverlayParams().y, 0.2f);

  config.DeviceId.clear();
  recorder->SetCameraOverlayConfig(config);
  ASSERT_TRUE(Result(recorder->StartAsync(Config())));
  EXPECT_FALSE(recorder->IsCameraOverlayActive()) << "enabled without a device is not requested";
  EXPECT_EQ(cameras->Calls(FakeCameraPoint::FindAll), 0);
}

TEST_F(NativeRecorderCameraTest, TheBubbleIsDrawnIntoTheFramesAndGoneAfterTheStop) {
  CameraOverlayConfig config = FullFrameBubble();
  config.FrameRate = 15;
  recorder->SetCameraOverlayConfig(config);
  EXPECT_FALSE(Result(recorder->PrepareCameraOverlayAsync()));
  EXPECT_TRUE(log.Contains("[NativeRecorder] PrepareCameraOverlayAsync: Not prepared\n"));

  UseScriptedClock();
  ASSERT_TRUE(Result(recorder->StartAsync(Config())));
  EXPECT_TRUE(recorder->IsCameraOverlayActive());
  EXPECT_EQ(cameras->LastFormatSet().FrameRateNumerator, 15u) << "the configured rate is asked of the camera";
  EXPECT_FLOAT_EQ(recorder->CameraOverlayParams().cameraAspect, 640.0f / 480.0f);
  EmitAt(0);
  EXPECT_FALSE(AllBubble(LastFrameRow())) << "no camera picture yet: the screen as it is";
  DeliverCamera();
  EmitAt(kSecond / 10);
  EXPECT_TRUE(AllBubble(LastFrameRow()));
  FakeCameraFrame grey;
  grey.color = 0xFF808080u;
  DeliverCamera(grey);  // the exchange goes on: each side hands the texture back
  EmitAt(kSecond / 5);
  EXPECT_FALSE(AllBubble(LastFrameRow()));
  const std::vector<uint8_t> row = LastFrameRow();
  EXPECT_TRUE(std::all_of(row.begin(), row.end(), [](uint8_t y) { return y >= 120 && y <= 132; })) << "grey everywhere";
  recorder->Stop();
  EXPECT_FALSE(recorder->IsCameraOverlayActive());
  EXPECT_EQ(cameras->OpenCaptures(), 0);
  EXPECT_EQ(events.Get(), std::vector<std::wstring>{L"stopped"}) << "the overlay raises no error";
}

TEST_F(NativeRecorderCameraTest, EachSetupFailureLeavesARecordingWithoutABubbleAndItsLine) {
  struct Case {
    const char* line;
    std::function<void()> arrange;
    bool active;  // the overlay runs regardless (a failure it survives)
  };
  const auto gpuFault = [this](FaultPoint point, int skip) {
    return [this, point, skip] { gpuFactory->Faults().Fail(point, E_FAIL, 1, skip); };
  };
  const Case cases[] = {
      {"[NativeRecorder] Camera overlay: recording camera init failed\n",
       [this] {
         gpuFactory->Faults().Fail(FaultPoint::CreateDeviceHardware, E_FAIL, 1);
         gpuFactory->Faults().Fail(FaultPoint::CreateDeviceWarp, E_FAIL, 1);
       },
       false},
      {"[NativeRecorder] Camera overlay: recording camera prepare failed\n",
       [this] { cameras->SetFault(FakeCameraPoint::FindAll, {FakeCameraFault::Kind::Platform}); }, false},
      {"[NativeRecorder] Camera overlay: OpenSharedResource on camera device failed (different adapter?)\n",
       [this] { gpuFactory->Faults().Fail(FaultPoint::CreateDeviceHardware, E_FAIL, 1); }, false},
      {"[NativeRecorder] Camera overlay: compositor init failed\n", gpuFault(FaultPoint::Compile, 0), false},
      // Textures made in order: the camera's frame, the compositor's output, then the overlay's.
      {"[NativeRecorder] Camera overlay: shared texture create failed\n", gpuFault(FaultPoint::CreateTexture, 2), false},
      {"[NativeRecorder] Camera overlay: consumer texture create failed\n", gpuFault(FaultPoint::CreateTexture, 3),
       false},
      {"[NativeRecorder] Camera overlay: preview-forward staging create failed (bubble forward disabled)\n",
       gpuFault(FaultPoint::CreateTexture, 4), true},
      {"[NativeRecorder] Camera overlay: recording camera start failed\n",
       [this] { cameras->SetFault(FakeCameraPoint::Start, {FakeCameraFault::Kind::Status}); }, false},
  };
  recorder->SetCameraOverlayConfig(FullFrameBubble());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    ASSERT_TRUE(Result(recorder->PrepareAsync(Config())));
    log.Clear();
    c.arrange();
    EXPECT_EQ(Result(recorder->PrepareCameraOverlayAsync()), c.active);
    EXPECT_TRUE(log.Contains(c.line));
    EXPECT_EQ(recorder->IsCameraOverlayActive(), c.active);
    gpuFactory->Faults().ClearAll();
    cameras->ClearFaults();
    recorder->CancelPrepared();
    EXPECT_EQ(cameras->OpenCaptures(), 0) << "torn down";
  }
  // A start whose overlay fails records without it.
  cameras->SetFault(FakeCameraPoint::FindAll, {FakeCameraFault::Kind::Platform});
  ASSERT_TRUE(Result(recorder->StartAsync(Config())));
  EmitAt(0);
  recorder->Stop();
  EXPECT_FALSE(VideoSampleTimes().empty());
  EXPECT_EQ(events.Get(), std::vector<std::wstring>{L"stopped"});

  cameras->ClearFaults();
  service->SetFault(screen::FakePoint::StartCapture, screen::FakeFault::Platform(E_FAIL, "no capture"));
  EXPECT_FALSE(Result(recorder->StartAsync(Config("failed.mp4"))));
  EXPECT_EQ(cameras->OpenCaptures(), 0) << "a start that fails leaves no camera running";
}

TEST_F(NativeRecorderCameraTest, APreparedOverlayIsRebuiltOnTheDeviceOfAPlainStart) {
  recorder->SetCameraOverlayConfig(FullFrameBubble());
  ASSERT_TRUE(Result(recorder->PrepareAsync(Config())));
  ASSERT_TRUE(Result(recorder->PrepareCameraOverlayAsync()));
  EXPECT_TRUE(Result(recorder->PrepareCameraOverlayAsync())) << "a second call shares the running overlay";
  EXPECT_EQ(cameras->Calls(FakeCameraPoint::Initialize), 1);
  // A plain start makes a new screen capture, with a device of its own.
  UseScriptedClock();
  ASSERT_TRUE(Result(recorder->StartAsync(Config("second.mp4"))));
  EXPECT_EQ(cameras->Calls(FakeCameraPoint::Initialize), 2);
  DeliverCamera();
  EmitAt(0);
  EXPECT_TRUE(AllBubble(LastFrameRow()));

  // A camera that changes size stays out of the exchange texture, and the last picture stays.
  FakeCameraFrame bigger;
  bigger.width = 1280;
  bigger.height = 720;
  DeliverCamera(bigger);
  EXPECT_EQ(log.CountPrefix("[NativeRecorder] Camera overlay: camera frame 1280x720 does not fit the 640x480"), 1);
  EmitAt(kSecond / 10);
  recorder->Stop();
  EXPECT_TRUE(AllBubble(LastFrameRow()));
}

TEST_F(NativeRecorderCameraTest, FramesKeepTheScreensTimesWhateverTheCameraTimesDo) {
  UseScriptedClock();
  recorder->SetCameraOverlayConfig(FullFrameBubble());
  auto config = Config();
  config->FrameRate(30);
  ASSERT_TRUE(Result(recorder->StartAsync(config)));
  DeliverCamera();
  for (int i = 0; i < 6; ++i) EmitAt(i * kSecond / 30);  // the camera stalls from here on
  g_clockNs = kT0 + 200'000'000;
  DeliverCamera();
  DeliverCamera();  // two camera frames at one instant
  for (int i = 6; i < 9; ++i) EmitAt(i * kSecond / 30);
  recorder->Stop();
  std::vector<int64_t> times = VideoSampleTimes();
  ASSERT_GE(times.size(), 9u);
  for (int i = 0; i < 9; ++i) EXPECT_NEAR(times[i], i * 10'000'000 / 30, 1) << i;
}

TEST_F(NativeRecorderCameraTest, OnAStillScreenTheCameraKeepsTheBubbleLive) {
  UseScriptedClock();
  recorder->SetCameraOverlayConfig(FullFrameBubble());
  auto config = Config();
  config->FrameRate(30);
  ASSERT_TRUE(Result(recorder->StartAsync(config)));
  EmitAt(0);
  DeliverCamera();  // within the first frame's slot: nothing new
  // Frames sit on the rate's grid at their nearest slot: 40 ms is still the screen frame's next
  // slot, 60 ms the one after (a slot went by without the screen), 100 ms the slot after that.
  for (int64_t atMs : {40, 60, 100, 200}) {
    g_clockNs = kT0 + atMs * 1'000'000;
    DeliverCamera();
  }
  recorder->Pause();
  g_clockNs = kT0 + 300'000'000;
  DeliverCamera();
  recorder->Resume();
  recorder->Stop();
  const std::vector<int64_t> times = VideoSampleTimes();
  ASSERT_GE(times.size(), 3u);
  EXPECT_EQ(times[0], 0);
  EXPECT_EQ(times[1], 600'000) << "a camera frame two slots after the last frame is drawn on the still screen";
  EXPECT_EQ(times[2], 2'000'000) << "100 ms is only one slot after 60 ms";
  EXPECT_TRUE(AllBubble(LastFrameRow()));
}

TEST_F(NativeRecorderCameraTest, ForwardsAtMostOneBitmapPer33MillisecondsUntilSwitchedOff) {
  UseScriptedClock();
  recorder->SetCameraOverlayConfig(FullFrameBubble());
  ASSERT_TRUE(Result(recorder->StartAsync(Config())));
  for (int i = 0; i < 12; ++i) {  // 60 frames a second for 200 ms
    g_clockNs = kT0 + int64_t(i) * kSecond / 60;
    DeliverCamera();
  }
  ASSERT_EQ(forwarded.Get().size(), 6u) << "frames 0, 2, 4, 6, 8 and 10: 33.3 ms apart";
  g_clockNs = kT0 + 10 * kSecond / 60 + 33'000'000;  // 33 ms after the last forwarded frame, exactly
  DeliverCamera();
  const auto bitmaps = forwarded.Get();
  EXPECT_EQ(bitmaps.size(), 7u);
  EXPECT_EQ(bitmaps[0]->PixelWidth(), 640);
  recorder->SetOverlayPreviewForwardEnabled(false);
  DeliverCamera();
  EXPECT_EQ(forwarded.Get().size(), bitmaps.size());
  recorder->Stop();
}

TEST_F(NativeRecorderCameraTest, AHungCameraNeitherDelaysTheFinalisedFileNorLosesIt) {
  recorder->SetCameraOverlayConfig(FullFrameBubble());
  ASSERT_TRUE(Result(recorder->StartAsync(Config())));
  EmitAt(0);
  cameras->SetDelayMs(FakeCameraPoint::Stop, 3000);
  const auto before = std::chrono::steady_clock::now();
  recorder->Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - before, 2500ms);
  EXPECT_EQ(stopped.Get().size(), 1u);
  EXPECT_TRUE(media->Writers().back()->Finalized());
  recorder.reset();  // completes the camera's stop
  EXPECT_EQ(cameras->OpenCaptures(), 0);
}

// The bubble's background effect, with a network that finds no person in a model folder of its own.
class NativeRecorderEffectTest : public NativeRecorderCameraTest {
 public:
  void SetUp() override {
    NativeRecorderCameraTest::SetUp();
    std::ofstream(root / "selfie_segmentation.onnx") << "any bytes";
    previousFolder = SetModuleFolderForTesting(root);
    platform->inference = runtime;
    runtime->compute = [](const float*, const std::vector<int64_t>&, inference::OutputTensor* out) {
      *out = {{1, 256, 256, 1}, inference::ElementType::Float, std::vector<float>(256 * 256, 0.0f)};
    };
    config.BackgroundEffect = {.Mode = 2, .ColorPreset = 1};  // grey 200
  }
  void TearDown() override {
    NativeRecorderCameraTest::TearDown();
    SetModuleFolderForTesting(previousFolder);
  }
  std::shared_ptr<inference::fake::FakeRuntime> runtime = std::make_shared<inference::fake::FakeRuntime>();
  fs::path previousFolder;
  CameraOverlayConfig config = FullFrameBubble();
};

// A white camera behind grey 200 gives luma 16 + 219 x 200 / 255 = 188; mode 0 runs as 3 (one
// frame in two). Frames go on through live switches and the stop, which takes the processor away
// under the lock its frames hold.
TEST_F(NativeRecorderEffectTest, BubbleFramesGoThroughTheProcessorUntilTheStop) {
  recorder->SetCameraOverlayConfig(config);
  UseScriptedClock();
  ASSERT_TRUE(Result(recorder->StartAsync(Config())));
  DeliverCamera();
  EmitAt(0);
  const std::vector<uint8_t> row = LastFrameRow();
  EXPECT_TRUE(!row.empty() && std::all_of(row.begin(), row.end(), [](uint8_t y) { return y >= 183 && y <= 193; }));
  DeliverCamera();
  DeliverCamera();
  EXPECT_EQ(runtime->runs, 2);
  for (int i = 0; i < 300; ++i) cameras->LastReader()->Post(White());
  recorder->UpdateCameraOverlayEffect({.Mode = 1, .BlurStrength = 2});
  recorder->UpdateCameraOverlayEffect({});
  recorder->UpdateCameraOverlayEffect({.Mode = 3, .PerformanceMode = 2});
  ASSERT_TRUE(WaitUntil([&] { return runtime->sessions >= 2 && runtime->runs >= 4; }));
  recorder->Stop();
  EXPECT_FALSE(recorder->IsCameraOverlayActive());
  EXPECT_EQ(log.Count("[NativeRecorder] OnRecordingCameraFrame exception\n"), 0);
}

// A processor that cannot be made leaves the raw bubble, and the recording goes on with it.
TEST_F(NativeRecorderEffectTest, AnEffectThatCannotStartLeavesTheRawBubble) {
  recorder->SetCameraOverlayConfig(config);
  ASSERT_TRUE(Result(recorder->PrepareAsync(Config())));
  gpuFactory->Faults().Fail(FaultPoint::CreateComputeShader, E_FAIL, 1);
  EXPECT_TRUE(Result(recorder->PrepareCameraOverlayAsync()));
  EXPECT_TRUE(log.Contains("[BackgroundEffectProcessor] Failed to compile blur horizontal shader\n"));
  EXPECT_TRUE(log.Contains("[NativeRecorder] Camera overlay: effect init failed, raw overlay only\n"));
  UseScriptedClock();
  ASSERT_TRUE(Result(recorder->StartPreparedAsync()));
  DeliverCamera();
  EmitAt(0);
  recorder->Stop();
  EXPECT_TRUE(AllBubble(LastFrameRow())) << "the white camera as it is";
  EXPECT_EQ(runtime->runs, 0);
}

}  // namespace
}  // namespace kalto::recorder_test
