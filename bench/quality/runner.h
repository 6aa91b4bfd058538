// Runs one system over one scenario, frame by frame, timing every call; and measures a system's
// delay by cross-correlating its output with the clean talker.
#ifndef CORVESSA_BENCH_QUALITY_RUNNER_H
#define CORVESSA_BENCH_QUALITY_RUNNER_H

#include <vector>

#include "correlation.h"
#include "scenarios.h"
#include "system_under_test.h"

namespace corvessa::quality {

/// What a system produced for a scenario and what each frame cost.
struct RunOutput {
    Signal out;                       ///< same length as the scenario's microphone signal
    std::vector<double> frameMicros;  ///< wall time of each `process` call, microseconds
};

/// Feeds every frame of `scenario` (microphone and far end) to `system`.
RunOutput runScenario(SystemUnderTest& system, const Scenario& scenario);

/// Longest delay the harness looks for, samples (100 ms).
inline constexpr std::size_t kMaxDelay = 4800;

/// Delay of a fresh system from `entry`, measured on `calibration` against its clean talker.
DelayEstimate measureDelay(const SystemEntry& entry, const Scenario& calibration);

/// Median of `values` (0 when empty).
double median(std::vector<double> values);

}  // namespace corvessa::quality

#endif
