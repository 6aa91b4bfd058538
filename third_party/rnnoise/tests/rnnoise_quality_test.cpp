// Tests of what the suppressor does to sound: noise removed, speech kept.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "rnnoise_test_support.h"

namespace rnnoise_test {
namespace {

constexpr std::size_t kWarmupFrames = 30;  // 300 ms for the network's state to settle

bool haveCommand(const char* name) {
    const std::string probe = std::string("command -v ") + name + " >/dev/null 2>&1";
    return std::system(probe.c_str()) == 0;
}

// Sentences spoken by espeak-ng, resampled to 48 kHz mono 16-bit by sox, padded to whole frames
// with 300 ms of silence on each side.
std::vector<float> renderSpeech() {
    const char* command =
        "espeak-ng --stdout 'Please call me back when you have a moment. We need to talk about "
        "the schedule for next week.' | sox -t wav - -r 48000 -c 1 -b 16 -e signed-integer "
        "-t raw - 2>/dev/null";
    std::vector<float> speech(kWarmupFrames * kFrame, 0.0f);
    FILE* pipe = popen(command, "r");
    if (pipe == nullptr) {
        return {};
    }
    std::int16_t sample = 0;
    while (std::fread(&sample, sizeof sample, 1, pipe) == 1) {
        speech.push_back(sample);
    }
    pclose(pipe);
    speech.resize((speech.size() / kFrame + 1 + kWarmupFrames) * kFrame, 0.0f);
    return speech;
}

// Low-pass noise at -50, -30 and -21 dBFS loses at least 15 dB once the network has settled,
// and is not mistaken for voice.
TEST(RnnoiseQuality, LowPassNoiseIsRemoved) {
    for (float rms : {100.0f, 1000.0f, 3000.0f}) {
        SCOPED_TRACE(rms);
        State st = makeState();
        const std::vector<float> noise = brownNoise(200, rms, 11);
        const Processed out = processAll(st.get(), noise);
        const std::size_t begin = kWarmupFrames * kFrame;
        EXPECT_GE(
            decibels(energy(noise, begin, noise.size()) / energy(out.output, begin, noise.size())),
            15.0);
        double mean = 0.0;
        for (std::size_t f = kWarmupFrames; f < out.probability.size(); ++f) {
            mean += static_cast<double>(out.probability[f]);
        }
        EXPECT_LT(mean / static_cast<double>(out.probability.size() - kWarmupFrames), 0.1);
    }
}

// Per-frame energies of speech-bearing frames and of pauses, before and after processing. The
// output lags the input by one frame, so output frame f is compared with input frame f - 1.
struct SpeechFigures {
    double speech_in = 0, speech_out = 0, pause_in = 0, pause_out = 0, speech_probability = 0;
    int speech_frames = 0;
};

SpeechFigures measure(std::span<const float> clean, std::span<const float> input,
                      const Processed& out) {
    SpeechFigures s;
    for (std::size_t f = 1; f < out.probability.size(); ++f) {
        const std::size_t in_at = (f - 1) * kFrame;
        const double clean_power = energy(clean, in_at, in_at + kFrame) / kFrame;
        const double in = energy(input, in_at, in_at + kFrame);
        const double produced = energy(out.output, f * kFrame, (f + 1) * kFrame);
        if (clean_power > 1e5) {  // louder than -40 dBFS: voiced speech
            s.speech_in += in;
            s.speech_out += produced;
            s.speech_probability += static_cast<double>(out.probability[f - 1]);
            ++s.speech_frames;
        } else if (clean_power < 1.0 && f > kWarmupFrames) {  // silent in the clean signal
            s.pause_in += in;
            s.pause_out += produced;
        }
    }
    return s;
}

// Lag (0..960 samples) at which the output best matches the input, over the first 1.5 s.
std::size_t bestLag(std::span<const float> input, std::span<const float> output) {
    std::size_t best = 0;
    double best_correlation = 0.0;
    for (std::size_t lag = 0; lag <= 2 * kFrame; ++lag) {
        double correlation = 0.0;
        for (std::size_t i = 0; i < 72000 && i + lag < output.size(); ++i) {
            correlation += static_cast<double>(input[i]) * static_cast<double>(output[i + lag]);
        }
        if (correlation > best_correlation) {
            best_correlation = correlation;
            best = lag;
        }
    }
    return best;
}

// Clean speech is recognised as voice, keeps its energy within 1 dB and comes out exactly one
// frame (480 samples) late.
TEST(RnnoiseQuality, SpeechIsKept) {
    if (!haveCommand("espeak-ng") || !haveCommand("sox")) {
        GTEST_SKIP() << "espeak-ng or sox is not installed";
    }
    const std::vector<float> speech = renderSpeech();
    ASSERT_GT(speech.size(), 100 * kFrame);
    State st = makeState();
    const Processed out = processAll(st.get(), speech);
    EXPECT_EQ(bestLag(speech, out.output), kFrame);
    const SpeechFigures s = measure(speech, speech, out);
    ASSERT_GT(s.speech_frames, 50);
    EXPECT_NEAR(decibels(s.speech_out / s.speech_in), 0.0, 1.0);
    EXPECT_GT(s.speech_probability / s.speech_frames, 0.6);
}

// With low-pass noise under the speech, speech frames keep their energy within 2 dB while the
// pauses between words lose at least 6 dB.
TEST(RnnoiseQuality, NoiseBetweenWordsIsRemoved) {
    if (!haveCommand("espeak-ng") || !haveCommand("sox")) {
        GTEST_SKIP() << "espeak-ng or sox is not installed";
    }
    const std::vector<float> speech = renderSpeech();
    for (float rms : {100.0f, 300.0f}) {
        SCOPED_TRACE(rms);
        std::vector<float> noisy = brownNoise(speech.size() / kFrame, rms, 12);
        for (std::size_t i = 0; i < noisy.size(); ++i) {
            noisy[i] += speech[i];
        }
        State st = makeState();
        const SpeechFigures s = measure(speech, noisy, processAll(st.get(), noisy));
        EXPECT_NEAR(decibels(s.speech_out / s.speech_in), 0.0, 2.0);
        EXPECT_GE(decibels(s.pause_in / s.pause_out), 6.0);
    }
}

}  // namespace
}  // namespace rnnoise_test
