// The recorder object on the fake platform: the C walk of its slots, and the last Release waiting
// for a handler that runs on another thread.
#include <fstream>

#include "component/recorder/recorder_fixture.h"
#include "fake_delegate.h"
#include "platform/abi/abi_string.h"
#include "platform/abi/module_count.h"
#include "common/known_folders.h"
#include "config_slots.h"
#include "platform/camera/fake/fake_camera.h"
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
    platform->camera = cameras;
    ASSERT_EQ(S_OK, surface::WrapNativeRecorder(engine = std::make_shared<NativeRecorder>(platform), object.Put()));
    auto settings = Config("walk.mp4", true);
    settings->CaptureSystemAudio(false);
    ASSERT_EQ(S_OK, surface::MakeRecordingConfigObject(settings, config.Put()));
  }
  void TearDown() override {
    object.Reset(), config.Reset(), engine.reset();
    EXPECT_EQ(0, abi::ModuleObjectCount());
    NativeRecorderTest::TearDown();
  }
  static void Read(KaltoTestEngine* s) {
    auto& t = *static_cast<RecorderObjectTest*>(s->context);
    NativeRecorder& e = *surface::EngineOf(t.object.Get());
    const CompositorParams p = e.CameraOverlayParams();
    std::ranges::copy(std::initializer_list<bool>{e.IsPrepared(), e.IsRecording(), e.IsPaused(), e.IsCursorFocusActive(),
                                                  e.IsMLModelAvailable(), e.IsCameraOverlayActive(), e.IsCameraPreviewActive()},
                      s->flags);
    std::ranges::copy(std::initializer_list<double>{p.x, p.y, p.width, p.height, p.opacity}, s->overlay);
    s->microphoneVolume = e.AudioVolumes().microphone, s->systemVolume = e.AudioVolumes().system;
    s->seconds = e.DurationSeconds(), s->previewInterval = e.GetPreviewEffectState().interval;
    s->tinyCrops = t.log.CountPrefix("[ScreenCapture] Crop region too small after clamping: 4x4,");
    KaltoDeleteString(s->path);
    s->path = abi::MakeAbiString(e.OutputPath()).release();
  }
  static void Deliver(KaltoTestEngine* s) { static_cast<RecorderObjectTest*>(s->context)->cameras->LastReader()->Deliver({}); }

  std::shared_ptr<camera::FakeCameraSystem> cameras = std::make_shared<camera::FakeCameraSystem>();
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
}

TEST_F(RecorderObjectTest, TheLastReleaseWaitsForAHandlerRunningOnAnotherThread) {
  std::atomic<int> step{0};  // 1: the handler runs, 2: the last Release has begun, 3: the handler is done
  test::FakeDelegate<KaltoITypedEventHandlerNativeRecorderBoolean, KaltoINativeRecorder*, KaltoBoolean> handler{
      KALTO_IID_ITypedEventHandlerNativeRecorderBoolean, [&](KaltoINativeRecorder* sender, KaltoBoolean) {
        step = 1;
        WaitUntil([&] { return step == 2; });
        std::this_thread::sleep_for(50ms);  // time for a Release that does not wait to end
        sender->lpVtbl->AddRef(sender), sender->lpVtbl->Release(sender);
        return step = 3, KALTO_S_OK;
      }};
  KaltoEventRegistrationToken token{};
  ASSERT_EQ(S_OK, object->lpVtbl->add_CursorFocusChanged(object.Get(), handler.Get(), &token));
  std::thread raiser([&] { engine->CursorFocusChanged().Raise(*engine, true); });
  EXPECT_TRUE(WaitUntil([&] { return step == 1; }));
  step = 2;
  object.Reset();
  EXPECT_EQ(3, step);
  raiser.join();
  EXPECT_EQ(1u, handler.refs);
  EXPECT_EQ(0u, engine->CursorFocusChanged().HandlerCount());
}

// A progress an application keeps from ProgressChanged keeps the module loaded after everything
// else has gone; its last Release lets it go.
TEST_F(RecorderObjectTest, AProgressKeptFromTheEventKeepsTheModuleUntilReleased) {
  abi::ComPtr<KaltoIRecordingProgress> kept;
  test::FakeDelegate<KaltoITypedEventHandlerNativeRecorderRecordingProgress, KaltoINativeRecorder*,
                     KaltoIRecordingProgress*>
      handler{KALTO_IID_ITypedEventHandlerNativeRecorderRecordingProgress,
              [&](KaltoINativeRecorder*, KaltoIRecordingProgress* progress) {
                kept = abi::ComPtr<KaltoIRecordingProgress>::Borrow(progress);
                return KALTO_S_OK;
              }};
  KaltoEventRegistrationToken token{};
  ASSERT_EQ(S_OK, object->lpVtbl->add_ProgressChanged(object.Get(), handler.Get(), &token));
  engine->ProgressChanged().Raise(*engine, RecordingProgress::FromDuration(2.5, 75, 3));
  ASSERT_TRUE(kept);
  double seconds = 0;
  int32_t dropped = 0;
  EXPECT_EQ(S_OK, kept->lpVtbl->get_DurationSeconds(kept.Get(), &seconds));
  EXPECT_EQ(S_OK, kept->lpVtbl->get_DroppedFrames(kept.Get(), &dropped));
  EXPECT_EQ(std::pair(2.5, 3), std::pair(seconds, dropped));
  object.Reset(), config.Reset();
  EXPECT_EQ(S_FALSE, DllCanUnloadNow());
  kept.Reset();
  EXPECT_EQ(S_OK, DllCanUnloadNow());
}

// The statics by slot position on the fakes: each changes what it should and nothing else.
TEST_F(RecorderObjectTest, TheStaticsSlotsInOrder) {
  auto runtime = std::make_shared<inference::fake::FakeRuntime>();
  platform->inference = runtime;
  fs::create_directories(root / "Assets/models");
  std::ofstream(root / "Assets/models/selfie_segmentation.onnx") << "any bytes";
  const fs::path folder = SetModuleFolderForTesting(root);
  surface::SetRecorderPlatformForTesting(platform);
  abi::ComPtr<KaltoIActivationFactory> factory;
  ASSERT_EQ(S_OK, DllGetActivationFactory(abi::MakeAbiString(std::wstring(L"Kalto.Native.NativeRecorder")).get(),
                                          factory.Put()));
  auto statics = factory.As<KaltoINativeRecorderStatics>(KALTO_IID_INativeRecorderStatics);
  ASSERT_TRUE(statics);
  struct Probe {
    media::fake::FakeMediaPlatform* media;
    inference::fake::FakeRuntime* runtime;
  } probe{media.get(), runtime.get()};
  const auto read = [](void* context, KaltoTestStaticsState* state) {
    auto& p = *static_cast<Probe*>(context);
    *state = {p.media->StartupCount(), !EncoderCache::EncoderName().empty(), p.runtime->sessions.load(),
              KaltoBoolean(NativeRecorder::IsHardwareEncoderAvailable())};
  };
  EXPECT_EQ(0, KaltoTestWalkStatics(statics.Get(), read, &probe)) << "the slot that failed";
  surface::SetRecorderPlatformForTesting(nullptr);
  SetModuleFolderForTesting(folder);
}

}  // namespace
}  // namespace kalto::recorder_test
