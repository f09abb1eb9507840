#pragma once
// Helpers of the kalto-record end-to-end tests: shell runs, child processes stopped by pid,
// ffprobe summaries and decoded RGB frames of a recording.
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kalto::test {

struct ShellRun {
  int status = -1;
  std::string output;  // stdout and stderr together
};
ShellRun Shell(const std::string& command);

// A process started with DISPLAY set; SIGTERM by pid (then SIGKILL) when the owner goes.
class DisplayProcess {
 public:
  DisplayProcess(const std::string& display, const std::vector<std::string>& argv);
  ~DisplayProcess();
  DisplayProcess(const DisplayProcess&) = delete;
  DisplayProcess& operator=(const DisplayProcess&) = delete;
  bool Running() const { return m_pid > 0; }
  pid_t Pid() const { return m_pid; }

 private:
  pid_t m_pid = -1;
};

struct StreamSummary {
  int videoStreams = 0;
  int audioStreams = 0;
  std::string videoCodec;
  int width = 0;
  int height = 0;
  double duration = 0;  // the container's, in seconds
};
StreamSummary Probe(const std::string& file);

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

}  // namespace kalto::test
