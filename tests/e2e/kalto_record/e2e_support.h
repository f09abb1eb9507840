#pragma once
// Helpers of the kalto-record end-to-end tests: shell runs, child processes stopped by pid,
// ffprobe summaries and decoded RGB frames of a recording, and the fixture that gives every test
// of the program the same private Xvfb (and PulseAudio, for the tests that play sound).
#include <gtest/gtest.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/pulse_server.h"
#include "support/x_server.h"

namespace kalto::test {

struct ShellRun {
  int status = -1;
  std::string output;  // stdout and stderr together
};
ShellRun Shell(const std::string& command);

// A shell command run on another thread while the test acts on the world.
class Background {
 public:
  explicit Background(std::string command) : m_thread([this, command] { m_run = Shell(command); }) {}
  ~Background() {
    if (m_thread.joinable()) m_thread.join();
  }
  ShellRun Wait() {
    m_thread.join();
    return m_run;
  }

 private:
  ShellRun m_run;
  std::thread m_thread;
};

// Fills a window with two colours in turn every 20 ms until destroyed: a screen that never
// changes yields almost no frames, unlike a real one.
class Painter {
 public:
  Painter(TestWindow& window, uint32_t first, uint32_t second)
      : m_thread([this, &window, first, second] {
          for (uint32_t i = 0; !m_done; ++i) {
            window.Fill(i % 2 ? second : first);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
          }
        }) {}
  ~Painter() {
    m_done = true;
    m_thread.join();
  }

 private:
  std::atomic<bool> m_done{false};
  std::thread m_thread;
};

// kalto-record with a pipe on its standard input (the test types keys into it), its output in a
// log file.
class KeyedRecording {
 public:
  KeyedRecording(const std::string& command, std::string log);
  ~KeyedRecording() { Finish(); }
  KeyedRecording(const KeyedRecording&) = delete;
  KeyedRecording& operator=(const KeyedRecording&) = delete;

  // Waits until the recorder says it records; the instant it was seen.
  bool WaitStarted(std::chrono::steady_clock::time_point* at = nullptr);
  bool Key(char key);
  // Closes its input and waits for it to end; its exit status.
  int Finish();
  std::string Log() const;

 private:
  std::string m_log;
  FILE* m_pipe = nullptr;
  int m_status = -1;
};

std::string ReadFile(const std::string& path);
// A fragmented file is what a crash leaves; a finished one has a single index.
bool IsFragmented(const std::string& file);

struct StreamSummary {
  int videoStreams = 0;
  int audioStreams = 0;
  std::string videoCodec;
  int width = 0;
  int height = 0;
  double duration = 0;  // the container's, in seconds
};
StreamSummary Probe(const std::string& file);
// The duration of the first stream of a type ("v" or "a"), in seconds; 0 without one.
double StreamDuration(const std::string& file, const char* type);

struct RgbFrame {
  double time = 0;  // presentation time in seconds
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgb;

  struct Colour {
    int r, g, b;
  };
  // Mean colour of the box [x, x+w) x [y, y+h).
  Colour Mean(int x, int y, int w, int h) const;
};
// Every decoded frame of the first video stream, in presentation order; scaled down by area
// averaging to width x height when both are given (long recordings fit in memory that way).
std::vector<RgbFrame> DecodeFrames(const std::string& file, int width = 0, int height = 0);

bool Near(RgbFrame::Colour c, int r, int g, int b, int tolerance = 40);

// The scene's binary clock (tenths of a second), read from a recording of the whole scene
// whose top-left corner is at (originX, originY) in the scene and whose scene is
// sceneWidth x sceneHeight; -1 when a cell is neither clearly black nor clearly white.
int ReadSceneClock(const RgbFrame& frame, int sceneWidth, int sceneHeight, int originX = 0, int originY = 0);

// Scene layout, kept in step with tools/kalto_scene.cpp.
constexpr int kSceneMarker = 48, kSceneInset = 16, kSceneCell = 24, kSceneClockBits = 12, kSceneClockRise = 80;

// One Xvfb for the whole program (starting one per case costs more than most cases), a
// PulseAudio started by the first test that asks for it, and a scratch folder per test.
class RecordTest : public ::testing::Test {
 public:
  // The primary monitor, beside a full-HD one on the same screen.
  static constexpr int kScreenWidth = 640, kScreenHeight = 480;
  static constexpr int kFullHdX = kScreenWidth;

 protected:
  void SetUp() override;
  void TearDown() override;

  static XServer& X() { return *s_x; }
  // Starts the program's PulseAudio on first use; recordings get it from then on.
  PulseServer& Pulse();
  // The command line of kalto-record with `args`, on this display (and sound server).
  std::string Command(const std::string& args) const;
  ShellRun Record(const std::string& args) const { return Shell(Command(args) + " </dev/null"); }
  // The handle of the monitor named SMALL (the primary) or FULL.
  std::string Monitor(const std::string& name = "SMALL") const;
  // Starts the animated scene over the primary monitor and waits until it shows.
  ChildProcess StartScene() const;
  std::string File(const std::string& name) const { return (folder / name).string(); }

  std::filesystem::path folder;

 private:
  static std::unique_ptr<XServer> s_x;
  static std::unique_ptr<PulseServer> s_pulse;
};

}  // namespace kalto::test
