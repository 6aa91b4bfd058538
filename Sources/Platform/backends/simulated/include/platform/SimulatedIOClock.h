// How the simulated system times device IO cycles.
#ifndef CORVESSA_PLATFORM_SIMULATED_IO_CLOCK_H
#define CORVESSA_PLATFORM_SIMULATED_IO_CLOCK_H

#include <optional>

#include "platform/CoreAudioTypes.h"

namespace platform {

/// The IO timing of units started from now on.
struct SimulatedIOClock {
    enum class Mode {
        /// No cycle runs until the test pumps; pump() runs the requested cycles on the unit's own
        /// IO thread and returns when they are done. Deterministic.
        pump,
        /// Cycles run by themselves, one buffer of device time per buffer of wall time divided by
        /// `speed` (2.0: twice as fast as real time).
        paced,
    };
    Mode mode = Mode::pump;
    double speed = 1.0;  ///< paced mode: device seconds per wall-clock second; must be > 0
};

/// One pump: `cycles` IO cycles of `frames` frames (0: the device's buffer frame size) on every
/// started unit, or only on units bound to `device`.
struct PumpRequest {
    UInt32 cycles = 1;
    UInt32 frames = 0;
    std::optional<AudioObjectID> device{};
};

}  // namespace platform

#endif
