// Conversion between the harness's f32 frames and the 16-bit frames of SpeexDSP.
#ifndef CORVESSA_BENCH_QUALITY_PCM16_H
#define CORVESSA_BENCH_QUALITY_PCM16_H

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>

#include "system_under_test.h"

namespace corvessa::quality {

using Pcm16Frame = std::array<std::int16_t, kFrame>;

/// Rounds `in` to 16-bit samples (scale 32768), saturating at the ends of the range.
inline void toPcm16(FrameIn in, Pcm16Frame& out) {
    for (std::size_t i = 0; i < kFrame; ++i) {
        const float scaled = std::nearbyint(in[i] * 32768.0F);
        out[i] = static_cast<std::int16_t>(std::clamp(scaled, -32768.0F, 32767.0F));
    }
}

/// Scales 16-bit samples back to f32 (1/32768 per step).
inline void fromPcm16(const Pcm16Frame& in, FrameOut out) {
    for (std::size_t i = 0; i < kFrame; ++i) {
        out[i] = static_cast<float>(in[i]) / 32768.0F;
    }
}

}  // namespace corvessa::quality

#endif
