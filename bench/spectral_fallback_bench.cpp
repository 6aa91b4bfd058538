// Cost of one 10 ms frame through the fallback spectral engine and through its front-end adapter.
#include <benchmark/benchmark.h>

#include <array>
#include <random>

#include "AmberlinAudioCore/RealtimeNoiseProcessor.h"
#include "amberlin/am_noise_processor.h"

namespace {

constexpr uint32_t kFrame = 480;

/// A frame of uniform noise at about -15 dBFS.
std::array<float, kFrame> noiseFrame() {
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> dist(-0.3f, 0.3f);
    std::array<float, kFrame> frame{};
    for (float& x : frame) {
        x = dist(rng);
    }
    return frame;
}

/// One am_noise_processor_process call on a settled engine (two 512-point FFT pairs per frame).
void BM_SpectralEngineFrame(benchmark::State& state) {
    AMNoiseProcessor* engine = am_noise_processor_create(AM_NOISE_MODE_BALANCED, 48000, kFrame);
    const std::array<float, kFrame> in = noiseFrame();
    std::array<float, kFrame> out{};
    for (auto _ : state) {
        am_noise_processor_process(engine, in.data(), out.data(), kFrame);
        benchmark::DoNotOptimize(out.data());
    }
    am_noise_processor_destroy(engine);
}
BENCHMARK(BM_SpectralEngineFrame);

/// One RealtimeNoiseProcessor::process call: the engine plus frame copies and metrics.
void BM_RealtimeNoiseProcessorFrame(benchmark::State& state) {
    amberlin::RealtimeNoiseProcessor processor(amberlin::NoiseProcessorType::rnnoise,
                                               amberlin::SuppressionMode::balanced);
    processor.prepare();
    const amberlin::AudioFrame in(noiseFrame());
    for (auto _ : state) {
        benchmark::DoNotOptimize(processor.process(in));
    }
}
BENCHMARK(BM_RealtimeNoiseProcessorFrame);

}  // namespace

BENCHMARK_MAIN();
