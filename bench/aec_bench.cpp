// Cost of the echo canceller per 10 ms frame once converged with the far end playing, of the
// reference queue's push + read_at per frame, and of the SpeexDSP peer for comparison.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <vector>

#include "aec.h"
#include "reference.h"

#if AEC_BENCH_WITH_SPEEXDSP
#include <speex/speex_echo.h>
#include <speex/speex_preprocess.h>
#endif

namespace {

constexpr std::size_t kFrame = 480;
constexpr std::size_t kFrames = 2000;       // 20 s of signal, cycled
constexpr std::size_t kWarmUpFrames = 500;  // 5 s to converge before timing
constexpr std::size_t kEchoDelay = 1920;    // 40 ms

// Far end (white noise, -20 dBFS) and microphone (delayed, attenuated echo of it plus a little
// noise), frame after frame.
struct Signals {
    std::vector<float> far = std::vector<float>(kFrames * kFrame);
    std::vector<float> mic = std::vector<float>(kFrames * kFrame);

    Signals() {
        std::uint32_t state = 1;
        auto noise = [&state] {
            state = state * 1664525u + 1013904223u;
            return static_cast<float>(state >> 8) / 8388608.0f - 1.0f;
        };
        for (std::size_t i = 0; i < far.size(); ++i) {
            far[i] = 0.17f * noise();
            const float echo = i >= kEchoDelay ? 0.5f * far[i - kEchoDelay] : 0.0f;
            mic[i] = echo + 0.001f * noise();
        }
    }

    std::span<const float, kFrame> far_frame(std::size_t f) const {
        return std::span<const float, kFrame>(far.data() + (f % kFrames) * kFrame, kFrame);
    }
    std::span<const float, kFrame> mic_frame(std::size_t f) const {
        return std::span<const float, kFrame>(mic.data() + (f % kFrames) * kFrame, kFrame);
    }
};

const Signals& signals() {
    static const Signals instance;
    return instance;
}

void BM_EchoCancellerProcess(benchmark::State& state) {
    const Signals& s = signals();
    amberlin::core::EchoCanceller canceller(48000.0, 250.0);
    std::array<float, kFrame> output{};
    std::size_t f = 0;
    for (; f < kWarmUpFrames; ++f) {
        canceller.process(s.mic_frame(f), s.far_frame(f), output);
    }
    if (!canceller.far_end_active() || canceller.echo_reduction_db() < 10.0f) {
        state.SkipWithError("canceller did not converge during warm-up");
    }
    for (auto _ : state) {
        canceller.process(s.mic_frame(f), s.far_frame(f), output);
        benchmark::DoNotOptimize(output.data());
        ++f;
        if (f == kFrames) {
            f = kWarmUpFrames;
        }
    }
    state.counters["ERLE_dB"] = canceller.echo_reduction_db();
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EchoCancellerProcess)->Unit(benchmark::kMicrosecond);

// The helper's run mode: echo cancellation on, no far end ever pushed (all-zero reference).
void BM_EchoCancellerSilentReference(benchmark::State& state) {
    const Signals& s = signals();
    amberlin::core::EchoCanceller canceller(48000.0, 250.0);
    const std::array<float, kFrame> silence{};
    std::array<float, kFrame> output{};
    std::size_t f = 0;
    for (auto _ : state) {
        canceller.process(s.mic_frame(f), silence, output);
        benchmark::DoNotOptimize(output.data());
        f = f + 1 == kFrames ? 0 : f + 1;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EchoCancellerSilentReference)->Unit(benchmark::kMicrosecond);

void BM_ReferenceQueuePushRead(benchmark::State& state) {
    const Signals& s = signals();
    amberlin::core::ReferenceQueue queue(48000, 300);
    std::array<float, kFrame> reference{};
    constexpr std::uint64_t kFrameNs = 10'000'000;
    std::uint64_t t = 1'000'000'000;
    std::size_t f = 0;
    for (auto _ : state) {
        queue.push(s.far_frame(f), t);
        benchmark::DoNotOptimize(queue.read_at(reference, t + 3'000'000));
        benchmark::DoNotOptimize(reference.data());
        t += kFrameNs;
        f = f + 1 == kFrames ? 0 : f + 1;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ReferenceQueuePushRead)->Unit(benchmark::kMicrosecond);

#if AEC_BENCH_WITH_SPEEXDSP
// SpeexDSP echo canceller with its preprocessor's residual echo suppression only (noise
// suppression, AGC and dereverberation off), same frame and 250 ms tail.
void BM_SpeexEchoWithResidualSuppression(benchmark::State& state) {
    const Signals& s = signals();
    SpeexEchoState* echo = speex_echo_state_init(kFrame, 12000);
    int rate = 48000;
    speex_echo_ctl(echo, SPEEX_ECHO_SET_SAMPLING_RATE, &rate);
    SpeexPreprocessState* pre = speex_preprocess_state_init(kFrame, rate);
    int off = 0;
    speex_preprocess_ctl(pre, SPEEX_PREPROCESS_SET_DENOISE, &off);
    speex_preprocess_ctl(pre, SPEEX_PREPROCESS_SET_AGC, &off);
    speex_preprocess_ctl(pre, SPEEX_PREPROCESS_SET_DEREVERB, &off);
    speex_preprocess_ctl(pre, SPEEX_PREPROCESS_SET_ECHO_STATE, echo);
    std::array<spx_int16_t, kFrame> mic{};
    std::array<spx_int16_t, kFrame> far{};
    std::array<spx_int16_t, kFrame> out{};
    auto to_pcm = [](std::span<const float, kFrame> in, std::array<spx_int16_t, kFrame>& pcm) {
        for (std::size_t i = 0; i < kFrame; ++i) {
            pcm[i] = static_cast<spx_int16_t>(in[i] * 32767.0f);
        }
    };
    std::size_t f = 0;
    auto step = [&] {
        to_pcm(s.mic_frame(f), mic);
        to_pcm(s.far_frame(f), far);
        speex_echo_cancellation(echo, mic.data(), far.data(), out.data());
        speex_preprocess_run(pre, out.data());
        f = f + 1 == kFrames ? kWarmUpFrames : f + 1;
    };
    for (std::size_t i = 0; i < kWarmUpFrames; ++i) {
        step();
    }
    for (auto _ : state) {
        step();
        benchmark::DoNotOptimize(out.data());
    }
    speex_preprocess_state_destroy(pre);
    speex_echo_state_destroy(echo);
}
BENCHMARK(BM_SpeexEchoWithResidualSuppression)->Unit(benchmark::kMicrosecond);
#endif

}  // namespace

BENCHMARK_MAIN();
