// INativeRecorderHost through its table: one object with the recorder, its Warning event, its
// readings against the engine, file cameras in the library's own camera system.
#include "component/recorder/recorder_fixture.h"
#include "fake_delegate.h"
#include "platform/abi/abi_string.h"
#include "platform/abi/module_count.h"
#include "platform/camera/fake/fake_camera.h"
#include "recorder/surface/native_recorder_engine.h"
#include "recorder/surface/surface.h"

namespace kalto::recorder_test {
namespace {

using Handler = test::FakeDelegate<KaltoITypedEventHandlerNativeRecorderString, KaltoINativeRecorder*, KaltoHString>;

class HostExtensionTest : public NativeRecorderTest {
 public:
  void SetUp() override {
    NativeRecorderTest::SetUp();
    platform->camera = std::make_shared<camera::FakeCameraSystem>();
    surface::SetRecorderPlatformForTesting(platform);
    ASSERT_EQ(S_OK, surface::WrapNativeRecorder(engine = std::make_shared<NativeRecorder>(platform), object.Put()));
    host = object.As<KaltoINativeRecorderHost>(KALTO_IID_INativeRecorderHost);
    ASSERT_TRUE(host);
  }
  void TearDown() override {
    host.Reset(), object.Reset(), engine.reset();
    surface::SetRecorderPlatformForTesting(nullptr);
    EXPECT_EQ(0, abi::ModuleObjectCount());
    NativeRecorderTest::TearDown();
  }
  const KaltoINativeRecorderHostVtbl& H() { return *host->lpVtbl; }

  std::shared_ptr<NativeRecorder> engine;
  abi::ComPtr<KaltoINativeRecorder> object;
  abi::ComPtr<KaltoINativeRecorderHost> host;
};

TEST_F(HostExtensionTest, IsTheRecorderObjectAndKeepsItAlone) {
  auto viaHost = host.As<KaltoIUnknown>(KALTO_IID_IUnknown);
  EXPECT_EQ(object.As<KaltoIUnknown>(KALTO_IID_IUnknown).Get(), viaHost.Get());
  EXPECT_EQ(object.Get(), host.As<KaltoINativeRecorder>(KALTO_IID_INativeRecorder).Get());
  uint32_t count = 0;
  KaltoGuid* iids = nullptr;
  ASSERT_EQ(S_OK, H().GetIids(host.Get(), &count, &iids));
  ASSERT_EQ(2u, count);
  EXPECT_TRUE(abi::SameGuid(KALTO_IID_INativeRecorderHost, iids[1]));
  free(iids);
  viaHost.Reset(), object.Reset();
  int64_t frames = -1;
  EXPECT_EQ(S_OK, H().get_FramesWritten(host.Get(), &frames));  // still whole: the host holds it
  EXPECT_EQ(0, frames);
}

TEST_F(HostExtensionTest, WarningReachesTheHandlerUntilItsTokenIsRemovedOrTheRecorderGoes) {
  std::vector<std::pair<KaltoINativeRecorder*, std::wstring>> seen;
  Handler handler{KALTO_IID_ITypedEventHandlerNativeRecorderString, [&](KaltoINativeRecorder* sender, KaltoHString text) {
                    seen.emplace_back(sender, abi::WideFromAbi(text));
                    return KALTO_S_OK;
                  }};
  KaltoEventRegistrationToken token{}, kept{};
  ASSERT_EQ(S_OK, H().add_Warning(host.Get(), handler.Get(), &token));
  ASSERT_EQ(S_OK, H().add_Warning(host.Get(), handler.Get(), &kept));
  engine->Warning().Raise(*engine, L"Microphone lost");
  ASSERT_EQ(S_OK, H().remove_Warning(host.Get(), token));
  engine->Warning().Raise(*engine, L"Microphone is back");
  const decltype(seen) expected{{object.Get(), L"Microphone lost"}, {object.Get(), L"Microphone lost"},
                                {object.Get(), L"Microphone is back"}};
  EXPECT_EQ(expected, seen);
  EXPECT_EQ(E_INVALIDARG, H().add_Warning(host.Get(), nullptr, &token));
  host.Reset(), object.Reset();
  EXPECT_EQ(1u, handler.refs) << "the kept handler goes with the recorder";
  EXPECT_EQ(0u, engine->Warning().HandlerCount());
}

TEST_F(HostExtensionTest, ReadingsFollowTheEngine) {
  EXPECT_EQ(S_OK, H().UpdateCameraOverlayEffect(host.Get(), {2, 1, 4, 0, 0, 3}));  // no bubble: stored only
  KaltoAudioLevels levels{1, 1, 1};
  ASSERT_EQ(S_OK, H().GetAudioLevels(host.Get(), &levels));
  EXPECT_EQ(0, levels.Active);
  abi::ComPtr<KaltoIRecordingProgress> progress;
  ASSERT_EQ(S_OK, H().GetCurrentProgress(host.Get(), progress.Put()));
  double seconds = -1;
  ASSERT_EQ(S_OK, progress->lpVtbl->get_DurationSeconds(progress.Get(), &seconds));
  EXPECT_EQ(0.0, seconds);
  KaltoPreviewEffectState state{-1, -1};
  ASSERT_EQ(S_OK, H().GetPreviewEffectState(host.Get(), &state));
  EXPECT_EQ(0, state.Interval);
  EXPECT_EQ(0, state.Tier);
}

TEST_F(HostExtensionTest, NullOutPointersAreRefused) {
  EXPECT_EQ(E_POINTER, H().GetAudioLevels(host.Get(), nullptr));
  EXPECT_EQ(E_POINTER, H().GetCurrentProgress(host.Get(), nullptr));
  EXPECT_EQ(E_POINTER, H().get_FramesWritten(host.Get(), nullptr));
  EXPECT_EQ(E_POINTER, H().GetPreviewEffectState(host.Get(), nullptr));
  EXPECT_EQ(E_POINTER, H().AddFileCamera(host.Get(), nullptr, nullptr));
  EXPECT_EQ(E_POINTER, H().add_Warning(host.Get(), nullptr, nullptr));
}

struct FileCameraCase {
  const wchar_t* id;
  KaltoBoolean added;
};
class FileCameraTest : public HostExtensionTest, public ::testing::WithParamInterface<FileCameraCase> {};

TEST_P(FileCameraTest, OnlyFileIdsAreAdded) {
  auto id = abi::MakeAbiString(std::wstring(GetParam().id));
  KaltoBoolean added = 7;
  ASSERT_EQ(S_OK, H().AddFileCamera(host.Get(), id.get(), &added));
  EXPECT_EQ(GetParam().added, added);
}
INSTANTIATE_TEST_SUITE_P(Ids, FileCameraTest,
                         ::testing::Values(FileCameraCase{L"file:/tmp/clip.mp4", 1}, FileCameraCase{L"/dev/video0", 0},
                                           FileCameraCase{L"", 0}, FileCameraCase{L"File:/tmp/clip.mp4", 0}));

TEST_F(HostExtensionTest, DiagnosticOutputCanBeSilenced) {
  ::testing::internal::CaptureStderr();
  ASSERT_EQ(S_OK, H().SetDiagnosticOutput(host.Get(), 0));
  DebugLog<32>(L"[Test] dropped\n");
  ASSERT_EQ(S_OK, H().SetDiagnosticOutput(host.Get(), 1));
  DebugLog<32>(L"[Test] written\n");
  EXPECT_EQ("[Test] written\n", ::testing::internal::GetCapturedStderr());
}

}  // namespace
}  // namespace kalto::recorder_test
