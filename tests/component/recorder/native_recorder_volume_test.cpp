// The live volume setters: non-finite values leave the volumes alone, and a Stop that destroys the
// audio capture may run beside them.
#include <cmath>

#include "recorder_fixture.h"

namespace kalto::recorder_test {
namespace {

TEST_F(NativeRecorderTest, VolumeSettersIgnoreNonFiniteValuesAndRunBesideAStop) {
  audio->AddEndpoint(platform::audio::eCapture, L"mic", platform::audio::MakeExtensibleFormat(48000, 1, 16, false, 4), L"Mic");
  audio->SetDefault(platform::audio::eCapture, L"mic");
  auto config = Config("volume.mp4", true);
  config->CaptureSystemAudio(false);
  for (int round = 0; round < 3; ++round) {
    ASSERT_TRUE(Result(recorder->StartAsync(config)));
    for (double bad : {NAN, INFINITY, -INFINITY}) recorder->SetMicrophoneVolume(bad), recorder->SetSystemAudioVolume(bad);
    EXPECT_EQ(std::pair(1.0, 0.5), std::pair(recorder->AudioVolumes().microphone, recorder->AudioVolumes().system));
    std::atomic<bool> stopped{false};
    std::thread setter([&] {
      for (int i = 0; !stopped; ++i, std::this_thread::yield()) recorder->SetMicrophoneVolume(i % 3 * 0.5);
    });
    recorder->Stop();
    stopped = true;
    setter.join();
    EXPECT_FALSE(recorder->AudioVolumes().present);
  }
}

}  // namespace
}  // namespace kalto::recorder_test
