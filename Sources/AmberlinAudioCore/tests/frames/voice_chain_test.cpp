// Tests of the shared-core voice processor, its factory, and the producer path from settings to
// the shared ring.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <memory>
#include <numbers>
#include <random>
#include <vector>

#include "AmberlinAudioCore/AppSettings.h"
#include "AmberlinAudioCore/ProducerGuard.h"
#include "AmberlinAudioCore/VirtualMicBridge.h"
#include "AmberlinAudioCore/VoiceChain.h"
#include "amberlin_core.h"
#include "platform/UserDefaults.h"

namespace {

using amberlin::AudioFrame;
using amberlin::NoiseProcessorError;
using amberlin::SharedCoreVoiceProcessor;
using amberlin::SuppressionMode;
using amberlin::VoiceIsolationLevel;

constexpr std::uint64_t kFrameNanos = 10'000'000;

struct PipelineDeleter {
    void operator()(amr_pipeline* p) const { amr_pipeline_destroy(p); }
};
using Pipeline = std::unique_ptr<amr_pipeline, PipelineDeleter>;

// Noise with a 300 Hz tone that fades in and out, so both quiet and voiced frames occur.
AudioFrame testFrame(std::mt19937& rng, int index) {
    std::normal_distribution<float> noise(0.0f, 0.02f);
    const float level = (index / 20) % 2 == 0 ? 0.0f : 0.3f;
    AudioFrame frame;
    for (std::size_t i = 0; i < frame.samples.size(); ++i) {
        const double t = static_cast<double>(index * 480 + static_cast<int>(i)) / 48000.0;
        frame.samples[i] =
            noise(rng) + level * static_cast<float>(std::sin(2.0 * std::numbers::pi * 300.0 * t));
    }
    return frame;
}

// The bare pipeline's output for a frame, for comparison with the processor.
AudioFrame pipelineOutput(amr_pipeline* pipeline, const AudioFrame& input, std::uint64_t time) {
    AudioFrame output;
    EXPECT_EQ(
        amr_pipeline_process(pipeline, input.samples.data(), output.samples.data(), 480, time), 1);
    return output;
}

// The error `call` throws, or a failure when it throws none.
template <class Call>
NoiseProcessorError errorOf(Call call) {
    try {
        call();
    } catch (const NoiseProcessorError& error) {
        return error;
    }
    ADD_FAILURE() << "no error thrown";
    return NoiseProcessorError::processingFailed();
}

}  // namespace

// Only 48 kHz mono is accepted, the rate being examined first.
TEST(SharedCoreVoiceProcessorTest, PrepareRefusesOtherFormats) {
    SharedCoreVoiceProcessor processor(SuppressionMode::balanced, false, VoiceIsolationLevel::off);
    EXPECT_EQ(errorOf([&] { processor.prepare(44100.0, 2); }),
              NoiseProcessorError::unsupportedSampleRate(44100.0));
    EXPECT_EQ(errorOf([&] { processor.prepare(48000.0, 2); }),
              NoiseProcessorError::unsupportedChannelCount(2));
    EXPECT_NO_THROW(processor.prepare());
}

// The engine name follows whether the pipeline obtained a neural state.
TEST(SharedCoreVoiceProcessorTest, EngineName) {
    const SharedCoreVoiceProcessor processor(SuppressionMode::balanced, true,
                                             VoiceIsolationLevel::balanced);
    const Pipeline probe(amr_pipeline_create(1, 1, 2));
    EXPECT_EQ(processor.engineName(), amr_pipeline_uses_neural(probe.get()) != 0
                                          ? "RNNoise (neural) · shared core"
                                          : "Spectral DSP · shared core");
}

// The processor behaves exactly like a bare pipeline given the same numbers, times, reference,
// setting changes and reset, and reports the pipeline's metrics.
TEST(SharedCoreVoiceProcessorTest, MatchesTheBarePipeline) {
    SharedCoreVoiceProcessor processor(SuppressionMode::max, true, VoiceIsolationLevel::strong);
    const Pipeline bare(amr_pipeline_create(2, 1, 3));
    std::mt19937 rng(11);
    std::vector<float> reference(960);
    for (std::size_t i = 0; i < reference.size(); ++i) {
        reference[i] = 0.2f * static_cast<float>(std::sin(0.05 * static_cast<double>(i)));
    }
    const std::uint64_t start = 5'000'000'000;
    for (int i = 0; i < 120; ++i) {
        const std::uint64_t time = start + static_cast<std::uint64_t>(i) * kFrameNanos;
        if (i % 2 == 0) {
            processor.pushReference(reference, time);
            amr_pipeline_push_reference(bare.get(), reference.data(), 960, time);
        }
        processor.pushReference({}, time);
        if (i == 40) {
            processor.setMode(SuppressionMode::light);
            processor.setVoiceIsolation(VoiceIsolationLevel::off);
            processor.setEchoCancellationEnabled(false);
            amr_pipeline_set_mode(bare.get(), 0);
            amr_pipeline_set_voice_isolation(bare.get(), 0);
            amr_pipeline_set_echo_cancellation(bare.get(), 0);
        }
        if (i == 80) {
            processor.reset();
            amr_pipeline_reset(bare.get());
        }
        const AudioFrame input = testFrame(rng, i);
        ASSERT_EQ(processor.process(input, time), pipelineOutput(bare.get(), input, time))
            << "frame " << i;
        const PipelineMetrics m = amr_pipeline_metrics(bare.get());
        EXPECT_EQ(processor.metrics(), (amberlin::ProcessorMetrics{m.input_rms, m.output_rms,
                                                                   m.voice_probability > 0.5f}));
        EXPECT_EQ(
            processor.echoMetrics(),
            (amberlin::EchoMetrics{m.echo_reduction_db, m.echo_delay_ms, m.reference_lookback_ms,
                                   m.voice_gate_gain, m.far_end_active}));
    }
    EXPECT_EQ(processor.mode(), SuppressionMode::light);
    EXPECT_EQ(processor.voiceIsolation(), VoiceIsolationLevel::off);
    EXPECT_FALSE(processor.echoCancellationEnabled());
}

// Processing without an explicit time stamps the frame with the host clock and succeeds.
TEST(SharedCoreVoiceProcessorTest, UntimedProcessSucceeds) {
    SharedCoreVoiceProcessor processor(SuppressionMode::balanced, true,
                                       VoiceIsolationLevel::balanced);
    std::mt19937 rng(12);
    for (int i = 0; i < 5; ++i) {
        EXPECT_NO_THROW(processor.process(testFrame(rng, i)));
    }
    EXPECT_GT(processor.metrics().inputRMS, 0.0f);
}

// The factory builds a shared-core processor from the settings' mode, echo and isolation.
TEST(NoiseProcessorFactoryTest, BuildsFromSettings) {
    amberlin::AppSettings settings;
    settings.suppressionMode = SuppressionMode::light;
    settings.echoCancellationEnabled = false;
    settings.voiceIsolation = VoiceIsolationLevel::strong;
    const auto processor = amberlin::NoiseProcessorFactory::make(settings);
    const auto shared = std::dynamic_pointer_cast<SharedCoreVoiceProcessor>(processor);
    ASSERT_NE(shared, nullptr);
    EXPECT_EQ(shared->mode(), SuppressionMode::light);
    EXPECT_FALSE(shared->echoCancellationEnabled());
    EXPECT_EQ(shared->voiceIsolation(), VoiceIsolationLevel::strong);
    EXPECT_TRUE(amberlin::NoiseProcessorFactory::usesSharedCore);
    EXPECT_EQ(amberlin::NoiseProcessorFactory::engineDescription,
              "RNNoise + echo cancellation (shared core)");
}

// The producer path end to end: settings from a store, a processor from the factory, frames
// through it into the shared ring, read back by a consumer handle, and a second producer refused.
TEST(FrontEndProducerPath, SettingsToRing) {
    const std::string suffix = std::to_string(::getpid());
    const auto root = std::filesystem::temp_directory_path() / ("front-end-path-" + suffix);
    const std::string ringName = "/amvmic-test-path-" + suffix;
    const std::string lockPath = (root / "producer.lock").string();
    std::filesystem::create_directories(root);

    const auto defaults = std::make_shared<platform::UserDefaults>(root, "test");
    const amberlin::SettingsStore store(amberlin::SettingsStore::defaultKey, defaults);
    amberlin::AppSettings saved;
    saved.suppressionMode = SuppressionMode::max;
    store.save(saved);
    const auto processor = amberlin::NoiseProcessorFactory::make(store.load());
    processor->prepare();
    EXPECT_EQ(processor->mode(), SuppressionMode::max);

    {
        const auto guard = amberlin::ProducerGuard::acquire(lockPath);
        ASSERT_NE(guard, nullptr);
        EXPECT_EQ(amberlin::ProducerGuard::acquire(lockPath), nullptr);
        amberlin::SharedVirtualMicBridge producer(ringName, true, 32);
        amberlin::SharedVirtualMicBridge consumer(ringName, false, 32);
        producer.clear();
        producer.attachProducer();
        std::mt19937 rng(13);
        std::vector<AudioFrame> sent;
        for (int i = 0; i < 10; ++i) {
            sent.push_back(
                processor->process(testFrame(rng, i), static_cast<std::uint64_t>(i) * kFrameNanos));
            producer.writeLatest(sent.back());
        }
        EXPECT_TRUE(consumer.health().producerAttached);
        for (const AudioFrame& frame : sent) {
            EXPECT_EQ(consumer.readOrSilence(), frame.samples);
        }
        producer.detachProducer();
        producer.clear();
        EXPECT_EQ(consumer.health(), (amberlin::BridgeHealth{0, 32, 0, 0, false, 0}));
    }
    EXPECT_NE(amberlin::ProducerGuard::acquire(lockPath), nullptr);
    ::shm_unlink(ringName.c_str());
    std::filesystem::remove_all(root);
}
