// Block and spectrum geometry shared by the echo canceller's parts.
#ifndef AMBERLIN_CORE_AEC_LAYOUT_H
#define AMBERLIN_CORE_AEC_LAYOUT_H

#include <array>
#include <cstddef>

namespace amberlin::core::aec {

/// Samples per block: the hop of the overlap-save filter and of the residual suppressor.
inline constexpr std::size_t kBlock = 256;
/// FFT length: two blocks.
inline constexpr std::size_t kFftSize = 512;
/// Distinct bins of a real signal's spectrum (0 ... 256).
inline constexpr std::size_t kBins = kFftSize / 2 + 1;
/// Storage stride of one partition's bins: kBins rounded up to a multiple of 8 so that per-bin
/// loops run over whole SIMD vectors; the padding bins stay zero.
inline constexpr std::size_t kBinStride = 264;
/// Far-end smoothed block energy above which the far end counts as active.
inline constexpr float kFarActiveThreshold = 2.56e-5f;
/// Guard against division by zero in power ratios.
inline constexpr float kRegulariser = 1e-12f;

/// One block of time-domain samples.
using Block = std::array<float, kBlock>;
/// One full-length FFT buffer (real or imaginary parts).
using FftBuffer = std::array<float, kFftSize>;
/// One spectrum's bins 0 ... 256 plus zero padding (real or imaginary parts, or powers).
using Bins = std::array<float, kBinStride>;

/// Scratch space for one complex transform.
struct FftScratch {
    FftBuffer real{};
    FftBuffer imag{};
};

}  // namespace amberlin::core::aec

#endif
