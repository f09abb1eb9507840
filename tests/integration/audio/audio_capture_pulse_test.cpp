// AudioCapture over the PulseAudio backend against a private daemon: a 44.1 kHz microphone
// resampled to the 48 kHz output at its true pitch, the noise suppressor on noise and on a
// voice-like signal, and process loopback of one player among two.
#include "audio/audio_capture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "capture_analysis.h"
#include "platform/audio/pulse/pulse_audio_system.h"
#include "support/debug_capture.h"
#include "support/require.h"
#include "support/pulse_server.h"

namespace kalto {
namespace {

using namespace std::chrono_literals;
using platform::audio::probe::Rms;
using platform::audio::probe::ToneAmplitude;

constexpr int kRate = 48000;
// Default base microphone gains of the mix in raw and noise-suppression mode.
constexpr double kRawMicGain = 1.5;
constexpr double kNsMicGain = 1.8;
constexpr double kSystemGain = 0.625;

// A second virtual microphone at 44.1 kHz, fed by playing into kalto_feed44.
constexpr const char* kExtraScript =
    "load-module module-null-sink sink_name=kalto_feed44 format=s16le rate=44100 channels=1 norewinds=1\n"
    "load-module module-remap-source master=kalto_feed44.monitor source_name=kalto_mic44\n";

// What the recorder would receive, kept as floats of the left channel, with the chunk checks
// that need every chunk.
class ChunkLog {
 public:
  // Declared before the capture it watches, so that it outlives the capture's threads.
  ChunkLog() = default;
  // Also keep the microphone level each chunk reports.
  void WatchLevelsOf(const AudioCapture* capture) { m_capture = capture; }

  AudioDataCallback Callback() {
    return [this](const uint8_t* data, uint32_t byteCount, int64_t timestampHns, int64_t durationHns) {
      std::lock_guard lock(m_mutex);
      if (byteCount != AudioCapture::kChunkBytes || durationHns != 213333) ++m_malformed;
      // Stamps clamped at zero while the stream latency exceeds the elapsed time are not steps.
      if (m_chunks > 0 && m_lastTimestamp > 0) {
        int64_t step = timestampHns - m_lastTimestamp;
        if (step != 213333 && step != 213334) ++m_badSteps;
      }
      m_lastTimestamp = timestampHns;
      ++m_chunks;
      for (uint32_t frame = 0; frame < std::min(byteCount / 4, AudioCapture::kChunkFrames); ++frame) {
        int16_t left = 0, right = 0;
        std::memcpy(&left, data + 4 * frame, 2);
        std::memcpy(&right, data + 4 * frame + 2, 2);
        if (left != right) ++m_unequalFrames;
        m_left.push_back(static_cast<float>(left) / 32768.0f);
      }
      if (m_capture) m_micLevels.push_back(m_capture->GetMicLevel());
      m_changed.notify_all();
    };
  }

  // The `frames` frames that follow the first sample louder than `onset` and `skip` more frames;
  // fewer when they have not all come within `timeout`.
  std::vector<float> AfterOnset(float onset, size_t skip, size_t frames, std::chrono::milliseconds timeout = 20s) {
    std::unique_lock lock(m_mutex);
    std::vector<float> out;
    m_changed.wait_for(lock, timeout, [&] {
      for (; m_onset == kNoOnset && m_scanned < m_left.size(); ++m_scanned) {
        if (std::fabs(m_left[m_scanned]) > onset) m_onset = m_scanned;
      }
      return m_onset != kNoOnset && m_left.size() >= m_onset + skip + frames;
    });
    if (m_onset == kNoOnset || m_left.size() <= m_onset + skip) return out;
    auto first = m_left.begin() + static_cast<ptrdiff_t>(m_onset + skip);
    auto last = m_left.begin() + static_cast<ptrdiff_t>(std::min(m_left.size(), m_onset + skip + frames));
    out.assign(first, last);
    return out;
  }
  // Microphone levels read in the callbacks of the chunks that hold frames [begin, end).
  std::vector<float> MicLevels(size_t begin, size_t end) const {
    std::lock_guard lock(m_mutex);
    size_t first = begin / AudioCapture::kChunkFrames,
           last = std::min(m_micLevels.size(), end / AudioCapture::kChunkFrames);
    return first < last ? std::vector<float>(m_micLevels.begin() + static_cast<ptrdiff_t>(first),
                                             m_micLevels.begin() + static_cast<ptrdiff_t>(last))
                        : std::vector<float>{};
  }
  size_t Onset() const {
    std::lock_guard lock(m_mutex);
    return m_onset;
  }
  int Malformed() const {
    std::lock_guard lock(m_mutex);
    return m_malformed;
  }
  int BadSteps() const {
    std::lock_guard lock(m_mutex);
    return m_badSteps;
  }
  int UnequalFrames() const {
    std::lock_guard lock(m_mutex);
    return m_unequalFrames;
  }

  static constexpr size_t kNoOnset = static_cast<size_t>(-1);

 private:
  const AudioCapture* m_capture = nullptr;
  mutable std::mutex m_mutex;
  std::condition_variable m_changed;
  std::vector<float> m_left;
  std::vector<float> m_micLevels;
  size_t m_onset = kNoOnset;
  size_t m_scanned = 0;
  int64_t m_lastTimestamp = 0;
  int m_chunks = 0;
  int m_malformed = 0;
  int m_badSteps = 0;
  int m_unequalFrames = 0;
};

std::vector<char> ToS16(const std::vector<float>& samples) {
  std::vector<char> bytes(samples.size() * 2);
  for (size_t i = 0; i < samples.size(); ++i) {
    auto v = static_cast<int16_t>(std::lround(std::clamp(samples[i], -1.0f, 1.0f) * 32767.0f));
    std::memcpy(&bytes[2 * i], &v, 2);
  }
  return bytes;
}

// A voiced, speech-like signal: a glottal harmonic series (1/h roll-off) with intonation and
// vibrato, shaped by three formants that change vowel every syllable, in syllables of 4 per
// second with a short pause in each. Scaled to `peak`.
std::vector<float> VoiceLike(double seconds, double peak) {
  static constexpr double kFormants[4][3] = {{730, 1090, 2440}, {270, 2290, 3010}, {530, 1840, 2480}, {570, 840, 2410}};
  static constexpr double kFormantWeight[3] = {1.0, 0.6, 0.3};
  std::vector<float> out(static_cast<size_t>(seconds * kRate));
  double phase = 0.0, largest = 0.0;
  for (size_t i = 0; i < out.size(); ++i) {
    double t = static_cast<double>(i) / kRate;
    double f0 = 140.0 + 20.0 * std::sin(2 * M_PI * 0.7 * t) + 3.0 * std::sin(2 * M_PI * 5.5 * t);
    phase += 2 * M_PI * f0 / kRate;
    const double* formants = kFormants[static_cast<int>(t * 4.0) % 4];
    double v = 0.0;
    for (int h = 1; h * f0 < 4000.0; ++h) {
      double weight = 0.0;
      for (int k = 0; k < 3; ++k) {
        double d = (h * f0 - formants[k]) / (80.0 + 40.0 * k);
        weight += kFormantWeight[k] / (1.0 + d * d);
      }
      v += weight / h * std::sin(h * phase);
    }
    double u = std::fmod(t * 4.0, 1.0);
    v *= u < 0.75 ? std::sqrt(std::sin(M_PI * u / 0.75)) : 0.0;
    out[i] = static_cast<float>(v);
    largest = std::max(largest, std::fabs(v));
  }
  for (float& v : out) v = static_cast<float>(v / largest * peak);
  return out;
}

std::vector<float> WhiteNoise(double seconds, double rms, uint32_t seed) {
  std::mt19937 random(seed);
  std::normal_distribution<double> normal(0.0, rms);
  std::vector<float> out(static_cast<size_t>(seconds * kRate));
  for (float& v : out) v = static_cast<float>(std::clamp(normal(random), -0.99, 0.99));
  return out;
}

// The rising zero crossings, interpolated between samples.
std::vector<double> RisingCrossings(const std::vector<float>& x) {
  std::vector<double> at;
  for (size_t i = 1; i < x.size(); ++i) {
    if (x[i - 1] < 0.0f && x[i] >= 0.0f) at.push_back(static_cast<double>(i - 1) + x[i - 1] / (x[i - 1] - x[i]));
  }
  return at;
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0.0;
  auto middle = values.begin() + static_cast<ptrdiff_t>(values.size() / 2);
  std::nth_element(values.begin(), middle, values.end());
  return *middle;
}

// Frequency from the median period between rising zero crossings. A ring that runs short is
// padded with silence at the end of a chunk; the median leaves those few periods out.
double MedianCrossingFrequency(const std::vector<float>& x, double rate) {
  auto at = RisingCrossings(x);
  std::vector<double> periods;
  for (size_t i = 1; i < at.size(); ++i) periods.push_back(at[i] - at[i - 1]);
  double period = Median(periods);
  return period > 0.0 ? rate / period : 0.0;
}

// The tone's amplitude in each tenth of a second, median over the blocks, for the same reason.
double MedianToneAmplitude(const std::vector<float>& x, double frequency, double rate) {
  const size_t block = static_cast<size_t>(rate / 10);
  std::vector<double> amplitudes;
  for (size_t begin = 0; begin + block <= x.size(); begin += block) {
    std::vector<float> part(x.begin() + static_cast<ptrdiff_t>(begin),
                            x.begin() + static_cast<ptrdiff_t>(begin + block));
    amplitudes.push_back(ToneAmplitude(part, frequency, rate));
  }
  return Median(amplitudes);
}

// Runs of three or more exact zeros: padding, since the tones never hold zero that long.
int PaddingRuns(const std::vector<float>& x, size_t* paddedFrames) {
  int runs = 0;
  *paddedFrames = 0;
  for (size_t i = 0; i < x.size();) {
    size_t j = i;
    while (j < x.size() && x[j] == 0.0f) ++j;
    if (j - i >= 3) {
      ++runs;
      *paddedFrames += j - i;
    }
    i = j > i ? j : i + 1;
  }
  return runs;
}

std::vector<float> Slice(const std::vector<float>& x, size_t begin, size_t end) {
  end = std::min(end, x.size());
  return begin < end
             ? std::vector<float>(x.begin() + static_cast<ptrdiff_t>(begin), x.begin() + static_cast<ptrdiff_t>(end))
             : std::vector<float>{};
}

class AudioCapturePulseTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!test::PulseServer::Available()) return;
    s_server = std::make_unique<test::PulseServer>(kExtraScript);
  }
  static void TearDownTestSuite() { s_server.reset(); }

  void SetUp() override {
    KALTO_REQUIRE(s_server != nullptr, "pulseaudio and pacat are not installed");
    ASSERT_TRUE(s_server->Running()) << s_server->Error();
    m_system = std::make_shared<platform::audio::pulse::PulseAudioSystem>(s_server->Address());
  }

  static test::PulseServer& Server() { return *s_server; }

  static std::string Write(const std::string& name, const std::vector<char>& bytes) {
    std::string path = Server().Dir() + "/" + name;
    test::WriteFile(path, bytes);
    return path;
  }
  static std::vector<std::string> Pacat(const std::string& file, int rate, int channels, const std::string& sink) {
    std::vector<std::string> argv = {"pacat",
                                     "--raw",
                                     "--format=s16le",
                                     "--rate=" + std::to_string(rate),
                                     "--channels=" + std::to_string(channels),
                                     "--latency-msec=100"};
    if (!sink.empty()) argv.push_back("--device=" + sink);
    argv.push_back(file);
    return argv;
  }

  struct MicRun {
    std::vector<float> samples;  // the left channel from the onset on
    int malformed = 0, badSteps = 0, unequalFrames = 0;
  };
  // Records the microphone `micId` in `micMode` while `file` plays into its feed, until `frames`
  // output frames have come after the onset.
  MicRun RecordMicrophone(const std::wstring& micId, uint32_t micMode, const std::string& file, const std::string& feed,
                          size_t frames) {
    MicRun run;
    ChunkLog log;
    AudioCapture capture(m_system);
    EXPECT_TRUE(capture.Initialize(false, true, micId, kRate, 2, false, micMode, 1));
    EXPECT_TRUE(capture.HasMicStream());
    if (!capture.HasMicStream()) return run;
    EXPECT_TRUE(capture.Start(log.Callback()));
    auto player = Server().Spawn(Pacat(file, kRate, 1, feed));
    run.samples = log.AfterOnset(0.02f, 0, frames);
    capture.Stop();
    run.malformed = log.Malformed();
    run.badSteps = log.BadSteps();
    run.unequalFrames = log.UnequalFrames();
    return run;
  }

  std::shared_ptr<platform::audio::pulse::PulseAudioSystem> m_system;

 private:
  static std::unique_ptr<test::PulseServer> s_server;
};

std::unique_ptr<test::PulseServer> AudioCapturePulseTest::s_server;

TEST_F(AudioCapturePulseTest, A44kHzMicrophoneIsResampledTo48kHzAtItsTruePitchAndLevel) {
  test::DebugCapture debug;
  ChunkLog log;
  AudioCapture capture(m_system);
  ASSERT_TRUE(capture.Initialize(false, true, L"kalto_mic44", kRate, 2, false, 0, 1));
  EXPECT_EQ(capture.GetMicFormat(), (CaptureFormat{44100, 1, 16, false}));
  EXPECT_NEAR(capture.GetResampleRatio(), 0.91875, 1e-9);
  EXPECT_EQ(debug.Count("[AudioCapture] Mic sample rate (44100Hz) differs from output (48000Hz) - resampling "
                        "enabled (ratio: 0.9187)\n"),
            1);

  log.WatchLevelsOf(&capture);
  ASSERT_TRUE(capture.Start(log.Callback()));
  auto player =
      Server().Spawn(Pacat(Write("tone1k_44.raw", test::SineS16(1000, 0.3, 44100, 1, 4)), 44100, 1, "kalto_feed44"));
  // A quarter of a second to settle, then one second: whole cycles of 1 kHz at 48 kHz.
  const size_t settle = kRate / 4;
  std::vector<float> second = log.AfterOnset(0.05f, settle, kRate);
  const float micPeak = capture.GetMicPeak();
  capture.Stop();
  ASSERT_EQ(second.size(), size_t{kRate}) << "the tone did not come through in time";

  const double expected = 0.3 * kRawMicGain;
  const double frequency = MedianCrossingFrequency(second, kRate);
  const double at1000 = MedianToneAmplitude(second, 1000, kRate);
  // Read at the microphone's rate as if it were the output's, the tone would sound at 1088 Hz.
  const double at1088 = MedianToneAmplitude(second, 1000.0 * 48000 / 44100, kRate);
  const auto levels = log.MicLevels(log.Onset() + settle, log.Onset() + settle + kRate);
  double meanLevel = 0.0;
  for (float level : levels) meanLevel += level;
  meanLevel = levels.empty() ? 0.0 : meanLevel / static_cast<double>(levels.size());
  size_t padded = 0;
  const int paddingRuns = PaddingRuns(second, &padded);
  std::printf(
      "[ figures  ] 44.1 kHz mic, 1 kHz tone at 0.3: frequency %.3f Hz, amplitude at 1000 Hz %.4f "
      "(expected %.4f), at 1088 Hz %.4f, output RMS %.4f, mean mic level %.4f, mic peak %.4f, "
      "%d padded gaps (%zu frames) in the second\n",
      frequency, at1000, expected, at1088, Rms(second), meanLevel, micPeak, paddingRuns, padded);

  EXPECT_NEAR(frequency, 1000.0, 2.0);
  EXPECT_NEAR(at1000, expected, 0.03);
  EXPECT_LT(at1088, 0.05);
  EXPECT_NEAR(Rms(second), expected / std::sqrt(2.0), 0.03);
  // The levels are those of the microphone itself, before the mix gain.
  EXPECT_NEAR(meanLevel, 0.3 / std::sqrt(2.0), 0.02);
  EXPECT_NEAR(micPeak, 0.3, 0.03);
  EXPECT_EQ(log.Malformed(), 0);
  EXPECT_EQ(log.BadSteps(), 0);
  EXPECT_EQ(log.UnequalFrames(), 0) << "a mono microphone fills both channels";
}

TEST_F(AudioCapturePulseTest, NoiseSuppressionSilencesNoiseAndPassesAVoiceLikeSignal) {
  // Two and a half seconds of voice-like signal (ten syllables), then three and a half of white
  // noise alone; the same file is recorded raw and with noise suppression.
  const double voiceSeconds = 2.5, noiseSeconds = 3.5;
  std::vector<float> stimulus = VoiceLike(voiceSeconds, 0.3);
  std::vector<float> noise = WhiteNoise(noiseSeconds, 0.05, 7);
  stimulus.insert(stimulus.end(), noise.begin(), noise.end());
  const std::string file = Write("voice_then_noise.raw", ToS16(stimulus));
  const size_t total = stimulus.size();
  // Voice: eight whole syllables after the first; noise: the last two seconds, once the
  // suppressor has had a second to settle after the voice.
  const size_t voiceBegin = kRate / 4, voiceEnd = voiceBegin + 2 * kRate;
  const size_t noiseBegin = static_cast<size_t>((voiceSeconds + 1.0) * kRate), noiseEnd = noiseBegin + 2 * kRate;

  MicRun raw = RecordMicrophone(L"kalto_mic", static_cast<uint32_t>(MicMode::Raw), file, "kalto_mic_feed", total);
  MicRun suppressed =
      RecordMicrophone(L"kalto_mic", static_cast<uint32_t>(MicMode::NoiseSuppression), file, "kalto_mic_feed", total);
  ASSERT_GE(raw.samples.size(), noiseEnd) << "the raw recording did not come through in time";
  ASSERT_GE(suppressed.samples.size(), noiseEnd) << "the suppressed recording did not come through in time";

  // Levels of the microphone itself: each run divided by its mode's mix gain.
  const double rawVoice = Rms(Slice(raw.samples, voiceBegin, voiceEnd)) / kRawMicGain;
  const double rawNoise = Rms(Slice(raw.samples, noiseBegin, noiseEnd)) / kRawMicGain;
  const double nsVoice = Rms(Slice(suppressed.samples, voiceBegin, voiceEnd)) / kNsMicGain;
  const double nsNoise = Rms(Slice(suppressed.samples, noiseBegin, noiseEnd)) / kNsMicGain;
  const double voiceKept = nsVoice / rawVoice;
  const double noiseKept = nsNoise / rawNoise;
  std::printf(
      "[ figures  ] voice-like RMS raw %.4f, suppressed %.4f (kept %.3f); white noise RMS raw %.4f, "
      "suppressed %.5f (kept %.4f, %.1f dB)\n",
      rawVoice, nsVoice, voiceKept, rawNoise, nsNoise, noiseKept, 20.0 * std::log10(std::max(noiseKept, 1e-9)));

  // The raw run is the reference: it must hold the stimulus as played.
  const auto sourceOnset = static_cast<size_t>(
      std::find_if(stimulus.begin(), stimulus.end(), [](float v) { return std::fabs(v) * kRawMicGain > 0.02; }) -
      stimulus.begin());
  const double sourceVoice = Rms(Slice(stimulus, sourceOnset + voiceBegin, sourceOnset + voiceEnd));
  EXPECT_NEAR(rawVoice, sourceVoice, 0.1 * sourceVoice);
  EXPECT_NEAR(rawNoise, 0.05, 0.005);
  // Beyond the 0.15 floor that the voice gate alone would leave: the denoiser itself must work.
  EXPECT_LT(noiseKept, 0.05) << "noise alone must be pushed down by more than 26 dB";
  EXPECT_GT(voiceKept, 0.7) << "a voice-like signal must keep most of its level";
  for (const MicRun* run : {&raw, &suppressed}) {
    EXPECT_EQ(run->malformed, 0);
    EXPECT_EQ(run->badSteps, 0);
    EXPECT_EQ(run->unequalFrames, 0);
  }
}

TEST_F(AudioCapturePulseTest, ProcessLoopbackDeliversOnlyTheTargetTreesPlayer) {
  auto other = Server().Spawn(Pacat(Write("other1100.raw", test::SineS16(1100, 0.4, kRate, 2, 8)), kRate, 2, ""));
  // The target is a shell whose child plays: the tree, not just the process, is captured.
  auto target = Server().Spawn({"sh", "-c",
                                "pacat --raw --format=s16le --rate=48000 --channels=2 --latency-msec=100 " +
                                    Write("target700.raw", test::SineS16(700, 0.4, kRate, 2, 8)) + "; :"});
  ASSERT_TRUE(target.Started());

  ChunkLog log;
  AudioCapture capture(m_system);
  ASSERT_TRUE(capture.Initialize(false, false, L"", kRate, 2, false, 0, 1));
  ASSERT_TRUE(capture.InitializeProcessLoopback(static_cast<uint32_t>(target.pid())));
  EXPECT_TRUE(capture.IsUsingProcessLoopback());
  EXPECT_EQ(capture.GetProcessId(), static_cast<uint32_t>(target.pid()));
  EXPECT_EQ(capture.GetSystemFormat(), (CaptureFormat{48000, 2, 32, true}));
  ASSERT_TRUE(capture.Start(log.Callback()));
  std::vector<float> half = log.AfterOnset(0.05f, kRate / 4, kRate / 2);
  capture.Stop();
  ASSERT_EQ(half.size(), size_t{kRate / 2}) << "the target's tone did not come through in time";

  const double at700 = MedianToneAmplitude(half, 700, kRate);
  const double at1100 = MedianToneAmplitude(half, 1100, kRate);
  std::printf("[ figures  ] process loopback: target 700 Hz amplitude %.4f (expected %.4f), other 1100 Hz %.5f\n",
              at700, 0.4 * kSystemGain, at1100);
  EXPECT_NEAR(at700, 0.4 * kSystemGain, 0.03);
  EXPECT_LT(at1100, 0.004) << "the other player leaks in";
  EXPECT_EQ(log.Malformed(), 0);
  EXPECT_EQ(log.BadSteps(), 0);
}

}  // namespace
}  // namespace kalto
