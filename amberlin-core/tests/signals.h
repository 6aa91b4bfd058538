// Test signals and measurements shared by the voice core's tests: noise, tones, rendered speech,
// RMS and cross-correlation delay.
#ifndef AMBERLIN_CORE_TESTS_SIGNALS_H
#define AMBERLIN_CORE_TESTS_SIGNALS_H

#include <cmath>
#include <cstddef>
#include <cstdio>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

namespace amberlin::core::test {

inline constexpr std::size_t kFrame = 480;
inline constexpr float kRate = 48000.0F;

/// Gaussian white noise of the given RMS.
inline std::vector<float> whiteNoise(std::size_t n, float rms, unsigned seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> dist(0.0F, rms);
    std::vector<float> out(n);
    for (float& v : out) {
        v = dist(rng);
    }
    return out;
}

/// Sine of `hz` at peak `amplitude`.
inline std::vector<float> sine(std::size_t n, float hz, float amplitude) {
    std::vector<float> out(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double phase =
            2.0 * 3.141592653589793 * double{hz} * static_cast<double>(i) / 48000.0;
        out[i] = amplitude * static_cast<float>(std::sin(phase));
    }
    return out;
}

/// RMS in double precision.
inline double rmsOf(std::span<const float> s) {
    if (s.empty()) {
        return 0.0;
    }
    double e = 0.0;
    for (const float v : s) {
        e += double{v} * double{v};
    }
    return std::sqrt(e / static_cast<double>(s.size()));
}

/// Lag (0 ... maxLag samples) at which `y` best matches `x` delayed (largest dot product).
inline std::size_t bestLag(std::span<const float> x, std::span<const float> y, std::size_t maxLag) {
    std::size_t best = 0;
    double bestScore = -1e300;
    for (std::size_t lag = 0; lag <= maxLag; ++lag) {
        double dot = 0.0;
        for (std::size_t i = lag; i < y.size() && i - lag < x.size(); ++i) {
            dot += double{y[i]} * double{x[i - lag]};
        }
        if (dot > bestScore) {
            bestScore = dot;
            best = lag;
        }
    }
    return best;
}

/// Speech rendered by espeak-ng and resampled by sox to 48 kHz mono f32, scaled to `peak`;
/// nothing when either tool is missing or fails.
inline std::optional<std::vector<float>> renderSpeech(const std::string& sentence, float peak) {
    const std::string command =
        "espeak-ng --stdout \"" + sentence +
        "\" 2>/dev/null | sox -q -t wav - -r 48000 -c 1 -t f32 - 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return std::nullopt;
    }
    std::vector<float> samples;
    float buffer[4096];
    std::size_t got = 0;
    while ((got = std::fread(buffer, sizeof(float), 4096, pipe)) > 0) {
        samples.insert(samples.end(), buffer, buffer + got);
    }
    if (pclose(pipe) != 0 || samples.size() < 48000) {
        return std::nullopt;
    }
    float maxAbs = 0.0F;
    for (const float v : samples) {
        maxAbs = std::max(maxAbs, std::fabs(v));
    }
    for (float& v : samples) {
        v *= peak / maxAbs;
    }
    return samples;
}

}  // namespace amberlin::core::test

#endif
