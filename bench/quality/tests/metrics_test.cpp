// The harness's measurements on synthetic cases whose answers are known in closed form: a delayed,
// scaled copy has a known ERLE, speech loss and pause attenuation, and the cross-correlation finds
// its delay.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "correlation.h"
#include "levels.h"
#include "metrics.h"
#include "noise.h"
#include "system_under_test.h"

namespace corvessa::quality {
namespace {

// `x` delayed by `delay` samples and multiplied by `gain`, `extra` samples longer than `x`.
Signal delayedCopy(const Signal& x, std::size_t delay, float gain, std::size_t extra) {
    Signal y(x.size() + extra, 0.0F);
    for (std::size_t i = 0; i < x.size() && i + delay < y.size(); ++i) {
        y[i + delay] = gain * x[i];
    }
    return y;
}

// White noise in frames [from, to) of an otherwise silent signal of `frames` frames.
Signal burst(std::size_t frames, std::size_t from, std::size_t to, std::uint32_t seed) {
    const Signal noise = whiteNoise(frames * kFrame, -26.0, seed);
    Signal s(frames * kFrame, 0.0F);
    std::copy(noise.begin() + static_cast<std::ptrdiff_t>(from * kFrame),
              noise.begin() + static_cast<std::ptrdiff_t>(to * kFrame),
              s.begin() + static_cast<std::ptrdiff_t>(from * kFrame));
    return s;
}

TEST(QualityCorrelation, FindsTheDelayOfAScaledCopyAndConvolvesLikeTheDirectSum) {
    const Signal x = whiteNoise(48000, -20.0, 1);
    for (const std::size_t delay : {0UL, 1UL, 300UL, 4799UL}) {
        SCOPED_TRACE(delay);
        const DelayEstimate estimate = estimateDelay(x, delayedCopy(x, delay, -0.5F, 0), 4800);
        // A negative gain is an inverted copy: the largest positive correlation is elsewhere.
        EXPECT_LT(estimate.correlation, 0.2);
        const DelayEstimate positive = estimateDelay(x, delayedCopy(x, delay, 0.5F, 0), 4800);
        EXPECT_EQ(positive.lag, delay);
        EXPECT_GT(positive.correlation, 0.9);
    }
    const Signal a = {1.0F, -2.0F, 0.5F};
    const Signal h = {0.25F, 1.0F};
    const std::vector<float> expected = {0.25F, 0.5F, -1.875F, 0.5F};
    const std::vector<float> got = convolve(a, h);
    ASSERT_EQ(got.size(), expected.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_NEAR(got[i], expected[i], 1e-6);
    }
}

TEST(QualityErle, IsTheEnergyRatioAfterDelayCompensation) {
    // The microphone carries a burst in frames 20 ... 60; the output is it at -20 dB, 10 frames
    // later. Only with the delay compensated does the whole burst fall inside the range (without,
    // a quarter of it is missed: 1.25 dB more).
    const Signal mic = burst(100, 20, 60, 2);
    const Signal out = delayedCopy(mic, 10 * kFrame, 0.1F, 0);
    const Range burstRange{20 * kFrame, 60 * kFrame};
    EXPECT_NEAR(erleDb(mic, Aligned{out, 10 * kFrame}, burstRange), 20.0, 1e-3);
    EXPECT_GT(erleDb(mic, Aligned{out, 0}, burstRange), 21.0);
    // A range running past the delayed output's end is cut there, not read out of bounds.
    EXPECT_NEAR(erleDb(mic, Aligned{out, 10 * kFrame}, {20 * kFrame, 200 * kFrame}), 20.0, 1e-3);
}

TEST(QualityErle, ConvergenceTimesFollowTheWindowsWithEcho) {
    // 20 windows of 200 ms with per-window output gains; window 7 has no echo and is ignored even
    // though its output is louder than its input.
    constexpr std::size_t kWindow = 9600;
    const std::vector<float> gains = {1.0F,  1.0F,  1.0F,  1.0F,  1.0F,  0.2F,  0.2F,
                                      9.0F,  0.2F,  0.2F,  1.0F,  0.05F, 0.05F, 0.05F,
                                      0.05F, 0.05F, 0.05F, 0.05F, 0.05F, 0.05F};
    Signal echo = whiteNoise(gains.size() * kWindow, -25.0, 3);
    std::fill_n(echo.begin() + 7 * kWindow, kWindow, 0.0F);
    Signal mic = echo;
    const Signal floor = whiteNoise(mic.size(), -60.0, 4);
    Signal out(mic.size());
    for (std::size_t i = 0; i < mic.size(); ++i) {
        mic[i] += floor[i];
        out[i] = gains[i / kWindow] * mic[i];
    }
    const auto timeline = erleTimeline(mic, echo, Aligned{out, 0}, kWindow, {0, mic.size()}, -40.0);
    ASSERT_EQ(timeline.size(), gains.size() - 1);
    const Convergence at10 = convergence(timeline, 10.0);
    EXPECT_DOUBLE_EQ(*at10.firstReachSeconds, 1.2);
    EXPECT_DOUBLE_EQ(*at10.staysAboveSeconds, 2.4);
    const Convergence at20 = convergence(timeline, 20.0);
    EXPECT_DOUBLE_EQ(*at20.firstReachSeconds, 2.4);
    const Convergence at30 = convergence(timeline, 30.0);
    EXPECT_FALSE(at30.firstReachSeconds.has_value());
    EXPECT_FALSE(at30.staysAboveSeconds.has_value());
}

TEST(QualitySpeechLoss, CountsOnlyWhatSurvivesOfTheCleanTalker) {
    const Signal clean = burst(200, 50, 150, 5);
    const std::vector<bool> active = activeFrames(clean, -46.0);
    const Range all{0, clean.size()};
    for (const float gain : {1.0F, 0.5F, 0.1F}) {
        SCOPED_TRACE(gain);
        Signal out = delayedCopy(clean, 736, gain, 1000);
        // Independent noise 10 dB under the talker must not count as kept speech.
        const Signal noise = whiteNoise(out.size(), -36.0, 6);
        for (std::size_t i = 0; i < out.size(); ++i) {
            out[i] += noise[i];
        }
        const double expected = -20.0 * std::log10(double{gain});
        EXPECT_NEAR(speechLossDb(clean, Aligned{out, 736}, active, all), expected, 0.3);
    }
    // Misaligned by one frame, the same output has lost almost everything.
    const Signal out = delayedCopy(clean, 736, 1.0F, 1000);
    EXPECT_GT(speechLossDb(clean, Aligned{out, 736 + kFrame}, active, all), 20.0);
}

TEST(QualityPauseAttenuation, MeasuresTheNoiseBetweenWordsAwayFromTheirEdges) {
    // Talker in frames 30 ... 70; the output keeps the talker, turns noise down 20 dB elsewhere.
    const Signal talker = burst(100, 30, 70, 7);
    const Signal noise = whiteNoise(talker.size(), -46.0, 8);
    Signal mic(talker.size());
    Signal out(talker.size() + 480);
    for (std::size_t i = 0; i < mic.size(); ++i) {
        mic[i] = talker[i] + noise[i];
        const bool speaking = i >= 30 * kFrame && i < 70 * kFrame;
        out[i + 480] = speaking ? mic[i] : 0.1F * mic[i];
    }
    const std::vector<bool> pauses = pauseFrames(talker, -70.0, 5);
    EXPECT_TRUE(pauses[24]);
    EXPECT_FALSE(pauses[25]);
    EXPECT_FALSE(pauses[74]);
    EXPECT_TRUE(pauses[75]);
    EXPECT_NEAR(pauseAttenuationDb(mic, Aligned{out, 480}, pauses, {0, mic.size()}), 20.0, 1e-3);
    // Without the guard and without delay compensation, the end of the talker leaks into what is
    // taken for the pause after it.
    const std::vector<bool> unguarded = pauseFrames(talker, -70.0, 0);
    EXPECT_LT(pauseAttenuationDb(mic, Aligned{out, 0}, unguarded, {0, mic.size()}), 10.0);
}

TEST(QualitySignals, NoiseHasItsLevelAndColourAndActiveLevelIgnoresSilence) {
    const Signal white = whiteNoise(96000, -30.0, 9);
    const Signal pink = pinkNoise(96000, -30.0, 9);
    EXPECT_NEAR(rmsDbfs(white), -30.0, 1e-3);
    EXPECT_NEAR(rmsDbfs(pink), -30.0, 1e-3);
    EXPECT_EQ(white, whiteNoise(96000, -30.0, 9));
    // Neighbouring samples of pink noise are strongly correlated, of white noise not at all.
    const auto lagOne = [](const Signal& s) {
        return crossCorrelation(s, s, 1)[1] / crossCorrelation(s, s, 0)[0];
    };
    EXPECT_LT(std::abs(lagOne(white)), 0.02);
    EXPECT_GT(lagOne(pink), 0.8);
    // Half a second of noise at -20 dBFS followed by as much silence: active level -20 dBFS.
    Signal halfSilent = whiteNoise(24000, -20.0, 10);
    halfSilent.resize(48000, 0.0F);
    EXPECT_NEAR(activeLevelDbfs(halfSilent), -20.0, 0.01);
    EXPECT_NEAR(rmsDbfs(halfSilent), -23.0, 0.1);
}

}  // namespace
}  // namespace corvessa::quality
