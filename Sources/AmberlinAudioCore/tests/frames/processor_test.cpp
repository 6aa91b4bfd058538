// Tests of the processors: the fallback processor over the spectral engine.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <vector>

#include "AmberlinAudioCore/AudioFrame.h"
#include "AmberlinAudioCore/RealtimeNoiseProcessor.h"
#include "amberlin/am_noise_processor.h"

namespace {

using amberlin::AudioFrame;
using amberlin::NoiseProcessorError;
using amberlin::NoiseProcessorType;
using amberlin::RealtimeNoiseProcessor;
using amberlin::SuppressionMode;

// A frame of uniform noise of the given amplitude.
AudioFrame noiseFrame(std::mt19937& rng, float amplitude) {
    std::uniform_real_distribution<float> dist(-amplitude, amplitude);
    AudioFrame frame;
    for (float& x : frame.samples) {
        x = dist(rng);
    }
    return frame;
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

struct EngineDeleter {
    void operator()(AMNoiseProcessor* p) const { am_noise_processor_destroy(p); }
};
using Engine = std::unique_ptr<AMNoiseProcessor, EngineDeleter>;

// The engine's own output for a frame, for comparison with the adapter.
AudioFrame engineOutput(AMNoiseProcessor* engine, const AudioFrame& input) {
    AudioFrame output;
    EXPECT_EQ(am_noise_processor_process(engine, input.samples.data(), output.samples.data(), 480),
              1);
    return output;
}

}  // namespace

// Formats other than 48 kHz mono are refused, the rate being examined first.
TEST(RealtimeNoiseProcessorTest, PrepareRefusesOtherFormats) {
    RealtimeNoiseProcessor processor(NoiseProcessorType::rnnoise, SuppressionMode::balanced);
    EXPECT_EQ(errorOf([&] { processor.prepare(44100.0, 2); }),
              NoiseProcessorError::unsupportedSampleRate(44100.0));
    EXPECT_EQ(errorOf([&] { processor.prepare(44100.0, 1); }),
              NoiseProcessorError::unsupportedSampleRate(44100.0));
    EXPECT_EQ(errorOf([&] { processor.prepare(48000.0, 2); }),
              NoiseProcessorError::unsupportedChannelCount(2));
    EXPECT_EQ(errorOf([&] { processor.prepare(48000.0, 0); }),
              NoiseProcessorError::unsupportedChannelCount(0));
    // A refused format leaves the processor unprepared.
    EXPECT_EQ(errorOf([&] { processor.process(AudioFrame()); }),
              NoiseProcessorError::processingFailed());
}

// Before prepare, process fails and reset does nothing; after it the first frame is silent with
// the input level reported, and the next carries audio.
TEST(RealtimeNoiseProcessorTest, LifecycleAndStartUpSilence) {
    RealtimeNoiseProcessor processor(NoiseProcessorType::rnnoise, SuppressionMode::balanced);
    EXPECT_EQ(processor.engineName(), "Spectral DSP");
    EXPECT_FALSE(RealtimeNoiseProcessor::neuralModelAvailable());
    EXPECT_EQ(errorOf([&] { processor.process(AudioFrame(), 42u); }),
              NoiseProcessorError::processingFailed());
    processor.reset();

    std::mt19937 rng(7);
    processor.prepare();
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        const AudioFrame input = noiseFrame(rng, 0.4f);
        EXPECT_EQ(processor.process(input), AudioFrame());
        EXPECT_EQ(processor.metrics().outputRMS, 0.0f);
        EXPECT_FLOAT_EQ(processor.metrics().inputRMS, input.rms());
        EXPECT_GT(processor.process(noiseFrame(rng, 0.4f)).rms(), 0.0f);
        EXPECT_GT(processor.metrics().outputRMS, 0.0f);
        // Round 0 is followed by a reset, round 1 by a second prepare; both restart the engine.
        if (round == 0) {
            processor.reset();
            EXPECT_EQ(processor.metrics(), amberlin::ProcessorMetrics{});
        } else {
            processor.prepare();
        }
    }
}

// A mode set before prepare builds the engine in that mode; a mode set later reaches the engine
// from the next frame. The adapter's output matches the bare engine driven the same way.
TEST(RealtimeNoiseProcessorTest, ModesReachTheEngine) {
    RealtimeNoiseProcessor processor(NoiseProcessorType::rnnoise, SuppressionMode::light);
    processor.setMode(SuppressionMode::max);
    EXPECT_EQ(processor.mode(), SuppressionMode::max);
    processor.prepare();
    Engine reference(am_noise_processor_create(AM_NOISE_MODE_MAX, 48000, 480));
    std::mt19937 rng(8);
    for (int i = 0; i < 60; ++i) {
        if (i == 30) {
            processor.setMode(SuppressionMode::light);
            am_noise_processor_set_mode(reference.get(), AM_NOISE_MODE_LIGHT);
        }
        const AudioFrame input = noiseFrame(rng, 0.2f);
        ASSERT_EQ(processor.process(input), engineOutput(reference.get(), input)) << "frame " << i;
        EXPECT_EQ(processor.metrics().voiceActive,
                  am_noise_processor_last_voice_active(reference.get()));
    }
}
