#pragma once
// Helpers of the audio integration tests: opening a client the way the engine does, draining it
// the way the engine's capture thread does, and measuring what came out.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/audio/audio.h"

namespace kalto::platform::audio::probe {

struct OpenedStream {
  std::shared_ptr<AudioClient> client;
  std::shared_ptr<AudioCaptureClient> capture;
  std::shared_ptr<Event> event;
  WaveFormat format;
};

// Mix format, shared event-driven Initialize (100 ms buffer), event, capture service.
inline HRESULT OpenStream(std::shared_ptr<AudioClient> client, uint32_t streamFlags, OpenedStream* out) {
  out->client = std::move(client);
  std::unique_ptr<WaveFormat> format;
  if (HRESULT hr = out->client->GetMixFormat(&format); Failed(hr) || !format) return Failed(hr) ? hr : E_POINTER;
  out->format = *format;
  if (HRESULT hr = out->client->Initialize(AUDCLNT_SHAREMODE_SHARED, streamFlags | AUDCLNT_STREAMFLAGS_EVENTCALLBACK,
                                           1'000'000, 0, format.get());
      Failed(hr)) {
    return hr;
  }
  out->event = std::make_shared<Event>(false, false);
  if (HRESULT hr = out->client->SetEventHandle(out->event); Failed(hr)) return hr;
  return out->client->GetCaptureClient(&out->capture);
}

struct Drained {
  std::vector<float> samples;  // the first channel, from the onset on; silent packets as zeros
  int eventWakes = 0;
  int packets = 0;
  int silentPackets = 0;
  int discontinuities = 0;  // packets after a gap the queue made
  HRESULT failure = S_OK;
  bool complete = false;
};

inline bool IsFloat(const WaveFormat& f) {
  return f.wFormatTag == WAVE_FORMAT_IEEE_FLOAT ||
         (f.wFormatTag == WAVE_FORMAT_EXTENSIBLE && f.SubFormat == KSDATAFORMAT_SUBTYPE_IEEE_FLOAT);
}

// Waits on the stream's event (20 ms time-out) and drains every packet, until `frames` frames
// have been gathered after the first sample louder than `onset` plus `settleFrames` more, or the
// time-out passes.
inline Drained Drain(OpenedStream& stream, size_t frames, size_t settleFrames, float onset,
                     std::chrono::milliseconds timeout = std::chrono::seconds(15)) {
  Drained out;
  std::vector<float> all;
  ptrdiff_t start = -1;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  const size_t channels = stream.format.nChannels;
  const bool isFloat = IsFloat(stream.format);
  while (std::chrono::steady_clock::now() < deadline) {
    if (WaitForEvent(*stream.event, 20) == WAIT_OBJECT_0) ++out.eventWakes;
    uint32_t next = 0;
    HRESULT hr = stream.capture->GetNextPacketSize(&next);
    while (Succeeded(hr) && next > 0) {
      uint8_t* data = nullptr;
      uint32_t n = 0, flags = 0;
      if (Failed(hr = stream.capture->GetBuffer(&data, &n, &flags, nullptr, nullptr))) break;
      ++out.packets;
      if (flags & AUDCLNT_BUFFERFLAGS_SILENT) ++out.silentPackets;
      if (flags & AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY) ++out.discontinuities;
      for (uint32_t i = 0; i < n; ++i) {
        float v = 0.0f;
        if (!(flags & AUDCLNT_BUFFERFLAGS_SILENT)) {
          if (isFloat) {
            std::memcpy(&v, data + (i * channels) * 4, 4);
          } else {
            int16_t s = 0;
            std::memcpy(&s, data + (i * channels) * 2, 2);
            v = s / 32768.0f;
          }
        }
        all.push_back(v);
        if (start < 0 && std::fabs(v) > onset) start = static_cast<ptrdiff_t>(all.size()) - 1;
      }
      stream.capture->ReleaseBuffer(n);
      hr = stream.capture->GetNextPacketSize(&next);
    }
    if (Failed(hr)) {
      out.failure = hr;
      break;
    }
    if (start >= 0 && all.size() >= size_t(start) + settleFrames + frames) {
      out.samples.assign(all.begin() + start + static_cast<ptrdiff_t>(settleFrames),
                         all.begin() + start + static_cast<ptrdiff_t>(settleFrames + frames));
      out.complete = true;
      break;
    }
  }
  return out;
}

// The amplitude of the sine of `frequency` in `x` (a correlation over whole cycles).
inline double ToneAmplitude(const std::vector<float>& x, double frequency, double rate) {
  double c = 0, s = 0;
  for (size_t i = 0; i < x.size(); ++i) {
    double phase = 2.0 * M_PI * frequency * double(i) / rate;
    c += x[i] * std::cos(phase);
    s += x[i] * std::sin(phase);
  }
  return 2.0 * std::sqrt(c * c + s * s) / double(x.size());
}

inline double Rms(const std::vector<float>& x) {
  double sum = 0;
  for (float v : x) sum += double(v) * v;
  return x.empty() ? 0.0 : std::sqrt(sum / double(x.size()));
}

}  // namespace kalto::platform::audio::probe
