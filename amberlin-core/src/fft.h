// In-place iterative radix-2 complex FFT over separate real and imaginary f32 arrays.
//
// One `Fft` object serves one power-of-two length N, fixed at construction; construction computes
// the bit-reversal swaps and the twiddle factors, so a transform allocates nothing, takes no lock
// and makes no system call (safe on the real-time path). The twiddles are generated with the same
// single-precision rotation recurrence a table-free transform would run per call, so results do
// not depend on whether the factors are stored or recomputed.
//
// Conventions: forward X_k = sum_n x_n e^(-2 pi i n k / N) without scaling; inverse uses
// e^(+2 pi i n k / N) and divides by N, so forward followed by inverse returns the input to within
// single-precision error. Lengths 0 and 1 are accepted and every transform leaves the arrays
// unchanged. A span whose length differs from N is a fatal error (message on stderr, abort).
//
// Threads: a transform only reads the object, so one `Fft` may be shared by several threads as
// long as each passes its own arrays.
#ifndef AMBERLIN_CORE_FFT_H
#define AMBERLIN_CORE_FFT_H

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace amberlin::core {

/// Radix-2 FFT of one fixed power-of-two length with precomputed swaps and twiddles.
class Fft {
  public:
    /// Prepares an FFT of `size` points; `size` must be 0, 1 or a power of two (fatal otherwise).
    explicit Fft(std::size_t size);

    /// Number of points N.
    [[nodiscard]] std::size_t size() const { return size_; }

    /// Forward transform in place, unscaled; both spans must hold exactly N values.
    void forward(std::span<float> real, std::span<float> imag) const;
    /// Inverse transform in place, including the 1/N scaling; both spans must hold N values.
    void inverse(std::span<float> real, std::span<float> imag) const;
    /// Forward or inverse transform selected by `inverse_flag` (see `forward` / `inverse`).
    void transform(std::span<float> real, std::span<float> imag, bool inverse_flag) const;

    /// Forward transform of a real signal: copies `input` (N samples) into `real`, zeroes `imag`
    /// and transforms. `input` may alias `real`.
    void forwardReal(std::span<const float> input, std::span<float> real,
                     std::span<float> imag) const;

    /// Fills bins N/2+1 ... N-1 with the complex conjugates of bins N/2-1 ... 1, so that a
    /// spectrum whose bins 0 ... N/2 were set alone inverse-transforms to a real signal.
    void completeConjugateSymmetry(std::span<float> real, std::span<float> imag) const;

  private:
    void checkLengths(std::span<float> real, std::span<float> imag) const;
    void permute(std::span<float> real, std::span<float> imag) const;
    void butterflies(std::span<float> real, std::span<float> imag, bool inverse_flag) const;

    std::size_t size_;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> swaps_;  // bit-reversal pairs i < j
    std::vector<float> twiddleReal_;         // forward twiddles, stage s at offset s/2 - 1
    std::vector<float> twiddleImag_;         // (the inverse uses their complex conjugates)
    std::vector<float> inverseTwiddleImag_;  // -twiddleImag_, so no sign flip per butterfly
};

}  // namespace amberlin::core

#endif
