// A spoken scene for voice measurements: sentences rendered by espeak-ng with pauses between
// them, pink noise throughout at a chosen signal-to-noise ratio, and the figures a cleaned
// recording of it shows (noise in the pauses, speech level, delay).
#ifndef CORVESSA_PLATFORM_TESTING_VOICE_SCENE_H
#define CORVESSA_PLATFORM_TESTING_VOICE_SCENE_H

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "platform/testing/VoiceSignals.h"

namespace corvessa::testing {

inline constexpr std::size_t kSceneFrame = 480;     ///< samples per 10 ms frame
inline constexpr std::size_t kSceneSecond = 48000;  ///< samples per second

/// The microphone's signal: noise throughout, sentences with one-second pauses around them.
struct VoiceScene {
    std::vector<float> speech;  ///< the clean voice alone
    std::vector<float> input;   ///< voice plus noise, as the microphone plays it
    std::vector<std::pair<std::size_t, std::size_t>> sentences;  ///< [begin, end) in samples
};

/// Index of the first sample that is not silence, or the size when all are: where a recording
/// that began before anything played first hears something.
inline std::size_t onsetOf(const std::vector<float>& samples) {
    for (std::size_t i = 0; i < samples.size(); ++i) {
        if (std::fabs(samples[i]) > 1e-6F) {
            return i;
        }
    }
    return samples.size();
}

/// Frames (10 ms) where the clean voice is within 25 dB of its loudest frame.
inline std::vector<std::size_t> activeSpeechFrames(const std::vector<float>& speech) {
    std::vector<double> levels;
    for (std::size_t at = 0; at + kSceneFrame <= speech.size(); at += kSceneFrame) {
        levels.push_back(rmsOf(std::span(speech).subspan(at, kSceneFrame)));
    }
    const double loudest = levels.empty() ? 0.0 : *std::max_element(levels.begin(), levels.end());
    std::vector<std::size_t> active;
    for (std::size_t k = 0; k < levels.size(); ++k) {
        if (levels[k] > loudest * std::pow(10.0, -25.0 / 20.0)) {
            active.push_back(k);
        }
    }
    return active;
}

/// RMS over the given frames of `signal`, shifted later by `delay` samples.
inline double levelOverFrames(const std::vector<float>& signal,
                              const std::vector<std::size_t>& frames, std::size_t delay) {
    double energy = 0.0;
    for (const std::size_t k : frames) {
        const double r = rmsOf(std::span(signal).subspan(k * kSceneFrame + delay, kSceneFrame));
        energy += r * r;
    }
    return frames.empty() ? 0.0 : std::sqrt(energy / static_cast<double>(frames.size()));
}

/// `texts` spoken one after another (peak `peak`), one second of pause before, between and
/// after them, in pink noise `snrDb` below the active speech; nothing without espeak-ng.
inline std::optional<VoiceScene> makeVoiceScene(const std::vector<std::string>& texts, double peak,
                                                double snrDb, std::uint64_t seed) {
    const auto sentences = renderSpeech(texts, static_cast<float>(peak));
    if (!sentences) {
        return std::nullopt;
    }
    VoiceScene scene;
    scene.speech.assign(kSceneSecond, 0.0f);
    for (const auto& sentence : *sentences) {
        scene.sentences.emplace_back(scene.speech.size(), scene.speech.size() + sentence.size());
        scene.speech.insert(scene.speech.end(), sentence.begin(), sentence.end());
        scene.speech.resize(scene.speech.size() + kSceneSecond, 0.0f);
    }
    scene.speech.resize((scene.speech.size() / kSceneFrame) * kSceneFrame, 0.0f);
    const double speechLevel = levelOverFrames(scene.speech, activeSpeechFrames(scene.speech), 0);
    const auto noise =
        pinkNoise(scene.speech.size(), speechLevel * std::pow(10.0, -snrDb / 20.0), seed);
    scene.input.resize(scene.speech.size());
    for (std::size_t i = 0; i < scene.input.size(); ++i) {
        scene.input[i] = scene.speech[i] + noise[i];
    }
    return scene;
}

/// What a recording shows against the scene's microphone signal. Levels are dBFS (RMS).
struct VoiceFigures {
    std::size_t delay = 0;           ///< samples, by cross-correlation with the clean voice
    double inputPauseNoise = 0.0;    ///< noise in the pauses at the microphone
    double outputPauseNoise = 0.0;   ///< the same stretches in the recording
    double inputSpeech = 0.0;        ///< active speech at the microphone (voice plus noise)
    double cleanSpeech = 0.0;        ///< active speech of the clean voice alone
    double outputSpeech = 0.0;       ///< active speech in the recording
    double leadInAttenuation = 0.0;  ///< dB, noise before the first word, in over out
    std::size_t speechFrames = 0;
    std::size_t pauseFrames = 0;

    /// Noise in the pauses, microphone over recording, in dB.
    double pauseAttenuation() const { return inputPauseNoise - outputPauseNoise; }
    /// Active speech in the recording against the clean voice, in dB.
    double speechChange() const { return outputSpeech - cleanSpeech; }
    /// The delay in milliseconds.
    double delayMs() const { return 1000.0 * static_cast<double>(delay) / 48000.0; }
};

/// Frames (10 ms) lying within [begin, end) of the input whose delayed output was recorded.
inline std::vector<std::size_t> framesWithin(std::size_t begin, std::size_t end, std::size_t delay,
                                             std::size_t recorded) {
    std::vector<std::size_t> frames;
    for (std::size_t k = (begin + kSceneFrame - 1) / kSceneFrame;
         (k + 1) * kSceneFrame <= end && (k + 1) * kSceneFrame + delay <= recorded; ++k) {
        frames.push_back(k);
    }
    return frames;
}

/// Figures of `output`, a recording that holds the scene delayed by at most `maxDelay` samples.
/// Pauses start 100 ms after a sentence's rendered end, leaving a voice gate its release; the
/// stretch before the first word has never heard a voice and is measured from 0.5 s on.
inline VoiceFigures measureVoice(const VoiceScene& scene, const std::vector<float>& output,
                                 std::size_t maxDelay) {
    VoiceFigures figures;
    figures.delay = delayOf(scene.speech, output, maxDelay);
    const std::size_t release = kSceneSecond / 10;
    std::vector<std::size_t> pauses;
    for (std::size_t s = 0; s < scene.sentences.size(); ++s) {
        const std::size_t next =
            s + 1 < scene.sentences.size() ? scene.sentences[s + 1].first : scene.input.size();
        for (const std::size_t k : framesWithin(scene.sentences[s].second + release, next,
                                                figures.delay, output.size())) {
            pauses.push_back(k);
        }
    }
    const auto leadIn =
        framesWithin(kSceneSecond / 2, scene.sentences.front().first, figures.delay, output.size());
    std::vector<std::size_t> speech;
    for (const std::size_t k : activeSpeechFrames(scene.speech)) {
        if ((k + 1) * kSceneFrame + figures.delay <= output.size()) {
            speech.push_back(k);
        }
    }
    figures.inputPauseNoise = decibels(levelOverFrames(scene.input, pauses, 0));
    figures.outputPauseNoise = decibels(levelOverFrames(output, pauses, figures.delay));
    figures.leadInAttenuation = decibels(levelOverFrames(scene.input, leadIn, 0)) -
                                decibels(levelOverFrames(output, leadIn, figures.delay));
    figures.inputSpeech = decibels(levelOverFrames(scene.input, speech, 0));
    figures.cleanSpeech = decibels(levelOverFrames(scene.speech, speech, 0));
    figures.outputSpeech = decibels(levelOverFrames(output, speech, figures.delay));
    figures.speechFrames = speech.size();
    figures.pauseFrames = pauses.size();
    return figures;
}

}  // namespace corvessa::testing

#endif
