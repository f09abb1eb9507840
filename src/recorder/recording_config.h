#pragma once
#include <cstdint>
#include <mutex>
#include <string>

#include "recorder/background_effect_config.h"
#include "recorder/focus_zoom_settings.h"
#include "recorder/region_rect.h"

namespace kalto {

// The 56 properties of a recording configuration as (name, type, default), in their published
// order. The class below, its snapshot and (later) the component's method table are all
// generated from this one list, so the order cannot drift between them.
// 21.333 is the double nearest to that decimal, not 64/3.
#define KALTO_RECORDING_CONFIG_PROPERTIES(X)                 \
  X(OutputPath, std::wstring, std::wstring())               \
  X(CaptureMode, int32_t, 0)                                \
  X(MonitorHandle, int64_t, 0)                              \
  X(WindowHandle, int64_t, 0)                               \
  X(CropRegion, RegionRect, RegionRect())                   \
  X(OutputWidth, int32_t, 1920)                             \
  X(OutputHeight, int32_t, 1080)                            \
  X(FrameRate, int32_t, 30)                                 \
  X(VideoBitrate, int32_t, 4000000)                         \
  X(CaptureCursor, bool, true)                              \
  X(VideoProfile, int32_t, 1)                               \
  X(QualityVsSpeed, int32_t, 50)                            \
  X(UseCabac, bool, true)                                   \
  X(BFrameCount, int32_t, 0)                                \
  X(KeyframeIntervalSeconds, int32_t, 1)                    \
  X(AudioSampleRate, int32_t, 48000)                        \
  X(AudioChannels, int32_t, 2)                              \
  X(CaptureMicrophone, bool, true)                          \
  X(CaptureSystemAudio, bool, true)                         \
  X(CaptureWindowProcessAudioOnly, bool, false)             \
  X(MicrophoneDeviceId, std::wstring, std::wstring())       \
  X(MicrophoneVolume, double, 1.0)                          \
  X(SystemAudioVolume, double, 0.5)                         \
  X(NoiseSuppressionEnabled, bool, false)                   \
  X(MicrophoneMode, int32_t, 0)                             \
  X(NoiseSuppressionLevel, int32_t, 1)                      \
  X(DuckingEnabled, bool, false)                            \
  X(DuckingLevelDb, double, -12.0)                          \
  X(AudioBitrate, int32_t, 192000)                          \
  X(AgcMinGain, double, 1.0)                                \
  X(AgcMaxGain, double, 4.0)                                \
  X(AgcTargetLevel, double, 0.3)                            \
  X(VoiceProcessingGain, double, 3.5)                       \
  X(NoiseSuppressionGain, double, 1.2)                      \
  X(ReservedDouble1, double, 0.05)                          \
  X(ReservedDouble2, double, 0.02)                          \
  X(ReservedDouble3, double, 0.2)                           \
  X(GainSmoothing, double, 0.15)                            \
  X(LimiterThreshold, double, 0.7)                          \
  X(LimiterKnee, double, 0.8)                               \
  X(LimiterRatio, double, 3.0)                              \
  X(ReservedDouble4, double, 1.0)                           \
  X(ReservedInt1, int32_t, 48000)                           \
  X(ReservedInt2, int32_t, 2048)                            \
  X(ReservedDouble5, double, 21.333)                        \
  X(ReservedInt3, int32_t, 33)                              \
  X(ReservedInt4, int32_t, 2)                               \
  X(ReservedInt5, int32_t, 4)                               \
  X(CameraSyncDelayMs, int32_t, 100)                        \
  X(ReservedInt6, int32_t, 1)                               \
  X(ReservedInt7, int32_t, 200)                             \
  X(ReservedInt8, int32_t, 150)                             \
  X(ReservedInt9, int32_t, 400)                             \
  X(ReservedInt10, int32_t, 300)                            \
  X(FocusZoom, FocusZoomSettings, FocusZoomSettings())      \
  X(CameraBackgroundEffect, BackgroundEffectConfig, BackgroundEffectConfig())

// Every property's value at one instant, as the recorder reads them during a prepare or start.
struct RecordingConfigValues {
#define KALTO_CONFIG_FIELD(name, type, initial) type name = initial;
  KALTO_RECORDING_CONFIG_PROPERTIES(KALTO_CONFIG_FIELD)
#undef KALTO_CONFIG_FIELD
  friend bool operator==(const RecordingConfigValues&, const RecordingConfigValues&) = default;
};

// The application's description of one recording: a property bag that validates nothing.
// Setters store the value unchanged (clamps and fallbacks belong to the recorder that reads
// them); neither getters nor setters fail. The object is free-threaded: the application may set
// properties while the recorder reads the configuration it kept from a prepare.
class RecordingConfig {
 public:
  RecordingConfig() = default;
  RecordingConfig(const RecordingConfig&) = delete;
  RecordingConfig& operator=(const RecordingConfig&) = delete;

  // For each property, in order: the getter, then the setter.
#define KALTO_CONFIG_ACCESSORS(name, type, initial) \
  type name() const;                                \
  void name(type value);
  KALTO_RECORDING_CONFIG_PROPERTIES(KALTO_CONFIG_ACCESSORS)
#undef KALTO_CONFIG_ACCESSORS

  // All values read under one lock, so a concurrent setter cannot split them.
  RecordingConfigValues Snapshot() const;

 private:
  mutable std::mutex m_mutex;
  RecordingConfigValues m_values;
};

}  // namespace kalto
