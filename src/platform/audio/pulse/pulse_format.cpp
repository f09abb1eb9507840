#include "platform/audio/pulse/pulse_format.h"

namespace kalto::platform::audio::pulse {
namespace {

bool IsFloatFormat(const WaveFormat& f) {
  if (f.wFormatTag == WAVE_FORMAT_IEEE_FLOAT) return true;
  return f.wFormatTag == WAVE_FORMAT_EXTENSIBLE && f.SubFormat == KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
}

bool IsPcmFormat(const WaveFormat& f) {
  if (f.wFormatTag == WAVE_FORMAT_PCM) return true;
  return f.wFormatTag == WAVE_FORMAT_EXTENSIBLE && f.SubFormat == KSDATAFORMAT_SUBTYPE_PCM;
}

}  // namespace

pa_sample_spec StreamSpecFor(const pa_sample_spec& server) {
  pa_sample_spec sampleSpec;
  bool isFloat = server.format == PA_SAMPLE_FLOAT32LE || server.format == PA_SAMPLE_FLOAT32BE;
  sampleSpec.format = isFloat ? PA_SAMPLE_FLOAT32LE : PA_SAMPLE_S16LE;
  sampleSpec.channels = server.channels;
  sampleSpec.rate = server.rate;
  return sampleSpec;
}

uint32_t ChannelMask(const pa_channel_map& map) {
  uint32_t mask = 0;
  for (unsigned i = 0; i < map.channels; ++i) {
    switch (map.map[i]) {
      case PA_CHANNEL_POSITION_MONO:
      case PA_CHANNEL_POSITION_FRONT_CENTER:
        mask |= 0x4;
        break;
      case PA_CHANNEL_POSITION_FRONT_LEFT:
        mask |= 0x1;
        break;
      case PA_CHANNEL_POSITION_FRONT_RIGHT:
        mask |= 0x2;
        break;
      case PA_CHANNEL_POSITION_LFE:
        mask |= 0x8;
        break;
      case PA_CHANNEL_POSITION_REAR_LEFT:
        mask |= 0x10;
        break;
      case PA_CHANNEL_POSITION_REAR_RIGHT:
        mask |= 0x20;
        break;
      case PA_CHANNEL_POSITION_FRONT_LEFT_OF_CENTER:
        mask |= 0x40;
        break;
      case PA_CHANNEL_POSITION_FRONT_RIGHT_OF_CENTER:
        mask |= 0x80;
        break;
      case PA_CHANNEL_POSITION_REAR_CENTER:
        mask |= 0x100;
        break;
      case PA_CHANNEL_POSITION_SIDE_LEFT:
        mask |= 0x200;
        break;
      case PA_CHANNEL_POSITION_SIDE_RIGHT:
        mask |= 0x400;
        break;
      default:
        break;
    }
  }
  return mask;
}

WaveFormat ToWaveFormat(const pa_sample_spec& sampleSpec, const pa_channel_map& map) {
  bool isFloat = sampleSpec.format == PA_SAMPLE_FLOAT32LE;
  return MakeExtensibleFormat(sampleSpec.rate, sampleSpec.channels, isFloat ? 32 : 16, isFloat, ChannelMask(map));
}

bool MatchesMixFormat(const WaveFormat& format, const WaveFormat& mix) {
  if (format.nChannels != mix.nChannels || format.nSamplesPerSec != mix.nSamplesPerSec ||
      format.wBitsPerSample != mix.wBitsPerSample) {
    return false;
  }
  return IsFloatFormat(mix) ? IsFloatFormat(format) : IsPcmFormat(format);
}

}  // namespace kalto::platform::audio::pulse
