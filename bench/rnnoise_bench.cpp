// Cost of one RNNoise frame, of creating a state, and the resident memory a working state adds.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <random>
#include <vector>

#include "rnnoise.h"

namespace {

constexpr std::size_t kFrame = 480;    // 10 ms at 48 kHz
constexpr std::size_t kFrames = 1000;  // 10 s of input, cycled

/// Low-pass noise at about -30 dBFS in 16-bit units: a steady, realistic load for the network.
std::vector<float> noise() {
    std::mt19937 rng(1);
    std::normal_distribution<float> white(0.0f, 312.0f);
    std::vector<float> signal(kFrames * kFrame);
    float state = 0.0f;
    for (float& x : signal) {
        state = 0.95f * state + white(rng);
        x = state;
    }
    return signal;
}

long residentBytes() {
    std::ifstream statm("/proc/self/statm");
    long total_pages = 0, resident_pages = 0;
    statm >> total_pages >> resident_pages;
    return resident_pages * sysconf(_SC_PAGESIZE);
}

/// One rnnoise_process_frame call: the per-frame real-time cost (budget: 10 ms).
void BM_RnnoiseProcessFrame(benchmark::State& state) {
    const std::vector<float> input = noise();
    std::vector<float> output(kFrame);
    DenoiseState* st = rnnoise_create(nullptr);
    std::size_t frame = 0;
    for (auto _ : state) {
        const float* in = input.data() + (frame++ % kFrames) * kFrame;
        benchmark::DoNotOptimize(rnnoise_process_frame(st, output.data(), in));
        benchmark::ClobberMemory();
    }
    rnnoise_destroy(st);
    state.counters["frames_per_s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_RnnoiseProcessFrame)->Unit(benchmark::kMicrosecond);
// Exactly 300 frames (3 s of input), for repeatable instruction counts: under
// `valgrind --tool=callgrind --toggle-collect=rnnoise_process_frame` with
// `--benchmark_filter=ProcessFrame/iterations:300`, "Collected" / 300 is the count of one frame.
BENCHMARK(BM_RnnoiseProcessFrame)->Iterations(300)->Unit(benchmark::kMicrosecond);

/// rnnoise_create plus rnnoise_destroy: instantiating the module (memory, data, constructors).
void BM_RnnoiseCreateDestroy(benchmark::State& state) {
    for (auto _ : state) {
        DenoiseState* st = rnnoise_create(nullptr);
        benchmark::DoNotOptimize(st);
        rnnoise_destroy(st);
    }
}
BENCHMARK(BM_RnnoiseCreateDestroy)->Unit(benchmark::kMicrosecond);

/// Resident memory added by one state that has processed 1 s of audio (reported as a counter).
void BM_RnnoiseResidentPerState(benchmark::State& state) {
    constexpr int kStates = 8;
    const std::vector<float> input = noise();
    std::vector<float> output(kFrame);
    double per_state = 0.0;
    for (auto _ : state) {
        std::vector<DenoiseState*> states;
        const long before = residentBytes();
        for (int i = 0; i < kStates; ++i) {
            states.push_back(rnnoise_create(nullptr));
            for (std::size_t f = 0; f < 100; ++f) {
                rnnoise_process_frame(states.back(), output.data(), input.data() + f * kFrame);
            }
        }
        per_state = static_cast<double>(residentBytes() - before) / kStates;
        for (DenoiseState* st : states) {
            rnnoise_destroy(st);
        }
    }
    state.counters["resident_KiB_per_state"] = per_state / 1024.0;
}
BENCHMARK(BM_RnnoiseResidentPerState)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
