#pragma once
// Child processes of the tests: started in their own process group, stopped (the whole group)
// by pid when their owner goes.
#include <sys/types.h>

#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace kalto::test {

// True when `program` is an executable in one of $PATH's folders.
bool OnPath(const std::string& program);

// Polls `done` every 10 ms until it holds or `timeout` passes; whether it held.
template <typename Pred>
bool WaitFor(Pred done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// A child process in its own process group; stopped (the whole group) when destroyed.
class ChildProcess {
 public:
  ChildProcess() = default;
  explicit ChildProcess(pid_t pid) : m_pid(pid) {}
  ~ChildProcess() { Stop(); }
  ChildProcess(ChildProcess&& other) noexcept : m_pid(other.m_pid) { other.m_pid = -1; }
  ChildProcess& operator=(ChildProcess&& other) noexcept;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return m_pid; }
  bool Started() const { return m_pid > 0; }
  // SIGTERM to the group, SIGKILL if it has not gone after a while; always reaps.
  void Stop();
  // SIGKILL to the group at once, as a crash would end it; reaps.
  void Kill();
  // Waits for the process to exit by itself; its exit status, or -1 on time-out (still running).
  int Wait(std::chrono::milliseconds timeout);

 private:
  pid_t m_pid = -1;
};

// Starts a program in its own process group, stdout and stderr to `log` (or /dev/null).
ChildProcess StartProcess(const std::vector<std::string>& argv, const std::string& log = "/dev/null");

// This process's environment with `overrides` set.
std::vector<std::string> EnvironmentWith(const std::vector<std::pair<std::string, std::string>>& overrides);
// Spawns argv in a new process group (a new session with `newSession`), stdin from /dev/null,
// stderr appended to `log`, stdout to `stdoutFd` (or `log`); `fd3`, when given, becomes fd 3.
pid_t SpawnProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env, const std::string& log,
                   bool newSession, int stdoutFd = -1, int fd3 = -1);

}  // namespace kalto::test
