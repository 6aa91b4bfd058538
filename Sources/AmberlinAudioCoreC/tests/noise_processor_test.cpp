// Tests of the fallback spectral noise processor and the frame RMS and limiter routines.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <numbers>
#include <random>
#include <vector>

#include "amberlin/am_noise_processor.h"

namespace {

constexpr std::uint32_t kFrame = 480;
using Frame = std::vector<float>;

struct EngineDeleter {
    void operator()(AMNoiseProcessor* p) const { am_noise_processor_destroy(p); }
};
using Engine = std::unique_ptr<AMNoiseProcessor, EngineDeleter>;

Engine makeEngine(AMNoiseMode mode = AM_NOISE_MODE_BALANCED) {
    return Engine(am_noise_processor_create(mode, 48000, kFrame));
}

Frame noiseFrame(std::mt19937& rng, float amplitude) {
    std::uniform_real_distribution<float> dist(-amplitude, amplitude);
    Frame frame(kFrame);
    for (float& x : frame) {
        x = dist(rng);
    }
    return frame;
}

Frame process(AMNoiseProcessor* engine, const Frame& input) {
    Frame output(kFrame, -7.0f);
    EXPECT_EQ(am_noise_processor_process(engine, input.data(), output.data(), kFrame), 1);
    return output;
}

float peakOf(const Frame& frame) {
    float peak = 0.0f;
    for (float x : frame) {
        peak = std::max(peak, std::fabs(x));
    }
    return peak;
}

// Feeds `frames` frames of silence so that the noise estimate stays exactly zero and every
// later bin passes with unit gain.
void settleOnSilence(AMNoiseProcessor* engine, int frames) {
    const Frame silence(kFrame, 0.0f);
    for (int i = 0; i < frames; ++i) {
        process(engine, silence);
    }
}

}  // namespace

// Invalid arguments give null handles or neutral results and never touch the output.
TEST(NoiseProcessorEngine, RejectsInvalidArgumentsWithoutSideEffects) {
    EXPECT_EQ(am_noise_processor_create(AM_NOISE_MODE_LIGHT, 0, kFrame), nullptr);
    EXPECT_EQ(am_noise_processor_create(AM_NOISE_MODE_LIGHT, 48000, 0), nullptr);

    Frame input(kFrame, 0.5f);
    Frame output(kFrame, -7.0f);
    EXPECT_EQ(am_noise_processor_process(nullptr, input.data(), output.data(), kFrame), 0);
    am_noise_processor_reset(nullptr);
    am_noise_processor_set_mode(nullptr, AM_NOISE_MODE_MAX);
    am_noise_processor_destroy(nullptr);
    EXPECT_EQ(am_noise_processor_last_input_rms(nullptr), 0.0f);
    EXPECT_EQ(am_noise_processor_last_output_rms(nullptr), 0.0f);
    EXPECT_FALSE(am_noise_processor_last_voice_active(nullptr));

    Engine engine = makeEngine();
    ASSERT_NE(engine, nullptr);
    EXPECT_EQ(am_noise_processor_process(engine.get(), input.data(), output.data(), kFrame - 1), 0);
    EXPECT_EQ(am_noise_processor_process(engine.get(), nullptr, output.data(), kFrame), 0);
    EXPECT_EQ(am_noise_processor_process(engine.get(), input.data(), nullptr, kFrame), 0);
    EXPECT_TRUE(std::all_of(output.begin(), output.end(), [](float x) { return x == -7.0f; }));
    EXPECT_EQ(am_noise_processor_last_input_rms(engine.get()), 0.0f);
    EXPECT_EQ(am_noise_processor_uses_neural(), 0);
    EXPECT_EQ(am_rnnoise_available(), 0);
}

// The first frame after creation and after a reset is silent; the second carries audio.
TEST(NoiseProcessorEngine, FirstFrameIsSilentAfterCreateAndReset) {
    std::mt19937 rng(1);
    Engine engine = makeEngine();
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round == 0 ? "after create" : "after reset");
        const Frame first = noiseFrame(rng, 0.5f);
        const Frame out1 = process(engine.get(), first);
        EXPECT_EQ(peakOf(out1), 0.0f);
        EXPECT_EQ(am_noise_processor_last_output_rms(engine.get()), 0.0f);
        EXPECT_NEAR(am_noise_processor_last_input_rms(engine.get()),
                    am_frame_rms(first.data(), kFrame), 1e-7f);
        EXPECT_GT(am_noise_processor_last_input_rms(engine.get()), 0.2f);
        const Frame out2 = process(engine.get(), noiseFrame(rng, 0.5f));
        EXPECT_GT(peakOf(out2), 0.0f);
        EXPECT_GT(am_noise_processor_last_output_rms(engine.get()), 0.0f);
        am_noise_processor_reset(engine.get());
        EXPECT_EQ(am_noise_processor_last_input_rms(engine.get()), 0.0f);
    }
}

// With a zero noise estimate every gain is 1, so an impulse comes out DC-filtered, intact and
// exactly 736 samples (one frame plus one hop) late, and the block counts as speech.
TEST(NoiseProcessorEngine, UnitGainPathDelaysBy736Samples) {
    Engine engine = makeEngine();
    settleOnSilence(engine.get(), 10);
    Frame impulse(kFrame, 0.0f);
    impulse[100] = 0.5f;
    std::vector<float> stream;
    bool voice = false;
    for (int i = 0; i < 4; ++i) {
        const Frame out = process(engine.get(), i == 0 ? impulse : Frame(kFrame, 0.0f));
        voice = voice || am_noise_processor_last_voice_active(engine.get());
        stream.insert(stream.end(), out.begin(), out.end());
    }
    const auto peakAt = std::max_element(
        stream.begin(), stream.end(), [](float a, float b) { return std::fabs(a) < std::fabs(b); });
    EXPECT_EQ(peakAt - stream.begin(), 100 + 736);
    EXPECT_NEAR(*peakAt, 0.5f * 0.98708f, 1e-4f);
    EXPECT_TRUE(voice);
}

// Non-finite samples are processed as zeros, while the input RMS reports the raw frame.
TEST(NoiseProcessorEngine, NonFiniteSamplesCountAsZero) {
    std::mt19937 rng(2);
    Engine dirty = makeEngine();
    Engine clean = makeEngine();
    for (int i = 0; i < 20; ++i) {
        Frame input = noiseFrame(rng, 0.3f);
        Frame zeroed = input;
        const std::size_t spot = static_cast<std::size_t>(i) * 17 % kFrame;
        input[spot] = std::numeric_limits<float>::quiet_NaN();
        input[(spot + 5) % kFrame] = std::numeric_limits<float>::infinity();
        zeroed[spot] = 0.0f;
        zeroed[(spot + 5) % kFrame] = 0.0f;
        EXPECT_EQ(process(dirty.get(), input), process(clean.get(), zeroed));
        EXPECT_TRUE(std::isnan(am_noise_processor_last_input_rms(dirty.get())));
    }
}

// A constant input is removed by the DC-blocking filter within one second.
TEST(NoiseProcessorEngine, ConstantInputDecaysToSilence) {
    Engine engine = makeEngine(AM_NOISE_MODE_LIGHT);
    const Frame dc(kFrame, 0.5f);
    for (int i = 0; i < 100; ++i) {
        process(engine.get(), dc);
    }
    EXPECT_LT(am_noise_processor_last_output_rms(engine.get()), 1e-5f);
}

// The limiter lands the peak exactly on the ceiling and keeps the waveform's shape.
TEST(NoiseProcessorEngine, LimiterScalesPeakToCeiling) {
    std::vector<float> samples{0.1f, -2.5f, 1.0f, 0.0f};
    am_limiter_process(samples.data(), 4, 0.98f);
    EXPECT_EQ(samples[1], -0.98f);
    EXPECT_NEAR(samples[0], 0.1f * 0.98f / 2.5f, 1e-7f);
    EXPECT_NEAR(samples[2], 0.98f / 2.5f, 1e-7f);

    std::vector<float> quiet{0.5f, -0.97f};
    const std::vector<float> before = quiet;
    am_limiter_process(quiet.data(), 2, 0.98f);
    am_limiter_process(samples.data(), 4, 0.0f);
    am_limiter_process(nullptr, 4, 0.98f);
    EXPECT_EQ(quiet, before);

    // A loud impulse through the unit-gain path is limited to exactly 0.98.
    Engine engine = makeEngine();
    settleOnSilence(engine.get(), 10);
    Frame loud(kFrame, 0.0f);
    loud[300] = 8.0f;
    float peak = 0.0f;
    for (int i = 0; i < 3; ++i) {
        peak = std::max(peak, peakOf(process(engine.get(), i == 0 ? loud : Frame(kFrame, 0.0f))));
    }
    EXPECT_EQ(peak, 0.98f);
}

// The frame RMS is sqrt(mean square) and neutral for empty input.
TEST(NoiseProcessorEngine, FrameRms) {
    const std::vector<float> samples{3.0f, -4.0f, 0.0f, 0.0f};
    EXPECT_FLOAT_EQ(am_frame_rms(samples.data(), 4), 2.5f);
    EXPECT_EQ(am_frame_rms(nullptr, 4), 0.0f);
    EXPECT_EQ(am_frame_rms(samples.data(), 0), 0.0f);
}

// On stationary noise each mode attenuates at most to its gain floor, and max attenuates more
// than balanced, which attenuates more than light.
TEST(NoiseProcessorEngine, ModesRespectTheirGainFloors) {
    const struct {
        AMNoiseMode mode;
        float floor;
    } cases[] = {
        {AM_NOISE_MODE_LIGHT, 0.3f}, {AM_NOISE_MODE_BALANCED, 0.14f}, {AM_NOISE_MODE_MAX, 0.05f}};
    float previousRatio = 2.0f;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        std::mt19937 rng(3);
        Engine engine = makeEngine(c.mode);
        double in = 0.0;
        double out = 0.0;
        for (int i = 0; i < 300; ++i) {
            const Frame input = noiseFrame(rng, 0.2f);
            const Frame output = process(engine.get(), input);
            if (i >= 100) {
                const double inRms = am_frame_rms(input.data(), kFrame);
                const double outRms = am_frame_rms(output.data(), kFrame);
                in += inRms * inRms;
                out += outRms * outRms;
            }
        }
        const auto ratio = static_cast<float>(std::sqrt(out / in));
        EXPECT_GE(ratio, c.floor * 0.95f);
        EXPECT_LT(ratio, previousRatio);
        previousRatio = ratio;
    }
}

// The voice flag stays false during the 15 learning blocks (8 frames) however loud the input.
TEST(NoiseProcessorEngine, VoiceFlagWaitsForLearning) {
    std::mt19937 rng(4);
    Engine engine = makeEngine();
    for (int i = 0; i < 8; ++i) {
        process(engine.get(), noiseFrame(rng, i < 4 ? 0.001f : 0.9f));
        EXPECT_FALSE(am_noise_processor_last_voice_active(engine.get())) << "frame " << i;
    }
    settleOnSilence(engine.get(), 50);
    Frame burst = noiseFrame(rng, 0.9f);
    process(engine.get(), burst);
    const bool first = am_noise_processor_last_voice_active(engine.get());
    process(engine.get(), burst);
    EXPECT_TRUE(first || am_noise_processor_last_voice_active(engine.get()));
}

// A posted mode applies from the next frame: outputs agree until the switch and differ after.
TEST(NoiseProcessorEngine, ModeChangeTakesEffectAtNextFrame) {
    std::mt19937 rng(5);
    Engine steady = makeEngine(AM_NOISE_MODE_LIGHT);
    Engine switched = makeEngine(AM_NOISE_MODE_LIGHT);
    bool differedAfter = false;
    for (int i = 0; i < 40; ++i) {
        if (i == 20) {
            am_noise_processor_set_mode(switched.get(), AM_NOISE_MODE_MAX);
        }
        const Frame input = noiseFrame(rng, 0.2f);
        const Frame a = process(steady.get(), input);
        const Frame b = process(switched.get(), input);
        if (i < 20) {
            ASSERT_EQ(a, b) << "frame " << i;
        } else {
            differedAfter = differedAfter || a != b;
        }
    }
    EXPECT_TRUE(differedAfter);
}
