// Shared helpers of the RNNoise tests: an owning handle, signal generators and a frame runner.
#ifndef RNNOISE_TEST_SUPPORT_H
#define RNNOISE_TEST_SUPPORT_H

#include <array>
#include <cmath>
#include <cstddef>
#include <memory>
#include <random>
#include <span>
#include <vector>

#include "rnnoise.h"

namespace rnnoise_test {

inline constexpr std::size_t kFrame = 480;  // samples per 10 ms frame at 48 kHz

struct StateDeleter {
    void operator()(DenoiseState* st) const { rnnoise_destroy(st); }
};
/** Owns one suppressor state. */
using State = std::unique_ptr<DenoiseState, StateDeleter>;

inline State makeState() {
    return State(rnnoise_create(nullptr));
}

/** A whole signal processed frame by frame: output samples and per-frame voice probability. */
struct Processed {
    std::vector<float> output;
    std::vector<float> probability;
};

/** Runs `signal` (a whole number of frames) through `st`. */
inline Processed processAll(DenoiseState* st, std::span<const float> signal) {
    Processed result{std::vector<float>(signal.size()), {}};
    for (std::size_t at = 0; at + kFrame <= signal.size(); at += kFrame) {
        result.probability.push_back(
            rnnoise_process_frame(st, result.output.data() + at, signal.data() + at));
    }
    return result;
}

/**
 * Low-pass ("brown") noise: white Gaussian noise through a one-pole filter with pole 0.95
 * (corner near 390 Hz), scaled to `rms` in 16-bit units. Background rumble, fans and traffic
 * look like this; it is the kind of noise the built-in model removes well.
 */
inline std::vector<float> brownNoise(std::size_t frames, float rms, unsigned seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> white(0.0f, 1.0f);
    // Unit-variance output needs white input of sqrt(1 - 0.95^2).
    const float drive = rms * std::sqrt(1.0f - 0.95f * 0.95f);
    std::vector<float> signal(frames * kFrame);
    float state = 0.0f;
    for (float& x : signal) {
        state = 0.95f * state + drive * white(rng);
        x = state;
    }
    return signal;
}

/** Energy (sum of squares) of samples [begin, end). */
inline double energy(std::span<const float> x, std::size_t begin, std::size_t end) {
    double sum = 0.0;
    for (std::size_t i = begin; i < end; ++i) {
        const double sample = x[i];
        sum += sample * sample;
    }
    return sum;
}

inline double decibels(double ratio) {
    return 10.0 * std::log10(ratio);
}

}  // namespace rnnoise_test

#endif
