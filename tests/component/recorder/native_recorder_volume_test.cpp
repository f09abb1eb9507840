// The live volume setters: non-finite values leave the volume alone, and a Stop that destroys the
// audio capture may run beside them.
#include <cmath>
#include <limits>

#include "recorder_fixture.h"

namespace kalto::recorder_test {
namespace {

namespace pa = platform::audio;

class NativeRecorderVolumeTest : public NativeRecorderTest {
 public:
  void SetUp() override {
    NativeRecorderTest::SetUp();
    audio->AddEndpoint(pa::eRender, L"speakers", pa::MakeExtensibleFormat(48000, 2, 32, true, 3), L"Speakers");
    audio->SetDefault(pa::eRender, L"speakers");
    audio->AddEndpoint(pa::eCapture, L"mic", pa::MakeExtensibleFormat(48000, 1, 16, false, 4), L"Microphone");
    audio->SetDefault(pa::eCapture, L"mic");
  }
};

struct VolumeCase {
  const char* name;
  double value;
  bool microphone;
};
class NonFiniteVolume : public NativeRecorderVolumeTest, public testing::WithParamInterface<VolumeCase> {};

TEST_P(NonFiniteVolume, LeavesTheLiveVolumeAsItWas) {
  ASSERT_TRUE(Result(recorder->StartAsync(Config("volume.mp4", true))));
  recorder->SetMicrophoneVolume(0.5);
  recorder->SetSystemAudioVolume(1.5);
  auto set = GetParam().microphone ? &NativeRecorder::SetMicrophoneVolume : &NativeRecorder::SetSystemAudioVolume;
  (recorder.get()->*set)(GetParam().value);
  EXPECT_EQ(std::pair(0.5, 1.5), std::pair(recorder->AudioVolumes().microphone, recorder->AudioVolumes().system));
  recorder->SetMicrophoneVolume(-0.1);
  recorder->SetSystemAudioVolume(3.0);
  EXPECT_EQ(std::pair(0.0, 2.0), std::pair(recorder->AudioVolumes().microphone, recorder->AudioVolumes().system));
  recorder->Stop();
}

constexpr double kInf = std::numeric_limits<double>::infinity();
INSTANTIATE_TEST_SUITE_P(Values, NonFiniteVolume,
                         testing::Values(VolumeCase{"MicNaN", std::nan(""), true},
                                         VolumeCase{"MicInfinity", kInf, true},
                                         VolumeCase{"MicMinusInfinity", -kInf, true},
                                         VolumeCase{"SystemNaN", std::nan(""), false},
                                         VolumeCase{"SystemInfinity", kInf, false},
                                         VolumeCase{"SystemMinusInfinity", -kInf, false}),
                         [](const auto& info) { return info.param.name; });

TEST_F(NativeRecorderVolumeTest, SettersRunningBesideAStopNeverReachADestroyedCapture) {
  for (int round = 0; round < 3; ++round) {
    ASSERT_TRUE(Result(recorder->StartAsync(Config("race.mp4", true))));
    std::atomic<bool> stopped{false};
    std::thread setter([&] {
      for (int i = 0; !stopped; ++i) {
        recorder->SetMicrophoneVolume(i % 3 * 0.5);
        recorder->SetSystemAudioVolume(i % 5 * 0.5);
        std::this_thread::yield();
      }
    });
    recorder->Stop();
    stopped = true;
    setter.join();
    EXPECT_FALSE(recorder->AudioVolumes().present);
  }
}

}  // namespace
}  // namespace kalto::recorder_test
