#include "voice_gate.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace amberlin::core {

namespace {

// Per-level constants, indexed by level - 1 (light, balanced, strong).
constexpr std::array<float, 3> kFloorGain{0.18F, 0.05F, 0.02F};  // about -15, -26, -34 dB
constexpr std::array<float, 3> kWindowDb{14.0F, 10.0F, 7.0F};    // closes below speech - window

constexpr float kVoicedProbability = 0.6F;
constexpr float kRiseCoefficient = 0.3F;     // speech level rising towards a louder frame
constexpr float kFollowCoefficient = 0.01F;  // speech level following a frame within 6 dB below
constexpr float kFollowRangeDb = 6.0F;
constexpr float kLearnedLevelDb = -50.0F;  // at or below it the gate never closes
constexpr float kOpenCoefficient = 0.8F;
constexpr float kCloseCoefficient = 0.15F;
constexpr float kLevelOffset = 1e-9F;
constexpr float kEmptyFrameDb = -180.0F;

float frameLevelDb(std::span<const float> samples) {
    if (samples.empty()) {
        return kEmptyFrameDb;
    }
    float energy = 0.0F;
    for (const float x : samples) {
        energy += x * x;
    }
    const float rms = std::sqrt(energy / static_cast<float>(samples.size()));
    return 20.0F * std::log10(rms + kLevelOffset);
}

}  // namespace

void VoiceGate::reset() {
    speechLevelDb_ = kInitialSpeechLevelDb;
    gain_ = 1.0F;
    hold_ = 0;
}

void VoiceGate::process(std::span<float> samples, float voice_probability) {
    if (level_ == 0) {
        gain_ = 1.0F;
        return;
    }
    const std::size_t index = std::min<std::uint32_t>(level_, 3) - 1;
    const float levelDb = frameLevelDb(samples);
    const float target = voice_probability >= kVoicedProbability
                             ? targetForVoiced(levelDb, kWindowDb[index], kFloorGain[index])
                             : targetForUnvoiced(levelDb, kWindowDb[index], kFloorGain[index]);
    const float previous = gain_;
    const float c = target > previous ? kOpenCoefficient : kCloseCoefficient;
    gain_ = previous + (target - previous) * c;
    ramp(samples, previous, gain_);
}

// Teaches the speech level from a voiced frame, then decides the target gain (1.0 or the floor).
float VoiceGate::targetForVoiced(float level_db, float window_db, float floor) {
    if (level_db > speechLevelDb_) {
        speechLevelDb_ += (level_db - speechLevelDb_) * kRiseCoefficient;
    } else if (level_db > speechLevelDb_ - kFollowRangeDb) {
        speechLevelDb_ += (level_db - speechLevelDb_) * kFollowCoefficient;
    }
    if (speechLevelDb_ <= kLearnedLevelDb || level_db >= speechLevelDb_ - window_db) {
        hold_ = kHoldFrames;
        return 1.0F;
    }
    if (hold_ > 0) {
        --hold_;
        return 1.0F;
    }
    return floor;
}

// Decides the target for an unvoiced frame without touching the speech level.
float VoiceGate::targetForUnvoiced(float level_db, float window_db, float floor) {
    if (hold_ > 0) {
        --hold_;
        return 1.0F;
    }
    if (speechLevelDb_ <= kLearnedLevelDb || level_db >= speechLevelDb_ - window_db) {
        return 1.0F;
    }
    return floor;
}

void VoiceGate::ramp(std::span<float> samples, float from, float to) const {
    const float length = static_cast<float>(std::max<std::size_t>(samples.size(), 1));
    const float change = to - from;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] *= from + static_cast<float>(i + 1) * change / length;
    }
}

}  // namespace amberlin::core
