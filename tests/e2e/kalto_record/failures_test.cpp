// kalto-record when the world changes under it: the display server dies, the file cannot grow,
// the recorded window closes, the terminal hangs up. Each ends with a
// file that plays, and the tool says what happened and exits accordingly.
#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <string>
#include <thread>

#include "av_support.h"

namespace kalto::test {
namespace {

using namespace std::chrono_literals;

constexpr const char* kNoSound = " --no-mic --no-system-audio";

// Every decodable frame, without a decoder error: what a player shows.
int CleanFrames(const std::string& file) {
  auto errors = Shell("ffmpeg -v error -i '" + file + "' -f null -");
  EXPECT_TRUE(errors.output.empty()) << errors.output;
  return static_cast<int>(DecodeFrames(file, 32, 24).size());
}

using FailuresTest = RecordTest;

TEST_F(FailuresTest, LostDisplayServerEndsTheRecordingWithItsReasonAndAPlayableFile) {
  XServer server(320, 240);  // its own: this one is killed
  ASSERT_TRUE(server.Running()) << server.Error();
  const std::string file = File("lost.mp4");
  Background record("DISPLAY=" + server.Display() + " " KALTO_RECORD_PATH " --duration 60" + kNoSound + " -o " + file +
                    " </dev/null");
  std::this_thread::sleep_for(2500ms);
  server.Kill();
  const ShellRun run = record.Wait();
  EXPECT_EQ(1, run.status) << run.output;
  EXPECT_NE(std::string::npos,
            run.output.find("recording stopped early: Screen capture failed: the connection to the display server "
                            "was lost"))
      << run.output;
  EXPECT_FALSE(IsFragmented(file));
  EXPECT_NEAR(Probe(file).duration, 2.5, 1.2);
  EXPECT_GE(CleanFrames(file), 2);
}

// A file that cannot grow (here a file-size limit; a full disk takes the same road) ends the
// recording with the reason, and the file ends with its last complete fragment.
TEST_F(FailuresTest, FileThatCannotGrowEndsTheRecordingAndKeepsWhatWasWritten) {
  auto scene = StartScene();
  const std::string file = File("limited.mp4");
  // dash counts the limit in 512-byte blocks: 200 KB, a few seconds of the moving scene.
  const ShellRun run = Shell("ulimit -f 400; " + Command(std::string("--duration 60") + kNoSound + " -o " + file) +
                             " </dev/null");
  EXPECT_EQ(1, run.status) << run.output;
  EXPECT_NE(std::string::npos,
            run.output.find("recording stopped early: Could not write the recording: the file is larger than the "
                            "file system allows"))
      << run.output;
  EXPECT_LE(std::filesystem::file_size(file), 400u * 512u);
  EXPECT_GE(CleanFrames(file), 10);
}

// The window goes away: the user is told, the recording goes on with its last picture, and the
// video lasts as long as the recording (as it does for a screen that simply stands still).
TEST_F(FailuresTest, ClosedWindowIsAWarningAndTheVideoLastsTheWholeRecording) {
  XClient client(X().Display());
  ASSERT_TRUE(client);
  auto window = std::make_unique<TestWindow>(client, 20, 20, 160, 120, "closing");
  ASSERT_TRUE(window->WaitViewable());
  std::ostringstream id;
  id << "0x" << std::hex << window->id();
  const std::string file = File("closed.mp4");
  Background record(Command("--window " + id.str() + " --duration 4" + kNoSound + " -o " + file) + " </dev/null");
  std::this_thread::sleep_for(1500ms);
  window.reset();
  XSync(client.get(), False);
  const ShellRun run = record.Wait();
  EXPECT_EQ(0, run.status) << run.output;
  EXPECT_NE(std::string::npos,
            run.output.find("warning: The recorded window or monitor is gone; the recording goes on with its last "
                            "picture"))
      << run.output;
  EXPECT_NEAR(Probe(file).duration, 4.0, 0.4);
  EXPECT_GE(CleanFrames(file), 3);
}

// A closed terminal (SIGHUP) stops like Ctrl-C, and a closed stderr costs nothing but the
// messages: the file is finished either way, its still screen held to the end.
TEST_F(FailuresTest, HangupWithAClosedStderrStillFinishesTheFile) {
  const std::string file = File("hangup.mp4");
  const ShellRun run = Shell(Command(std::string(kNoSound) + " -o " + file) +
                             " </dev/null 2>&- & pid=$!; sleep 2; kill -HUP $pid; wait $pid");
  EXPECT_EQ(0, run.status) << run.output;
  EXPECT_FALSE(IsFragmented(file));
  EXPECT_NEAR(Probe(file).duration, 2.0, 0.6);
}

// The sound server dies and comes back mid-recording: both sources are silence while it is away,
// the user is told both ways, the audio track keeps the recording's length, and sound is
// recorded again once the server is back.
TEST_F(AvSyncTest, SoundServerRestartIsToldAndTheAudioTrackKeepsItsLength) {
  const std::string tone = File("tone.raw");
  WriteFile(tone, SineS16(1000, 0.25, kRate, 2, 20));
  const auto play = [&] { return Pulse().Spawn({"pacat", "--raw", "--rate=48000", "--channels=2", "--format=s16le", tone}); };
  ChildProcess before = play();
  const std::string file = File("restart.mp4");
  ShellRun run;
  std::thread record([&] { run = Record("--duration 7 -o " + file); });
  std::this_thread::sleep_for(2500ms);
  ASSERT_TRUE(Pulse().Restart()) << Pulse().Error();
  ChildProcess after = play();
  record.join();
  EXPECT_EQ(0, run.status) << run.output;
  for (const char* line : {"warning: System audio lost; recording silence until it returns",
                           "warning: Microphone lost; recording silence until it returns",
                           "warning: System audio is back", "warning: Microphone is back"}) {
    EXPECT_NE(std::string::npos, run.output.find(line)) << line << "\n" << run.output;
  }
  const double video = StreamDuration(file, "v"), audio = StreamDuration(file, "a");
  std::printf("after a sound-server restart: video %.3f s, audio %.3f s\n", video, audio);
  EXPECT_NEAR(audio, 7.0, 0.4);
  EXPECT_NEAR(audio, video, 0.25);
  // The tone is recorded again once the system audio is back (at the tool's default system
  // volume of 0.5 it peaks at 0.125; absent, it is 0).
  const DecodedAudio decoded = DecodeAudio(file);
  const size_t block = kRate / 10;
  double toneAfter = 0;
  for (size_t at = 5 * static_cast<size_t>(kRate); at + block <= decoded.Frames(); at += block) {
    toneAfter = std::max(toneAfter, ToneAmplitude(decoded, 0, 1000, at, block));
  }
  std::printf("tone after the return: %.3f\n", toneAfter);
  EXPECT_GT(toneAfter, 0.05);
}

}  // namespace
}  // namespace kalto::test
