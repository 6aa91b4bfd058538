// The shared-core voice processor over the amr_pipeline_ interface, and its factory.
#include "AmberlinAudioCore/VoiceChain.h"

#include <cstdio>
#include <cstdlib>
#include <limits>

#include "amberlin_core.h"
#include "platform/HostTime.h"

namespace amberlin {
namespace {

constexpr auto kFrameLength = static_cast<std::uint32_t>(AudioFrame::frameLength);

// Prints the message and stops the process.
[[noreturn]] void fatal(const char* message) {
    std::fprintf(stderr, "%s\n", message);
    std::abort();
}

// The voice core's numbers: each enumeration's declaration order.
std::uint32_t coreNumber(SuppressionMode mode) {
    return static_cast<std::uint32_t>(mode);
}
std::uint32_t coreNumber(VoiceIsolationLevel level) {
    return static_cast<std::uint32_t>(level);
}

}  // namespace

SharedCoreVoiceProcessor::SharedCoreVoiceProcessor(SuppressionMode mode, bool echoCancellation,
                                                   VoiceIsolationLevel voiceIsolation)
    : handle_(amr_pipeline_create(coreNumber(mode), echoCancellation ? 1 : 0,
                                  coreNumber(voiceIsolation))),
      mode_(mode),
      voiceIsolation_(voiceIsolation),
      echoCancellationEnabled_(echoCancellation) {
    if (handle_ == nullptr) {
        fatal("amr_pipeline_create returned null");
    }
}

SharedCoreVoiceProcessor::~SharedCoreVoiceProcessor() {
    amr_pipeline_destroy(handle_);
}

SuppressionMode SharedCoreVoiceProcessor::mode() const {
    return mode_.load(std::memory_order_relaxed);
}

void SharedCoreVoiceProcessor::setMode(SuppressionMode mode) {
    mode_.store(mode, std::memory_order_relaxed);
    amr_pipeline_set_mode(handle_, coreNumber(mode));
}

VoiceIsolationLevel SharedCoreVoiceProcessor::voiceIsolation() const {
    return voiceIsolation_.load(std::memory_order_relaxed);
}

void SharedCoreVoiceProcessor::setVoiceIsolation(VoiceIsolationLevel level) {
    voiceIsolation_.store(level, std::memory_order_relaxed);
    amr_pipeline_set_voice_isolation(handle_, coreNumber(level));
}

bool SharedCoreVoiceProcessor::echoCancellationEnabled() const {
    return echoCancellationEnabled_.load(std::memory_order_relaxed);
}

void SharedCoreVoiceProcessor::setEchoCancellationEnabled(bool enabled) {
    echoCancellationEnabled_.store(enabled, std::memory_order_relaxed);
    amr_pipeline_set_echo_cancellation(handle_, enabled ? 1 : 0);
}

std::string SharedCoreVoiceProcessor::engineName() const {
    return amr_pipeline_uses_neural(handle_) != 0 ? "RNNoise (neural) · shared core"
                                                  : "Spectral DSP · shared core";
}

ProcessorMetrics SharedCoreVoiceProcessor::metrics() const {
    const PipelineMetrics m = amr_pipeline_metrics(handle_);
    return ProcessorMetrics{m.input_rms, m.output_rms, m.voice_probability > 0.5f};
}

EchoMetrics SharedCoreVoiceProcessor::echoMetrics() const {
    const PipelineMetrics m = amr_pipeline_metrics(handle_);
    return EchoMetrics{m.echo_reduction_db, m.echo_delay_ms, m.reference_lookback_ms,
                       m.voice_gate_gain, m.far_end_active};
}

void SharedCoreVoiceProcessor::prepare(double sampleRate, std::int64_t channels) {
    if (sampleRate != AudioFrame::sampleRate) {
        throw NoiseProcessorError::unsupportedSampleRate(sampleRate);
    }
    if (channels != 1) {
        throw NoiseProcessorError::unsupportedChannelCount(channels);
    }
}

AudioFrame SharedCoreVoiceProcessor::process(const AudioFrame& frame) {
    return process(frame, AudioConvertHostTimeToNanos(AudioGetCurrentHostTime()));
}

AudioFrame SharedCoreVoiceProcessor::process(const AudioFrame& frame, std::uint64_t hostTimeNanos) {
    AudioFrame output;
    if (amr_pipeline_process(handle_, frame.samples.data(), output.samples.data(), kFrameLength,
                             hostTimeNanos) != 1) {
        throw NoiseProcessorError::processingFailed();
    }
    return output;
}

void SharedCoreVoiceProcessor::pushReference(std::span<const float> samples,
                                             std::uint64_t hostTimeNanos) {
    if (samples.data() == nullptr || samples.empty()) {
        return;
    }
    if (samples.size() > std::numeric_limits<std::uint32_t>::max()) {
        fatal("pushReference: sample count does not fit in 32 bits");
    }
    amr_pipeline_push_reference(handle_, samples.data(), static_cast<std::uint32_t>(samples.size()),
                                hostTimeNanos);
}

void SharedCoreVoiceProcessor::reset() {
    amr_pipeline_reset(handle_);
}

std::shared_ptr<NoiseProcessor> NoiseProcessorFactory::make(const AppSettings& settings) {
    return std::make_shared<SharedCoreVoiceProcessor>(
        settings.suppressionMode, settings.echoCancellationEnabled, settings.voiceIsolation);
}

}  // namespace amberlin
