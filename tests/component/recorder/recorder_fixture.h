#pragma once
// NativeRecorder on the fake desktop, capture service, media platform and audio system.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "common/steady_clock.h"
#include "encoding/encoder_cache.h"
#include "platform/audio/fake/fake_audio_system.h"
#include "platform/desktop/fake/fake_desktop.h"
#include "platform/gpu/software/software_device.h"
#include "platform/media/fake/fake_media.h"
#include "platform/screen/fake/fake_capture_service.h"
#include "recorder/native_recorder.h"
#include "support/debug_capture.h"

namespace kalto::recorder_test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using media::fake::FakeSinkWriter;
using media::fake::WriterCall;

constexpr int64_t kSecond = 1'000'000'000;  // ns
constexpr int64_t kT0 = 1000 * kSecond;     // scripted clock at the start
inline std::atomic<int64_t> g_clockNs{kT0};

inline bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 20s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

// What events delivered, in order, from any thread.
template <typename T>
struct Recorded {
  std::mutex mutex;
  std::vector<T> values;
  void Add(T v) { std::lock_guard lock(mutex); values.push_back(std::move(v)); }
  std::vector<T> Get() { std::lock_guard lock(mutex); return values; }
  std::vector<T> WaitFor(size_t count) {
    WaitUntil([&] { return Get().size() >= count; });
    return Get();
  }
};

class NativeRecorderTest : public ::testing::Test {
 public:
  void SetUp() override {
    root = fs::temp_directory_path() / ("kalto-recorder-" + std::to_string(::getpid()));
    fs::create_directories(root);
    setenv("XDG_DATA_HOME", root.c_str(), 1);  // the encoder cache's file
    EncoderCache::ResetForTesting();
    media::fake::FakeEncoderScript script;
    script.inputSubtypes = {media::MFVideoFormat_NV12};
    media->SetEncoders({script});
    previousMedia = media::SetMediaPlatform(media);
    *platform = {gpuFactory, desktop, service, audio, nullptr};
    NativeRecorder::ResetCropCallbackCountersForTesting();
    recorder = std::make_unique<NativeRecorder>(platform);
    // ErrorOccurred, Warning and Stopped in the order the application saw them.
    recorder->ErrorOccurred().Add([this](NativeRecorder&, std::wstring text) { events.Add(L"error: " + text); });
    recorder->Warning().Add([this](NativeRecorder&, std::wstring text) { events.Add(L"warning: " + text); });
    recorder->Stopped().Add([this](NativeRecorder&, std::wstring path) { stopped.Add(path), events.Add(L"stopped"); });
    recorder->Started().Add([this](NativeRecorder&, std::nullptr_t) { ++started; });
  }
  void TearDown() override {
    recorder.reset();
    SetSteadyClockSourceForTesting(nullptr);
    media::SetMediaPlatform(previousMedia);
    EncoderCache::ResetForTesting();
    fs::remove_all(root);
  }

  std::shared_ptr<RecordingConfig> Config(const std::string& name = "out.mp4", bool sound = false) {
    auto config = std::make_shared<RecordingConfig>();
    config->OutputPath((root / name).wstring());
    config->MonitorHandle(monitor);
    config->OutputWidth(0);  // the capture size: the encoder's direct path, no scaling
    config->OutputHeight(0);
    config->CaptureMicrophone(sound);
    config->CaptureSystemAudio(sound);
    return config;
  }
  static bool Result(const NativeRecorder::AsyncBool& op) {
    bool result = false;
    EXPECT_TRUE(op->WaitFor(20s) && op->GetResults(result) == S_OK);
    return result;
  }
  void UseScriptedClock() {
    g_clockNs = kT0;
    SetSteadyClockSourceForTesting([] { return g_clockNs.load(); });
  }
  // One frame arriving at kT0 + atNs on the scripted clock.
  void EmitAt(int64_t atNs) {
    g_clockNs = kT0 + atNs;
    auto pool = service->LastPool();
    ASSERT_TRUE(pool);
    pool->EmitFrames(1);
    ASSERT_TRUE(pool->WaitIdle(5000));
  }
  std::vector<int64_t> VideoSampleTimes() {
    std::vector<int64_t> times;
    for (const auto& s : media->Writers().back()->Samples()) {
      if (s.stream == 0 && s.result == S_OK) times.push_back(s.time);
    }
    return times;
  }

  fs::path root;
  std::shared_ptr<desktop::FakeDesktop> desktop = std::make_shared<desktop::FakeDesktop>();
  desktop::MonitorHandle monitor = desktop->AddMonitor({0, 0, 320, 192}, true);
  std::shared_ptr<gpu::software::SoftwareDeviceFactory> gpuFactory =
      std::make_shared<gpu::software::SoftwareDeviceFactory>();
  std::shared_ptr<screen::FakeCaptureService> service = std::make_shared<screen::FakeCaptureService>(desktop);
  std::shared_ptr<media::fake::FakeMediaPlatform> media = std::make_shared<media::fake::FakeMediaPlatform>();
  std::shared_ptr<platform::audio::FakeAudioSystem> audio = std::make_shared<platform::audio::FakeAudioSystem>();
  std::shared_ptr<media::MediaPlatform> previousMedia;
  std::shared_ptr<platform::Platform> platform = std::make_shared<platform::Platform>();
  test::DebugCapture log;
  std::unique_ptr<NativeRecorder> recorder;
  Recorded<std::wstring> stopped, events;
  std::atomic<int> started{0};
};

}  // namespace kalto::recorder_test
