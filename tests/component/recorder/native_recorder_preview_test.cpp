// The stand-alone camera preview on the scripted camera system: one open for a double start, the
// bitmaps, their size and effect following the camera and the settings, a stop that cancels a
// start still opening, handlers that use the preview, and the model check made once.
#include <fstream>

#include "common/known_folders.h"
#include "platform/camera/fake/fake_camera.h"
#include "platform/image/fake/fake_image_decoder.h"
#include "platform/inference/fake/fake_inference.h"
#include "recorder_fixture.h"

namespace kalto::recorder_test {
namespace {

using camera::FakeCameraFrame;
using camera::FakeCameraPoint;

class NativeRecorderPreviewTest : public NativeRecorderTest {
 public:
  void SetUp() override {
    NativeRecorderTest::SetUp();
    camera::FakeCameraInfo info;
    info.id = L"/dev/video0";
    info.name = L"Webcam";
    info.current = {640, 480, "YUY2", 15, 1};
    info.supported = {info.current, {640, 480, "YUY2", 30, 1}};
    cameras->AddCamera(info);
    platform->camera = cameras;
    platform->inference = runtime;
    platform->image = std::make_shared<image::FakeImageDecoder>();
    fs::create_directories(root / "Assets/models");
    std::ofstream(root / "Assets/models/selfie_segmentation.onnx") << "any bytes";
    previousFolder = SetModuleFolderForTesting(root);
    // A mask of 0: an effect shows only its background.
    runtime->compute = [](const float*, const std::vector<int64_t>&, inference::OutputTensor* out) {
      *out = {{1, 256, 256, 1}, inference::ElementType::Float, std::vector<float>(256 * 256, 0.0f)};
    };
    recorder->PreviewFrameArrived().Add(
        [this](NativeRecorder&, std::shared_ptr<camera::SoftwareBitmap> bitmap) { bitmaps.Add(bitmap); });
  }
  void TearDown() override {
    recorder->StopCameraPreview();
    SetModuleFolderForTesting(previousFolder);
    NativeRecorderTest::TearDown();
  }
  void Deliver(int32_t width = 640, int32_t height = 480, uint32_t color = 0xFF336699) {
    FakeCameraFrame frame;
    frame.width = width;
    frame.height = height;
    frame.color = color;
    cameras->LastReader()->Deliver(frame);
  }
  // The first pixel of a bitmap as B, G, R, A.
  static uint32_t FirstPixel(const std::shared_ptr<camera::SoftwareBitmap>& bitmap) {
    auto buffer = bitmap->LockBuffer(camera::BitmapBufferAccessMode::Read);
    uint32_t p;
    std::memcpy(&p, buffer->Data() + buffer->GetPlaneDescription(0).StartIndex, 4);
    return p;
  }

  std::shared_ptr<camera::FakeCameraSystem> cameras = std::make_shared<camera::FakeCameraSystem>();
  std::shared_ptr<inference::fake::FakeRuntime> runtime = std::make_shared<inference::fake::FakeRuntime>();
  Recorded<std::shared_ptr<camera::SoftwareBitmap>> bitmaps;
  fs::path previousFolder;
};

TEST_F(NativeRecorderPreviewTest, ADoubleStartOpensOnceAtThirtyAndTheBitmapsFollowSizeAndEffect) {
  auto first = recorder->StartCameraPreviewAsync(L"/dev/video0", 640, 480, 0, {});
  auto second = recorder->StartCameraPreviewAsync(L"/dev/video0", 640, 480, 0, {});
  ASSERT_TRUE(Result(first));
  ASSERT_TRUE(Result(second));
  EXPECT_TRUE(Result(recorder->StartCameraPreviewAsync(L"/dev/video0", 640, 480, 0, {})));
  EXPECT_EQ(cameras->Calls(FakeCameraPoint::Initialize), 1);
  EXPECT_EQ(cameras->LastFormatSet().FrameRateNumerator, 30u) << "frame rate 0 opens at 30";
  ASSERT_TRUE(recorder->IsCameraPreviewActive());

  Deliver();
  Deliver(320, 240);
  auto got = bitmaps.WaitFor(2);
  EXPECT_EQ(got[0]->PixelWidth(), 640);
  EXPECT_EQ(got[1]->PixelWidth(), 320);
  EXPECT_EQ(got[1]->PixelHeight(), 240);
  EXPECT_EQ(FirstPixel(got[1]), 0xFF336699u);

  recorder->UpdatePreviewBackgroundEffect({.Mode = 2, .ColorPreset = 2});  // navy 23, 42, 69
  Deliver(320, 240);
  got = bitmaps.WaitFor(3);
  EXPECT_EQ(FirstPixel(got[2]), 0xFF172A45u);
  recorder->UpdatePreviewBackgroundEffect({.Mode = 0});
  Deliver(320, 240);
  EXPECT_EQ(FirstPixel(bitmaps.WaitFor(4)[3]), 0xFF336699u) << "no effect: the camera's own picture";

  recorder->StopCameraPreview();
  EXPECT_FALSE(recorder->IsCameraPreviewActive());
  EXPECT_EQ(cameras->Calls(FakeCameraPoint::Stop), 1);
}

TEST_F(NativeRecorderPreviewTest, BadSizesAreRefusedAndAStopCancelsAStartStillOpening) {
  for (const auto& [w, h] : {std::pair{0, 480}, {640, -1}, {-640, -480}, {9000, 480}}) {
    EXPECT_FALSE(Result(recorder->StartCameraPreviewAsync(L"/dev/video0", w, h, 30, {}))) << w << "x" << h;
  }
  EXPECT_EQ(cameras->Calls(FakeCameraPoint::Initialize), 0);
  cameras->SetDelayMs(FakeCameraPoint::Start, 300);
  auto start = recorder->StartCameraPreviewAsync(L"/dev/video0", 640, 480, 30, {});
  WaitUntil([&] { return cameras->Calls(FakeCameraPoint::Start) > 0; });
  recorder->StopCameraPreview();
  EXPECT_FALSE(Result(start));
  EXPECT_TRUE(log.Contains("[NativeRecorder] Camera preview stopped while it opened\n"));
  EXPECT_FALSE(recorder->IsCameraPreviewActive());
  EXPECT_EQ(cameras->Calls(FakeCameraPoint::Stop), 1) << "the camera it opened is stopped";
}

// Handlers run outside the preview's lock: one that changes the effect and asks for the model
// does not hang the camera. (Stopping the preview from a handler is still not allowed.)
TEST_F(NativeRecorderPreviewTest, HandlersMayUseThePreviewAndTheModelCheckRunsOnce) {
  EXPECT_TRUE(recorder->IsMLModelAvailable());
  EXPECT_TRUE(recorder->IsMLModelAvailable());
  EXPECT_EQ(runtime->sessions, 1) << "checked once";
  std::atomic<int> calls{0};
  recorder->PreviewFrameArrived().Add([&](NativeRecorder& r, std::shared_ptr<camera::SoftwareBitmap>) {
    r.UpdatePreviewBackgroundEffect({.Mode = ++calls % 2 == 1 ? 1 : 0});
    r.IsMLModelAvailable();
  });
  ASSERT_TRUE(Result(recorder->StartCameraPreviewAsync(L"/dev/video0", 640, 480, 30, {})));
  for (int i = 0; i < 4; ++i) Deliver();
  EXPECT_EQ(bitmaps.WaitFor(4).size(), 4u);
  EXPECT_EQ(calls, 4);

  runtime->failSession = "bad model";
  NativeRecorder other(platform);
  log.Clear();
  EXPECT_FALSE(other.IsMLModelAvailable());
  EXPECT_FALSE(other.IsMLModelAvailable());
  EXPECT_EQ(log.Count("[SegmentationModel] ONNX model not available - ML effects disabled\n"), 2)
      << "once from the model, once from the check, and the check once";
}

// The preview and a recording's bubble share the camera; stopping either leaves the other running.
TEST_F(NativeRecorderPreviewTest, ThePreviewAndARecordingBubbleRunSideBySide) {
  ASSERT_TRUE(Result(recorder->StartCameraPreviewAsync(L"/dev/video0", 640, 480, 30, {})));
  const auto previewReader = cameras->LastReader();
  CameraOverlayConfig bubble;
  bubble.Enabled = true;
  bubble.DeviceId = L"/dev/video0";
  recorder->SetCameraOverlayConfig(bubble);
  ASSERT_TRUE(Result(recorder->StartAsync(Config())));
  ASSERT_TRUE(recorder->IsCameraOverlayActive());
  ASSERT_NE(cameras->LastReader(), previewReader);
  recorder->Stop();
  EXPECT_TRUE(recorder->IsCameraPreviewActive());
  const size_t before = bitmaps.Get().size();
  previewReader->Deliver(FakeCameraFrame{});
  EXPECT_EQ(bitmaps.WaitFor(before + 1).size(), before + 1);

  ASSERT_TRUE(Result(recorder->StartAsync(Config("again.mp4"))));
  recorder->StopCameraPreview();
  EXPECT_TRUE(recorder->IsCameraOverlayActive());
  recorder->Stop();
}

// A hardware encoder counts only when it takes device surfaces (the backend says so only where
// its device opens); software encoders never do.
TEST_F(NativeRecorderPreviewTest, AHardwareEncoderIsOneThatTakesDeviceSurfaces) {
  media::fake::FakeEncoderScript software, listedOnly, withDevice;
  listedOnly.hardware = withDevice.hardware = true;
  withDevice.d3d11Aware = true;
  software.d3d11Aware = true;  // not enumerated as hardware at all
  for (const auto& [scripts, want] : {std::pair{std::vector{software}, false}, {std::vector{software, listedOnly}, false},
                                      {std::vector{software, listedOnly, withDevice}, true}}) {
    media->SetEncoders(scripts);
    EXPECT_EQ(NativeRecorder::IsHardwareEncoderAvailable(), want) << scripts.size() << " encoders";
  }
}

// The staging texture is the last texture a start makes: when it fails, the preview still starts
// and the first frame makes it.
TEST_F(NativeRecorderPreviewTest, AStagingTextureThatFailedAtStartIsMadeByTheFirstFrame) {
  using gpu::software::FaultPoint;
  auto& faults = gpuFactory->Faults();
  const int before = faults.Calls(FaultPoint::CreateTexture);
  ASSERT_TRUE(Result(recorder->StartCameraPreviewAsync(L"/dev/video0", 640, 480, 30, {})));
  const int made = faults.Calls(FaultPoint::CreateTexture) - before;
  recorder->StopCameraPreview();
  faults.Fail(FaultPoint::CreateTexture, E_OUTOFMEMORY, 1, made - 1);
  ASSERT_TRUE(Result(recorder->StartCameraPreviewAsync(L"/dev/video0", 640, 480, 30, {})));
  EXPECT_TRUE(log.Contains("[NativeRecorder] Failed to create preview staging texture: 0x8007000E\n"));
  Deliver();
  const auto got = bitmaps.WaitFor(1);
  ASSERT_EQ(got.size(), 1u) << "no frame without a staging texture";
  EXPECT_EQ(FirstPixel(got[0]), 0xFF336699u);
}

// The media library starts once per call and a failed start is logged but still leaves the
// encoder pre-warmed; a pre-warm that finds no encoder says so and answers on the next recording.
TEST_F(NativeRecorderPreviewTest, StartingTheMediaLibraryPreWarmsTheEncoderEvenWhenTheStartFails) {
  const std::string failed = "[NativeRecorder] Media Foundation init failed (will retry later)\n";
  const std::string noEncoder = "[Encoder] Pre-warm failed - will retry on first recording\n";
  media->SetStartupResult(E_FAIL);
  media->SetEncoders({});
  NativeRecorder::InitializeMediaFoundation();
  EXPECT_EQ(media->StartupCount(), 1);
  const std::vector<std::string> lines{failed, "[Encoder] No H.264 encoders found!\n", noEncoder};
  EXPECT_EQ(log.Lines(), lines) << "pre-warmed after the failed start";
  NativeRecorder::PreWarmEncoder();
  EXPECT_EQ(log.Count(noEncoder), 2) << "nothing cached from a failure";

  media::fake::FakeEncoderScript script;
  script.inputSubtypes = {media::MFVideoFormat_NV12};
  media->SetEncoders({script});
  media->SetStartupResult(S_OK);
  NativeRecorder::InitializeMediaFoundation();
  EXPECT_EQ(media->StartupCount(), 2);
  EXPECT_EQ(log.Lines().size(), 5u) << "started and pre-warmed without a word";
  EXPECT_FALSE(EncoderCache::EncoderName().empty());
  EXPECT_EQ(media->StartupCount(), 2) << "the pre-warm alone does not start the library";
}

}  // namespace
}  // namespace kalto::recorder_test
