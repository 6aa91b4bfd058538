// Four-lane float vectors for the echo canceller's per-bin loops (SSE on x86-64, NEON on ARM).
//
// Built on the compiler's generic vector extension, so every lane runs exactly the scalar
// operation in the same order: results are bit-identical to the plain loops, whatever the
// optimisation level or vectoriser.
#ifndef AMBERLIN_CORE_AEC_SIMD_H
#define AMBERLIN_CORE_AEC_SIMD_H

#include <cstddef>
#include <cstring>

namespace amberlin::core::aec::simd {

/// Number of floats per vector.
inline constexpr std::size_t kLanes = 4;

/// Four floats operated on lane by lane.
using Vec = float __attribute__((vector_size(kLanes * sizeof(float))));

/// Loads four consecutive floats (no alignment required).
inline Vec load(const float* source) noexcept {
    Vec value;
    std::memcpy(&value, source, sizeof value);
    return value;
}

/// Stores four consecutive floats (no alignment required).
inline void store(float* destination, Vec value) noexcept {
    std::memcpy(destination, &value, sizeof value);
}

}  // namespace amberlin::core::aec::simd

#endif
