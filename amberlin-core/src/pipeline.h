// Voice pipeline and the state behind the flat `amr_pipeline_*` handle.
//
// `VoicePipeline` chains the three stages of one 480-sample frame in a fixed order: echo
// cancellation against the time-aligned far-end reference (when enabled), noise processing, voice
// gate. `amr_pipeline` (the handle) adds what crosses threads: the far-end reference queue with its
// mutex, posted setting changes and a posted reset as atomic slots, and the metrics published as
// individual relaxed atomics.
//
// Threads: `VoicePipeline` belongs to the processing thread. On the handle, `pending*`,
// `resetRequested` and `metrics` are atomics touched from any thread; `reference` is shared with
// the far-end thread under its own mutex; everything else is processing-thread state.
#ifndef AMBERLIN_CORE_PIPELINE_H
#define AMBERLIN_CORE_PIPELINE_H

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "aec.h"
#include "amberlin_core.h"
#include "processor.h"
#include "reference.h"
#include "voice_gate.h"

namespace amberlin::core {

/// Echo canceller, noise processor and voice gate run in order on one 480-sample frame.
class VoicePipeline {
  public:
    static constexpr std::size_t kFrame = 480;           ///< samples per frame (10 ms)
    static constexpr std::uint32_t kSampleRate = 48000;  ///< Hz
    static constexpr double kEchoTailMs = 250.0;         ///< echo canceller filter span

    /// Builds the stages; `mode` 0 ... 2 and `isolation` 0 ... 3 are taken as given. Stops the
    /// process ("standard geometry is valid") if the noise processor cannot be built.
    VoicePipeline(std::uint32_t mode, bool echo_cancellation, std::uint32_t isolation,
                  NeuralPolicy policy);

    /// Processes `input` into `output` (both exactly 480 samples, else false and nothing is
    /// written), reading the reference for `host_time_ns` from `reference` when echo cancellation
    /// is on. `input` and `output` may alias.
    bool process(std::span<const float> input, std::span<float> output, ReferenceQueue& reference,
                 std::uint64_t host_time_ns);

    /// Clears the echo canceller (if any), the noise processor and the voice gate's state, in
    /// that order. The reference queue is the caller's to clear.
    void reset();

    /// Suppression mode for the next frame (0 light, 1 balanced, 2 max).
    void setMode(std::uint32_t mode) { noise_.setMode(mode); }
    /// Voice-isolation level for the next frame (0 off ... 3 strong).
    void setVoiceIsolation(std::uint32_t level) { gate_.setLevel(level); }
    /// Installs a fresh canceller when `wanted` and none exists; drops it when not wanted.
    void setEchoCancellation(bool wanted);

    /// Figures of the last frame from every stage; `reference_lookback_ms` is left 0.
    [[nodiscard]] PipelineMetrics stageMetrics() const;

    /// The noise processor (stage 2).
    [[nodiscard]] const NoiseProcessor& noiseProcessor() const { return noise_; }
    /// The voice gate (stage 3).
    [[nodiscard]] const VoiceGate& voiceGate() const { return gate_; }
    /// The echo canceller (stage 1), or null while echo cancellation is off.
    [[nodiscard]] const EchoCanceller* echoCanceller() const {
        return canceller_ ? &*canceller_ : nullptr;
    }

  private:
    NoiseProcessor noise_;
    std::array<float, kFrame> reference_{};  // far-end samples aligned to the current frame
    std::array<float, kFrame> cancelled_{};  // stage 1 output, stage 2 input
    std::optional<EchoCanceller> canceller_;
    VoiceGate gate_;
};

/// Metrics as individually published relaxed atomics: fields never tear, and a reader on another
/// thread may see fields from two consecutive frames.
class PublishedMetrics {
  public:
    /// Publishes every field of `metrics`.
    void store(const PipelineMetrics& metrics);
    /// Reads every field.
    [[nodiscard]] PipelineMetrics load() const;

  private:
    static_assert(std::atomic<float>::is_always_lock_free &&
                  std::atomic<bool>::is_always_lock_free);
    std::atomic<float> inputRms_{0.0F};
    std::atomic<float> outputRms_{0.0F};
    std::atomic<float> voiceProbability_{0.0F};
    std::atomic<float> echoReductionDb_{0.0F};
    std::atomic<float> echoDelayMs_{0.0F};
    std::atomic<float> referenceLookbackMs_{0.0F};
    std::atomic<float> voiceGateGain_{0.0F};
    std::atomic<bool> farEndActive_{false};
};

/// Creates a handle like `amr_pipeline_create`, with a choice of noise path (benchmarks and tests
/// use `NeuralPolicy::spectralOnly`). Not part of the exported interface.
amr_pipeline* createPipeline(std::uint32_t mode, bool echo_cancellation, std::uint32_t isolation,
                             NeuralPolicy policy);

/// Creation-time mapping of a mode number: 0 light, 2 max, anything else balanced (1).
std::uint32_t modeFromNumber(std::uint32_t mode);
/// Mapping of an isolation number: 0 ... 3 kept, anything else balanced (2).
std::uint32_t isolationFromNumber(std::uint32_t level);

}  // namespace amberlin::core

/// State behind the flat handle (see amberlin_core.h for the thread rules).
struct amr_pipeline {
    static constexpr std::size_t kReferenceSamples = 48000;  ///< 1 s of far-end audio
    static constexpr std::size_t kLagHistory = 300;          ///< 3 s of 10 ms frames
    static constexpr std::int32_t kNothingPending = -1;

    /// Builds the pipeline with already mapped settings.
    amr_pipeline(std::uint32_t mode, bool echo_cancellation, std::uint32_t isolation,
                 amberlin::core::NeuralPolicy policy);

    /// Applies a posted reset, then posted mode, isolation and echo changes (processing thread).
    void applyPending();
    /// Publishes the stages' figures and the reference lookback (processing thread).
    void publish();

    amberlin::core::VoicePipeline pipeline;
    amberlin::core::ReferenceQueue reference{kReferenceSamples, kLagHistory};
    std::atomic<std::int32_t> pendingMode{kNothingPending};
    std::atomic<std::int32_t> pendingIsolation{kNothingPending};
    std::atomic<std::int32_t> pendingEcho{kNothingPending};
    std::atomic<bool> resetRequested{false};
    amberlin::core::PublishedMetrics metrics;
    const bool usesNeural;
};

#endif
