#include "pipeline.h"

#include <algorithm>
#include <mutex>
#include <new>
#include <utility>

#include "fatal.h"

namespace amberlin::core {

/// Nanoseconds per millisecond, for the published reference lookback.
constexpr double kNanosPerMilli = 1'000'000.0;

namespace {

constexpr std::uint32_t kMaxMode = 2;       // max
constexpr std::uint32_t kMaxIsolation = 3;  // strong
constexpr std::uint32_t kBalancedMode = 1;
constexpr std::uint32_t kBalancedIsolation = 2;

NoiseProcessor makeNoiseProcessor(std::uint32_t mode, NeuralPolicy policy) {
    std::optional<NoiseProcessor> processor =
        NoiseProcessor::create(mode, VoicePipeline::kSampleRate, VoicePipeline::kFrame, policy);
    if (!processor) {
        fatal("standard geometry is valid");
    }
    return std::move(*processor);
}

}  // namespace

std::uint32_t modeFromNumber(std::uint32_t mode) {
    return mode == 0 || mode == kMaxMode ? mode : kBalancedMode;
}

std::uint32_t isolationFromNumber(std::uint32_t level) {
    return level <= kMaxIsolation ? level : kBalancedIsolation;
}

VoicePipeline::VoicePipeline(std::uint32_t mode, bool echo_cancellation, std::uint32_t isolation,
                             NeuralPolicy policy)
    : noise_(makeNoiseProcessor(mode, policy)), gate_(isolation) {
    setEchoCancellation(echo_cancellation);
}

bool VoicePipeline::process(std::span<const float> input, std::span<float> output,
                            ReferenceQueue& reference, std::uint64_t host_time_ns) {
    if (input.size() != kFrame || output.size() != kFrame) {
        return false;
    }
    if (canceller_) {
        reference.read_at(reference_, host_time_ns);
        canceller_->process(std::span<const float, kFrame>(input.data(), kFrame), reference_,
                            cancelled_);
    } else {
        std::copy(input.begin(), input.end(), cancelled_.begin());
    }
    if (!noise_.process(cancelled_, output)) {
        return false;
    }
    gate_.process(output, noise_.voiceProbability());
    return true;
}

void VoicePipeline::reset() {
    if (canceller_) {
        canceller_->reset();
    }
    noise_.reset();
    gate_.reset();
}

void VoicePipeline::setEchoCancellation(bool wanted) {
    if (wanted && !canceller_) {
        canceller_.emplace(static_cast<double>(kSampleRate), kEchoTailMs);
    } else if (!wanted) {
        canceller_.reset();
    }
}

PipelineMetrics VoicePipeline::stageMetrics() const {
    PipelineMetrics m{};
    m.input_rms = noise_.inputRms();
    m.output_rms = noise_.outputRms();
    m.voice_probability = noise_.voiceProbability();
    if (canceller_) {
        m.echo_reduction_db = canceller_->echo_reduction_db();
        m.echo_delay_ms = canceller_->echo_delay_ms();
        m.far_end_active = canceller_->far_end_active();
    }
    m.voice_gate_gain = gate_.gain();
    return m;
}

void PublishedMetrics::store(const PipelineMetrics& metrics) {
    constexpr auto kOrder = std::memory_order_relaxed;
    inputRms_.store(metrics.input_rms, kOrder);
    outputRms_.store(metrics.output_rms, kOrder);
    voiceProbability_.store(metrics.voice_probability, kOrder);
    echoReductionDb_.store(metrics.echo_reduction_db, kOrder);
    echoDelayMs_.store(metrics.echo_delay_ms, kOrder);
    referenceLookbackMs_.store(metrics.reference_lookback_ms, kOrder);
    voiceGateGain_.store(metrics.voice_gate_gain, kOrder);
    farEndActive_.store(metrics.far_end_active, kOrder);
}

PipelineMetrics PublishedMetrics::load() const {
    constexpr auto kOrder = std::memory_order_relaxed;
    PipelineMetrics m{};
    m.input_rms = inputRms_.load(kOrder);
    m.output_rms = outputRms_.load(kOrder);
    m.voice_probability = voiceProbability_.load(kOrder);
    m.echo_reduction_db = echoReductionDb_.load(kOrder);
    m.echo_delay_ms = echoDelayMs_.load(kOrder);
    m.reference_lookback_ms = referenceLookbackMs_.load(kOrder);
    m.voice_gate_gain = voiceGateGain_.load(kOrder);
    m.far_end_active = farEndActive_.load(kOrder);
    return m;
}

amr_pipeline* createPipeline(std::uint32_t mode, bool echo_cancellation, std::uint32_t isolation,
                             NeuralPolicy policy) {
    return new amr_pipeline(modeFromNumber(mode), echo_cancellation, isolationFromNumber(isolation),
                            policy);
}

}  // namespace amberlin::core

using amberlin::core::fatal;
using amberlin::core::isolationFromNumber;
using amberlin::core::modeFromNumber;

amr_pipeline::amr_pipeline(std::uint32_t mode, bool echo_cancellation, std::uint32_t isolation,
                           amberlin::core::NeuralPolicy policy)
    : pipeline(mode, echo_cancellation, isolation, policy),
      usesNeural(pipeline.noiseProcessor().usesNeural()) {}

void amr_pipeline::applyPending() {
    if (resetRequested.exchange(false, std::memory_order_acq_rel)) {
        pipeline.reset();
        reference.clear();
    }
    const std::int32_t mode = pendingMode.exchange(kNothingPending, std::memory_order_acq_rel);
    if (mode != kNothingPending) {
        pipeline.setMode(modeFromNumber(static_cast<std::uint32_t>(mode)));
    }
    const std::int32_t level =
        pendingIsolation.exchange(kNothingPending, std::memory_order_acq_rel);
    if (level != kNothingPending) {
        pipeline.setVoiceIsolation(isolationFromNumber(static_cast<std::uint32_t>(level)));
    }
    const std::int32_t echo = pendingEcho.exchange(kNothingPending, std::memory_order_acq_rel);
    if (echo != kNothingPending) {
        pipeline.setEchoCancellation(echo == 1);
    }
}

void amr_pipeline::publish() {
    PipelineMetrics m = pipeline.stageMetrics();
    {
        std::unique_lock lock(reference.mutex());
        m.reference_lookback_ms =
            static_cast<float>(reference.lookback_ns(lock) / amberlin::core::kNanosPerMilli);
    }
    metrics.store(m);
}

// The flat interface: null-safe, and no exception crosses it. Allocation can only fail while
// building a pipeline, a canceller or a fresh RNNoise state; that ends the process.
extern "C" {

AMR_EXPORT amr_pipeline* amr_pipeline_create(uint32_t mode, int32_t echo_cancellation,
                                             uint32_t voice_isolation) noexcept {
    try {
        return amberlin::core::createPipeline(mode, echo_cancellation != 0, voice_isolation,
                                              amberlin::core::NeuralPolicy::whenAvailable);
    } catch (const std::bad_alloc&) {
        fatal("memory allocation failed");
    } catch (...) {
        fatal("voice core: unexpected failure while creating a pipeline");
    }
}

AMR_EXPORT void amr_pipeline_destroy(amr_pipeline* pipeline) noexcept {
    delete pipeline;
}

AMR_EXPORT int32_t amr_pipeline_process(amr_pipeline* pipeline, const float* input, float* output,
                                        uint32_t frames, uint64_t host_time_ns) noexcept {
    if (pipeline == nullptr || input == nullptr || output == nullptr) {
        return 0;
    }
    try {
        pipeline->applyPending();
        if (!pipeline->pipeline.process(std::span(input, frames), std::span(output, frames),
                                        pipeline->reference, host_time_ns)) {
            return 0;
        }
        pipeline->publish();
        return 1;
    } catch (const std::bad_alloc&) {
        fatal("memory allocation failed");
    } catch (...) {
        fatal("voice core: unexpected failure while processing a frame");
    }
}

AMR_EXPORT void amr_pipeline_push_reference(amr_pipeline* pipeline, const float* samples,
                                            uint32_t count, uint64_t host_time_ns) noexcept {
    if (pipeline == nullptr || samples == nullptr || count == 0) {
        return;
    }
    pipeline->reference.push(std::span(samples, count), host_time_ns);
}

AMR_EXPORT void amr_pipeline_reset(amr_pipeline* pipeline) noexcept {
    if (pipeline != nullptr) {
        pipeline->resetRequested.store(true, std::memory_order_release);
    }
}

AMR_EXPORT void amr_pipeline_set_mode(amr_pipeline* pipeline, uint32_t mode) noexcept {
    if (pipeline != nullptr) {
        const auto posted = static_cast<std::int32_t>(std::min<std::uint32_t>(mode, 2));
        pipeline->pendingMode.store(posted, std::memory_order_release);
    }
}

AMR_EXPORT void amr_pipeline_set_voice_isolation(amr_pipeline* pipeline, uint32_t level) noexcept {
    if (pipeline != nullptr) {
        const auto posted = static_cast<std::int32_t>(std::min<std::uint32_t>(level, 3));
        pipeline->pendingIsolation.store(posted, std::memory_order_release);
    }
}

AMR_EXPORT void amr_pipeline_set_echo_cancellation(amr_pipeline* pipeline,
                                                   int32_t enabled) noexcept {
    if (pipeline != nullptr) {
        // Posted as 1 or 0, so that no argument can collide with the "nothing pending" value.
        pipeline->pendingEcho.store(enabled == 1 ? 1 : 0, std::memory_order_release);
    }
}

AMR_EXPORT PipelineMetrics amr_pipeline_metrics(const amr_pipeline* pipeline) noexcept {
    return pipeline == nullptr ? PipelineMetrics{} : pipeline->metrics.load();
}

AMR_EXPORT int32_t amr_pipeline_uses_neural(const amr_pipeline* pipeline) noexcept {
    return pipeline != nullptr && pipeline->usesNeural ? 1 : 0;
}

}  // extern "C"
