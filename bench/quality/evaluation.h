// The figures of one system in the echo table and in the noise-suppression tables, each system
// freshly built for every scenario and lined up by its delay measured on clean speech.
#ifndef CORVESSA_BENCH_QUALITY_EVALUATION_H
#define CORVESSA_BENCH_QUALITY_EVALUATION_H

#include <optional>
#include <string>
#include <vector>

#include "correlation.h"
#include "metrics.h"
#include "scenarios.h"
#include "system_under_test.h"

namespace corvessa::quality {

/// What every row shows besides its own figures.
struct RowBasics {
    std::string name;
    DelayEstimate delay;                      ///< measured on the calibration scenario
    std::optional<std::size_t> nominalDelay;  ///< as the system documents it, samples
    double medianMicros = 0.0;                ///< median cost of one 10 ms frame
};

/// One row of the echo table.
struct EchoRow {
    RowBasics basics;
    double erleLast10sDb = 0.0;     ///< far end only, last 10 s
    Convergence erle10;             ///< 200 ms-window ERLE against 10 dB
    Convergence erle20;             ///< ... and against 20 dB
    double doubleTalkLossDb = 0.0;  ///< near-end talker lost during double talk
};

/// Noise and speech attenuation of one system in one noise scenario.
struct NoiseCell {
    double noiseAttenuationDb = 0.0;  ///< in the talker's pauses
    double speechLossDb = 0.0;        ///< of the talker while speaking
};

/// One row of the noise tables: cells in ScenarioSet::noisy order.
struct NoiseRow {
    RowBasics basics;
    std::vector<NoiseCell> cells;
};

/// Runs `entry` on the calibration, far-end-only and double-talk scenarios.
EchoRow evaluateEcho(const SystemEntry& entry, const ScenarioSet& scenarios);

/// Runs `entry` on the calibration and every noise scenario.
NoiseRow evaluateNoise(const SystemEntry& entry, const ScenarioSet& scenarios);

}  // namespace corvessa::quality

#endif
