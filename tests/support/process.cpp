#include "support/process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

extern char** environ;

namespace kalto::test {
namespace {
using Clock = std::chrono::steady_clock;
constexpr auto kStopTimeout = std::chrono::seconds(5);
}  // namespace

bool OnPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::string paths = path ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= paths.size()) {
    size_t end = paths.find(':', start);
    if (end == std::string::npos) end = paths.size();
    if (access((paths.substr(start, end - start) + "/" + program).c_str(), X_OK) == 0) return true;
    start = end + 1;
  }
  return false;
}

pid_t SpawnProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env, const std::string& log,
                   bool newSession, int stdoutFd, int fd3) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<char*> envp;
  for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  if (stdoutFd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, stdoutFd, 1);
  } else {
    posix_spawn_file_actions_adddup2(&actions, 2, 1);
  }
  if (fd3 >= 0) posix_spawn_file_actions_adddup2(&actions, fd3, 3);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  if (newSession) {
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
  } else {
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
  }
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, args[0], &actions, &attr, args.data(), envp.data());
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

std::vector<std::string> EnvironmentWith(const std::vector<std::pair<std::string, std::string>>& overrides) {
  std::vector<std::string> env;
  for (char** e = environ; e && *e; ++e) {
    std::string entry = *e;
    bool replaced = false;
    for (const auto& [name, value] : overrides) replaced = replaced || entry.rfind(name + "=", 0) == 0;
    if (!replaced) env.push_back(entry);
  }
  for (const auto& [name, value] : overrides) env.push_back(name + "=" + value);
  return env;
}

void ChildProcess::Kill() {
  if (m_pid <= 0) return;
  kill(-m_pid, SIGKILL);
  int status = 0;
  waitpid(m_pid, &status, 0);
  m_pid = -1;
}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    Stop();
    m_pid = other.m_pid;
    other.m_pid = -1;
  }
  return *this;
}

void ChildProcess::Stop() {
  if (m_pid <= 0) return;
  kill(-m_pid, SIGTERM);
  auto deadline = Clock::now() + kStopTimeout;
  while (Clock::now() < deadline) {
    siginfo_t info{};
    // WNOWAIT: the leader stays a zombie, so its pid cannot be reused while the group is swept.
    int rc = waitid(P_PID, static_cast<id_t>(m_pid), &info, WEXITED | WNOHANG | WNOWAIT);
    if ((rc == 0 && info.si_pid == m_pid) || (rc < 0 && errno == ECHILD)) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(-m_pid, SIGKILL);
  int status = 0;
  waitpid(m_pid, &status, 0);
  m_pid = -1;
}

int ChildProcess::Wait(std::chrono::milliseconds timeout) {
  if (m_pid <= 0) return -1;
  auto deadline = Clock::now() + timeout;
  while (true) {
    int status = 0;
    pid_t r = waitpid(m_pid, &status, WNOHANG);
    if (r == m_pid) {
      m_pid = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    }
    if (r < 0 && errno == ECHILD) {
      m_pid = -1;
      return -1;
    }
    if (Clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

ChildProcess StartProcess(const std::vector<std::string>& argv, const std::string& log) {
  return ChildProcess(SpawnProcess(argv, EnvironmentWith({}), log, false));
}

}  // namespace kalto::test
