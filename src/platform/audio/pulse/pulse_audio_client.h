#pragma once
// What the two kinds of pulse capture clients share: the checks and states of the client calls,
// the packet queue between the loop thread and the capture thread, and the capture service.
#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/audio/audio.h"
#include "platform/audio/pulse/packet_queue.h"
#include "platform/audio/pulse/pulse_connection.h"

namespace kalto::platform::audio::pulse {

class PulseAudioClient : public AudioClient,
                         public AudioClient2,
                         public std::enable_shared_from_this<PulseAudioClient> {
 public:
  ~PulseAudioClient() override = default;

  HRESULT GetMixFormat(std::unique_ptr<WaveFormat>* format) override;
  HRESULT Initialize(AUDCLNT_SHAREMODE shareMode, uint32_t streamFlags, int64_t bufferDurationHns,
                     int64_t periodicityHns, const WaveFormat* format) override;
  HRESULT SetEventHandle(std::shared_ptr<Event> event) override;
  HRESULT GetCaptureClient(std::shared_ptr<AudioCaptureClient>* captureClient) override;
  HRESULT Start() override;
  HRESULT Stop() override;
  HRESULT GetStreamLatency(int64_t* latencyHns) override;
  AudioClient2* QueryAudioClient2() override { return this; }
  HRESULT SetClientProperties(const AudioClientProperties& properties) override;

  // Packets arrive about every 10 ms.
  static constexpr int64_t kPeriodHns = 100'000;
  // The least a packet queue holds, whatever buffer the client asked for.
  static constexpr int64_t kMinQueueSeconds = 5;

 protected:
  PulseAudioClient(std::shared_ptr<PulseConnection> connection, const WaveFormat& mixFormat);

  // The loopback flag is allowed (or demanded) by the kind of client.
  virtual HRESULT CheckStreamFlags(uint32_t streamFlags) = 0;
  // Called without the loop lock; the queue exists by then. Streams start corked.
  virtual HRESULT OpenStreams() = 0;
  virtual HRESULT SetCorked(bool corked) = 0;
  virtual HRESULT QueryLatency(int64_t* latencyHns) = 0;
  // Called before Initialize with checked properties; a refusal changes nothing.
  virtual HRESULT ApplyProperties(const AudioClientProperties& properties) = 0;

  uint32_t PeriodFrames() const;
  PacketQueue& Queue() { return *m_queue; }

  const std::shared_ptr<PulseConnection> m_connection;
  const WaveFormat m_mixFormat;

 private:
  std::unique_ptr<PacketQueue> m_queue;
  std::mutex m_mutex;
  bool m_initialized = false;
  bool m_eventDriven = false;
  bool m_hasEvent = false;
  bool m_running = false;
};

}  // namespace kalto::platform::audio::pulse
