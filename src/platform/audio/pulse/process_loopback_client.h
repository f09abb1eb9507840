#pragma once
// Loopback of one process tree: every playback stream (sink input) whose process is the target
// or a descendant of it is recorded on its own (pa_stream_set_monitor_stream) and the recordings
// are mixed into one capture stream. Streams the tree opens later are followed as they appear.
#include <pulse/pulseaudio.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/audio/pulse/pulse_audio_client.h"

namespace kalto::platform::audio::pulse {

class ProcessLoopbackClient final : public PulseAudioClient {
 public:
  // The mix is float at the default sink's channels and rate (`sinkSpec`, `sinkMap`).
  ProcessLoopbackClient(std::shared_ptr<PulseConnection> connection, uint32_t targetProcessId,
                        PROCESS_LOOPBACK_MODE mode, const pa_sample_spec& sinkSpec, const pa_channel_map& sinkMap,
                        std::string procRoot = "/proc");
  ~ProcessLoopbackClient() override;

  // Playback streams recorded now.
  size_t FollowedStreamCount() const;

  // A stream that has delivered nothing for this long no longer holds the mix back.
  static constexpr pa_usec_t kIdleUs = 60 * PA_USEC_PER_MSEC;

 private:
  struct Follower {
    ProcessLoopbackClient* owner = nullptr;
    uint32_t sinkInput = PA_INVALID_INDEX;
    StreamPtr stream;
    uint64_t position = 0;  // mix frame where its next frame goes
    pa_usec_t lastDataUs = 0;
  };

  HRESULT CheckStreamFlags(uint32_t streamFlags) override;
  HRESULT OpenStreams() override;
  HRESULT SetCorked(bool corked) override;
  HRESULT QueryLatency(int64_t* latencyHns) override;
  HRESULT ApplyProperties(const AudioClientProperties& properties) override;

  // Loop thread (or the lock held).
  bool Wanted(uint32_t processId) const;
  void Consider(const pa_sink_input_info& info);
  void Follow(uint32_t sinkInput);
  void Unfollow(uint32_t sinkInput);
  void OnSinkInputEvent(pa_subscription_event_type_t type, uint32_t index);
  void MixIn(Follower& follower, const void* data, size_t bytes);
  void Emit(pa_usec_t nowUs);
  void ArmTimerLocked(bool on);
  // Drops finished operations and retired streams.
  void ReapOperationsLocked();
  void TrackOperation(OperationPtr operation);
  void ReleaseAllLocked();

  static void OnSinkInputInfo(pa_context* context, const pa_sink_input_info* info, int eol, void* self);
  static void OnFollowerState(pa_stream* stream, void* follower);
  static void OnFollowerRead(pa_stream* stream, size_t bytes, void* follower);
  static void OnTimer(pa_mainloop_api* api, pa_time_event* event, const struct timeval* tv, void* self);

  const uint32_t m_target;
  const PROCESS_LOOPBACK_MODE m_mode;
  const pa_sample_spec m_sampleSpec;
  const pa_channel_map m_map;
  const std::string m_procRoot;

  // Everything below belongs to the loop thread (or a holder of the loop lock).
  bool m_corked = true;
  bool m_listening = false;
  uint64_t m_listenerToken = 0;
  std::map<uint32_t, std::unique_ptr<Follower>> m_followers;
  std::vector<std::unique_ptr<Follower>> m_retired;  // failed streams, released at the next reap
  std::set<uint32_t> m_rejected;                     // sink inputs of other processes, until they go
  std::map<uint32_t, int> m_failures;                // sink input -> streams of it that failed
  std::vector<OperationPtr> m_operations;
  TimeEventPtr m_timer;
  std::vector<float> m_mix;  // frames from m_mixBase on, not yet handed to the queue
  uint64_t m_mixBase = 0;
  int m_listsPending = 0;
};

}  // namespace kalto::platform::audio::pulse
