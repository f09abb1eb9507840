// The recorder object on the fake platform: the C walk of its slots, and the last Release waiting
// for a handler that runs on another thread.
#include <fstream>

#include "common/known_folders.h"
#include "component/recorder/recorder_fixture.h"
#include "fake_delegate.h"
#include "platform/abi/abi_string.h"
#include "platform/abi/module_count.h"
#include "platform/camera/fake/fake_camera.h"
#include "platform/image/fake/fake_image_decoder.h"
#include "platform/inference/fake/fake_inference.h"
#include "recorder/surface/native_recorder_engine.h"
#include "recorder/surface/surface.h"
#include "recorder_slots.h"

namespace kalto::recorder_test {
namespace {

class RecorderObjectTest : public NativeRecorderTest {
 public:
  void SetUp() override {
    NativeRecorderTest::SetUp();
    audio->AddEndpoint(platform::audio::eCapture, L"mic", platform::audio::MakeExtensibleFormat(48000, 1, 16, false, 4), L"Mic");
    audio->SetDefault(platform::audio::eCapture, L"mic");
    cameras->AddCamera({.id = L"/dev/video0", .name = L"Webcam", .supported = {}});
    *platform = {gpuFactory, desktop, service, audio, cameras, runtime, std::make_shared<image::FakeImageDecoder>()};
    fs::create_directories(root / "Assets/models");
    std::ofstream(root / "Assets/models/selfie_segmentation.onnx") << "any bytes";
    previousFolder = SetModuleFolderForTesting(root);
    runtime->compute = [](const float*, const std::vector<int64_t>&, inference::OutputTensor* out) {
      *out = {{1, 256, 256, 1}, inference::ElementType::Float, std::vector<float>(256 * 256, 0.0f)};
    };
    engine = std::make_shared<NativeRecorder>(platform);
    ASSERT_EQ(S_OK, surface::WrapNativeRecorder(engine, object.Put()));
    auto settings = Config("walk.mp4", true);
    settings->CaptureSystemAudio(false);
    ASSERT_EQ(S_OK, surface::MakeRecordingConfigObject(settings, config.Put()));
  }
  void TearDown() override {
    object.Reset(), config.Reset(), engine.reset();
    EXPECT_EQ(0, abi::ModuleObjectCount());
    SetModuleFolderForTesting(previousFolder);
    NativeRecorderTest::TearDown();
  }

  static void Read(void* context, KaltoTestEngine* s) {
    auto& t = *static_cast<RecorderObjectTest*>(context);
    NativeRecorder& e = *surface::EngineOf(t.object.Get());
    const bool flags[7] = {e.IsPrepared(), e.IsRecording(), e.IsPaused(), e.IsCursorFocusActive(),
                           e.IsMLModelAvailable(), e.IsCameraOverlayActive(), e.IsCameraPreviewActive()};
    std::copy(std::begin(flags), std::end(flags), s->flags);
    s->microphoneVolume = e.AudioVolumes().microphone, s->systemVolume = e.AudioVolumes().system;
    s->seconds = e.DurationSeconds();
    const CompositorParams p = e.CameraOverlayParams();
    std::copy_n(std::begin({p.x, p.y, p.width, p.height, p.opacity}), 5, s->overlay);
    s->previewInterval = e.GetPreviewEffectState().interval;
    s->tinyCrops = t.log.CountPrefix("[ScreenCapture] Crop region too small after clamping: 4x4,");
    KaltoDeleteString(s->path);
    s->path = abi::MakeAbiString(e.OutputPath()).release();
  }
  static void Deliver(void* context) { static_cast<RecorderObjectTest*>(context)->cameras->LastReader()->Deliver({}); }

  std::shared_ptr<camera::FakeCameraSystem> cameras = std::make_shared<camera::FakeCameraSystem>();
  std::shared_ptr<inference::fake::FakeRuntime> runtime = std::make_shared<inference::fake::FakeRuntime>();
  fs::path previousFolder;
  std::shared_ptr<NativeRecorder> engine;
  abi::ComPtr<KaltoINativeRecorder> object;
  abi::ComPtr<KaltoIRecordingConfig> config;
};

TEST_F(RecorderObjectTest, EverySlotInOrderAgreesWithTheEngineAndEveryHandlerIsReleased) {
  KaltoTestEngine probe{this, &Read, &Deliver, {}, 0, 0, 0, {}, 0, 0, nullptr};
  auto camera = abi::MakeAbiString(std::wstring(L"/dev/video0"));
  EXPECT_EQ(0, KaltoTestWalkRecorder(object.Get(), config.Get(), camera.get(), &probe)) << "the slot that failed";
  KaltoDeleteString(probe.path);
  object.Reset();
  EXPECT_EQ(0, KaltoTestHandlersHeld()) << "ReservedEvent's handler goes with the recorder";
  EXPECT_EQ(0u, engine->Stopped().HandlerCount() + engine->ProgressChanged().HandlerCount());
}

TEST_F(RecorderObjectTest, TheLastReleaseWaitsForAHandlerRunningOnAnotherThread) {
  std::atomic<bool> entered{false}, releasing{false}, finished{false};
  test::FakeDelegate<KaltoITypedEventHandlerNativeRecorderBoolean, KaltoINativeRecorder*, KaltoBoolean> handler{
      KALTO_IID_ITypedEventHandlerNativeRecorderBoolean, [&](KaltoINativeRecorder* sender, KaltoBoolean) {
        entered = true;
        WaitUntil([&] { return releasing.load(); });
        std::this_thread::sleep_for(50ms);  // the Release has begun and must not end before this handler
        sender->lpVtbl->AddRef(sender);
        sender->lpVtbl->Release(sender);
        finished = true;
        return KALTO_S_OK;
      }};
  KaltoEventRegistrationToken token{};
  ASSERT_EQ(S_OK, object->lpVtbl->add_CursorFocusChanged(object.Get(), handler.Get(), &token));
  std::thread raiser([&] { engine->CursorFocusChanged().Raise(*engine, true); });
  EXPECT_TRUE(WaitUntil([&] { return entered.load(); }));
  releasing = true;
  object.Reset();
  EXPECT_TRUE(finished);
  raiser.join();
  EXPECT_EQ(1u, handler.refs);
  engine->CursorFocusChanged().Raise(*engine, false);  // removed with the object: nothing is called
}

}  // namespace
}  // namespace kalto::recorder_test
