// Verifies the spectral suppressor's physical behaviour: its exact delay and perfect
// reconstruction at unit gain, the warm-up during which nothing is speech, the per-mode
// attenuation of stationary noise and the cleared state after a reset.
#include "spectral.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "signals.h"

namespace amberlin::core {
namespace {

using test::rmsOf;

constexpr std::size_t kFrame = 480;

std::vector<float> whiteNoise(std::size_t n, float rms, unsigned seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> dist(0.0F, rms);
    std::vector<float> out(n);
    for (float& v : out) {
        v = dist(rng);
    }
    return out;
}

// Runs `input` through `suppressor` in frames of `frame` samples (the tail shorter than a frame is
// dropped); returns the concatenated output and counts the frames judged voiced.
std::vector<float> run(SpectralSuppressor& suppressor, const std::vector<float>& input,
                       std::size_t frame, std::uint32_t mode, int* voiced = nullptr) {
    std::vector<float> out(input.size() / frame * frame);
    for (std::size_t at = 0; at + frame <= input.size(); at += frame) {
        const bool v = suppressor.process(std::span(input).subspan(at, frame),
                                          std::span(out).subspan(at, frame), mode);
        if (voiced != nullptr && v) {
            ++*voiced;
        }
    }
    return out;
}

// Lag (0 ... maxLag) at which `y` best matches `x` delayed, by normalised cross-correlation.
std::size_t bestLag(const std::vector<float>& x, const std::vector<float>& y, std::size_t maxLag) {
    std::size_t best = 0;
    double bestScore = -1.0;
    for (std::size_t lag = 0; lag <= maxLag; ++lag) {
        double dot = 0.0;
        for (std::size_t i = lag; i < y.size(); ++i) {
            dot += double{y[i]} * double{x[i - lag]};
        }
        if (dot > bestScore) {
            bestScore = dot;
            best = lag;
        }
    }
    return best;
}

TEST(SpectralSuppressor, UnitGainReproducesInputDelayedBy736Samples) {
    // After a silent warm-up the noise estimate is zero, every gain stays 1 and the squared
    // window sums to 1: the output is the input exactly, 256 + 480 samples late.
    SpectralSuppressor suppressor(kFrame);
    std::vector<float> input(20 * kFrame, 0.0F);
    const std::vector<float> burst = whiteNoise(40 * kFrame, 0.2F, 1);
    input.insert(input.end(), burst.begin(), burst.end());
    const std::vector<float> out = run(suppressor, input, kFrame, 1);

    ASSERT_EQ(bestLag(input, out, 2000), 736U);
    double worst = 0.0;
    for (std::size_t i = 736; i < out.size(); ++i) {
        worst = std::max(worst, std::fabs(double{out[i]} - double{input[i - 736]}));
    }
    EXPECT_LT(worst, 1e-5);
    for (std::size_t k = 0; k < SpectralSuppressor::kBins; ++k) {
        ASSERT_EQ(suppressor.smoothedGain(k), 1.0F) << "bin " << k;
        ASSERT_EQ(suppressor.noiseEstimate(k), 0.0F) << "bin " << k;
    }
}

TEST(SpectralSuppressor, ReconstructsAtOtherFrameLengthsWithConstantDelay) {
    // The queues make any caller frame length work: unit gains still give an exact delayed copy.
    for (std::size_t frame : {100U, 256U, 1000U}) {
        SCOPED_TRACE(frame);
        SpectralSuppressor suppressor(frame);
        std::vector<float> input(8000, 0.0F);
        const std::vector<float> burst = whiteNoise(10000, 0.2F, 2);
        input.insert(input.end(), burst.begin(), burst.end());
        const std::vector<float> out = run(suppressor, input, frame, 2);
        const std::size_t lag = bestLag(input, out, 1500);
        EXPECT_GE(lag, SpectralSuppressor::kHop);
        for (std::size_t i = lag + 8000; i < out.size(); ++i) {
            ASSERT_NEAR(out[i], input[i - lag], 1e-5F) << "sample " << i;
        }
    }
}

TEST(SpectralSuppressor, FirstFrameIsSilentAfterCreationAndReset) {
    // The first 480-sample call yields one hop (256 samples), too few to deliver anything.
    SpectralSuppressor suppressor(kFrame);
    const std::vector<float> noise = whiteNoise(10 * kFrame, 0.3F, 3);
    std::vector<float> out(kFrame, 5.0F);
    suppressor.process(std::span(noise).first(kFrame), out, 1);
    for (const float v : out) {
        ASSERT_EQ(v, 0.0F);
    }
    run(suppressor, noise, kFrame, 1);
    EXPECT_GT(suppressor.hopCount(), 15U);

    suppressor.reset();
    EXPECT_EQ(suppressor.hopCount(), 0U);
    for (std::size_t k = 0; k < SpectralSuppressor::kBins; ++k) {
        ASSERT_EQ(suppressor.noiseEstimate(k), 0.0F);
        ASSERT_EQ(suppressor.smoothedGain(k), 1.0F);
    }
    std::fill(out.begin(), out.end(), 5.0F);
    suppressor.process(std::span(noise).first(kFrame), out, 1);
    for (const float v : out) {
        ASSERT_EQ(v, 0.0F);
    }
    std::fill(out.begin(), out.end(), 0.0F);
    suppressor.process(std::span(noise).subspan(kFrame, kFrame), out, 1);
    EXPECT_GT(rmsOf(out), 0.01);  // the second frame delivers again
}

TEST(SpectralSuppressor, NothingIsSpeechDuringWarmupThenLoudBurstsAre) {
    // A loud burst after silence would be speech, but not within the first 15 hops; once warm,
    // a burst 20 dB above the learned noise is.
    SpectralSuppressor suppressor(kFrame);
    std::vector<float> out(kFrame);
    const std::vector<float> quiet = whiteNoise(40 * kFrame, 0.01F, 4);
    const std::vector<float> loud = whiteNoise(4 * kFrame, 0.5F, 5);
    for (std::size_t f = 0; suppressor.hopCount() < 14; ++f) {
        // Alternate quiet and loud frames: loud ones would be judged speech if warm.
        const auto& src = f % 2 == 0 ? quiet : loud;
        ASSERT_FALSE(suppressor.process(std::span(src).subspan((f % 4) * kFrame, kFrame), out, 1))
            << "frame " << f << " hops " << suppressor.hopCount();
    }
    int voiced = 0;
    run(suppressor, quiet, kFrame, 1, &voiced);
    EXPECT_EQ(voiced, 0) << "stationary noise is not speech";
    EXPECT_TRUE(suppressor.process(std::span(loud).first(kFrame), out, 1));
}

TEST(SpectralSuppressor, StationaryNoiseIsAttenuatedTowardsEachModesFloor) {
    // Gains are clamped at the floor, so the output cannot fall far below floor x input; over-
    // subtraction drives stationary noise to within a few dB above it.
    const std::array<double, 3> floors{0.3, 0.14, 0.05};
    const std::array<double, 3> ceilings{0.4, 0.19, 0.065};
    const std::vector<float> noise = whiteNoise(300 * kFrame, 0.1F, 6);
    for (std::uint32_t mode = 0; mode < 3; ++mode) {
        SCOPED_TRACE(mode);
        SpectralSuppressor suppressor(kFrame);
        const std::vector<float> out = run(suppressor, noise, kFrame, mode);
        const std::size_t tail = 100 * kFrame;  // the last second, well after convergence
        const double ratio = rmsOf(std::span(out).last(tail)) / rmsOf(std::span(noise).last(tail));
        EXPECT_GT(ratio, floors[mode] * 0.9);
        EXPECT_LT(ratio, ceilings[mode]);
        double meanGain = 0.0;
        for (std::size_t k = 0; k < SpectralSuppressor::kBins; ++k) {
            meanGain += double{suppressor.smoothedGain(k)};
            ASSERT_GE(suppressor.smoothedGain(k), static_cast<float>(floors[mode]) - 1e-6F);
        }
        EXPECT_LT(meanGain / SpectralSuppressor::kBins, ceilings[mode]);
    }
}

TEST(SpectralSuppressor, ToneAboveNoiseSurvivesWhileNoiseIsRemoved) {
    // A 1 kHz tone 20 dB above broadband noise keeps its level; the noise floor around it drops.
    const std::vector<float> noise = whiteNoise(200 * kFrame, 0.02F, 7);
    std::vector<float> input = noise;
    for (std::size_t i = 100 * kFrame; i < input.size(); ++i) {
        input[i] +=
            0.3F * std::sin(2.0F * 3.14159265F * 1000.0F * static_cast<float>(i) / 48000.0F);
    }
    SpectralSuppressor suppressor(kFrame);
    const std::vector<float> out = run(suppressor, input, kFrame, 1);
    const double noiseOnly = rmsOf(std::span(out).subspan(80 * kFrame, 18 * kFrame));
    const double withTone = rmsOf(std::span(out).last(50 * kFrame));
    EXPECT_LT(noiseOnly, 0.02 * 0.3);
    EXPECT_NEAR(withTone, 0.3 / std::sqrt(2.0), 0.03);
}

}  // namespace
}  // namespace amberlin::core
