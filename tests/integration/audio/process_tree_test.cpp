// Process ancestry from /proc: the real tree of this test, and stat lines whose command names
// would fool a naive parser.
#include "platform/audio/pulse/process_tree.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "support/pulse_server.h"

namespace kalto::platform::audio::pulse {
namespace {

class FakeProc {
 public:
  FakeProc() {
    char dir[] = "/tmp/kalto-proc-XXXXXX";
    m_root = mkdtemp(dir) ? dir : "";
  }
  ~FakeProc() {
    std::error_code ec;
    std::filesystem::remove_all(m_root, ec);
  }
  void Add(uint32_t pid, const std::string& stat) {
    std::filesystem::create_directories(m_root + "/" + std::to_string(pid));
    std::ofstream(m_root + "/" + std::to_string(pid) + "/stat") << stat;
  }
  const std::string& Root() const { return m_root; }

 private:
  std::string m_root;
};

TEST(ProcessTreeTest, TheParentIsReadAfterTheLastParenthesis) {
  FakeProc proc;
  proc.Add(100, "100 (evil) S 1 (x) R 7) S 42 100 100 0 -1 4194560");
  proc.Add(42, "42 (sh) S 1 42 42 0");
  proc.Add(1, "1 (init) S 0 1 1 0");
  EXPECT_EQ(ParentProcessId(100, proc.Root()), 42u);
  EXPECT_TRUE(IsInProcessTree(100, 42, proc.Root()));
  EXPECT_TRUE(IsInProcessTree(100, 1, proc.Root()));
  EXPECT_TRUE(IsInProcessTree(42, 42, proc.Root()));
  EXPECT_FALSE(IsInProcessTree(42, 100, proc.Root())) << "a parent is not in its child's tree";
}

TEST(ProcessTreeTest, GoneUnreadableAndLoopingEntriesEndTheWalk) {
  FakeProc proc;
  proc.Add(5, "5 (a) S 6 0");
  proc.Add(6, "6 (b) S 5 0");  // a cycle /proc never shows, but a racing read might
  proc.Add(7, "garbage");
  EXPECT_FALSE(IsInProcessTree(5, 9, proc.Root()));
  EXPECT_EQ(ParentProcessId(7, proc.Root()), 0u);
  EXPECT_EQ(ParentProcessId(8, proc.Root()), 0u);
  EXPECT_FALSE(IsInProcessTree(0, 0, proc.Root()));
  EXPECT_FALSE(IsInProcessTree(8, 0, proc.Root()));
}

TEST(ProcessTreeTest, ARealGrandchildBelongsToThisProcess) {
  // sh runs sleep as a child of its own (the trailing ':' keeps sh from exec'ing it).
  test::ChildProcess shell = test::StartProcess({"sh", "-c", "sleep 30; :"});
  ASSERT_TRUE(shell.Started());
  const auto self = static_cast<uint32_t>(getpid());
  const auto shellPid = static_cast<uint32_t>(shell.pid());
  uint32_t sleeper = 0;
  for (int attempt = 0; attempt < 500 && sleeper == 0; ++attempt) {
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
      uint32_t pid = static_cast<uint32_t>(std::strtoul(entry.path().filename().c_str(), nullptr, 10));
      if (pid != 0 && ParentProcessId(pid) == shellPid) sleeper = pid;
    }
    if (sleeper == 0) usleep(10'000);
  }
  ASSERT_NE(sleeper, 0u) << "sh never started its child";
  EXPECT_EQ(ParentProcessId(shellPid), self);
  EXPECT_TRUE(IsInProcessTree(sleeper, shellPid));
  EXPECT_TRUE(IsInProcessTree(sleeper, self));
  EXPECT_FALSE(IsInProcessTree(self, shellPid));
  EXPECT_FALSE(IsInProcessTree(static_cast<uint32_t>(getppid()), self));
}

}  // namespace
}  // namespace kalto::platform::audio::pulse
