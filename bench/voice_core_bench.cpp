// Cost per 10 ms frame (480 samples at 48 kHz; one iteration = one frame, times in microseconds)
// of each voice-core stage and of the whole pipeline, on noisy voiced input with the far end
// playing; plus the resident memory that one pipeline (echo cancellation and, when built in,
// RNNoise) adds to the process. The FFT figure is one 512-point forward plus one inverse.
#include <benchmark/benchmark.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <vector>

#include "amberlin_core.h"
#include "fft.h"
#include "neural.h"
#include "pipeline.h"
#include "processor.h"
#include "voice_gate.h"

namespace {

using amberlin::core::NeuralPolicy;

constexpr std::size_t kFrame = 480;
constexpr std::size_t kFrames = 1000;  // 10 s of signal, cycled
constexpr std::uint64_t kFrameNs = 10'000'000;

// Microphone: a harmonic 150 Hz voice with a 3 Hz syllable rhythm over white noise at about
// 15 dB SNR plus a 40 ms echo of the far end; far end: white noise at -20 dBFS.
struct Signals {
    std::vector<float> mic = std::vector<float>(kFrames * kFrame);
    std::vector<float> far = std::vector<float>(kFrames * kFrame);

    Signals() {
        std::uint32_t seed = 1;
        auto noise = [&seed] {
            seed = seed * 1664525U + 1013904223U;
            return static_cast<float>(seed >> 8) / 8388608.0F - 1.0F;
        };
        for (std::size_t i = 0; i < mic.size(); ++i) {
            const double t = static_cast<double>(i) / 48000.0;
            double voice = 0.0;
            for (int h = 1; h <= 8; ++h) {
                voice += std::sin(2.0 * 3.141592653589793 * 150.0 * h * t) / h;
            }
            voice *= 0.15 * std::max(0.0, std::sin(2.0 * 3.141592653589793 * 3.0 * t));
            far[i] = 0.17F * noise();
            const float echo = i >= 1920 ? 0.3F * far[i - 1920] : 0.0F;
            mic[i] = static_cast<float>(voice) + 0.02F * noise() + echo;
        }
    }
    const float* micFrame(std::size_t f) const { return mic.data() + (f % kFrames) * kFrame; }
    const float* farFrame(std::size_t f) const { return far.data() + (f % kFrames) * kFrame; }
};

const Signals& signals() {
    static const Signals instance;
    return instance;
}

// High-pass + noise suppression + limiter on one path.
void noiseProcessor(benchmark::State& state, NeuralPolicy policy) {
    const Signals& s = signals();
    std::optional<amberlin::core::NoiseProcessor> p =
        amberlin::core::NoiseProcessor::create(1, 48000, kFrame, policy);
    if (policy == NeuralPolicy::whenAvailable && !p->usesNeural()) {
        state.SkipWithError("built without RNNoise");
        return;
    }
    std::array<float, kFrame> out{};
    std::size_t f = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(p->process(std::span(s.micFrame(f++), kFrame), out));
        benchmark::ClobberMemory();
    }
}

void BM_HighPassSpectral(benchmark::State& state) {
    noiseProcessor(state, NeuralPolicy::spectralOnly);
}
BENCHMARK(BM_HighPassSpectral)->Unit(benchmark::kMicrosecond);

void BM_HighPassNeural(benchmark::State& state) {
    noiseProcessor(state, NeuralPolicy::whenAvailable);
}
BENCHMARK(BM_HighPassNeural)->Unit(benchmark::kMicrosecond);

void BM_VoiceGate(benchmark::State& state) {
    const Signals& s = signals();
    amberlin::core::VoiceGate gate(2);
    std::array<float, kFrame> frame{};
    std::size_t f = 0;
    for (auto _ : state) {
        std::copy_n(s.micFrame(f), kFrame, frame.begin());
        gate.process(frame, (f++ / 30) % 2 == 0 ? 0.9F : 0.1F);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_VoiceGate)->Unit(benchmark::kMicrosecond);

void BM_Fft512ForwardInverse(benchmark::State& state) {
    const Signals& s = signals();
    const amberlin::core::Fft fft(512);
    std::array<float, 512> re{};
    std::array<float, 512> im{};
    fft.forwardReal(std::span(s.mic.data(), 512), re, im);
    for (auto _ : state) {
        fft.forward(re, im);
        fft.inverse(re, im);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_Fft512ForwardInverse)->Unit(benchmark::kMicrosecond);

void BM_EchoCanceller(benchmark::State& state) {
    const Signals& s = signals();
    amberlin::core::EchoCanceller canceller(48000.0, 250.0);
    std::array<float, kFrame> out{};
    std::size_t f = 0;
    for (auto _ : state) {
        canceller.process(std::span<const float, kFrame>(s.micFrame(f), kFrame),
                          std::span<const float, kFrame>(s.farFrame(f), kFrame), out);
        ++f;
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_EchoCanceller)->Unit(benchmark::kMicrosecond);

// The whole pipeline through the flat interface, with the far end pushed before each frame.
void BM_Pipeline(benchmark::State& state) {
    const bool echo = state.range(0) != 0;
    const auto policy =
        state.range(1) != 0 ? NeuralPolicy::whenAvailable : NeuralPolicy::spectralOnly;
    amr_pipeline* p = amberlin::core::createPipeline(1, echo, 2, policy);
    if (policy == NeuralPolicy::whenAvailable && amr_pipeline_uses_neural(p) == 0) {
        amr_pipeline_destroy(p);
        state.SkipWithError("built without RNNoise");
        return;
    }
    const Signals& s = signals();
    std::array<float, kFrame> out{};
    std::size_t f = 0;
    for (auto _ : state) {
        const std::uint64_t t = 1'000'000'000 + f * kFrameNs;
        amr_pipeline_push_reference(p, s.farFrame(f), kFrame, t);
        benchmark::DoNotOptimize(amr_pipeline_process(p, s.micFrame(f), out.data(), kFrame, t));
        ++f;
    }
    amr_pipeline_destroy(p);
}
BENCHMARK(BM_Pipeline)
    ->ArgNames({"aec", "neural"})
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->Unit(benchmark::kMicrosecond);

// Resident set size of this process in bytes, from /proc/self/statm.
double residentBytes() {
    std::ifstream statm("/proc/self/statm");
    double pages = 0.0;
    double resident = 0.0;
    statm >> pages >> resident;
    return resident * 4096.0;
}

// Resident memory added by each of 8 pipelines (echo cancellation on, neural when built in)
// after two seconds of frames, so that every buffer has been touched. A first pipeline, kept
// alive throughout, pages in what all pipelines share (code, the network's weights).
void BM_PipelineResidentMemory(benchmark::State& state) {
    constexpr int kPipelines = 8;
    const Signals& s = signals();
    double perPipeline = 0.0;
    amr_pipeline* first = amr_pipeline_create(1, 1, 2);
    std::array<float, kFrame> firstOut{};
    amr_pipeline_process(first, s.micFrame(0), firstOut.data(), kFrame, 0);
    for (auto _ : state) {
        const double before = residentBytes();
        std::vector<amr_pipeline*> pipelines;
        std::array<float, kFrame> out{};
        for (int i = 0; i < kPipelines; ++i) {
            pipelines.push_back(amr_pipeline_create(1, 1, 2));
            for (std::size_t f = 0; f < 200; ++f) {
                amr_pipeline_push_reference(pipelines.back(), s.farFrame(f), kFrame, f * kFrameNs);
                amr_pipeline_process(pipelines.back(), s.micFrame(f), out.data(), kFrame,
                                     f * kFrameNs);
            }
        }
        perPipeline = (residentBytes() - before) / kPipelines;
        for (amr_pipeline* p : pipelines) {
            amr_pipeline_destroy(p);
        }
    }
    amr_pipeline_destroy(first);
    state.counters["resident_kib_per_pipeline"] = perPipeline / 1024.0;
}
BENCHMARK(BM_PipelineResidentMemory)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
