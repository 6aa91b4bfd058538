// Voice measurements for tests and tools: speech rendered by espeak-ng at 48 kHz, pink noise of a
// chosen level, RMS over sample ranges and the delay between two signals by cross-correlation.
#ifndef CORVESSA_PLATFORM_TESTING_VOICE_SIGNALS_H
#define CORVESSA_PLATFORM_TESTING_VOICE_SIGNALS_H

#include <espeak-ng/speak_lib.h>
#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "platform/SignalSource.h"
#include "platform/testing/SignalMeasures.h"

namespace corvessa::testing {

inline constexpr double kVoiceRate = 48000.0;  ///< Hz

/// espeak-ng hands each rendered chunk to this callback; the user data is the target vector.
inline int collectSpeech(short* wav, int count, espeak_EVENT* events) {
    if (wav != nullptr && count > 0 && events != nullptr && events->user_data != nullptr) {
        auto* out = static_cast<std::vector<short>*>(events->user_data);
        out->insert(out->end(), wav, wav + count);
    }
    return 0;
}

/// 16-bit samples of `text` at the synthesizer's own rate, replacing `pcm`; false on failure.
inline bool synthesize(const std::string& text, std::vector<short>& pcm) {
    pcm.clear();
    return espeak_Synth(text.c_str(), text.size() + 1, 0, POS_CHARACTER, 0, espeakCHARS_AUTO,
                        nullptr, &pcm) == EE_OK &&
           espeak_Synchronize() == EE_OK && !pcm.empty();
}

/// `pcm` (at `nativeRate` Hz) resampled to 48 kHz and scaled to a peak of `peak`.
inline std::optional<std::vector<float>> toVoiceRate(const std::vector<short>& pcm, int nativeRate,
                                                     float peak) {
    const std::vector<float> native(pcm.begin(), pcm.end());
    std::vector<float> speech(native.size() * 48000 / static_cast<std::size_t>(nativeRate) + 64);
    std::size_t produced = 0;
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    if (soxr_oneshot(nativeRate, kVoiceRate, 1, native.data(), native.size(), nullptr,
                     speech.data(), speech.size(), &produced, nullptr, &quality, nullptr)) {
        return std::nullopt;
    }
    speech.resize(produced);
    float maxAbs = 1e-9f;
    for (const float x : speech) {
        maxAbs = std::max(maxAbs, std::abs(x));
    }
    for (float& x : speech) {
        x *= peak / maxAbs;
    }
    return speech;
}

/// Each of `texts` spoken by espeak-ng's English voice, at 48 kHz mono, scaled to a peak of
/// `peak`; nothing when the synthesizer is unavailable. The synthesizer is set up once for all
/// texts: it cannot be initialised again after it was terminated.
inline std::optional<std::vector<std::vector<float>>> renderSpeech(
    const std::vector<std::string>& texts, float peak) {
    const int nativeRate =
        espeak_Initialize(AUDIO_OUTPUT_SYNCHRONOUS, 0, nullptr, espeakINITIALIZE_DONT_EXIT);
    if (nativeRate <= 0 || espeak_SetVoiceByName("en") != EE_OK) {
        return std::nullopt;
    }
    espeak_SetSynthCallback(collectSpeech);
    std::vector<std::vector<float>> rendered;
    std::vector<short> pcm;
    for (const std::string& text : texts) {
        std::optional<std::vector<float>> speech;
        if (synthesize(text, pcm)) {
            speech = toVoiceRate(pcm, nativeRate, peak);
        }
        if (!speech) {
            break;
        }
        rendered.push_back(std::move(*speech));
    }
    espeak_Terminate();
    return rendered.size() == texts.size() ? std::optional(std::move(rendered)) : std::nullopt;
}

/// `count` samples of pink noise at 48 kHz, scaled to the RMS `rms`.
inline std::vector<float> pinkNoise(std::size_t count, double rms, std::uint64_t seed) {
    std::vector<float> noise(count);
    platform::PinkNoiseSource(0.5f, seed).openReader(kVoiceRate, 1)->read(noise);
    const double scale = rms / rmsOf(noise);
    for (float& x : noise) {
        x = static_cast<float>(static_cast<double>(x) * scale);
    }
    return noise;
}

/// Sum of x[i] · y[i + lag] over the overlap, every `step`-th sample.
inline double correlationAt(std::span<const float> x, std::span<const float> y, std::size_t lag,
                            std::size_t step) {
    double sum = 0.0;
    for (std::size_t i = 0; i + lag < y.size() && i < x.size(); i += step) {
        sum += static_cast<double>(x[i]) * static_cast<double>(y[i + lag]);
    }
    return sum;
}

/// The lag in 0 ... maxLag (samples) by which `y` best matches `x` delayed: a search on every
/// fourth lag and sample, refined at full resolution around the best coarse lag.
inline std::size_t delayOf(std::span<const float> x, std::span<const float> y, std::size_t maxLag) {
    const auto best = [&](std::size_t first, std::size_t last, std::size_t lagStep,
                          std::size_t sampleStep) {
        std::size_t bestLag = first;
        double bestScore = -1e300;
        for (std::size_t lag = first; lag <= last; lag += lagStep) {
            const double score = correlationAt(x, y, lag, sampleStep);
            if (score > bestScore) {
                bestScore = score;
                bestLag = lag;
            }
        }
        return bestLag;
    };
    const std::size_t coarse = best(0, maxLag, 4, 4);
    return best(coarse >= 8 ? coarse - 8 : 0, std::min(maxLag, coarse + 8), 1, 1);
}

}  // namespace corvessa::testing

#endif
