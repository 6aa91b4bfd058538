// Noise processor: stage 2 of the voice pipeline.
//
// For each frame: removes DC and rumble with a one-pole high-pass (corner near 100 Hz at 48 kHz),
// suppresses noise with RNNoise when a neural state exists or with the spectral suppressor
// otherwise, applies a gain driven by the voice probability (neural path), limits peaks to 0.98 and
// records the frame's input and output RMS and its voice probability. Non-finite input samples
// enter the filter as 0, so NaN or infinity never reaches the output or the filter memory.
//
// Threads: one processing thread; `process` allocates nothing, takes no lock and never throws.
// `reset` may allocate (it recreates the neural state).
#ifndef AMBERLIN_CORE_PROCESSOR_H
#define AMBERLIN_CORE_PROCESSOR_H

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <vector>

#include "neural.h"
#include "spectral.h"

namespace amberlin::core {

/// A frame refused because of its length: `expected` samples wanted, `actual` given.
struct LengthError {
    std::size_t expected;
    std::size_t actual;
    friend bool operator==(const LengthError&, const LengthError&) = default;
};

/// Whether a noise processor may use RNNoise; benchmarks and tests force the spectral path.
enum class NeuralPolicy : std::uint8_t { whenAvailable, spectralOnly };

/// High-pass, neural or spectral suppression, voice-probability gain and peak limiter.
class NoiseProcessor {
  public:
    /// Builds a processor for `frame_length`-sample frames at `sample_rate` Hz in `mode` (0 light,
    /// 1 balanced, 2 max); nothing when either size is 0. The neural state is attempted only for
    /// 480 samples at 48 000 Hz, and only when `policy` allows it.
    static std::optional<NoiseProcessor> create(std::uint32_t mode, std::uint32_t sample_rate,
                                                std::size_t frame_length,
                                                NeuralPolicy policy = NeuralPolicy::whenAvailable);

    /// Processes one frame from `input` into `output`. Refused without writing the output when
    /// `input` is not the frame length, or else when `output` is not the input's length.
    std::expected<void, LengthError> process(std::span<const float> input, std::span<float> output);

    /// Clears the filter memory, results, neural gain and spectral state, and replaces the neural
    /// state by a fresh one (continuing on the spectral path if that fails).
    void reset();

    /// Suppression mode applied from the next frame: 0 light, 1 balanced, 2 max.
    void setMode(std::uint32_t mode) { mode_ = mode; }
    /// Current suppression mode.
    [[nodiscard]] std::uint32_t mode() const { return mode_; }
    /// Whether frames currently go through RNNoise.
    [[nodiscard]] bool usesNeural() const { return neural_.has_value(); }
    /// RMS of the last input frame as received (NaN if it held NaN).
    [[nodiscard]] float inputRms() const { return inputRms_; }
    /// RMS of the last output frame, after the limiter.
    [[nodiscard]] float outputRms() const { return outputRms_; }
    /// Last voice probability: RNNoise's 0 ... 1, or exactly 1.0 / 0.0 on the spectral path.
    [[nodiscard]] float voiceProbability() const { return voiceProbability_; }
    /// Last voice decision (probability strictly above 0.5).
    [[nodiscard]] bool voiceActive() const { return voiceActive_; }
    /// Smoothed voice-probability gain of the neural path (1.0 initially).
    [[nodiscard]] float neuralGain() const { return neuralGain_; }
    /// Required frame length, samples.
    [[nodiscard]] std::size_t frameLength() const { return frameLength_; }

  private:
    NoiseProcessor(std::uint32_t mode, std::size_t frame_length,
                   std::optional<NeuralDenoiser> neural);

    void highPass(std::span<const float> input);
    void processNeural(std::span<float> output);
    void processSpectral(std::span<float> output);

    std::optional<NeuralDenoiser> neural_;
    SpectralSuppressor spectral_;
    std::vector<float> filtered_;      // high-passed input, scaled in place for RNNoise
    std::vector<float> neuralOutput_;  // RNNoise output, 16-bit range
    float inputRms_ = 0.0F;
    float outputRms_ = 0.0F;
    float voiceProbability_ = 0.0F;
    bool voiceActive_ = false;
    std::size_t frameLength_;
    std::uint32_t mode_;
    float previousInput_ = 0.0F;   // high-pass x[n-1]
    float previousOutput_ = 0.0F;  // high-pass y[n-1]
    float neuralGain_ = 1.0F;
};

}  // namespace amberlin::core

#endif
