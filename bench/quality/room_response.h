// Synthetic loudspeaker-to-microphone impulse response: a bulk delay, a direct path and a diffuse
// tail of Gaussian noise under an exponential envelope.
#ifndef CORVESSA_BENCH_QUALITY_ROOM_RESPONSE_H
#define CORVESSA_BENCH_QUALITY_ROOM_RESPONSE_H

#include <cstddef>
#include <cstdint>

#include "system_under_test.h"

namespace corvessa::quality {

/// Shape of a room response.
struct RoomShape {
    std::size_t delaySamples = 1920;  ///< bulk delay before the direct path (40 ms)
    double decayMs = 200.0;           ///< time for the tail envelope to fall by 60 dB
    std::uint32_t seed = 7;           ///< seed of the diffuse tail
};

/// The response: `delaySamples` zeros, then decayMs of direct path plus tail, peak 1.0 at the
/// direct path. Its gain is arbitrary; callers scale the echo it produces.
Signal roomResponse(const RoomShape& shape);

}  // namespace corvessa::quality

#endif
