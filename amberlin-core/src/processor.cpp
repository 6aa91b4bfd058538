#include "processor.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "fatal.h"

namespace amberlin::core {

namespace {

// Neural-path constants, indexed by mode 0 light, 1 balanced, 2 max.
constexpr std::array<float, 3> kVoiceThreshold{0.25F, 0.32F, 0.38F};
constexpr std::array<float, 3> kGainFloor{0.55F, 0.22F, 0.08F};
constexpr float kLightWetShare = 0.75F;  // light mode mixes 25 % of the filtered input back

constexpr float kHighPass = 0.98708F;  // one-pole DC blocker, corner near 100 Hz at 48 kHz
// Bound on the filtered signal, 60 dB above full scale: far above any real audio, it keeps the
// filter memory and RNNoise's input finite even for absurdly large finite samples.
constexpr float kFilteredLimit = 1000.0F;
constexpr float kAttack = 0.55F;   // neural gain rising, share of the distance per frame
constexpr float kRelease = 0.12F;  // neural gain falling or unchanged
constexpr float kPeakCeiling = 0.98F;
constexpr float kVoiceActive = 0.5F;

constexpr std::uint32_t kNeuralRate = 48000;
constexpr std::size_t kNeuralFrame = NeuralDenoiser::kFrame;

std::size_t modeIndex(std::uint32_t mode) {
    return std::min<std::uint32_t>(mode, 2);
}

float rms(std::span<const float> samples) {
    if (samples.empty()) {
        return 0.0F;
    }
    float energy = 0.0F;
    for (const float x : samples) {
        energy += x * x;
    }
    return std::sqrt(energy / static_cast<float>(samples.size()));
}

// Scales `samples` so that no magnitude exceeds the ceiling (the clamp only absorbs the rounding of
// the scale factor); a non-finite peak silences the frame.
void limitPeaks(std::span<float> samples) {
    float peak = 0.0F;
    for (const float x : samples) {
        peak = std::max(peak, std::fabs(x));
    }
    if (!std::isfinite(peak)) {
        std::fill(samples.begin(), samples.end(), 0.0F);
    } else if (peak > kPeakCeiling) {
        const float scale = kPeakCeiling / peak;
        for (float& x : samples) {
            x = std::clamp(x * scale, -kPeakCeiling, kPeakCeiling);
        }
    }
}

}  // namespace

std::optional<NoiseProcessor> NoiseProcessor::create(std::uint32_t mode, std::uint32_t sample_rate,
                                                     std::size_t frame_length,
                                                     NeuralPolicy policy) {
    if (sample_rate == 0 || frame_length == 0) {
        return std::nullopt;
    }
    std::optional<NeuralDenoiser> neural;
    if (policy == NeuralPolicy::whenAvailable && frame_length == kNeuralFrame &&
        sample_rate == kNeuralRate) {
        neural = NeuralDenoiser::create();
    }
    return NoiseProcessor(mode, frame_length, std::move(neural));
}

NoiseProcessor::NoiseProcessor(std::uint32_t mode, std::size_t frame_length,
                               std::optional<NeuralDenoiser> neural)
    : neural_(std::move(neural)),
      spectral_(frame_length),
      filtered_(frame_length, 0.0F),
      neuralOutput_(frame_length, 0.0F),
      frameLength_(frame_length),
      mode_(mode) {}

std::expected<void, LengthError> NoiseProcessor::process(std::span<const float> input,
                                                         std::span<float> output) {
    if (input.size() != frameLength_) {
        return std::unexpected(LengthError{frameLength_, input.size()});
    }
    if (output.size() != input.size()) {
        return std::unexpected(LengthError{input.size(), output.size()});
    }
    inputRms_ = rms(input);
    highPass(input);
    if (neural_) {
        processNeural(output);
    } else {
        processSpectral(output);
    }
    limitPeaks(output);
    outputRms_ = rms(output);
    return {};
}

void NoiseProcessor::reset() {
    spectral_.reset();
    previousInput_ = 0.0F;
    previousOutput_ = 0.0F;
    inputRms_ = 0.0F;
    outputRms_ = 0.0F;
    voiceProbability_ = 0.0F;
    voiceActive_ = false;
    neuralGain_ = 1.0F;
    if (neural_) {
        std::optional<NeuralDenoiser> fresh = NeuralDenoiser::create();
        neural_ = std::move(fresh);  // the old state is freed here; nothing if creation failed
    }
}

void NoiseProcessor::highPass(std::span<const float> input) {
    for (std::size_t i = 0; i < input.size(); ++i) {
        const float x = std::isfinite(input[i]) ? input[i] : 0.0F;
        const float y = (previousOutput_ + x - previousInput_) * kHighPass;
        previousInput_ = x;
        previousOutput_ = std::clamp(y, -kFilteredLimit, kFilteredLimit);
        filtered_[i] = previousOutput_;
    }
}

void NoiseProcessor::processNeural(std::span<float> output) {
    if (filtered_.size() != kNeuralFrame || neuralOutput_.size() != kNeuralFrame) {
        fatal("neural path needs 480-sample frames");
    }
    for (float& x : filtered_) {
        x *= NeuralDenoiser::kScale;
    }
    const float p = neural_->process(std::span<float, kNeuralFrame>(neuralOutput_),
                                     std::span<const float, kNeuralFrame>(filtered_));
    const std::size_t m = modeIndex(mode_);
    const float wet = m == 0 ? kLightWetShare : 1.0F;
    const float target = p >= kVoiceThreshold[m] ? 1.0F : kGainFloor[m];
    neuralGain_ += (target - neuralGain_) * (target > neuralGain_ ? kAttack : kRelease);
    const float dry = 1.0F - wet;
    constexpr float kUnscale = 1.0F / NeuralDenoiser::kScale;
    const std::size_t n = std::min(output.size(), kNeuralFrame);
    for (std::size_t i = 0; i < n; ++i) {
        output[i] = neuralGain_ * (wet * neuralOutput_[i] + dry * filtered_[i]) * kUnscale;
    }
    voiceProbability_ = p;
    voiceActive_ = p > kVoiceActive;
}

void NoiseProcessor::processSpectral(std::span<float> output) {
    const bool voice = spectral_.process(filtered_, output, mode_);
    voiceActive_ = voice;
    voiceProbability_ = voice ? 1.0F : 0.0F;
}

}  // namespace amberlin::core
