// Verifies the noise processor on both paths: length refusal, non-finite and absurd input, DC
// removal, the peak limiter, reset, and on the neural path the voice-probability gain's attack and
// release, light mode's dry share and the removal of stationary noise from speech.
#include "processor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "signals.h"

namespace amberlin::core {
namespace {

using test::kFrame;
using test::rmsOf;

NoiseProcessor make(std::uint32_t mode, NeuralPolicy policy) {
    std::optional<NoiseProcessor> p = NoiseProcessor::create(mode, 48000, kFrame, policy);
    EXPECT_TRUE(p.has_value());
    return std::move(*p);
}

// The paths that can be built here: spectral always, neural when RNNoise is built in.
std::vector<NeuralPolicy> paths() {
    std::vector<NeuralPolicy> out{NeuralPolicy::spectralOnly};
    if (NeuralDenoiser::available()) {
        out.push_back(NeuralPolicy::whenAvailable);
    }
    return out;
}

float peakOf(std::span<const float> s) {
    float peak = 0.0F;
    for (const float v : s) {
        peak = std::max(peak, std::fabs(v));
    }
    return peak;
}

// Processes `input` frame by frame; returns the concatenated output.
std::vector<float> run(NoiseProcessor& p, const std::vector<float>& input) {
    std::vector<float> out(input.size() / kFrame * kFrame);
    for (std::size_t at = 0; at + kFrame <= input.size(); at += kFrame) {
        EXPECT_TRUE(
            p.process(std::span(input).subspan(at, kFrame), std::span(out).subspan(at, kFrame)));
    }
    return out;
}

TEST(NoiseProcessor, CreationNeedsNonZeroGeometryAndNeuralOnlyAt48kHz480) {
    // Zero sizes are refused; other geometries build on the spectral path.
    EXPECT_FALSE(NoiseProcessor::create(1, 0, kFrame).has_value());
    EXPECT_FALSE(NoiseProcessor::create(1, 48000, 0).has_value());
    std::optional<NoiseProcessor> other = NoiseProcessor::create(1, 44100, 441);
    ASSERT_TRUE(other.has_value());
    EXPECT_FALSE(other->usesNeural());
    EXPECT_FALSE(make(1, NeuralPolicy::spectralOnly).usesNeural());
    EXPECT_EQ(make(1, NeuralPolicy::whenAvailable).usesNeural(), NeuralDenoiser::available());
}

TEST(NoiseProcessor, WrongLengthsAreRefusedWithoutWritingOutput) {
    // The input is compared with the frame length first, then the output with the input.
    NoiseProcessor p = make(1, NeuralPolicy::spectralOnly);
    std::vector<float> in(kFrame + 1, 0.25F);
    std::vector<float> out(kFrame + 1, 7.0F);
    auto r = p.process(std::span(in).first(kFrame - 1), std::span(out).first(kFrame - 1));
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), (LengthError{kFrame, kFrame - 1}));
    r = p.process(std::span(in).first(kFrame), out);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), (LengthError{kFrame, kFrame + 1}));
    EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](float v) { return v == 7.0F; }));
    EXPECT_EQ(p.inputRms(), 0.0F);
}

// Speech from espeak-ng, or a harmonic 150 Hz signal with a 4 Hz syllable rhythm without it.
std::vector<float> voiceLike(std::size_t minimum) {
    std::vector<float> v = test::renderSpeech("one two three four five six seven", 0.5F)
                               .value_or(std::vector<float>{});
    if (v.empty()) {
        v.resize(minimum);
        for (std::size_t i = 0; i < v.size(); ++i) {
            const double t = static_cast<double>(i) / 48000.0;
            double s = 0.0;
            for (int h = 1; h <= 10; ++h) {
                s += std::sin(2.0 * 3.141592653589793 * 150.0 * h * t) / h;
            }
            v[i] = static_cast<float>(0.2 * s *
                                      std::max(0.0, std::sin(2.0 * 3.141592653589793 * 4.0 * t)));
        }
    }
    v.resize(std::max(v.size(), minimum) / kFrame * kFrame);
    return v;
}

TEST(NoiseProcessor, NonFiniteAndAbsurdInputNeverReachesTheOutput) {
    // NaN and infinity enter the filter as 0 and absurdly large finite samples are bounded: the
    // output stays finite, and speech that follows comes out at the level a processor that never
    // saw the bad frame gives it. The input RMS reports what came in.
    const std::vector<float> noise = test::whiteNoise(100 * kFrame, 0.05F, 1);
    const std::vector<float> speech = voiceLike(200 * kFrame);
    for (NeuralPolicy policy : paths()) {
        SCOPED_TRACE(static_cast<int>(policy));
        NoiseProcessor disturbed = make(1, policy);
        NoiseProcessor clean = make(1, policy);
        run(disturbed, noise);
        run(clean, noise);
        std::vector<float> bad(noise.begin(), noise.begin() + kFrame);
        bad[10] = std::numeric_limits<float>::quiet_NaN();
        bad[20] = std::numeric_limits<float>::infinity();
        bad[30] = -std::numeric_limits<float>::infinity();
        bad[40] = 3e38F;
        bad[41] = -3e38F;
        std::vector<float> out(kFrame);
        ASSERT_TRUE(disturbed.process(bad, out));
        EXPECT_TRUE(std::isnan(disturbed.inputRms()));
        EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](float v) { return std::isfinite(v); }));
        ASSERT_TRUE(clean.process(std::span(noise).first(kFrame), out));
        const std::vector<float> after = run(disturbed, speech);
        const std::vector<float> reference = run(clean, speech);
        EXPECT_TRUE(
            std::all_of(after.begin(), after.end(), [](float v) { return std::isfinite(v); }));
        const std::size_t skip = 50 * kFrame;  // half a second to recover
        const double levelDb = 20.0 * std::log10(rmsOf(std::span(after).subspan(skip)) /
                                                 rmsOf(std::span(reference).subspan(skip)));
        EXPECT_NEAR(levelDb, 0.0, 1.0);
    }
}

TEST(NoiseProcessor, ConstantInputDecaysTowardsSilence) {
    // The DC blocker removes a constant offset within a few frames (pole 0.98708 per sample).
    for (NeuralPolicy policy : paths()) {
        SCOPED_TRACE(static_cast<int>(policy));
        NoiseProcessor p = make(1, policy);
        const std::vector<float> dc(100 * kFrame, 0.5F);
        const std::vector<float> out = run(p, dc);
        EXPECT_LT(rmsOf(std::span(out).last(50 * kFrame)), 1e-3);
    }
}

TEST(NoiseProcessor, PeaksNeverExceedTheCeiling) {
    // Full-scale square waves and clipped noise leave with a peak of at most 0.98, and the
    // limiter scales rather than clips (some frame reaches the ceiling).
    for (NeuralPolicy policy : paths()) {
        SCOPED_TRACE(static_cast<int>(policy));
        NoiseProcessor p = make(0, policy);
        std::vector<float> input(200 * kFrame);
        const std::vector<float> noise = test::whiteNoise(input.size(), 1.0F, 2);
        for (std::size_t i = 0; i < input.size(); ++i) {
            const bool square = (i / 240) % 2 == 0;
            input[i] =
                i < input.size() / 2 ? (square ? 1.0F : -1.0F) : std::clamp(noise[i], -1.0F, 1.0F);
        }
        std::vector<float> out(kFrame);
        float loudest = 0.0F;
        for (std::size_t at = 0; at < input.size(); at += kFrame) {
            ASSERT_TRUE(p.process(std::span(input).subspan(at, kFrame), out));
            ASSERT_LE(peakOf(out), 0.98F);
            loudest = std::max(loudest, peakOf(out));
        }
        EXPECT_NEAR(loudest, 0.98F, 1e-6F);
    }
}

TEST(NoiseProcessor, SpectralPathReportsExactVoiceProbabilities) {
    // Without a neural state the probability is exactly 1 or 0, matching the voice decision.
    NoiseProcessor p = make(1, NeuralPolicy::spectralOnly);
    std::vector<float> input = test::whiteNoise(40 * kFrame, 0.01F, 3);
    const std::vector<float> tone = test::sine(10 * kFrame, 700.0F, 0.5F);
    input.insert(input.end(), tone.begin(), tone.end());
    std::vector<float> out(kFrame);
    bool sawVoice = false;
    for (std::size_t at = 0; at < input.size(); at += kFrame) {
        ASSERT_TRUE(p.process(std::span(input).subspan(at, kFrame), out));
        ASSERT_TRUE(p.voiceProbability() == 0.0F || p.voiceProbability() == 1.0F);
        ASSERT_EQ(p.voiceActive(), p.voiceProbability() == 1.0F);
        sawVoice = sawVoice || p.voiceActive();
    }
    EXPECT_TRUE(sawVoice);
    EXPECT_EQ(p.neuralGain(), 1.0F);
}

TEST(NoiseProcessor, ResetClearsResultsFilterAndSuppressorState) {
    // After reset the processor behaves like a new one: identical output for identical input.
    for (NeuralPolicy policy : paths()) {
        SCOPED_TRACE(static_cast<int>(policy));
        NoiseProcessor used = make(2, policy);
        const std::vector<float> noise = test::whiteNoise(60 * kFrame, 0.2F, 4);
        run(used, noise);
        used.reset();
        EXPECT_EQ(used.inputRms(), 0.0F);
        EXPECT_EQ(used.outputRms(), 0.0F);
        EXPECT_EQ(used.voiceProbability(), 0.0F);
        EXPECT_FALSE(used.voiceActive());
        EXPECT_EQ(used.neuralGain(), 1.0F);
        EXPECT_EQ(used.usesNeural(), policy == NeuralPolicy::whenAvailable);
        NoiseProcessor fresh = make(2, policy);
        EXPECT_EQ(run(used, noise), run(fresh, noise));
    }
}

class NeuralNoiseProcessor : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!NeuralDenoiser::available()) {
            GTEST_SKIP() << "built without RNNoise";
        }
    }
};

TEST_F(NeuralNoiseProcessor, GainRisesBy55AndFallsBy12PercentOfTheDistance) {
    // Frame by frame the neural gain follows target = 1 (p >= threshold) or the mode's floor,
    // moving 55 % of the way up or 12 % of the way down.
    const std::array<float, 3> thresholds{0.25F, 0.32F, 0.38F};
    const std::array<float, 3> floors{0.55F, 0.22F, 0.08F};
    std::vector<float> input = test::whiteNoise(100 * kFrame, 0.05F, 5);
    const std::optional<std::vector<float>> speech = test::renderSpeech("one two three four", 0.5F);
    const std::vector<float> voiced = speech ? *speech : test::sine(100 * kFrame, 180.0F, 0.4F);
    input.insert(input.end(), voiced.begin(), voiced.end());
    for (std::uint32_t mode = 0; mode < 3; ++mode) {
        SCOPED_TRACE(mode);
        NoiseProcessor p = make(mode, NeuralPolicy::whenAvailable);
        std::vector<float> out(kFrame);
        int rises = 0;
        int falls = 0;
        for (std::size_t at = 0; at + kFrame <= input.size(); at += kFrame) {
            const float before = p.neuralGain();
            ASSERT_TRUE(p.process(std::span(input).subspan(at, kFrame), out));
            const float prob = p.voiceProbability();
            ASSERT_GE(prob, 0.0F);
            ASSERT_LE(prob, 1.0F);
            ASSERT_EQ(p.voiceActive(), prob > 0.5F);
            const float target = prob >= thresholds[mode] ? 1.0F : floors[mode];
            const float c = target > before ? 0.55F : 0.12F;
            ASSERT_NEAR(p.neuralGain(), before + (target - before) * c, 1e-6F);
            rises += target > before ? 1 : 0;
            falls += target < before ? 1 : 0;
        }
        EXPECT_GT(rises, 0);
        EXPECT_GT(falls, 0);
    }
}

TEST_F(NeuralNoiseProcessor, LightModeKeepsAQuarterOfTheFilteredInput) {
    // On white noise that RNNoise removes almost entirely, light mode still passes about
    // 0.25 x its floor gain 0.55 of the input, while balanced passes far less.
    const std::vector<float> noise = test::whiteNoise(300 * kFrame, 0.05F, 6);
    NoiseProcessor light = make(0, NeuralPolicy::whenAvailable);
    NoiseProcessor balanced = make(1, NeuralPolicy::whenAvailable);
    const std::vector<float> lightOut = run(light, noise);
    const std::vector<float> balancedOut = run(balanced, noise);
    const std::size_t tail = 100 * kFrame;
    const double in = rmsOf(std::span(noise).last(tail));
    const double lightRatio = rmsOf(std::span(lightOut).last(tail)) / in;
    const double balancedRatio = rmsOf(std::span(balancedOut).last(tail)) / in;
    EXPECT_GT(lightRatio, 0.25 * 0.55 * 0.85);
    EXPECT_LT(lightRatio, 0.25 * 0.55 * 1.6);
    EXPECT_LT(balancedRatio, lightRatio / 3.0);
}

TEST_F(NeuralNoiseProcessor, RemovesStationaryNoiseFromSpeechWhileSpeechSurvives) {
    // Speech in white noise at 10 dB SNR (balanced mode): in the pause after the speech the noise
    // is down by more than 20 dB, while during the speech the output keeps the clean speech's
    // level within 3 dB and follows its waveform.
    const std::optional<std::vector<float>> rendered = test::renderSpeech(
        "The quick brown fox jumps over the lazy dog. Pack my box with five dozen liquor jugs.",
        0.5F);
    if (!rendered) {
        GTEST_SKIP() << "espeak-ng or sox is not available";
    }
    const std::size_t lead = 48000;
    std::vector<float> speech(lead, 0.0F);
    speech.insert(speech.end(), rendered->begin(), rendered->end());
    speech.resize((speech.size() + 2 * 48000) / kFrame * kFrame, 0.0F);
    const std::span<const float> speechIn = std::span(speech).subspan(lead, rendered->size());
    const double speechRms = rmsOf(speechIn);
    const auto noiseRms = static_cast<float>(speechRms / std::sqrt(10.0));
    const std::vector<float> noise = test::whiteNoise(speech.size(), noiseRms, 7);
    std::vector<float> noisy(speech.size());
    for (std::size_t i = 0; i < noisy.size(); ++i) {
        noisy[i] = speech[i] + noise[i];
    }
    NoiseProcessor p = make(1, NeuralPolicy::whenAvailable);
    const std::vector<float> out = run(p, noisy);

    const double pauseDb = 20.0 * std::log10(rmsOf(std::span(out).last(48000)) / double{noiseRms});
    EXPECT_LT(pauseDb, -20.0);

    const std::size_t lag =
        test::bestLag(speechIn.first(48000), std::span(out).subspan(lead, 48000 + 1000), 1000);
    const std::span<const float> speechOut = std::span(out).subspan(lead + lag, speechIn.size());
    const double levelDb = 20.0 * std::log10(rmsOf(speechOut) / speechRms);
    EXPECT_GT(levelDb, -3.0);
    EXPECT_LT(levelDb, 1.0);
    double dot = 0.0;
    for (std::size_t i = 0; i < speechIn.size(); ++i) {
        dot += double{speechIn[i]} * double{speechOut[i]};
    }
    const double correlation =
        dot / (speechRms * rmsOf(speechOut) * static_cast<double>(speechIn.size()));
    EXPECT_GT(correlation, 0.8);
}

}  // namespace
}  // namespace amberlin::core
