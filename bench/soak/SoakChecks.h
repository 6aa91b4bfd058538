// What a soak must show, as one list of failed claims (empty when all hold). Shared by the
// one-minute CTest test and the hour-long program, so both judge a run the same way.
#ifndef CORVESSA_BENCH_SOAK_SOAK_CHECKS_H
#define CORVESSA_BENCH_SOAK_SOAK_CHECKS_H

#include <cstdint>
#include <string>
#include <vector>

#include "SoakRun.h"

namespace corvessa::soak {

/// Resident memory may vary this much after warm-up (KiB). Every buffer of the run is touched
/// within its first sampled interval (the scene loops are shorter than a minute, the ring, the
/// reference queue's second and the ledger's history fill within seconds), so later growth is a
/// leak; the allowance covers malloc growing or trimming its heaps in 128 KiB steps and
/// page-granular accounting. A leak of 16 bytes per frame adds 5.5 MiB over an hour.
inline constexpr std::uint64_t kResidentToleranceKiB = 1024;
/// Bytes handed out by malloc may vary this much after warm-up (KiB): queued tasks and the
/// ledger's history move by a few KiB; 64 bytes leaked per frame add 300 KiB within a minute.
inline constexpr std::uint64_t kHeapToleranceKiB = 256;
/// The far end arrives one microphone cycle (10.7 ms) late, so the lookback should settle at that
/// plus its margins (3.5 ms), and never wander towards its 200 ms ceiling.
inline constexpr float kLookbackLimitMs = 20.0f;

/// The claims that do not hold for `figures` of a run made with `options`.
std::vector<std::string> checkFigures(const SoakFigures& figures, const SoakOptions& options);

/// The run's totals as a few lines of text.
std::string describe(const SoakFigures& figures);

}  // namespace corvessa::soak

#endif
