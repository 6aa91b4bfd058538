#include "room_response.h"

#include <cmath>
#include <random>

namespace corvessa::quality {

namespace {

// Peak tail amplitude relative to the direct path: with a 200 ms decay the tail carries about
// 0.6 of the direct path's energy (direct-to-reverberant ratio near +2 dB), a small, damped room.
constexpr double kTailScale = 0.05;

}  // namespace

Signal roomResponse(const RoomShape& shape) {
    const auto tail = static_cast<std::size_t>(shape.decayMs * 1e-3 * kSampleRate);
    Signal h(shape.delaySamples + tail, 0.0F);
    // 60 dB of amplitude decay over `tail` samples.
    const double perSample = std::log(1000.0) / static_cast<double>(tail);
    std::mt19937 engine(shape.seed);
    for (std::size_t i = 1; i < tail; ++i) {
        const double uniform = static_cast<double>(engine()) / 4294967296.0 * 2.0 - 1.0;
        const double envelope = std::exp(-perSample * static_cast<double>(i));
        h[shape.delaySamples + i] = static_cast<float>(kTailScale * uniform * envelope);
    }
    h[shape.delaySamples] = 1.0F;
    return h;
}

}  // namespace corvessa::quality
