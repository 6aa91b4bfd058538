#include "spectral.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

#include "fatal.h"

namespace amberlin::core {

namespace {

// Per-mode constants, indexed by mode 0 light, 1 balanced, 2 max.
constexpr std::array<float, 3> kOverSubtraction{1.0F, 1.6F, 2.4F};
constexpr std::array<float, 3> kGainFloor{0.3F, 0.14F, 0.05F};

constexpr float kRateWarmup = 0.1F;     // noise learning rate for the first 15 hops
constexpr float kRateTracking = 0.05F;  // noise learning rate afterwards
constexpr double kSpeechRatio = 3.0;    // hop power over noise power above which a hop is speech
constexpr double kPowerRegularisation = 1e-9;
constexpr float kMagnitudeRegularisation = 1e-9F;
constexpr float kGainNew = 0.4F;  // temporal gain smoothing: new share; 0.6 stays
constexpr float kGainOld = 0.6F;

std::size_t modeIndex(std::uint32_t mode) {
    return std::min<std::uint32_t>(mode, 2);
}

}  // namespace

SpectralSuppressor::SpectralSuppressor(std::size_t max_frame)
    : maxFrame_(max_frame),
      inputQueue_(max_frame + kHop),
      // Between calls fewer than max_frame + 256 samples wait; one call adds at most
      // max_frame + 255 before delivering.
      outputQueue_(2 * max_frame + 2 * kHop),
      fft_(kFrame) {
    for (std::size_t i = 0; i < kFrame; ++i) {
        const double phase = 2.0 * std::numbers::pi * static_cast<double>(i) / kFrame;
        window_[i] = static_cast<float>(std::sqrt(0.5 * (1.0 - std::cos(phase))));
    }
    reset();
}

void SpectralSuppressor::reset() {
    inputQueue_.clear();
    outputQueue_.clear();
    frame_.fill(0.0F);
    accumulator_.fill(0.0F);
    noise_.fill(0.0F);
    gain_.fill(1.0F);
    hops_ = 0;
}

bool SpectralSuppressor::process(std::span<const float> input, std::span<float> output,
                                 std::uint32_t mode) {
    if (input.size() > maxFrame_ || output.size() != input.size()) {
        fatal("spectral suppressor called with a frame it was not sized for");
    }
    inputQueue_.push_back(input);
    bool voice = false;
    while (inputQueue_.size() >= kHop) {
        voice = processHop(mode) || voice;
    }
    if (outputQueue_.size() < output.size()) {
        std::fill(output.begin(), output.end(), 0.0F);
    } else {
        outputQueue_.pop_front(output);
    }
    return voice;
}

bool SpectralSuppressor::processHop(std::uint32_t mode) {
    std::copy(frame_.begin() + kHop, frame_.end(), frame_.begin());
    inputQueue_.pop_front(std::span<float>(frame_).subspan(kHop));
    analyse();
    const bool speech = updateNoise();
    applyGains(mode);
    fft_.inverse(real_, imag_);
    synthesise();
    if (hops_ != std::numeric_limits<std::uint32_t>::max()) {
        ++hops_;
    }
    return speech;
}

void SpectralSuppressor::analyse() {
    for (std::size_t j = 0; j < kFrame; ++j) {
        real_[j] = frame_[j] * window_[j];
        imag_[j] = 0.0F;
    }
    fft_.forward(real_, imag_);
    for (std::size_t k = 0; k < kBins; ++k) {
        magnitude_[k] = std::sqrt(real_[k] * real_[k] + imag_[k] * imag_[k]);
    }
}

// Judges the hop (speech once warm and louder than 3x the noise power) and, when it is not speech,
// lets the noise estimate learn from it. Returns whether the hop is speech.
bool SpectralSuppressor::updateNoise() {
    double hopPower = 0.0;
    double noisePower = 0.0;
    for (std::size_t k = 0; k < kBins; ++k) {
        hopPower += static_cast<double>(magnitude_[k]) * static_cast<double>(magnitude_[k]);
        noisePower += static_cast<double>(noise_[k]) * static_cast<double>(noise_[k]);
    }
    const bool warm = hops_ >= kWarmupHops;
    if (warm && hopPower / (noisePower + kPowerRegularisation) > kSpeechRatio) {
        return true;
    }
    const float rate = warm ? kRateTracking : kRateWarmup;
    for (std::size_t k = 0; k < kBins; ++k) {
        noise_[k] = rate * magnitude_[k] + (1.0F - rate) * noise_[k];
    }
    return false;
}

void SpectralSuppressor::applyGains(std::uint32_t mode) {
    const float over = kOverSubtraction[modeIndex(mode)];
    const float floor = kGainFloor[modeIndex(mode)];
    for (std::size_t k = 0; k < kBins; ++k) {
        float g = 1.0F - over * noise_[k] / (magnitude_[k] + kMagnitudeRegularisation);
        g = std::isnan(g) ? 1.0F : std::clamp(g, floor, 1.0F);
        gain_[k] = kGainNew * g + kGainOld * gain_[k];
        real_[k] *= gain_[k];
        imag_[k] *= gain_[k];
        if (k >= 1 && k < kFrame / 2) {
            real_[kFrame - k] *= gain_[k];
            imag_[kFrame - k] *= gain_[k];
        }
    }
}

void SpectralSuppressor::synthesise() {
    for (std::size_t j = 0; j < kFrame; ++j) {
        accumulator_[j] += real_[j] * window_[j];
    }
    outputQueue_.push_back(std::span<const float>(accumulator_).first(kHop));
    std::copy(accumulator_.begin() + kHop, accumulator_.end(), accumulator_.begin());
    std::fill(accumulator_.begin() + kHop, accumulator_.end(), 0.0F);
}

}  // namespace amberlin::core
