// What kalto-record writes and where: a 1080p recording shown at 1920x1080 without bars, the
// nominal rate asked for, output names in any encoding, existing files, the path and option
// errors that must stop it before recording (with their messages and no file left), and the
// status line after a resume.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "support/require.h"

namespace kalto::test {
namespace {

namespace fs = std::filesystem;

std::string Quote(const std::string& text) { return "'" + text + "'"; }

// The stream's nominal rate as ffprobe reads it.
std::string FrameRate(const std::string& file) {
  auto run = Shell("ffprobe -v error -select_streams v:0 -show_entries stream=r_frame_rate -of csv=p=0 " + Quote(file));
  while (!run.output.empty() && (run.output.back() == '\n' || run.output.back() == '\r')) run.output.pop_back();
  return run.output;
}

class KaltoRecordOutputTest : public RecordTest {
 protected:
  std::string Command(const std::string& args) const { return RecordTest::Command("--no-mic --no-system-audio " + args); }
  ShellRun Record(const std::string& args) const { return Shell(Command(args) + " </dev/null"); }
};

TEST_F(KaltoRecordOutputTest, FullHdIsShownWithoutBarsAtTheRequestedNominalRate) {
  XClient client(X().Display());
  TestWindow window(client, kFullHdX, 0, 1920, 1080, "full screen", 1);
  ASSERT_TRUE(window.WaitViewable());
  // Two bright colours in turn, so frames keep coming and any black row stands out.
  Painter painter(window, 0xE0A060u, 0xC0C0C0u);
  struct Case {
    std::string args;
    int width, height;
    std::string rate;
  } cases[] = {
      {"--fps 30 -y", 1920, 1080, "30/1"},                       // coded 1920x1088
      {"--fps 24 --size 640x360 --overwrite", 640, 360, "24/1"},  // coded 640x368; replaces the first
  };
  for (const auto& c : cases) {
    const std::string file = File("full.mp4");
    auto run = Record("--monitor " + Monitor("FULL") + " " + c.args + " --duration 2 -o " + file);
    ASSERT_EQ(run.status, 0) << c.args << "\n" << run.output;
    auto probe = Probe(file);
    EXPECT_EQ(probe.width, c.width) << c.args;
    EXPECT_EQ(probe.height, c.height) << c.args;
    EXPECT_EQ(FrameRate(file), c.rate) << c.args;
    // A quarter of the size: each row then averages four, so bars of any height still show.
    auto frames = DecodeFrames(file, c.width / 4, c.height / 4);
    ASSERT_GE(frames.size(), 15u) << c.args;
    for (const auto& f : frames) {
      for (int row : {0, f.height - 1}) {
        const auto colour = f.Mean(0, row, f.width, 1);
        EXPECT_GT(colour.r + colour.g + colour.b, 3 * 120) << c.args << ": row " << row << " at " << f.time;
      }
    }
  }
}

TEST_F(KaltoRecordOutputTest, NamesInAnyEncodingAreRecordedUnderExactlyThoseBytes) {
  // The last is 255 bytes of two-byte characters: the rewrite's shortened name must cut between them.
  std::string longest;
  for (int i = 0; i < 125; ++i) longest += "\xC3\xA9";
  const std::string names[] = {
      "vid\xC3\xA9o.mp4",                  // accent
      "\xE5\xBD\x95\xE5\x83\x8F.mp4",      // CJK
      "\xF0\x9F\x8E\xAC clip.mp4",         // emoji and a space
      "caf\xE9.mp4",                       // Latin-1, not UTF-8
      longest + "a.mp4",
  };
  for (const auto& name : names) {
    const fs::path file = folder / name;
    auto run = Record("--duration 1 --size 320x240 -o " + Quote(file.native()));
    ASSERT_EQ(run.status, 0) << name << "\n" << run.output;
    EXPECT_EQ(Probe(file.native()).videoStreams, 1) << name;
    EXPECT_FALSE(IsFragmented(file.native())) << name;
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 5) << "a temporary file stayed";
  // No -o: the default name in a folder with a non-ASCII name.
  const fs::path videos = folder / "Vid\xC3\xA9os";
  fs::create_directories(videos);
  auto run = Shell("cd " + Quote(videos.native()) + " && " + Command("--duration 1 --size 320x240"));
  ASSERT_EQ(run.status, 0) << run.output;
  int recorded = 0;
  for (const auto& entry : fs::directory_iterator(videos)) recorded += entry.path().extension() == ".mp4";
  EXPECT_EQ(recorded, 1);
}

TEST_F(KaltoRecordOutputTest, PathAndOptionErrorsSayWhatIsWrongAndLeaveNoFile) {
  const std::string file = File("never.mp4");
  fs::create_directories(folder / "taken.mp4");
  const fs::path locked = folder / "locked";
  fs::create_directories(locked);
  fs::permissions(locked, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                              fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
  const fs::path existing = folder / "existing.mp4";
  std::ofstream(existing) << "keep me";
  const fs::path readOnly = folder / "read-only.mp4";
  std::ofstream(readOnly) << "old";
  fs::permissions(readOnly, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  // Permissions do not bind root: those cases run as an unprivileged user.
  const std::string unprivileged = ::geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups env " : "";
  const std::string monitor = Monitor();
  struct Case {
    std::string args;
    int status;
    std::string message;
    std::string prefix = "";
  } cases[] = {
      {"-o " + (folder / "taken.mp4").string(), 1, "taken.mp4' is a folder"},
      {"-o " + existing.string(), 1, "already exists (--overwrite or -y replaces it)"},
      {"-o " + (folder / "missing" / "x.mp4").string(), 1, "missing' does not exist"},
      {"-o " + (folder / (std::string(252, 'n') + ".mp4")).string(), 1,
       "the file name is 256 bytes long; this file system allows at most 255"},
      {"-o " + (locked / "x.mp4").string(), 1, "cannot write '" + (locked / "x.mp4").string() + "': Permission denied",
       unprivileged},
      {"-y -o " + readOnly.string(), 1, "cannot replace '" + readOnly.string() + "': Permission denied", unprivileged},
      {"--region " + monitor + ":640,0,320,240 -o " + file, 1, "--region lies outside the monitor (640x480)"},
      {"--region " + monitor + ":400,400,320,240 -o " + file, 1,
       "--region reaches past the monitor (640x480): at most 240x80 fits at 400,400"},
      {"--frobnicate -o " + file, 2, "unknown option --frobnicate"},
      {"stray -o " + file, 2, "unexpected argument stray"},
      {"--duration 2x -o " + file, 1, "--duration needs a positive number of seconds"},
      {"--size 1280x720junk -o " + file, 1, "--size must be WxH between 100x100 and 7680x4320"},
      {"--size 17x17 -o " + file, 1, "--size must be WxH between 100x100 and 7680x4320"},
      {"--fps 30.5 -o " + file, 1, "--fps must be between 1 and 120"},
      {"--region " + monitor + ":0,0,320,240x -o " + file, 1, "--region needs HANDLE:X,Y,W,H"},
      {"--monitor 12345 -o " + file, 1, "no monitor with handle 12345"},
      {"--window 0x7777777 -o " + file, 1, "no window with handle"},
      {"--app-audio -o " + file, 1, "it needs --window"},
      {"--mic-mode loud -o " + file, 1, "--mic-mode must be raw, voice or denoise"},
      {"--ducking 6 -o " + file, 1, "--ducking must be between -24 and 0 dB"},
      {"--mic-volume 2.5 -o " + file, 1, "--mic-volume must be between 0 and 2"},
  };
  for (const auto& c : cases) {
    auto run = Shell(c.prefix + Command(c.args + " --duration 1"));
    EXPECT_EQ(run.status, c.status) << c.args << "\n" << run.output;
    EXPECT_EQ(run.output.rfind("kalto-record: ", 0), 0u) << c.args << "\n" << run.output;
    EXPECT_NE(run.output.find(c.message), std::string::npos) << c.args << "\n" << run.output;
    EXPECT_EQ(run.output.find("recording to"), std::string::npos) << c.args << "\n" << run.output;
  }
  auto noDisplay = Shell("DISPLAY=:9999 " KALTO_RECORD_PATH " --duration 1 -o " + file);
  EXPECT_EQ(noDisplay.status, 1);
  EXPECT_NE(noDisplay.output.find("cannot open the display"), std::string::npos) << noDisplay.output;
  EXPECT_FALSE(fs::exists(file));
  EXPECT_FALSE(fs::exists(locked / "x.mp4"));
  EXPECT_TRUE(fs::is_empty(folder / "taken.mp4"));
  EXPECT_EQ(ReadFile(readOnly.native()), "old");
  EXPECT_EQ(ReadFile(existing.native()), "keep me");
  EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 4) << "only what the test made";

  // Help goes to stdout and is not an error.
  auto help = Shell("( " KALTO_RECORD_PATH " --help 2>/dev/null )");
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.output.rfind("usage: kalto-record", 0), 0u) << help.output;
}

TEST_F(KaltoRecordOutputTest, AfterResumingTheStatusLineNoLongerSaysPaused) {
  KALTO_REQUIRE(OnPath("script"), "script (util-linux) is not installed");
  // A terminal gets the status line redrawn in place; the keys pause and at once resume.
  const std::string file = File("paused.mp4");
  auto run = Shell("printf pp | DISPLAY=" + X().Display() + " script -qfc " +
                   Quote(KALTO_RECORD_PATH " --no-mic --no-system-audio --duration 1 --size 320x240 -o " + file) +
                   " /dev/null");
  ASSERT_EQ(run.status, 0) << run.output;
  // The line drawn after the last one that says paused.
  const size_t paused = run.output.rfind("[paused]"), next = run.output.find('\r', paused);
  ASSERT_NE(next, std::string::npos) << run.output;
  const std::string resumed = run.output.substr(next + 1, run.output.find('\r', next + 1) - next - 1);
  EXPECT_EQ(resumed.find("paused"), std::string::npos) << resumed;
  // What the longer line left on the terminal is erased.
  EXPECT_NE(resumed.find("\x1b[K"), std::string::npos) << resumed;
}

}  // namespace
}  // namespace kalto::test
