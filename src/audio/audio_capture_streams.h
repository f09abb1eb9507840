#pragma once
// What opening a stream takes, shared by the first opening and the reopening after a loss.
#include "audio/audio_capture.h"
#include "platform/audio/audio.h"

namespace kalto::audio_capture_detail {

inline constexpr int64_t kBufferDurationHns = 1'000'000;  // 100 ms

// A null result with a success code still means nothing came back.
inline HRESULT OrPointer(HRESULT hr) { return Failed(hr) ? hr : E_POINTER; }

// Formats the pipeline cannot read safely: no channels or no rate (the resampler would never
// advance), or samples narrower than the 16-bit or 32-bit float reads.
inline bool IsReadable(const CaptureFormat& format) {
  if (format.sampleRate == 0 || format.channels == 0) return false;
  return format.isFloat ? format.bitsPerSample >= 32 : format.bitsPerSample >= 16;
}

inline CaptureFormat ToCaptureFormat(const platform::audio::WaveFormat& wave) {
  namespace pa = platform::audio;
  CaptureFormat format;
  format.sampleRate = wave.nSamplesPerSec;
  format.channels = wave.nChannels;
  format.bitsPerSample = wave.wBitsPerSample;
  // The sub-format is not consulted: 32-bit extensible streams are float in practice.
  format.isFloat = wave.wFormatTag == pa::WAVE_FORMAT_IEEE_FLOAT ||
                   (wave.wFormatTag == pa::WAVE_FORMAT_EXTENSIBLE && wave.wBitsPerSample == 32);
  return format;
}

// What activating a process-tree loopback client takes. Not copyable: the variant points into the
// parameters, and both must live until the activation has completed.
struct ProcessLoopbackRequest {
  explicit ProcessLoopbackRequest(uint32_t processId) {
    namespace pa = platform::audio;
    params.ActivationType = pa::AUDIOCLIENT_ACTIVATION_TYPE_PROCESS_LOOPBACK;
    params.ProcessLoopbackParams.TargetProcessId = processId;
    params.ProcessLoopbackParams.ProcessLoopbackMode = pa::PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE;
    variant.vt = pa::VT_BLOB;
    variant.blob.cbSize = sizeof(params);
    variant.blob.pBlobData = reinterpret_cast<const uint8_t*>(&params);
  }
  ProcessLoopbackRequest(const ProcessLoopbackRequest&) = delete;
  ProcessLoopbackRequest& operator=(const ProcessLoopbackRequest&) = delete;

  platform::audio::AUDIOCLIENT_ACTIVATION_PARAMS params{};
  platform::audio::PropVariantBlob variant{};
};

}  // namespace kalto::audio_capture_detail
