// The soak: simulated hours of speech in noise, with a far end feeding the echo reference,
// through the whole producer path (simulated microphone -> AudioPipeline with the shared-core
// processor and echo cancellation -> SharedVirtualMicBridge -> "/amvmic") and read back through
// the real plug-in hosted as the audio server hosts it, faster than real time.
//
// Time is simulated on a hand-driven host clock. The driver advances it event by event: a
// microphone cycle (512 frames on the microphone's clock, optionally drifting against the host
// clock) pushes the far end's previous block into the processor's reference queue (a tap
// delivers it late), pumps the device and
// waits until the pipeline has written the resulting frames; a consumer cycle (256 frames, due
// when the plug-in's own zero time stamps say its last frame exists) reads the device. Events
// never overlap, so every count is reproducible; concurrent access to the ring is the business
// of the ring's own two-thread and two-process stress tests. Once a simulated minute the
// consumer stalls for a while (an application that stops reading), so that the ring overflows
// and the latency trimming runs, and the counters are exercised with non-zero values.
//
// Uses "/amvmic" (the plug-in reads no other name): callers hold the machine's amvmic lock.
#ifndef CORVESSA_BENCH_SOAK_SOAK_RUN_H
#define CORVESSA_BENCH_SOAK_SOAK_RUN_H

#include <cstdint>
#include <filesystem>
#include <functional>
#include <vector>

#include "SoakConsumer.h"

namespace corvessa::soak {

/// What to run.
struct SoakOptions {
    std::filesystem::path pluginPath;    ///< the plug-in's shared object
    std::filesystem::path producerLock;  ///< producer lock file (a private one)
    double simulatedSeconds = 60.0;      ///< length of the run
    double sampleEverySeconds = 60.0;    ///< resident memory and counters sampled this often
    double driftPpm = 0.0;               ///< microphone clock against the host clock, ppm
    double stallSeconds = 0.5;           ///< consumer stall once per stall period (0: none)
    double stallEverySeconds = 60.0;     ///< the stall starts half-way through each period
};

/// One sample, taken at a simulated time.
struct SoakSample {
    double simulatedSeconds = 0.0;
    double wallSeconds = 0.0;
    std::uint64_t residentKiB = 0;   ///< resident set of the process
    std::uint64_t heapInUseKiB = 0;  ///< bytes handed out by malloc (all arenas, incl. mmapped)
    std::uint64_t framesWritten = 0;
    std::uint64_t framesRead = 0;
    std::uint64_t overruns = 0;   ///< growth of the ring's overrun counter since the start
    std::uint64_t underruns = 0;  ///< growth of the ring's underrun counter since the start
    float maxLookbackMs = 0.0f;   ///< largest reference lookback since the previous sample
};

/// Everything the run measured.
struct SoakFigures {
    std::vector<SoakSample> samples;
    std::uint64_t microphoneCycles = 0;
    std::uint64_t framesWritten = 0;    ///< frames the ring accepted
    std::uint64_t nonFiniteFrames = 0;  ///< of those, frames holding a NaN or an infinity
    std::uint64_t overruns = 0;         ///< growth of the ring's overrun counter
    std::uint64_t underruns = 0;        ///< growth of the ring's underrun counter
    std::uint64_t bufferedAtEnd = 0;    ///< frames left in the ring
    std::uint64_t stalledCycles = 0;    ///< consumer cycles skipped by the stalls
    float maxLookbackMs = 0.0f;         ///< largest reference lookback of the whole run
    double meanEchoReductionDb = 0.0;   ///< while the far end was active
    double wallSeconds = 0.0;
    ConsumerTally consumer;
};

/// Runs the soak; throws std::runtime_error when the world cannot be built or the pipeline stops
/// delivering. `onSample` (optional) sees each sample as it is taken.
SoakFigures runSoak(const SoakOptions& options,
                    const std::function<void(const SoakSample&)>& onSample = {});

/// Resident set of this process in KiB (0 when unreadable).
std::uint64_t residentKiB();

}  // namespace corvessa::soak

#endif
