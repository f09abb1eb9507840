// What one 1024-frame output chunk costs against its 21.3 ms of real time: the gain stage with
// the limiter working, the noise suppressor (RNNoise on about two 480-sample frames), the whole
// chunk as the output thread makes it (ring reads, levels, gains, ducking, limiter) with and
// without suppression, and resampling the microphone's share of a chunk. "budget_pct" is the
// share of the chunk's 21.3 ms that producing it takes.
#include <benchmark/benchmark.h>

#include <memory>
#include <random>
#include <vector>

#include "audio/audio_capture.h"
#include "audio/audio_mixer.h"
#include "audio/catmull_rom_resampler.h"
#include "audio/noise_suppressor.h"

namespace {

using namespace kalto;

constexpr double kChunkSeconds = 1024.0 / 48000.0;

void SetBudgetCounter(benchmark::State& state) {
  state.counters["budget_pct"] = benchmark::Counter(static_cast<double>(state.iterations()) * kChunkSeconds / 100.0,
                                                    benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

std::vector<float> Noise(size_t n, float amplitude, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(-amplitude, amplitude);
  std::vector<float> v(n);
  for (auto& s : v) s = dist(rng);
  return v;
}

// No endpoints: the capture runs on its rings alone, which is all a chunk touches.
class NoEndpoints : public platform::audio::AudioSystem {
 public:
  HRESULT CreateDeviceEnumerator(std::shared_ptr<platform::audio::DeviceEnumerator>*) override { return E_FAIL; }
  HRESULT ActivateAudioInterfaceAsync(
      const std::wstring&, const platform::audio::PropVariantBlob*,
      std::shared_ptr<platform::audio::ActivateAudioInterfaceCompletionHandler>,
      std::shared_ptr<platform::audio::ActivateAudioInterfaceAsyncOperation>*) override {
    return E_NOTIMPL;
  }
  bool IsBuildAtLeast(uint32_t) override { return false; }
};

void BM_MixAndLimit(benchmark::State& state) {
  AudioMixer mixer;
  mixer.SetDucking(true, -12.0);
  mixer.SetAudioProcessing(1.5, 2.5, 0.3, 2.0, 1.2, 0.7, 0.8, 3.0, 0.15);
  mixer.ResetGains(0);
  // Loud enough that most samples go through the knee or the ratio segment.
  auto mic = Noise(AudioMixer::kChunkSamples, 0.6f, 1);
  auto system = Noise(AudioMixer::kChunkSamples, 0.9f, 2);
  std::vector<float> mix(AudioMixer::kChunkSamples);
  std::vector<int16_t> pcm(AudioMixer::kChunkSamples);
  for (auto _ : state) {
    mixer.MixChunk(mic.data(), system.data(), 0.35f, 0.5f, 0.35f, true, 0, mix.data(), pcm.data());
    benchmark::DoNotOptimize(pcm.data());
  }
  SetBudgetCounter(state);
}
BENCHMARK(BM_MixAndLimit)->Unit(benchmark::kMicrosecond);

void BM_NoiseSuppressor(benchmark::State& state) {
  NoiseSuppressor ns;
  ns.Initialize(48000, 2);
  auto noise = Noise(AudioMixer::kChunkSamples, 6000.0f, 3);
  std::vector<int16_t> block(noise.begin(), noise.end());
  std::vector<int16_t> work(block.size());
  for (auto _ : state) {
    work = block;
    ns.Process(work.data());
    benchmark::DoNotOptimize(work.data());
  }
  SetBudgetCounter(state);
}
BENCHMARK(BM_NoiseSuppressor)->Unit(benchmark::kMicrosecond);

// Arg 0: Raw microphone; 2: NoiseSuppression (RNNoise in the chunk).
void BM_ProduceChunk(benchmark::State& state) {
  AudioCapture capture(std::make_shared<NoEndpoints>());
  capture.Initialize(false, false, L"", 48000, 2, false, static_cast<uint32_t>(state.range(0)), 1);
  capture.SetDucking(true, -12.0);
  // Speech-level microphone noise (RNNoise works harder on it than on silence) and loud system audio.
  auto mic = Noise(AudioCapture::kChunkSamples, 0.2f, 5);
  auto system = Noise(AudioCapture::kChunkSamples, 0.9f, 6);
  for (auto _ : state) capture.ProduceChunkForTesting(mic.data(), system.data());
  SetBudgetCounter(state);
}
BENCHMARK(BM_ProduceChunk)->Arg(0)->Arg(2)->Unit(benchmark::kMicrosecond);

// The microphone's share of one chunk at 44.1 kHz (941 frames) resampled to 48 kHz.
void BM_ResampleMic(benchmark::State& state) {
  constexpr size_t kFrames = 941;
  auto in = Noise(2 * kFrames, 0.5f, 4);
  std::vector<float> out;
  out.reserve(8 * kFrames);
  double position = 0.0;
  ResampleHistory history{};
  for (auto _ : state) {
    out.clear();
    ResampleCatmullRom(in.data(), kFrames, 44100.0 / 48000.0, position, history, out);
    benchmark::DoNotOptimize(out.data());
  }
  SetBudgetCounter(state);
}
BENCHMARK(BM_ResampleMic)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
