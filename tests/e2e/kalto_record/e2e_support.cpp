#include "e2e_support.h"

#include <X11/Xutil.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string_view>
#include <thread>

#include "support/require.h"

namespace kalto::test {

ShellRun Shell(const std::string& command) {
  ShellRun run;
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen((command + " 2>&1").c_str(), "r"), pclose);
  if (!pipe) return run;
  std::array<char, 4096> buffer{};
  size_t n;
  while ((n = fread(buffer.data(), 1, buffer.size(), pipe.get())) > 0) run.output.append(buffer.data(), n);
  int raw = pclose(pipe.release());
  run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return run;
}

KeyedRecording::KeyedRecording(const std::string& command, std::string log) : m_log(std::move(log)) {
  // A recorder that exits early must fail the test, not kill it with SIGPIPE.
  signal(SIGPIPE, SIG_IGN);
  m_pipe = popen((command + " >'" + m_log + "' 2>&1").c_str(), "w");
}

bool KeyedRecording::WaitStarted(std::chrono::steady_clock::time_point* at) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (m_pipe && std::chrono::steady_clock::now() < deadline) {
    if (Log().find("recording to") != std::string::npos) {
      if (at) *at = std::chrono::steady_clock::now();
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

bool KeyedRecording::Key(char key) { return m_pipe && std::fputc(key, m_pipe) != EOF && std::fflush(m_pipe) == 0; }

int KeyedRecording::Finish() {
  if (!m_pipe) return m_status;
  const int raw = pclose(m_pipe);
  m_pipe = nullptr;
  m_status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return m_status;
}

std::string KeyedRecording::Log() const { return ReadFile(m_log); }

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool IsFragmented(const std::string& file) { return ReadFile(file).find("moof") != std::string::npos; }

StreamSummary Probe(const std::string& file) {
  StreamSummary s;
  // One line a stream: codec_name,codec_type[,width,height].
  std::istringstream lines(
      Shell("ffprobe -v error -show_entries stream=codec_name,codec_type,width,height -of csv=p=0 '" + file + "'").output);
  for (std::string line; std::getline(lines, line);) {
    char name[32] = {}, type[16] = {};
    int width = 0, height = 0;
    if (std::sscanf(line.c_str(), "%31[^,],%15[^,],%d,%d", name, type, &width, &height) < 2) continue;
    if (std::string_view(type) == "audio") ++s.audioStreams;
    if (std::string_view(type) != "video" || s.videoStreams++ > 0) continue;
    s.videoCodec = name;
    s.width = width;
    s.height = height;
  }
  s.duration = std::atof(Shell("ffprobe -v error -show_entries format=duration -of csv=p=0 '" + file + "'").output.c_str());
  return s;
}

double StreamDuration(const std::string& file, const char* type) {
  return std::atof(Shell("ffprobe -v error -select_streams " + std::string(type) +
                         ":0 -show_entries stream=duration -of csv=p=0 '" + file + "'")
                       .output.c_str());
}

RgbFrame::Colour RgbFrame::Mean(int x, int y, int w, int h) const {
  long r = 0, g = 0, b = 0, n = 0;
  for (int yy = y; yy < y + h; ++yy) {
    for (int xx = x; xx < x + w; ++xx) {
      if (xx < 0 || yy < 0 || xx >= width || yy >= height) continue;
      const uint8_t* p = &rgb[(static_cast<size_t>(yy) * width + xx) * 3];
      r += p[0];
      g += p[1];
      b += p[2];
      ++n;
    }
  }
  if (n == 0) return {-1, -1, -1};
  return {static_cast<int>(r / n), static_cast<int>(g / n), static_cast<int>(b / n)};
}

std::vector<RgbFrame> DecodeFrames(const std::string& file, int width, int height) {
  std::vector<RgbFrame> frames;
  auto summary = Probe(file);
  if (width > 0 && height > 0) {
    summary.width = width;
    summary.height = height;
  }
  if (summary.width <= 0 || summary.height <= 0) return frames;
  auto times = Shell("ffprobe -v error -select_streams v:0 -show_entries frame=best_effort_timestamp_time -of csv=p=0 '" +
                     file + "'");
  std::istringstream timeLines(times.output);
  const std::string scale = width > 0 && height > 0 ? " -vf scale=" + std::to_string(width) + ":" +
                                                          std::to_string(height) + ":flags=area"
                                                    : "";
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(("ffmpeg -v error -i '" + file + "' -map 0:v:0 -fps_mode passthrough" +
                                                    scale + " -f rawvideo -pix_fmt rgb24 -")
                                                       .c_str(),
                                                   "r"),
                                             pclose);
  if (!pipe) return frames;
  size_t bytes = static_cast<size_t>(summary.width) * summary.height * 3;
  for (;;) {
    RgbFrame f;
    f.width = summary.width;
    f.height = summary.height;
    f.rgb.resize(bytes);
    if (fread(f.rgb.data(), 1, bytes, pipe.get()) != bytes) break;
    // ffprobe adds an empty line after a frame with side data.
    std::string line;
    bool timed = false;
    while (!timed && std::getline(timeLines, line)) timed = line.find_first_of("0123456789") != std::string::npos;
    // A picture the decoder gives beyond the frames ffprobe listed has no known time: leave it.
    if (!timed) break;
    f.time = std::atof(line.c_str());
    frames.push_back(std::move(f));
  }
  return frames;
}

bool Near(RgbFrame::Colour c, int r, int g, int b, int tolerance) {
  return std::abs(c.r - r) <= tolerance && std::abs(c.g - g) <= tolerance && std::abs(c.b - b) <= tolerance;
}

int ReadSceneClock(const RgbFrame& frame, int sceneWidth, int sceneHeight, int originX, int originY) {
  int left = sceneWidth / 2 - kSceneClockBits * kSceneCell / 2 - originX;
  int top = sceneHeight - kSceneClockRise - originY;
  int value = 0;
  for (int bit = 0; bit < kSceneClockBits; ++bit) {
    // The cell's middle, clear of the ringing that compression leaves at its edges.
    auto c = frame.Mean(left + bit * kSceneCell + 6, top + 6, kSceneCell - 12, kSceneCell - 12);
    int luma = (c.r + c.g + c.b) / 3;
    if (luma > 190) {
      value = value * 2 + 1;
    } else if (luma < 65 && luma >= 0) {
      value = value * 2;
    } else {
      return -1;
    }
  }
  return value;
}

std::unique_ptr<XServer> RecordTest::s_x;
std::unique_ptr<PulseServer> RecordTest::s_pulse;

void RecordTest::SetUp() {
  KALTO_REQUIRE(XServer::Available(), "Xvfb is not installed");
  if (!s_x) {
    s_x = std::make_unique<XServer>(kFullHdX + 1920, 1080);
    if (!s_x->SetMonitors({{"SMALL", 0, 0, kScreenWidth, kScreenHeight}, {"FULL", kFullHdX, 0, 1920, 1080}})) {
      FAIL() << s_x->Error();
    }
  }
  ASSERT_TRUE(s_x->Running()) << s_x->Error();
  folder = std::filesystem::temp_directory_path() /
           ("kalto-e2e-" + std::to_string(::getpid()) + "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
}

void RecordTest::TearDown() {
  if (folder.empty()) return;
  std::error_code ignored;
  std::filesystem::permissions(folder, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(folder, ignored);
}

PulseServer& RecordTest::Pulse() {
  if (!s_pulse) s_pulse = std::make_unique<PulseServer>();
  return *s_pulse;
}

std::string RecordTest::Command(const std::string& args) const {
  const std::string sound = s_pulse ? "PULSE_SERVER='" + s_pulse->Address() + "' " : "";
  return sound + "DISPLAY=" + s_x->Display() + " " KALTO_RECORD_PATH " " + args;
}

std::string RecordTest::Monitor(const std::string& name) const {
  std::istringstream lines(Record("--list-monitors").output);
  for (std::string handle, monitor, rest; lines >> handle >> monitor && std::getline(lines, rest);) {
    if (monitor == name) return handle;
  }
  ADD_FAILURE() << "no monitor " << name;
  return "0";
}

ChildProcess RecordTest::StartScene() const {
  ChildProcess scene = StartProcess({"env", "DISPLAY=" + s_x->Display(), KALTO_SCENE_PATH, "--seconds", "60", "--geometry",
                                     std::to_string(kScreenWidth) + "x" + std::to_string(kScreenHeight) + "+0+0"});
  XClient client(s_x->Display());
  // Until its green marker is on the screen.
  for (int i = 0; i < 250; ++i) {
    XImage* image = XGetImage(client.get(), client.Root(), kScreenWidth - kSceneInset - kSceneMarker / 2,
                              kSceneInset + kSceneMarker / 2, 1, 1, AllPlanes, ZPixmap);
    unsigned long pixel = image ? XGetPixel(image, 0, 0) : 0;
    if (image) XDestroyImage(image);
    if ((pixel & 0xFFFFFF) == 0x28C850) return scene;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ADD_FAILURE() << "the scene did not appear";
  return scene;
}

}  // namespace kalto::test
