// kalto-record end to end: a real recording of a pattern under a private Xvfb, and the bad-input
// cases that must fail cleanly without leaving a file.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <array>
#include <atomic>
#include <chrono>
#include <thread>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "support/x_server.h"

namespace kalto::test {
namespace {

namespace fs = std::filesystem;

struct ShellRun {
  int status = -1;
  std::string output;
};

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

class KaltoRecordTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!XServer::Available()) GTEST_SKIP() << "Xvfb is not installed";
    ASSERT_TRUE(server.Running()) << server.Error();
    folder = fs::temp_directory_path() / ("kalto-e2e-" + std::to_string(::getpid()));
    fs::create_directories(folder);
  }
  void TearDown() override { fs::remove_all(folder); }
  ShellRun Record(const std::string& args) {
    return Shell("DISPLAY=" + server.Display() + " " KALTO_RECORD_PATH " " + args + " </dev/null");
  }

  XServer server{640, 480};
  fs::path folder;
};

TEST_F(KaltoRecordTest, RecordsTheScreenForTheRequestedDuration) {
  XClient client(server.Display());
  TestWindow scene(client, 0, 0, 640, 480, "scene", 2);
  ASSERT_TRUE(scene.WaitViewable());
  // A static screen yields almost no frames; keep it changing as a real desktop would.
  std::atomic<bool> done{false};
  std::thread painter([&] {
    for (uint32_t i = 0; !done; ++i) {
      scene.Fill(i % 2 ? 0x3060C0u : 0xC06030u);
      XSync(client.get(), False);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });

  auto file = folder / "screen.mp4";
  auto run = Record("--duration 2 --fps 30 -o " + file.string());
  done = true;
  painter.join();
  ASSERT_EQ(run.status, 0) << run.output;
  auto probe = Shell("ffprobe -v error -select_streams v -show_entries stream=codec_name,width,height:format=duration "
                     "-of default=noprint_wrappers=1 " + file.string());
  ASSERT_EQ(probe.status, 0) << probe.output;
  EXPECT_NE(probe.output.find("codec_name=h264"), std::string::npos) << probe.output;
  EXPECT_NE(probe.output.find("width=640"), std::string::npos) << probe.output;
  EXPECT_NE(probe.output.find("height=480"), std::string::npos) << probe.output;
  double duration = 0;
  auto at = probe.output.find("duration=");
  ASSERT_NE(at, std::string::npos);
  duration = std::stod(probe.output.substr(at + 9));
  EXPECT_NEAR(duration, 2.0, 0.3);
}

TEST_F(KaltoRecordTest, BadInputFailsWithAMessageAndLeavesNoFile) {
  auto file = (folder / "never.mp4").string();
  struct Case {
    std::string args;
    std::string message;
  } cases[] = {
      {"--monitor 12345 -o " + file, "no monitor with handle 12345"},
      {"--window 0x7777777 -o " + file, "no window with handle"},
      {"-o " + (folder / "missing" / "x.mp4").string(), "does not exist"},
      {"--fps 0 -o " + file, "--fps must be between 1 and 120"},
      {"--size 10x10 -o " + file, "--size must be"},
  };
  for (const auto& c : cases) {
    auto run = Record(c.args + " --duration 1");
    EXPECT_EQ(run.status, 1) << c.args << "\n" << run.output;
    EXPECT_NE(run.output.find(c.message), std::string::npos) << c.args << "\n" << run.output;
  }
  auto noDisplay = Shell("DISPLAY=:9999 " KALTO_RECORD_PATH " --duration 1 -o " + file);
  EXPECT_EQ(noDisplay.status, 1);
  EXPECT_NE(noDisplay.output.find("cannot open the display"), std::string::npos) << noDisplay.output;
  EXPECT_FALSE(fs::exists(file));
}

}  // namespace
}  // namespace kalto::test
