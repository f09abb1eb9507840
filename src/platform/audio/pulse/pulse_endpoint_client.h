#pragma once
// A client on one endpoint: a record stream on a source. Loopback of a render endpoint records
// its sink's monitor; a capture endpoint records the source itself.
#include <pulse/pulseaudio.h>

#include <string>

#include "platform/audio/pulse/pulse_audio_client.h"

namespace kalto::platform::audio::pulse {

class PulseEndpointClient final : public PulseAudioClient {
 public:
  // `source` is the source to record, `sampleSpec`/`map` its own; the stream asks for
  // StreamSpecFor(sampleSpec).
  PulseEndpointClient(std::shared_ptr<PulseConnection> connection, EDataFlow flow, std::string source,
                      const pa_sample_spec& sampleSpec, const pa_channel_map& map);
  ~PulseEndpointClient() override;

 private:
  HRESULT CheckStreamFlags(uint32_t streamFlags) override;
  HRESULT OpenStreams() override;
  HRESULT SetCorked(bool corked) override;
  HRESULT QueryLatency(int64_t* latencyHns) override;
  HRESULT ApplyProperties(const AudioClientProperties& properties) override;

  static void OnStreamState(pa_stream* stream, void* self);
  static void OnRead(pa_stream* stream, size_t bytes, void* self);

  const EDataFlow m_flow;
  const std::string m_source;
  const pa_sample_spec m_sampleSpec;
  const pa_channel_map m_map;
  bool m_echoCancel = false;
  bool m_raw = false;
  StreamPtr m_stream;  // guarded by the loop lock
};

// Shared by both clients: drains a record stream into a queue (loop thread).
void DrainRecordStream(pa_stream* stream, PacketQueue& queue);

}  // namespace kalto::platform::audio::pulse
