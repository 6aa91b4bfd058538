// The signals every system is fed: clean near-end speech for delay calibration, near-end speech in
// white, pink and babble noise at 0, 5 and 10 dB SNR, and a far end heard through a room alone
// (far-end only) or over the near-end talker (double talk).
//
// Levels: near-end speech at -26 dBFS active level, far-end reference at -20 dBFS active level,
// its echo at the microphone at -25 dBFS active level, a -60 dBFS white noise floor under every
// echo scenario. The SNR is the near-end active level over the noise RMS.
#ifndef CORVESSA_BENCH_QUALITY_SCENARIOS_H
#define CORVESSA_BENCH_QUALITY_SCENARIOS_H

#include <array>
#include <cstddef>
#include <string>
#include <vector>

#include "speech_synth.h"
#include "system_under_test.h"

namespace corvessa::quality {

/// One input to the systems, with the clean components that the metrics compare against. All
/// signals have the same length, a whole number of frames.
struct Scenario {
    std::string name;
    Signal mic;              ///< what the microphone hears
    Signal far;              ///< what the speaker plays (zeros when nothing)
    Signal near;             ///< the near-end talker's part of `mic` (zeros when none)
    Signal echo;             ///< the far end's part of `mic` (zeros when none)
    std::size_t length = 0;  ///< samples of content; after it only a flush of silence follows
};

/// Kind of background noise in a noise-suppression scenario.
enum class NoiseKind { white, pink, babble };

/// Display name of a noise kind ("white", "pink", "babble").
const char* noiseName(NoiseKind kind);

inline constexpr std::array<NoiseKind, 3> kNoiseKinds = {NoiseKind::white, NoiseKind::pink,
                                                         NoiseKind::babble};
inline constexpr std::array<int, 3> kSnrsDb = {0, 5, 10};

/// Every scenario of one run, generated from fixed texts and seeds.
struct ScenarioSet {
    Scenario calibration;         ///< near-end speech over the -60 dBFS floor alone
    std::vector<Scenario> noisy;  ///< kNoiseKinds x kSnrsDb, noise kind major
    Scenario farEndOnly;          ///< echo and floor, no near-end talker
    Scenario doubleTalk;          ///< echo, floor and the near-end talker from kDoubleTalkStart
    static constexpr std::size_t kDoubleTalkStart = 8 * kSampleRate;  ///< samples (8 s)

    /// The noise scenario for `kind` at `snrDb` (one of kSnrsDb).
    [[nodiscard]] const Scenario& noisyAt(NoiseKind kind, int snrDb) const;
};

/// Renders the speech with `synth` and builds every scenario.
ScenarioSet buildScenarios(SpeechSynth& synth);

}  // namespace corvessa::quality

#endif
