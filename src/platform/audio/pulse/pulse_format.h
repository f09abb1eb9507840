#pragma once
// Sample specs of the server as the platform's wave formats.
#include <pulse/pulseaudio.h>

#include "platform/audio/audio.h"

namespace kalto::platform::audio::pulse {

// What a capture stream asks for: float where the server holds float, 16-bit PCM otherwise,
// with the server's channels and rate, so the server converts nothing else.
pa_sample_spec StreamSpecFor(const pa_sample_spec& server);

// The extensible format of a stream sampleSpec (float32 or s16 only).
WaveFormat ToWaveFormat(const pa_sample_spec& sampleSpec, const pa_channel_map& map);

// The speaker mask of a channel map (0 for positions outside the classic speaker set).
uint32_t ChannelMask(const pa_channel_map& map);

// Whether `format` describes the same samples as `mix` (tag-independent: PCM vs extensible).
bool MatchesMixFormat(const WaveFormat& format, const WaveFormat& mix);

}  // namespace kalto::platform::audio::pulse
