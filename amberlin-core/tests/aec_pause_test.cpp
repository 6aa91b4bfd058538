// Echo canceller with a far end that pauses: a converged filter survives the pauses (where the
// microphone falls to the noise floor while the filter still rings out the far-end history) and
// sentence onsets, yet a filter that has really diverged is still discarded within a few blocks.
// Signals are generated: a room of a 40 ms direct path and a diffuse tail decaying by 60 dB in
// 200 ms, an echo at -25 dBFS over a -60 dBFS white noise floor, and a far end of on/off-gated
// white noise or of speech-like syllable bursts grouped into sentences.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <numbers>
#include <optional>
#include <random>
#include <span>
#include <vector>

#include "aec.h"
#include "signals.h"

namespace amberlin::core {
namespace {

constexpr std::size_t kFrame = EchoCanceller::kFrameSamples;
constexpr std::size_t kOutputDelay = 512;  // samples from microphone to output
constexpr std::size_t kEchoDelay = 1920;   // 40 ms direct path
constexpr std::size_t kTail = 9600;        // 200 ms: the tail has fallen by 60 dB
constexpr std::size_t kRate = 48000;
constexpr float kFarRms = 0.1f;  // -20 dBFS

// Span of far-end signal, in samples.
struct Burst {
    std::size_t begin;
    std::size_t end;
};

// Far end, its echo and the noise floor, sample by sample, with the bursts the far end plays.
struct Scene {
    std::vector<float> far;
    std::vector<float> echo;
    std::vector<float> floor;
    std::vector<Burst> bursts;

    float mic(std::size_t i) const { return echo[i] + floor[i]; }
};

// Square in double precision.
double squared(float value) {
    return static_cast<double>(value) * static_cast<double>(value);
}

// Room response: unit direct path at 40 ms, then a Gaussian tail every 16 samples under an
// envelope falling by 60 dB over 200 ms, scaled so a -20 dBFS white far end echoes at -25 dBFS.
std::vector<float> room() {
    std::mt19937 rng(7);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    std::vector<float> taps(kEchoDelay + kTail, 0.0f);
    taps[kEchoDelay] = 1.0f;
    for (std::size_t j = 16; j < kTail; j += 16) {
        const double envelope = std::pow(10.0, -3.0 * static_cast<double>(j) / kTail);
        taps[kEchoDelay + j] = 0.4f * static_cast<float>(envelope) * normal(rng);
    }
    double norm = 0.0;
    for (const float tap : taps) {
        norm += squared(tap);
    }
    const auto scale = static_cast<float>(std::pow(10.0, -5.0 / 20.0) / std::sqrt(norm));
    for (float& tap : taps) {
        tap *= scale;
    }
    return taps;
}

// Scales `signal` so that its 10 ms frames within 30 dB of the loudest have an RMS of `rms`.
void set_active_level(std::vector<float>& signal, float rms) {
    std::vector<double> powers;
    for (std::size_t f = 0; f + kFrame <= signal.size(); f += kFrame) {
        double power = 0.0;
        for (std::size_t i = f; i < f + kFrame; ++i) {
            power += squared(signal[i]);
        }
        powers.push_back(power / kFrame);
    }
    const double loudest = *std::max_element(powers.begin(), powers.end());
    double active = 0.0;
    std::size_t count = 0;
    for (const double power : powers) {
        if (power > 1e-3 * loudest) {
            active += power;
            ++count;
        }
    }
    const auto gain = static_cast<float>(static_cast<double>(rms) /
                                         std::sqrt(active / static_cast<double>(count)));
    for (float& sample : signal) {
        sample *= gain;
    }
}

// Completes a scene whose far end is set: echo through the room and a -60 dBFS floor.
void add_room_and_floor(Scene& scene) {
    const std::vector<float> taps = room();
    scene.echo.assign(scene.far.size(), 0.0f);
    for (std::size_t t = 0; t < taps.size(); ++t) {
        if (taps[t] == 0.0f) {
            continue;
        }
        for (std::size_t i = t; i < scene.far.size(); ++i) {
            scene.echo[i] += taps[t] * scene.far[i - t];
        }
    }
    std::mt19937 rng(3);
    std::normal_distribution<float> normal(0.0f, 1e-3f);
    scene.floor.resize(scene.far.size());
    for (float& sample : scene.floor) {
        sample = normal(rng);
    }
}

// White noise at -20 dBFS for 1 s, then 0.5 s of digital silence, repeated.
Scene gated_noise_scene(double seconds) {
    Scene scene;
    scene.far.assign(static_cast<std::size_t>(seconds * kRate), 0.0f);
    std::mt19937 rng(11);
    std::normal_distribution<float> normal(0.0f, kFarRms);
    for (std::size_t begin = 0; begin < scene.far.size(); begin += 3 * kRate / 2) {
        const Burst burst{begin, std::min(begin + kRate, scene.far.size())};
        for (std::size_t i = burst.begin; i < burst.end; ++i) {
            scene.far[i] = normal(rng);
        }
        scene.bursts.push_back(burst);
    }
    add_room_and_floor(scene);
    return scene;
}

// Far end of speech rendered by espeak-ng: short sentences at an active level of -20 dBFS, each
// followed by 0.6 s of silence, repeated to fill `seconds`; nothing when espeak-ng or sox is
// missing.
std::optional<Scene> speech_scene(double seconds) {
    const std::array<const char*, 3> sentences = {
        "Rain all weekend, they said.",
        "Send me the figures first.",
        "Take the early train.",
    };
    Scene scene;
    const auto length = static_cast<std::size_t>(seconds * kRate);
    for (std::size_t n = 0; scene.far.size() < length; ++n) {
        const std::optional<std::vector<float>> spoken =
            test::renderSpeech(sentences[n % sentences.size()], 0.5f);
        if (!spoken) {
            return std::nullopt;
        }
        scene.bursts.push_back(Burst{scene.far.size(), scene.far.size() + spoken->size()});
        scene.far.insert(scene.far.end(), spoken->begin(), spoken->end());
        scene.far.resize(scene.far.size() + 6 * kRate / 10, 0.0f);
    }
    scene.far.resize(length);
    set_active_level(scene.far, kFarRms);
    add_room_and_floor(scene);
    return scene;
}

// Runs a scene through a canceller frame by frame, keeping the output and the delay estimate
// after every frame.
struct Processed {
    std::vector<float> output;
    std::vector<float> delay_ms;  // per frame
};

Processed process(const Scene& scene) {
    EchoCanceller canceller(static_cast<double>(kRate), 250.0);
    Processed result;
    const std::size_t frames = scene.far.size() / kFrame;
    result.output.resize(frames * kFrame);
    std::vector<float> mic(kFrame);
    for (std::size_t f = 0; f < frames; ++f) {
        for (std::size_t i = 0; i < kFrame; ++i) {
            mic[i] = scene.mic(f * kFrame + i);
        }
        canceller.process(std::span<const float, kFrame>(mic.data(), kFrame),
                          std::span<const float, kFrame>(scene.far.data() + f * kFrame, kFrame),
                          std::span<float, kFrame>(result.output.data() + f * kFrame, kFrame));
        result.delay_ms.push_back(canceller.echo_delay_ms());
    }
    return result;
}

// Microphone energy over output energy in dB for microphone samples [begin, end), pauses
// included (the output is taken 512 samples later).
double erle_db(const Scene& scene, const Processed& processed, std::size_t begin, std::size_t end) {
    double mic = 0.0;
    double out = 0.0;
    for (std::size_t i = begin; i < end; ++i) {
        mic += squared(scene.mic(i));
        out += squared(processed.output[i + kOutputDelay]);
    }
    return 10.0 * std::log10(mic / out);
}

// Echo left in the output over microphone samples [begin, end), relative to the echo, in dB.
double residual_echo_db(const Scene& scene, const Processed& processed, std::size_t begin,
                        std::size_t end) {
    double echo = 0.0;
    double residual = 0.0;
    for (std::size_t i = begin; i < end; ++i) {
        echo += squared(scene.echo[i]);
        residual += squared(processed.output[i + kOutputDelay] - scene.floor[i]);
    }
    return 10.0 * std::log10(residual / echo);
}

// Checks that a canceller converged by `settled` seconds keeps its filter through every later
// pause: the delay estimate stays on the 40 ms path (a discarded foreground reads 0), the first
// 100 ms of echo of every later burst are cancelled by more than 20 dB, and the ERLE over the
// last 5 s reaches `min_erle_db`.
void expect_filter_survives_pauses(const Scene& scene, double settled, double min_erle_db) {
    const Processed result = process(scene);
    const auto first = static_cast<std::size_t>(settled * kRate) / kFrame;
    for (std::size_t f = first; f < result.delay_ms.size(); ++f) {
        ASSERT_GT(result.delay_ms[f], 30.0f) << "foreground discarded by frame " << f;
    }
    const std::size_t end = result.output.size() - kOutputDelay;
    for (const Burst& burst : scene.bursts) {
        const std::size_t echo_begin = burst.begin + kEchoDelay;
        if (burst.begin >= first * kFrame && echo_begin + kRate / 10 <= end) {
            EXPECT_LT(residual_echo_db(scene, result, echo_begin, echo_begin + kRate / 10), -20.0)
                << "burst at " << static_cast<double>(burst.begin) / kRate << " s";
        }
    }
    EXPECT_GT(erle_db(scene, result, end - 5 * kRate, end), min_erle_db);
}

TEST(EchoCancellerPauseTest, GatedNoiseKeepsFilterThroughPauses) {
    // Far-end noise 1 s on, 0.5 s off: the filter converges within the first burst and then
    // survives every pause and onset (measured: ERLE 39.9 dB over the last 5 s and the onsets'
    // echo down by 33 dB or more; 10.0 dB and 1 dB when every pause discarded the filter).
    expect_filter_survives_pauses(gated_noise_scene(12.0), 1.0, 34.0);
}

TEST(EchoCancellerPauseTest, SpeechKeepsFilterThroughPauses) {
    // Short spoken sentences with pauses between them: the filter converges more slowly than on
    // noise but, once it has, survives every pause and onset (measured: ERLE 34.3 dB over the
    // last 5 s and the onsets' echo down by 27 dB or more; 12.2 dB and 0 dB when every pause
    // discarded the filter).
    const std::optional<Scene> scene = speech_scene(20.0);
    if (!scene) {
        GTEST_SKIP() << "espeak-ng or sox is not available";
    }
    expect_filter_survives_pauses(*scene, 8.0, 28.0);
}

// Echo path after an abrupt change at a given sample: the echo multiplied by `gain`.
struct PathChange {
    const char* name;
    float gain;
};

TEST(EchoCancellerPauseTest, DivergedForegroundIsDiscardedWithinBlocks) {
    // A converged canceller whose echo path is inverted, muted or turned down by 20 dB in the
    // middle of a burst (with pauses before it) adds echo instead of removing it: the foreground
    // is zeroed (delay estimate 0) within 3 frames of the change (measured: 1, 1 and 2), and
    // from the fourth frame on no output frame is more than 3 dB above the microphone
    // (measured: only the first two, when muted).
    constexpr std::size_t kChange = 6 * kRate + kRate / 4;  // mid-burst, after four pauses
    for (const PathChange change : {PathChange{"inverted", -1.0f}, PathChange{"muted", 0.0f},
                                    PathChange{"20 dB quieter", 0.1f}}) {
        SCOPED_TRACE(change.name);
        Scene scene = gated_noise_scene(7.5);
        for (std::size_t i = kChange; i < scene.echo.size(); ++i) {
            scene.echo[i] *= change.gain;
        }
        const Processed result = process(scene);
        const std::size_t first = kChange / kFrame;
        ASSERT_GT(result.delay_ms[first - 1], 30.0f);
        bool zeroed = false;
        for (std::size_t f = first; f <= first + 3; ++f) {
            zeroed = zeroed || result.delay_ms[f] == 0.0f;
        }
        EXPECT_TRUE(zeroed);
        for (std::size_t f = first + 3; f < first + 100; ++f) {
            EXPECT_GT(erle_db(scene, result, f * kFrame, (f + 1) * kFrame), -3.0)
                << "frame " << f - first << " after the change";
        }
    }
}

}  // namespace
}  // namespace amberlin::core
