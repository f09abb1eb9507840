// The FFmpeg sink writer's files, read back with the ffmpeg tools: shape, tags, durations, packet
// times with gaps, a regular MP4, and a writer killed mid-way.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <thread>

#include "common/steady_clock.h"
#include "media_files.h"

namespace kalto::media::test {
namespace {

constexpr int64_t kFrame30 = 333'333;
constexpr int64_t kAudioBlock = 213'333;  // 1024 frames at 48 kHz in 100 ns

int64_t AudioTime(uint64_t block) { return static_cast<int64_t>(block * 1024 * 10'000'000 / 48000); }

// A grey picture whose luma steps with the frame index.
std::vector<uint8_t> Nv12Frame(uint32_t width, uint32_t height, uint32_t index) {
  std::vector<uint8_t> frame(size_t{width} * height * 3 / 2, 128);
  std::fill_n(frame.begin(), size_t{width} * height, uint8_t(16 + index % 200));
  return frame;
}

// Retries while the queue is full, as a capture would hand the next frame.
HRESULT WritePaced(SinkWriter& writer, uint32_t stream, const Sample& sample) {
  HRESULT hr;
  while ((hr = writer.WriteSample(stream, sample)) == MF_E_NOTACCEPTING) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  return hr;
}

// Three seconds at 30 fps where every tenth frame (index 5, 15, ...) is missing, so the frame
// gaps vary, plus a 1 kHz tone; written once for the whole suite.
class FinalizedRecording : public ::testing::Test {
 protected:
  static constexpr uint32_t kWidth = 640, kHeight = 368, kFrames = 90;
  static constexpr uint64_t kBlocks = 141;

  static void SetUpTestSuite() {
    s_path = TempPath("finalized.mp4");
    MediaPlatformScope platform;
    ASSERT_EQ(S_OK, platform.result());
    auto recording = BeginRecording(s_path, kWidth, kHeight);
    ASSERT_TRUE(recording.writer);
    const auto audioUntil = [&](uint64_t& block, int64_t time) {
      for (; block < kBlocks && AudioTime(block) <= time; ++block) {
        ASSERT_EQ(S_OK, recording.writer->WriteSample(recording.audio, *MakeSample(ToneBlock(block * 1024), AudioTime(block), kAudioBlock)));
      }
    };
    uint64_t block = 0;
    for (uint32_t i = 0; i < kFrames; ++i) {
      audioUntil(block, i * kFrame30);
      if (i % 10 == 5) continue;
      ASSERT_EQ(S_OK, WritePaced(*recording.writer, recording.video, *MakeSample(Nv12Frame(kWidth, kHeight, i), i * kFrame30, kFrame30)));
      s_written.push_back(i * kFrame30);
    }
    audioUntil(block, INT64_MAX);
    ASSERT_EQ(S_OK, recording.writer->Finalize());
  }
  static void TearDownTestSuite() {
    if (std::getenv("KALTO_KEEP_MEDIA") == nullptr) std::remove(s_path.c_str());
  }

  static inline std::string s_path;
  static inline std::vector<int64_t> s_written;
};

TEST_F(FinalizedRecording, IsARegularMp4WithItsStreamsTagsDurationsAndSampleTimes) {
  ExpectH264MainWithAac(s_path, kWidth, kHeight, s_written.size(), "Kalto (0.0.3) - test encoder");
  auto p = Probe(s_path);
  // The last frame starts at 89/30 s and lasts 1/30 s; the tone is 141 blocks of 1024 samples.
  EXPECT_NEAR(3.0, std::stod(p["streams.stream.0.duration"]), 0.01);
  EXPECT_NEAR(kBlocks * 1024 / 48000.0, std::stod(p["streams.stream.1.duration"]), 0.03);
  EXPECT_NEAR(3.0, std::stod(p["format.duration"]), 0.05);
  const auto times = PacketTimes(s_path, "v");
  ASSERT_EQ(s_written.size(), times.size());
  for (size_t i = 0; i < times.size(); ++i) ASSERT_NEAR(s_written[i] / 1e7, times[i], 0.0005) << "packet " << i;
  std::ifstream in(s_path, std::ios::binary);
  const std::string bytes{std::istreambuf_iterator<char>(in), {}};
  EXPECT_EQ(std::string::npos, bytes.find("moof")) << "still fragmented";
  EXPECT_NE(std::string::npos, bytes.find("moov"));
  EXPECT_FALSE(std::ifstream(s_path + ".finalizing.mp4").good());
}

// A recording process killed without warning leaves a file that plays up to about a second before
// the kill, and all of it decodes.
TEST(CrashSafety, KilledWriterLeavesAFilePlayableToWithinASecondOfTheKill) {
  const std::string path = TempPath("killed.mp4");
  int ready[2];
  ASSERT_EQ(0, ::pipe(ready));
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(ready[0]);
    if (Failed(MediaStartup())) ::_exit(2);
    auto recording = BeginRecording(path, 640, 368);
    if (!recording.writer) ::_exit(3);
    const int64_t origin = SteadyNowNs();
    if (::write(ready[1], "R", 1) != 1) ::_exit(4);
    for (uint32_t frame = 0, block = 0;; std::this_thread::sleep_for(std::chrono::milliseconds(2))) {
      const int64_t now = (SteadyNowNs() - origin) / 100;  // 100-ns units
      if (now >= int64_t{frame} * kFrame30) {
        recording.writer->WriteSample(recording.video, *MakeSample(Nv12Frame(640, 368, frame++), now, kFrame30));
      }
      for (; AudioTime(block) <= now; ++block) {
        recording.writer->WriteSample(recording.audio, *MakeSample(ToneBlock(block * 1024), AudioTime(block), kAudioBlock));
      }
    }
  }
  ::close(ready[1]);
  pollfd waitReady{ready[0], POLLIN, 0};
  ASSERT_EQ(1, ::poll(&waitReady, 1, 30'000)) << "writer process did not start";
  char byte = 0;
  ASSERT_EQ(1, ::read(ready[0], &byte, 1));
  const int64_t started = SteadyNowNs();
  std::this_thread::sleep_for(std::chrono::seconds(3));
  ::kill(child, SIGKILL);
  const double killedAt = (SteadyNowNs() - started) / 1e9;
  int status = 0;
  ::waitpid(child, &status, 0);
  ::close(ready[0]);
  ASSERT_TRUE(WIFSIGNALED(status));
  const auto video = PacketTimes(path, "v"), audio = PacketTimes(path, "a");
  ASSERT_FALSE(video.empty() || audio.empty());
  EXPECT_GE(video.back(), killedAt - 1.0);
  EXPECT_GE(audio.back(), killedAt - 1.0);
  const auto decode = RunCommand("ffmpeg -v error -xerror -i '" + path + "' -f null - 2>&1");
  EXPECT_EQ(0, decode.status) << decode.output;
  const auto frames = RunCommand("ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames -of csv=p=0 '" +
                                 path + "'");
  EXPECT_GE(std::atoi(frames.output.c_str()), static_cast<int>((killedAt - 1.0) * 30 * 0.9));
  std::remove(path.c_str());
}

}  // namespace
}  // namespace kalto::media::test
