// Background noises of the noise-suppression scenarios, reproducible from their seeds: white,
// pink (-3 dB per octave) and babble (several talkers mixed).
#ifndef CORVESSA_BENCH_QUALITY_NOISE_H
#define CORVESSA_BENCH_QUALITY_NOISE_H

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "system_under_test.h"

namespace corvessa::quality {

/// Gaussian white noise of `n` samples at RMS `levelDbfs`.
Signal whiteNoise(std::size_t n, double levelDbfs, std::uint32_t seed);

/// Pink noise of `n` samples at RMS `levelDbfs`: white noise through a sum of first-order
/// sections whose response falls about 3 dB per octave.
Signal pinkNoise(std::size_t n, double levelDbfs, std::uint32_t seed);

/// Babble of `n` samples at RMS `levelDbfs`: every talker's speech repeated to length `n`,
/// rotated by a different offset so that the voices overlap, and summed.
Signal babble(std::span<const Signal> talkers, std::size_t n, double levelDbfs);

}  // namespace corvessa::quality

#endif
