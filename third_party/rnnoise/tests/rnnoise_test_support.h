// Shared helpers of the RNNoise tests: an owning handle, signal generators and a frame runner.
#ifndef RNNOISE_TEST_SUPPORT_H
#define RNNOISE_TEST_SUPPORT_H

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
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

/** Integer-only noise for regimeSignal: a linear congruential generator and its low-pass. */
class IntegerNoise {
  public:
    /** Uniform in [-amplitude, amplitude]. */
    std::int32_t white(std::int32_t amplitude) {
        seed_ = seed_ * 1664525u + 1013904223u;
        const std::uint32_t span = 2u * static_cast<std::uint32_t>(amplitude) + 1u;
        return static_cast<std::int32_t>((seed_ >> 8) % span) - amplitude;
    }
    /** Next sample of white noise through a one-pole low-pass, pole 31/32 (corner near 240 Hz). */
    std::int32_t rumble() {
        rumble_ = rumble_ - rumble_ / 32 + white(400);
        return rumble_;
    }

  private:
    std::uint32_t seed_ = 12345u;
    std::int32_t rumble_ = 0;
};

/** Triangle wave of `period` samples between -amplitude and amplitude, at sample `i`. */
inline std::int32_t triangle(std::size_t i, std::int32_t period, std::int32_t amplitude) {
    const auto phase = static_cast<std::int32_t>(i % static_cast<std::size_t>(period));
    return amplitude - 4 * amplitude * std::abs(phase - period / 2) / period;
}

/** Sample `i` of regimeSignal, drawing on `noise`. */
inline std::int32_t regimeSample(std::size_t i, IntegerNoise& noise) {
    const std::int32_t rumble = noise.rumble();
    const std::size_t at = i % 48000;
    switch (i / 48000 % 8) {
        case 0:
            return rumble / 4;
        case 1:
            return triangle(i, 218, 6000) + noise.white(3000);
        case 2:
            return (at % 12000 < 5760 ? triangle(i, 320, 9000) : 0) + rumble / 16;
        case 3:
            return std::clamp(noise.white(60000), -32768, 32767);
        case 4:
            return noise.white(2);
        case 5:
            return at % 9600 == 0 ? 32767 : 0;
        case 6:
            return static_cast<std::int32_t>(at % (400 - at / 133)) * 40 - 8000;
        default:
            return triangle(i, 109, 20000) + rumble / 2 + 1000;
    }
}

/**
 * A signal of `frames` frames that visits every regime of the network, one second (100 frames)
 * each, in this order: low-pass noise, a 220 Hz triangle in white noise, gated 4 Hz "syllables"
 * of a 150 Hz buzz over rumble, clipped full-scale noise, near-silence (+-2), silence with
 * full-scale clicks, a sawtooth sweeping 120 Hz -> 1.2 kHz, and a loud 440 Hz triangle over
 * offset rumble. Integer arithmetic only, so the samples are the same on every platform and
 * standard library.
 */
inline std::vector<float> regimeSignal(std::size_t frames) {
    std::vector<float> signal(frames * kFrame);
    IntegerNoise noise;
    for (std::size_t i = 0; i < signal.size(); ++i) {
        signal[i] = static_cast<float>(regimeSample(i, noise));
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
