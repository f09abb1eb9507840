#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "recorder/recording_config.h"

namespace kalto {
namespace {

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
#define PROPERTY(prop, initial, sample)                                                   \
  PropertyCase {                                                                          \
    #prop, Value(decltype(std::declval<RecordingConfig>().prop())(initial)),              \
        Value(decltype(std::declval<RecordingConfig>().prop())(sample)),                  \
        [](const RecordingConfig& c) { return Value(c.prop()); },                         \
        [](RecordingConfig& c, const Value& v) {                                          \
          c.prop(std::get<decltype(std::declval<RecordingConfig>().prop())>(v));          \
        },                                                                                \
        [](const RecordingConfigValues& v) { return Value(v.prop); }                      \
  }

const std::vector<PropertyCase>& Cases() {
  static const std::vector<PropertyCase> cases = {
      PROPERTY(OutputPath, L"", L"/tmp/r\u00e9cording \U0001F3A5.mp4"),
      PROPERTY(CaptureMode, 0, 3),
      PROPERTY(MonitorHandle, 0, int64_t{0x1234567890}),
      PROPERTY(WindowHandle, 0, int64_t{-7}),
      PROPERTY(CropRegion, RegionRect{}, (RegionRect{10, -20, 640, 0})),
      PROPERTY(OutputWidth, 1920, -1),
      PROPERTY(OutputHeight, 1080, 0),
      PROPERTY(FrameRate, 30, 60),
      PROPERTY(VideoBitrate, 4000000, 12000000),
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
      PROPERTY(MicrophoneDeviceId, L"", L"alsa_input.usb-mic"),
      PROPERTY(MicrophoneVolume, 1.0, 5.0),
      PROPERTY(SystemAudioVolume, 0.5, -1.0),
      PROPERTY(NoiseSuppressionEnabled, false, true),
      PROPERTY(MicrophoneMode, 0, 2),
      PROPERTY(NoiseSuppressionLevel, 1, 9),
      PROPERTY(DuckingEnabled, false, true),
      PROPERTY(DuckingLevelDb, -12.0, -40.0),
      PROPERTY(AudioBitrate, 192000, 128000),
      PROPERTY(AgcMinGain, 1.0, 0.25),
      PROPERTY(AgcMaxGain, 4.0, 8.5),
      PROPERTY(AgcTargetLevel, 0.3, 0.9),
      PROPERTY(VoiceProcessingGain, 3.5, 0.125),
      PROPERTY(NoiseSuppressionGain, 1.2, 2.75),
      PROPERTY(ReservedDouble1, 0.05, 1.5),
      PROPERTY(ReservedDouble2, 0.02, 2.5),
      PROPERTY(ReservedDouble3, 0.2, 3.5),
      PROPERTY(GainSmoothing, 0.15, 0.875),
      PROPERTY(LimiterThreshold, 0.7, 0.5),
      PROPERTY(LimiterKnee, 0.8, 0.0625),
      PROPERTY(LimiterRatio, 3.0, 10.0),
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
      PROPERTY(FocusZoom, FocusZoomSettings{}, (FocusZoomSettings{true, false, 0.5, 0.25, 3.0, 1.5})),
      PROPERTY(CameraBackgroundEffect, BackgroundEffectConfig{},
               (BackgroundEffectConfig{4, 2, 3, 5, 12, 1})),
  };
  return cases;
}

TEST(RecordingConfig, HasFiftySixPropertiesInThePublishedOrder) {
  std::vector<std::string> declared;
#define KALTO_NAME(name, type, initial) declared.push_back(#name);
  KALTO_RECORDING_CONFIG_PROPERTIES(KALTO_NAME)
#undef KALTO_NAME
  std::vector<std::string> expected;
  for (const auto& c : Cases()) expected.push_back(c.name);
  ASSERT_EQ(expected.size(), 56u);
  EXPECT_EQ(declared, expected);
}

TEST(RecordingConfig, NewConfigurationHoldsEveryDefault) {
  RecordingConfig config;
  RecordingConfigValues snapshot = config.Snapshot();
  for (const auto& c : Cases()) {
    EXPECT_TRUE(c.get(config) == c.initial) << c.name;
    EXPECT_TRUE(c.read(snapshot) == c.initial) << c.name << " in the snapshot";
    EXPECT_FALSE(c.sample == c.initial) << c.name << ": the sample must differ from the default";
  }
  EXPECT_TRUE(config.OutputPath().empty());
  EXPECT_EQ(config.CropRegion(), (RegionRect{0, 0, 0, 0}));
  EXPECT_EQ(config.FocusZoom(), (FocusZoomSettings{false, false, 0.0, 0.0, 0.0, 0.0}));
}

TEST(RecordingConfig, ReservedDouble5IsTheDecimalNotTheFraction) {
  RecordingConfig config;
  EXPECT_EQ(config.ReservedDouble5(), 21.333);
  EXPECT_NE(config.ReservedDouble5(), 64.0 / 3.0);
}

TEST(RecordingConfig, EachSetterStoresOnlyItsOwnProperty) {
  for (std::size_t i = 0; i < Cases().size(); ++i) {
    const PropertyCase& target = Cases()[i];
    RecordingConfig config;
    target.set(config, target.sample);
    EXPECT_TRUE(target.get(config) == target.sample) << target.name;
    RecordingConfigValues snapshot = config.Snapshot();
    EXPECT_TRUE(target.read(snapshot) == target.sample) << target.name << " in the snapshot";
    for (std::size_t j = 0; j < Cases().size(); ++j) {
      if (j == i) continue;
      EXPECT_TRUE(Cases()[j].get(config) == Cases()[j].initial)
          << "setting " << target.name << " changed " << Cases()[j].name;
    }
    // Setting it back restores the whole default configuration.
    target.set(config, target.initial);
    EXPECT_TRUE(config.Snapshot() == RecordingConfigValues{}) << target.name;
  }
}

TEST(RecordingConfig, ValuesAreStoredUnclampedAndUnvalidated) {
  RecordingConfig config;
  config.MicrophoneVolume(5.0);
  config.SystemAudioVolume(-3.0);
  config.DuckingLevelDb(-40.0);
  config.CameraSyncDelayMs(-5);
  config.CaptureMode(3);
  config.OutputWidth(-1920);
  config.VideoProfile(42);
  config.CropRegion(RegionRect{-1, -2, 0, -4});
  config.FocusZoom(FocusZoomSettings{false, true, -1.0, 0.0, -0.0, 0.0});
  config.CameraBackgroundEffect(BackgroundEffectConfig{99, -1, 1000, -5, 13, 7});
  EXPECT_EQ(config.MicrophoneVolume(), 5.0);
  EXPECT_EQ(config.SystemAudioVolume(), -3.0);
  EXPECT_EQ(config.DuckingLevelDb(), -40.0);
  EXPECT_EQ(config.CameraSyncDelayMs(), -5);
  EXPECT_EQ(config.CaptureMode(), 3);
  EXPECT_EQ(config.OutputWidth(), -1920);
  EXPECT_EQ(config.VideoProfile(), 42);
  EXPECT_EQ(config.CropRegion(), (RegionRect{-1, -2, 0, -4}));
  EXPECT_EQ(config.FocusZoom(), (FocusZoomSettings{false, true, -1.0, 0.0, -0.0, 0.0}));
  EXPECT_EQ(config.CameraBackgroundEffect(), (BackgroundEffectConfig{99, -1, 1000, -5, 13, 7}));
}

TEST(RecordingConfig, ExtremeNumbersRoundTripBitForBit) {
  RecordingConfig config;
  config.MonitorHandle(std::numeric_limits<int64_t>::min());
  config.WindowHandle(std::numeric_limits<int64_t>::max());
  config.VideoBitrate(std::numeric_limits<int32_t>::min());
  config.AgcMaxGain(std::numeric_limits<double>::infinity());
  config.LimiterRatio(std::numeric_limits<double>::denorm_min());
  config.AgcMinGain(std::nan(""));
  EXPECT_EQ(config.MonitorHandle(), std::numeric_limits<int64_t>::min());
  EXPECT_EQ(config.WindowHandle(), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(config.VideoBitrate(), std::numeric_limits<int32_t>::min());
  EXPECT_EQ(config.AgcMaxGain(), std::numeric_limits<double>::infinity());
  EXPECT_EQ(config.LimiterRatio(), std::numeric_limits<double>::denorm_min());
  EXPECT_TRUE(std::isnan(config.AgcMinGain()));
}

TEST(RecordingConfig, StringsKeepEveryCharacterIncludingEmbeddedNul) {
  RecordingConfig config;
  std::wstring path(L"a\0b", 3);
  path += L"\u00e9\U0001F3A5";
  config.OutputPath(path);
  config.MicrophoneDeviceId(std::wstring(4000, L'x'));
  EXPECT_EQ(config.OutputPath(), path);
  EXPECT_EQ(config.OutputPath().size(), 5u);
  EXPECT_EQ(config.MicrophoneDeviceId(), std::wstring(4000, L'x'));
  config.OutputPath(L"");
  EXPECT_TRUE(config.OutputPath().empty());
}

// A setter racing with the recorder's reads must neither tear a value nor race (run under TSan).
TEST(RecordingConfig, ConcurrentSettersAndSnapshotsSeeWholeValues) {
  RecordingConfig config;
  std::atomic<bool> stop{false};
  const std::wstring a(64, L'a');
  const std::wstring b(200, L'b');
  std::thread writer([&] {
    for (int i = 0; i < 2000; ++i) {
      bool odd = (i % 2) != 0;
      config.OutputPath(odd ? a : b);
      config.CropRegion(odd ? RegionRect{1, 1, 1, 1} : RegionRect{2, 2, 2, 2});
    }
    stop = true;
  });
  int reads = 0;
  while (!stop || reads == 0) {
    RecordingConfigValues v = config.Snapshot();
    EXPECT_TRUE(v.OutputPath.empty() || v.OutputPath == a || v.OutputPath == b);
    RegionRect r = config.CropRegion();
    EXPECT_TRUE(r == RegionRect{} || r == (RegionRect{1, 1, 1, 1}) || r == (RegionRect{2, 2, 2, 2}));
    ++reads;
  }
  writer.join();
  EXPECT_EQ(config.OutputPath(), a);
}

}  // namespace
}  // namespace kalto
