// The recording configuration and the value types the recorder hands across its boundary.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <functional>
#include <limits>
#include <variant>

#include "recorder/recording_config.h"
#include "recorder/recording_progress.h"

namespace kalto {
namespace {

using namespace std::string_literals;
using Value = std::variant<std::wstring, int32_t, int64_t, bool, double, RegionRect, FocusZoomSettings,
                           BackgroundEffectConfig>;

struct PropertyCase {
  std::string name;
  Value initial;
  Value sample;  // differs from the default, to catch a setter that writes another slot
  std::function<Value(const RecordingConfig&)> get;
  std::function<void(RecordingConfig&, const Value&)> set;
  std::function<Value(const RecordingConfigValues&)> read;
};

// The expected defaults are written out here independently of the property list in the header.
// Samples include out-of-range values, extremes and an embedded NUL: the bag validates nothing.
#define TYPE(prop) decltype(std::declval<RecordingConfig>().prop())
#define PROPERTY(prop, initial, sample)                                                                  \
  PropertyCase {                                                                                         \
    #prop, Value(TYPE(prop)(initial)), Value(TYPE(prop)(sample)), [](const RecordingConfig& c) { return Value(c.prop()); }, \
        [](RecordingConfig& c, const Value& v) { c.prop(std::get<TYPE(prop)>(v)); },                    \
        [](const RecordingConfigValues& v) { return Value(v.prop); }                                     \
  }

const std::vector<PropertyCase>& Cases() {
  static const std::vector<PropertyCase> cases = {
      PROPERTY(OutputPath, L"", L"/tmp/r\u00e9cording \U0001F3A5\0.mp4"s),
      PROPERTY(CaptureMode, 0, 3),
      PROPERTY(MonitorHandle, 0, std::numeric_limits<int64_t>::min()),
      PROPERTY(WindowHandle, 0, std::numeric_limits<int64_t>::max()),
      PROPERTY(CropRegion, (RegionRect{0, 0, 0, 0}), (RegionRect{10, -20, 640, 0})),
      PROPERTY(OutputWidth, 1920, -1),
      PROPERTY(OutputHeight, 1080, 0),
      PROPERTY(FrameRate, 30, 60),
      PROPERTY(VideoBitrate, 4000000, std::numeric_limits<int32_t>::min()),
      PROPERTY(CaptureCursor, true, false),
      PROPERTY(VideoProfile, 1, 7),
      PROPERTY(QualityVsSpeed, 50, 101),
      PROPERTY(UseCabac, true, false),
      PROPERTY(BFrameCount, 0, 2),
      PROPERTY(KeyframeIntervalSeconds, 1, 4),
      PROPERTY(AudioSampleRate, 48000, 44100),
      PROPERTY(AudioChannels, 2, 1),
      PROPERTY(CaptureMicrophone, true, false),
      PROPERTY(CaptureSystemAudio, true, false),
      PROPERTY(CaptureWindowProcessAudioOnly, false, true),
      PROPERTY(MicrophoneDeviceId, L"", std::wstring(4000, L'x')),
      PROPERTY(MicrophoneVolume, 1.0, 5.0),
      PROPERTY(SystemAudioVolume, 0.5, -1.0),
      PROPERTY(NoiseSuppressionEnabled, false, true),
      PROPERTY(MicrophoneMode, 0, 2),
      PROPERTY(NoiseSuppressionLevel, 1, 9),
      PROPERTY(DuckingEnabled, false, true),
      PROPERTY(DuckingLevelDb, -12.0, -40.0),
      PROPERTY(AudioBitrate, 192000, 128000),
      PROPERTY(AgcMinGain, 1.0, 0.25),
      PROPERTY(AgcMaxGain, 4.0, std::numeric_limits<double>::infinity()),
      PROPERTY(AgcTargetLevel, 0.3, 0.9),
      PROPERTY(VoiceProcessingGain, 3.5, 0.125),
      PROPERTY(NoiseSuppressionGain, 1.2, 2.75),
      PROPERTY(ReservedDouble1, 0.05, 1.5),
      PROPERTY(ReservedDouble2, 0.02, 2.5),
      PROPERTY(ReservedDouble3, 0.2, 3.5),
      PROPERTY(GainSmoothing, 0.15, 0.875),
      PROPERTY(LimiterThreshold, 0.7, 0.5),
      PROPERTY(LimiterKnee, 0.8, 0.0625),
      PROPERTY(LimiterRatio, 3.0, std::numeric_limits<double>::denorm_min()),
      PROPERTY(ReservedDouble4, 1.0, 4.5),
      PROPERTY(ReservedInt1, 48000, 1),
      PROPERTY(ReservedInt2, 2048, 2),
      PROPERTY(ReservedDouble5, 21.333, 5.5),
      PROPERTY(ReservedInt3, 33, 3),
      PROPERTY(ReservedInt4, 2, 4),
      PROPERTY(ReservedInt5, 4, 5),
      PROPERTY(CameraSyncDelayMs, 100, 0),
      PROPERTY(ReservedInt6, 1, 6),
      PROPERTY(ReservedInt7, 200, 7),
      PROPERTY(ReservedInt8, 150, 8),
      PROPERTY(ReservedInt9, 400, 9),
      PROPERTY(ReservedInt10, 300, 10),
      PROPERTY(FocusZoom, (FocusZoomSettings{false, false, 0.0, 0.0, 0.0, 0.0}),
               (FocusZoomSettings{false, true, -1.0, 0.0, -0.0, 0.0})),
      PROPERTY(CameraBackgroundEffect, (BackgroundEffectConfig{0, 0, 0, 0, 0, 0}),
               (BackgroundEffectConfig{99, -1, 1000, -5, 13, 7})),
  };
  return cases;
}

// One pass over the table: the published order, each default (also in a snapshot), and each
// sample stored unchanged by its own setter without touching any other property.
TEST(RecordingConfig, EveryPropertyInOrderWithItsDefaultAndRoundTrip) {
  std::vector<std::string> declared;
#define KALTO_NAME(name, type, initial) declared.push_back(#name);
  KALTO_RECORDING_CONFIG_PROPERTIES(KALTO_NAME)
#undef KALTO_NAME
  ASSERT_EQ(56u, Cases().size());
  for (size_t i = 0; i < Cases().size(); ++i) EXPECT_EQ(Cases()[i].name, declared.at(i)) << i;
  const RecordingConfigValues defaults = RecordingConfig().Snapshot();
  for (const PropertyCase& target : Cases()) {
    ASSERT_FALSE(target.sample == target.initial) << target.name << ": the sample must differ";
    EXPECT_TRUE(target.read(defaults) == target.initial) << target.name;
    RecordingConfig config;
    EXPECT_TRUE(target.get(config) == target.initial) << target.name;
    target.set(config, target.sample);
    EXPECT_TRUE(target.get(config) == target.sample) << target.name;
    RecordingConfigValues snapshot = config.Snapshot();
    EXPECT_TRUE(target.read(snapshot) == target.sample) << target.name << " in the snapshot";
    for (const PropertyCase& other : Cases()) {
      if (&other == &target) continue;
      EXPECT_TRUE(other.read(snapshot) == other.initial) << target.name << " changed " << other.name;
    }
  }
}

// The value structures cross the component boundary by value with the platform's layout: the
// fields in their published order and nothing else.
static_assert(std::is_standard_layout_v<RegionRect> && sizeof(RegionRect) == 16 && offsetof(RegionRect, Y) == 4 &&
              offsetof(RegionRect, Width) == 8 && offsetof(RegionRect, Height) == 12);
static_assert(std::is_standard_layout_v<BackgroundEffectConfig> && sizeof(BackgroundEffectConfig) == 24 &&
              offsetof(BackgroundEffectConfig, BlurStrength) == 4 && offsetof(BackgroundEffectConfig, ColorPreset) == 8 &&
              offsetof(BackgroundEffectConfig, GradientPreset) == 12 && offsetof(BackgroundEffectConfig, PerformanceMode) == 20);
static_assert(std::is_standard_layout_v<FocusZoomSettings> && sizeof(FocusZoomSettings) == 40);
static_assert(offsetof(FocusZoomSettings, ReservedFlag2) == 1 && offsetof(FocusZoomSettings, ZoomRegionFraction) == 8 &&
              offsetof(FocusZoomSettings, FollowSmoothing) == 16 && offsetof(FocusZoomSettings, MoveThreshold) == 24 &&
              offsetof(FocusZoomSettings, MagnifierScale) == 32);

// Each factor that is not positive (NaN included) is replaced on its own; the flags are copied.
TEST(FocusZoomFallbacks, EachNonPositiveFactorIsReplacedAlone) {
  EXPECT_EQ(WithFallbacks(FocusZoomSettings{}), (FocusZoomSettings{false, false, 0.55, 0.4, 5.0, 2.0}));
  const FocusZoomSettings given{true, true, 0.3, 0.2, 8.0, 3.0};
  struct Case {
    double FocusZoomSettings::*field;
    double fallback;
  } cases[] = {{&FocusZoomSettings::ZoomRegionFraction, 0.55},
               {&FocusZoomSettings::FollowSmoothing, 0.4},
               {&FocusZoomSettings::MoveThreshold, 5.0},
               {&FocusZoomSettings::MagnifierScale, 2.0}};
  for (const Case& c : cases) {
    for (double bad : {0.0, -1.0, std::nan("")}) {
      FocusZoomSettings in = given, expected = given;
      in.*c.field = bad, expected.*c.field = c.fallback;
      EXPECT_EQ(WithFallbacks(in), expected) << bad;
    }
  }
  FocusZoomSettings tiny{false, true, std::numeric_limits<double>::denorm_min(), 1e-300, 0.5, 100.0};
  EXPECT_EQ(WithFallbacks(tiny), tiny);
}

TEST(RecordingProgress, FromDurationTruncatesMicrosecondsSaturatesAndDerivesTheRate) {
  EXPECT_EQ(RecordingProgress().DurationMicroseconds(), 0);
  const RecordingProgress p = RecordingProgress::FromDuration(2.0, 61, 4);
  EXPECT_EQ(std::tuple(2.0, int64_t{2000000}, 30.5, 4),
            std::tuple(p.DurationSeconds(), p.DurationMicroseconds(), p.AverageFrameRate(), p.DroppedFrames()));
  // Truncated toward zero, never rounded.
  EXPECT_EQ(RecordingProgress::FromDuration(1.0000019, 0, 0).DurationMicroseconds(), 1000001);
  EXPECT_EQ(RecordingProgress::FromDuration(0.9999999, 0, 0).DurationMicroseconds(), 999999);
  EXPECT_EQ(SecondsToMicrosecondsTruncated(-1.0000019), -1000001);
  // No rate without a positive duration.
  for (double d : {0.0, -1.0, std::nan("")}) EXPECT_EQ(RecordingProgress::FromDuration(d, 10, 0).AverageFrameRate(), 0.0) << d;
  EXPECT_EQ(SecondsToMicrosecondsTruncated(std::nan("")), 0);
  EXPECT_EQ(SecondsToMicrosecondsTruncated(1e300), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(SecondsToMicrosecondsTruncated(-1e300), std::numeric_limits<int64_t>::min());
  EXPECT_EQ(SecondsToMicrosecondsTruncated(std::numeric_limits<double>::infinity()), std::numeric_limits<int64_t>::max());
}

}  // namespace
}  // namespace kalto
