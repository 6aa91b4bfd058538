// Verifies the voice gate's level learning, hold, gain ramps and per-level floors against the
// gate's stated time constants.
#include "voice_gate.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

namespace amberlin::core {
namespace {

constexpr std::size_t kFrame = 480;
constexpr float kVoiced = 0.9F;
constexpr float kUnvoiced = 0.1F;

// A frame of noise whose RMS is `db` dBFS.
std::vector<float> frameAt(float db, unsigned seed = 1) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> sign(0, 1);
    const float amplitude = std::pow(10.0F, db / 20.0F);
    std::vector<float> f(kFrame);
    for (float& v : f) {
        v = sign(rng) == 0 ? amplitude : -amplitude;
    }
    return f;
}

// Teaches `gate` a speech level near `db` with voiced frames.
void learnSpeech(VoiceGate& gate, float db, int frames = 60) {
    for (int i = 0; i < frames; ++i) {
        std::vector<float> f = frameAt(db, static_cast<unsigned>(i));
        gate.process(f, kVoiced);
    }
}

TEST(VoiceGate, OffLeavesSamplesBitIdenticalAndReportsUnitGain) {
    // Level 0 neither changes samples nor learns anything.
    VoiceGate gate(0);
    std::vector<float> f = frameAt(-20.0F);
    f[3] = std::nanf("");
    const std::vector<float> before = f;
    gate.process(f, kVoiced);
    EXPECT_EQ(std::memcmp(f.data(), before.data(), f.size() * sizeof(float)), 0);
    EXPECT_EQ(gate.gain(), 1.0F);
    EXPECT_EQ(gate.speechLevelDb(), VoiceGate::kInitialSpeechLevelDb);
}

TEST(VoiceGate, StaysOpenUntilSpeechAboveMinus50DbHasBeenLearned) {
    // With the initial -60 dB speech level, quiet and silent frames pass at full gain.
    for (std::uint32_t level = 1; level <= 3; ++level) {
        SCOPED_TRACE(level);
        VoiceGate gate(level);
        for (int i = 0; i < 50; ++i) {
            std::vector<float> silent(kFrame, 0.0F);
            gate.process(silent, kUnvoiced);
            std::vector<float> quiet = frameAt(-70.0F);
            gate.process(quiet, kUnvoiced);
        }
        EXPECT_EQ(gate.gain(), 1.0F);
        // Voiced frames at -55 dB lift the level but not above -50 dB: still open.
        learnSpeech(gate, -55.0F);
        std::vector<float> quiet = frameAt(-90.0F);
        gate.process(quiet, kUnvoiced);
        EXPECT_LE(gate.speechLevelDb(), -50.0F);
        EXPECT_EQ(gate.gain(), 1.0F);
    }
}

TEST(VoiceGate, SpeechLevelRisesBy30PercentAndFollowsSlowlyFromBelow) {
    // Louder voiced frames pull the level 30 % of the way; frames within 6 dB below pull 1 %;
    // quieter voiced frames and unvoiced frames leave it.
    VoiceGate gate(2);
    std::vector<float> f = frameAt(-20.0F);
    gate.process(f, kVoiced);
    EXPECT_NEAR(gate.speechLevelDb(), -60.0F + 40.0F * 0.3F, 1e-3F);
    learnSpeech(gate, -20.0F, 80);
    EXPECT_NEAR(gate.speechLevelDb(), -20.0F, 0.01F);
    f = frameAt(-24.0F);
    gate.process(f, kVoiced);
    EXPECT_NEAR(gate.speechLevelDb(), -20.0F - 4.0F * 0.01F, 0.01F);
    const float learned = gate.speechLevelDb();
    f = frameAt(-40.0F);
    gate.process(f, kVoiced);
    EXPECT_EQ(gate.speechLevelDb(), learned);
    f = frameAt(-5.0F);
    gate.process(f, kUnvoiced);
    EXPECT_EQ(gate.speechLevelDb(), learned);
}

TEST(VoiceGate, QuietUnvoicedFramesCloseAfterTheHoldAt15PercentPerFrame) {
    // After speech at -20 dB, frames at -45 dB stay open for the 24-frame hold, then the gain
    // falls towards the floor by 15 % of the distance per frame, for every level.
    const std::array<float, 3> floors{0.18F, 0.05F, 0.02F};
    for (std::uint32_t level = 1; level <= 3; ++level) {
        SCOPED_TRACE(level);
        VoiceGate gate(level);
        learnSpeech(gate, -20.0F);
        ASSERT_EQ(gate.hold(), VoiceGate::kHoldFrames);
        for (std::uint32_t i = 0; i < VoiceGate::kHoldFrames; ++i) {
            std::vector<float> f = frameAt(-45.0F);
            gate.process(f, kUnvoiced);
            ASSERT_EQ(gate.gain(), 1.0F) << "hold frame " << i;
        }
        float expected = 1.0F;
        for (int i = 0; i < 40; ++i) {
            std::vector<float> f = frameAt(-45.0F);
            gate.process(f, kUnvoiced);
            expected += (floors[level - 1] - expected) * 0.15F;
            ASSERT_NEAR(gate.gain(), expected, 1e-5F) << "closing frame " << i;
        }
        EXPECT_NEAR(gate.gain(), floors[level - 1], 0.01F);
    }
}

TEST(VoiceGate, VoicedFrameInsideWindowReopensBy80PercentAndRenewsHold) {
    // A closed gate opens 80 % of the way in one voiced frame near the speech level.
    VoiceGate gate(2);
    learnSpeech(gate, -20.0F);
    for (int i = 0; i < 80; ++i) {
        std::vector<float> f = frameAt(-45.0F);
        gate.process(f, kUnvoiced);
    }
    const float closed = gate.gain();
    ASSERT_LT(closed, 0.06F);
    std::vector<float> f = frameAt(-22.0F);
    gate.process(f, kVoiced);
    EXPECT_NEAR(gate.gain(), closed + (1.0F - closed) * 0.8F, 1e-6F);
    EXPECT_EQ(gate.hold(), VoiceGate::kHoldFrames);
}

TEST(VoiceGate, LoudUnvoicedFrameKeepsGateOpenWithoutRenewingHold) {
    // Unvoiced frames within the window keep the gain up but let the hold run down.
    VoiceGate gate(3);
    learnSpeech(gate, -20.0F);
    for (int i = 0; i < 30; ++i) {
        std::vector<float> f = frameAt(-25.0F);
        gate.process(f, kUnvoiced);
    }
    EXPECT_EQ(gate.hold(), 0U);
    EXPECT_EQ(gate.gain(), 1.0F);
    // A quiet voiced frame outside the window, with the hold spent, closes it.
    std::vector<float> f = frameAt(-40.0F);
    gate.process(f, kVoiced);
    EXPECT_LT(gate.gain(), 1.0F);
}

TEST(VoiceGate, RampsLinearlyAcrossTheFrameAndJoinsFramesWithoutAStep) {
    // Sample i of a frame gets g_old + (i + 1)(g_new - g_old)/n; the last gets g_new exactly, and
    // the next frame starts one ramp step from there.
    VoiceGate gate(2);
    learnSpeech(gate, -20.0F);
    for (std::uint32_t i = 0; i < VoiceGate::kHoldFrames; ++i) {
        std::vector<float> f = frameAt(-45.0F);
        gate.process(f, kUnvoiced);
    }
    const float amplitude = std::pow(10.0F, -45.0F / 20.0F);
    float previousEnd = gate.gain();
    for (int frame = 0; frame < 5; ++frame) {
        std::vector<float> f(kFrame, amplitude);
        const float from = gate.gain();
        gate.process(f, kUnvoiced);
        const float to = gate.gain();
        ASSERT_LT(to, from);
        for (std::size_t i = 0; i < kFrame; ++i) {
            const float want = from + static_cast<float>(i + 1) * (to - from) / kFrame;
            ASSERT_NEAR(f[i] / amplitude, want, 1e-5F) << "sample " << i;
        }
        EXPECT_NEAR(f[kFrame - 1] / amplitude, to, 1e-6F);
        EXPECT_LT(std::fabs(f[0] / amplitude - previousEnd), 2.0F * std::fabs(to - from) / kFrame);
        previousEnd = to;
    }
}

TEST(VoiceGate, LevelAboveThreeBehavesAsStrong) {
    // Level 7 produces the same samples and gains as level 3.
    VoiceGate strong(3);
    VoiceGate seven(7);
    for (int i = 0; i < 150; ++i) {
        const float db = i < 60 ? -20.0F : -45.0F;
        const float p = i < 60 ? kVoiced : kUnvoiced;
        std::vector<float> a = frameAt(db, static_cast<unsigned>(i));
        std::vector<float> b = a;
        strong.process(a, p);
        seven.process(b, p);
        ASSERT_EQ(a, b) << "frame " << i;
    }
    EXPECT_NEAR(seven.gain(), 0.02F, 0.01F);
}

TEST(VoiceGate, ResetRestoresInitialStateButKeepsLevel) {
    // After a reset the learned level, gain and hold are back to their initial values.
    VoiceGate gate(2);
    learnSpeech(gate, -20.0F);
    for (int i = 0; i < 60; ++i) {
        std::vector<float> f = frameAt(-45.0F);
        gate.process(f, kUnvoiced);
    }
    gate.reset();
    EXPECT_EQ(gate.level(), 2U);
    EXPECT_EQ(gate.gain(), 1.0F);
    EXPECT_EQ(gate.hold(), 0U);
    EXPECT_EQ(gate.speechLevelDb(), -60.0F);
    std::vector<float> f = frameAt(-45.0F);
    gate.process(f, kUnvoiced);
    EXPECT_EQ(gate.gain(), 1.0F);
}

}  // namespace
}  // namespace amberlin::core
