#include "support/pulse_server.h"
#include "support/x_server.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

extern char** environ;

namespace kalto::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kStartTimeout = 20s;

}  // namespace

bool PulseServer::Available() { return OnPath("pulseaudio") && OnPath("pacat") && OnPath("pactl"); }

PulseServer::PulseServer(const std::string& extraScript) {
  char dirTemplate[] = "/tmp/kalto-pulse-XXXXXX";
  if (!mkdtemp(dirTemplate)) {
    m_error = "mkdtemp failed";
    return;
  }
  m_dir = dirTemplate;
  // The daemon refuses a runtime folder others can enter.
  std::string runtime = m_dir + "/runtime";
  mkdir(runtime.c_str(), 0700);
  mkdir((m_dir + "/config").c_str(), 0700);
  m_address = "unix:" + runtime + "/native";
  std::string script = m_dir + "/server.pa";
  {
    std::ofstream out(script);
    out << "load-module module-native-protocol-unix auth-anonymous=1 socket=" << runtime << "/native\n"
        << "load-module module-null-sink sink_name=kalto_speakers format=float32le rate=48000 channels=2 norewinds=1"
           " sink_properties=device.description=Speakers\n"
        << "load-module module-null-sink sink_name=kalto_mic_feed format=s16le rate=48000 channels=1 norewinds=1"
           " sink_properties=device.description=MicFeed\n"
        << "load-module module-remap-source master=kalto_mic_feed.monitor source_name=kalto_mic"
           " source_properties=device.description=Microphone\n"
        << "set-default-sink kalto_speakers\n"
        << "set-default-source kalto_mic\n"
        << extraScript << "\n";
  }
  Launch();
}

bool PulseServer::Restart() {
  m_daemon.Kill();
  m_error.clear();
  return Launch();
}

bool PulseServer::Launch() {
  const std::string runtime = m_dir + "/runtime";
  const std::string script = m_dir + "/server.pa";
  auto env = EnvironmentWith({{"HOME", m_dir},
                              {"XDG_RUNTIME_DIR", runtime},
                              {"XDG_CONFIG_HOME", m_dir + "/config"},
                              {"PULSE_RUNTIME_PATH", runtime}});
  pid_t pid = SpawnProcess({"pulseaudio", "-n", "-F", script, "--daemonize=no", "--exit-idle-time=-1", "--realtime=no",
                            "--high-priority=no", "--log-target=stderr"},
                           env, m_dir + "/pulseaudio.log", true);
  if (pid <= 0) {
    m_error = "cannot start pulseaudio";
    return false;
  }
  m_daemon = ChildProcess(pid);
  auto deadline = Clock::now() + kStartTimeout;
  while (Clock::now() < deadline) {
    if (m_daemon.Wait(0ms) != -1 || !m_daemon.Started()) break;  // the daemon gave up
    if (access((runtime + "/native").c_str(), F_OK) == 0 && Run({"pactl", "info"}, 5s) == 0) return true;
    std::this_thread::sleep_for(50ms);
  }
  std::ifstream log(m_dir + "/pulseaudio.log");
  std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
  m_error = "pulseaudio did not come up: " + text.substr(text.size() > 2000 ? text.size() - 2000 : 0);
  m_daemon.Stop();
  return false;
}

PulseServer::~PulseServer() {
  m_daemon.Stop();
  if (!m_dir.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(m_dir, ec);
  }
}

std::vector<std::string> PulseServer::ClientEnvironment() const {
  return EnvironmentWith({{"PULSE_SERVER", m_address}});
}

ChildProcess PulseServer::Spawn(const std::vector<std::string>& argv) const {
  return ChildProcess(SpawnProcess(argv, ClientEnvironment(), m_dir + "/clients.log", false));
}

int PulseServer::Run(const std::vector<std::string>& argv, std::chrono::milliseconds timeout) const {
  ChildProcess child = Spawn(argv);
  return child.Wait(timeout);
}

std::string PulseServer::Output(const std::vector<std::string>& argv) const {
  std::string path = m_dir + "/output.txt";
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return {};
  ChildProcess child(SpawnProcess(argv, ClientEnvironment(), m_dir + "/clients.log", false, fd));
  close(fd);
  child.Wait(std::chrono::seconds(10));
  std::ifstream in(path);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::vector<char> SineS16(double frequencyHz, double amplitude, int sampleRate, int channels, double seconds) {
  const auto frames = static_cast<size_t>(seconds * sampleRate);
  std::vector<char> bytes(frames * channels * 2);
  for (size_t i = 0; i < frames; ++i) {
    auto value =
        static_cast<int16_t>(std::lround(amplitude * 32767.0 * std::sin(2.0 * M_PI * frequencyHz * i / sampleRate)));
    for (int c = 0; c < channels; ++c) std::memcpy(&bytes[(i * channels + c) * 2], &value, 2);
  }
  return bytes;
}

void WriteFile(const std::string& path, const std::vector<char>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace kalto::test
