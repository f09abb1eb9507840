// AudioCapture over the PulseAudio backend when its sources go away mid-recording: the sound
// server killed and started again, and the microphone's module unloaded and loaded again. The
// delivered audio keeps its cadence with silence in place of the lost source, the loss and the
// return are told once each, and the tone is captured again afterwards. Also: a source that
// hands over seconds at once loses nothing.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "audio/audio_capture.h"
#include "capture_analysis.h"
#include "common/steady_clock.h"
#include "platform/audio/pulse/pulse_audio_system.h"
#include "support/debug_capture.h"
#include "support/require.h"
#include "support/pulse_server.h"

namespace kalto {
namespace {

using namespace std::chrono_literals;
using platform::audio::probe::ToneAmplitude;

constexpr int kRate = 48000;
constexpr double kToneHz = 1000;

// Every chunk's stamp and left channel, and every source event, with waits on both.
class Recording {
 public:
  AudioDataCallback Chunks() {
    return [this](const uint8_t* data, uint32_t byteCount, int64_t timestampHns, int64_t) {
      std::lock_guard lock(m_mutex);
      m_stamps.push_back(timestampHns);
      for (uint32_t frame = 0; frame < byteCount / 4; ++frame) {
        int16_t left = 0;
        std::memcpy(&left, data + 4 * frame, 2);
        m_left.push_back(static_cast<float>(left) / 32768.0f);
      }
      m_changed.notify_all();
    };
  }
  SourceStateCallback Sources() {
    return [this](AudioSource source, bool available, const std::wstring&) {
      std::lock_guard lock(m_mutex);
      m_events.push_back({source, available, m_stamps.size()});
      m_changed.notify_all();
    };
  }

  struct Event {
    AudioSource source;
    bool available;
    size_t atChunk;
  };

  // The chunk at which `count` source events had come; -1 on time-out.
  long WaitForEvents(size_t count, std::chrono::milliseconds timeout = 20s) {
    std::unique_lock lock(m_mutex);
    if (!m_changed.wait_for(lock, timeout, [&] { return m_events.size() >= count; })) return -1;
    return static_cast<long>(m_events[count - 1].atChunk);
  }
  // The first chunk at or after `from` whose tenth of a second holds the tone; -1 on time-out.
  long WaitForTone(size_t from, std::chrono::milliseconds timeout = 15s) {
    std::unique_lock lock(m_mutex);
    long found = -1;
    size_t next = from;
    m_changed.wait_for(lock, timeout, [&] {
      const size_t span = kRate / 10;
      for (; (next + 1) * AudioCapture::kChunkFrames <= m_left.size(); ++next) {
        const size_t end = (next + 1) * AudioCapture::kChunkFrames;
        if (end < span) continue;
        std::vector<float> window(m_left.begin() + static_cast<ptrdiff_t>(end - span),
                                  m_left.begin() + static_cast<ptrdiff_t>(end));
        if (ToneAmplitude(window, kToneHz, kRate) > 0.2) {
          found = static_cast<long>(next);
          return true;
        }
      }
      return false;
    });
    return found;
  }
  // Waits until `count` chunks have come.
  bool WaitForChunks(size_t count, std::chrono::milliseconds timeout = 20s) {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_stamps.size() >= count; });
  }
  size_t Count() const {
    std::lock_guard lock(m_mutex);
    return m_stamps.size();
  }
  // Chunks whose stamp does not follow the one before by one chunk's length.
  int BadSteps() const {
    std::lock_guard lock(m_mutex);
    int bad = 0;
    for (size_t n = 1; n < m_stamps.size(); ++n) {
      const int64_t step = m_stamps[n] - m_stamps[n - 1];
      bad += step == 213333 || step == 213334 ? 0 : 1;
    }
    return bad;
  }
  // Largest magnitude over chunks [first, last).
  float Peak(size_t first, size_t last) const {
    std::lock_guard lock(m_mutex);
    float peak = 0;
    for (size_t i = first * AudioCapture::kChunkFrames; i < std::min(m_left.size(), last * AudioCapture::kChunkFrames);
         ++i) {
      peak = std::max(peak, std::fabs(m_left[i]));
    }
    return peak;
  }
  std::vector<float> Left() const {
    std::lock_guard lock(m_mutex);
    return m_left;
  }
  std::vector<Event> Events() const {
    std::lock_guard lock(m_mutex);
    return m_events;
  }

 private:
  mutable std::mutex m_mutex;
  std::condition_variable m_changed;
  std::vector<int64_t> m_stamps;
  std::vector<float> m_left;
  std::vector<Event> m_events;
};

class AudioDeviceLossTest : public ::testing::Test {
 protected:
  void SetUp() override {
    KALTO_REQUIRE(test::PulseServer::Available(), "pulseaudio, pacat and pactl are not installed");
    server = std::make_unique<test::PulseServer>(
        "load-module module-sine-source source_name=kalto_sine rate=48000 frequency=1000\n");
    ASSERT_TRUE(server->Running()) << server->Error();
    system = std::make_shared<platform::audio::pulse::PulseAudioSystem>(server->Address());
    tone = server->Dir() + "/tone.raw";
    test::WriteFile(tone, test::SineS16(kToneHz, 0.5, kRate, 1, 60));
  }

  test::ChildProcess PlayTone() const {
    return server->Spawn({"pacat", "--raw", "--format=s16le", "--rate=48000", "--channels=1",
                          "--device=kalto_mic_feed", "--latency-msec=50", tone});
  }

  std::unique_ptr<test::PulseServer> server;
  std::shared_ptr<platform::audio::pulse::PulseAudioSystem> system;
  std::string tone;
};

TEST_F(AudioDeviceLossTest, ASoundServerRestartIsRecordedAsSilenceAndBothSourcesComeBack) {
  test::DebugCapture debug;
  Recording recording;
  AudioCapture capture(system);
  ASSERT_TRUE(capture.Initialize(true, true, L"kalto_mic", kRate, 2, false, 0, 1));
  capture.SetSourceStateCallback(recording.Sources());
  ASSERT_TRUE(capture.Start(recording.Chunks()));
  const int64_t startNs = SteadyNowNs();
  auto player = PlayTone();
  ASSERT_GE(recording.WaitForTone(0), 0) << "the tone never came through";

  ASSERT_TRUE(server->Restart()) << server->Error();
  const int64_t restartedNs = SteadyNowNs();
  const long lostAt = recording.WaitForEvents(2);
  ASSERT_GE(lostAt, 0) << "the loss of both sources was not reported";
  const long backAt = recording.WaitForEvents(4);
  ASSERT_GE(backAt, 0) << "the return of both sources was not reported";
  const int64_t backNs = SteadyNowNs();
  player = PlayTone();  // the first player died with its server
  const long toneAgainAt = recording.WaitForTone(static_cast<size_t>(backAt));
  const size_t chunks = recording.Count();
  const int64_t stopNs = SteadyNowNs();
  capture.Stop();

  const auto events = recording.Events();
  ASSERT_EQ(events.size(), 4u);
  int lost = 0, back = 0;
  for (size_t i = 0; i < 4; ++i) (i < 2 ? lost : back) += events[i].available == (i >= 2) ? 1 : 0;
  EXPECT_EQ(lost, 2) << "first both sources are lost";
  EXPECT_EQ(back, 2) << "then both come back";
  std::printf(
      "[ figures  ] server restart: sources lost at chunk %ld, back at chunk %ld (%.2f s after the restart), tone "
      "again at chunk %ld; %zu chunks = %.2f s of audio over %.2f s of recording\n",
      lostAt, backAt, static_cast<double>(backNs - restartedNs) / 1e9, toneAgainAt, chunks,
      static_cast<double>(chunks) * AudioCapture::kChunkFrames / kRate, static_cast<double>(stopNs - startNs) / 1e9);
  EXPECT_GE(toneAgainAt, backAt) << "the tone did not come back after the server did";
  EXPECT_GT(backAt, lostAt) << "no chunks while the sources were away";
  EXPECT_EQ(recording.BadSteps(), 0) << "the timeline broke";
  for (const char* source : {"Microphone", "System audio"}) {
    EXPECT_EQ(debug.CountPrefix(std::string("[AudioCapture] WARNING: ") + source + " lost (0x"), 1) << source;
    EXPECT_EQ(debug.Count(std::string("[AudioCapture] ") + source + " is back\n"), 1) << source;
  }
}

TEST_F(AudioDeviceLossTest, AnUnloadedMicrophoneIsSilentUntilItsModuleIsLoadedAgain) {
  test::DebugCapture debug;
  Recording recording;
  AudioCapture capture(system);
  ASSERT_TRUE(capture.Initialize(false, true, L"kalto_mic", kRate, 2, false, 0, 1));
  capture.SetSourceStateCallback(recording.Sources());
  ASSERT_TRUE(capture.Start(recording.Chunks()));
  auto player = PlayTone();
  ASSERT_GE(recording.WaitForTone(0), 0) << "the tone never came through";

  std::string module;
  std::istringstream modules(server->Output({"pactl", "list", "short", "modules"}));
  for (std::string line; std::getline(modules, line);) {
    if (line.find("module-remap-source") != std::string::npos && line.find("source_name=kalto_mic ") != std::string::npos) {
      module = line.substr(0, line.find('\t'));
    }
  }
  ASSERT_FALSE(module.empty()) << "the microphone's module was not found";
  ASSERT_EQ(server->Run({"pactl", "unload-module", module}), 0);
  const long lostAt = recording.WaitForEvents(1);
  ASSERT_GE(lostAt, 0) << "the loss was not reported";
  // Two seconds of recording without it: attempts to reopen it fail meanwhile.
  ASSERT_TRUE(recording.WaitForChunks(static_cast<size_t>(lostAt) + 2 * kRate / 1024));
  ASSERT_EQ(server->Run({"pactl", "load-module", "module-remap-source", "master=kalto_mic_feed.monitor",
                         "source_name=kalto_mic", "source_properties=device.description=Microphone"}),
            0);
  const long backAt = recording.WaitForEvents(2);
  ASSERT_GE(backAt, 0) << "the return was not reported";
  const long toneAgainAt = recording.WaitForTone(static_cast<size_t>(backAt));
  capture.Stop();

  // What the ring still held at the loss plays out within a few chunks; then silence.
  const float silentPeak = recording.Peak(static_cast<size_t>(lostAt) + 10, static_cast<size_t>(backAt));
  std::printf("[ figures  ] microphone module unloaded: lost at chunk %ld, back at chunk %ld, tone again at chunk %ld, "
              "peak while away %.5f\n",
              lostAt, backAt, toneAgainAt, silentPeak);
  EXPECT_GE(toneAgainAt, backAt) << "the tone did not come back with the microphone";
  EXPECT_EQ(silentPeak, 0.0f) << "something else was recorded in the microphone's place";
  EXPECT_EQ(recording.BadSteps(), 0);
  const auto events = recording.Events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_FALSE(events[0].available);
  EXPECT_TRUE(events[1].available);
  EXPECT_EQ(debug.CountPrefix("[AudioCapture] WARNING: Microphone lost (0x"), 1);
  EXPECT_EQ(debug.Count("[AudioCapture] Microphone is back\n"), 1);
}

TEST_F(AudioDeviceLossTest, ASourceThatDeliversInBurstsLosesNothing) {
  // The sine source hands over its sound in bursts of seconds; parec records it without gaps.
  Recording recording;
  AudioCapture capture(system);
  ASSERT_TRUE(capture.Initialize(false, true, L"kalto_sine", kRate, 2, false, 0, 1));
  ASSERT_TRUE(capture.Start(recording.Chunks()));
  const long onset = recording.WaitForTone(0);
  ASSERT_GE(onset, 0) << "the sine never came through";
  const size_t first = static_cast<size_t>(onset) + kRate / 1024;  // a second after the onset
  const size_t span = 8 * kRate / 1024;
  ASSERT_TRUE(recording.WaitForChunks(first + span + 1, 30s));
  capture.Stop();

  const std::vector<float> left = recording.Left();
  size_t padded = 0;
  for (size_t i = first * 1024; i < (first + span) * 1024;) {
    size_t j = i;
    while (j < (first + span) * 1024 && left[j] == 0.0f) ++j;
    if (j - i >= 3) padded += j - i;
    i = j > i ? j : i + 1;
  }
  const double lostShare = static_cast<double>(padded) / static_cast<double>(span * 1024);
  std::printf("[ figures  ] bursty sine source: %.2f%% of 8 s after the onset is padding\n", 100.0 * lostShare);
  EXPECT_LT(lostShare, 0.02);
}

}  // namespace
}  // namespace kalto
