#pragma once
// A private PulseAudio daemon for integration tests, with its own runtime folder: a native
// socket, a float stereo 48 kHz null sink as the default sink ("kalto_speakers"), and a virtual
// microphone ("kalto_mic", 16-bit mono 48 kHz) fed by playing into the null sink
// "kalto_mic_feed". Clients reach it through Address(); processes started here get it as
// PULSE_SERVER. Everything started here is stopped by pid (process group) when its owner goes.

#include <chrono>
#include <string>
#include <vector>

#include "support/process.h"

namespace kalto::test {

class PulseServer {
 public:
  // True when `pulseaudio` and `pacat` can be found on PATH.
  static bool Available();

  // Starts the daemon with the standard script plus `extraScript` (more .pa lines) and waits
  // until it answers. Check Running(); Error() says why not.
  explicit PulseServer(const std::string& extraScript = {});
  ~PulseServer();
  PulseServer(const PulseServer&) = delete;
  PulseServer& operator=(const PulseServer&) = delete;

  bool Running() const { return m_daemon.Started(); }
  const std::string& Error() const { return m_error; }
  // "unix:<runtime dir>/native", as libpulse and PULSE_SERVER take it.
  const std::string& Address() const { return m_address; }
  // A scratch folder removed with the server.
  const std::string& Dir() const { return m_dir; }
  // Kills the daemon (SIGKILL, as a crash would) and starts it again with the same script,
  // socket and folder, waiting until it answers. Its clients see the server go and come back.
  // False (with Error()) when it did not come back.
  bool Restart();

  // Starts a client program (pacat, pactl, sh ...) with PULSE_SERVER pointing here.
  ChildProcess Spawn(const std::vector<std::string>& argv) const;
  // Runs one to completion; its exit status (-1 when it did not finish in time).
  int Run(const std::vector<std::string>& argv, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
  // Runs one and returns what it printed on stdout.
  std::string Output(const std::vector<std::string>& argv) const;

 private:
  std::vector<std::string> ClientEnvironment() const;
  // Starts the daemon on the script in m_dir and waits until it answers.
  bool Launch();

  std::string m_dir;
  std::string m_address;
  std::string m_error;
  ChildProcess m_daemon;
};

// Interleaved signed 16-bit samples of a sine, the same on every channel, for pacat --raw.
std::vector<char> SineS16(double frequencyHz, double amplitude, int sampleRate, int channels, double seconds);
void WriteFile(const std::string& path, const std::vector<char>& bytes);

}  // namespace kalto::test
