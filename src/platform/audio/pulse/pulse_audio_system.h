#pragma once
// The PulseAudio backend of the audio platform. Endpoints are the server's sinks (render; their
// id is the sink name, and loopback records the sink's monitor) and sources (capture; their id
// is the source name). Every role maps to the server's default sink or source. Process
// loopback follows the playback streams of a process tree (ProcessLoopbackClient).
//
// Nothing connects until first used; a connection that fails is replaced by the next call.
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/audio/audio.h"
#include "platform/audio/pulse/pulse_connection.h"

namespace kalto::platform::audio::pulse {

// Hands out the current connection, connecting on demand.
class ConnectionSource {
 public:
  explicit ConnectionSource(std::string server) : m_server(std::move(server)) {}
  // Null when the server cannot be reached; the first failure after a success is logged.
  std::shared_ptr<PulseConnection> Get();

  static constexpr std::chrono::milliseconds kConnectTimeout{2000};

 private:
  std::mutex m_mutex;
  const std::string m_server;
  std::shared_ptr<PulseConnection> m_connection;
  bool m_failureLogged = false;
};

class PulseAudioSystem final : public AudioSystem {
 public:
  // `server` as libpulse takes it ("unix:/run/.../native"); empty means $PULSE_SERVER or the
  // user's usual server.
  explicit PulseAudioSystem(std::string server = {});
  // Waits for activations still under way.
  ~PulseAudioSystem() override;
  PulseAudioSystem(const PulseAudioSystem&) = delete;
  PulseAudioSystem& operator=(const PulseAudioSystem&) = delete;

  HRESULT CreateDeviceEnumerator(std::shared_ptr<DeviceEnumerator>* enumerator) override;
  HRESULT ActivateAudioInterfaceAsync(const std::wstring& deviceInterfacePath, const PropVariantBlob* activationParams,
                                      std::shared_ptr<ActivateAudioInterfaceCompletionHandler> handler,
                                      std::shared_ptr<ActivateAudioInterfaceAsyncOperation>* operation) override;
  // Monitoring single playback streams is as old as the server's protocol: always there.
  bool IsBuildAtLeast(uint32_t) override { return true; }

 private:
  struct Worker {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  void ReapWorkersLocked();

  const std::shared_ptr<ConnectionSource> m_connections;
  std::mutex m_workersMutex;
  std::vector<Worker> m_workers;
};

}  // namespace kalto::platform::audio::pulse
