// Short-time spectral-subtraction noise suppressor: the noise processor's fallback path.
//
// 512-point frames with a hop of 256 samples, periodic square-root Hann window for analysis and
// synthesis (its square sums to 1 at 50 % overlap, so unit gains reproduce the input), a per-bin
// noise magnitude estimate that learns quickly for the first 15 hops (80 ms), then slowly and only
// through hops not judged speech, and a per-bin gain with over-subtraction, a per-mode floor and
// temporal smoothing. Input and output are queued because the hop (256) differs from the caller's
// frame: with 480-sample frames the first frame comes out silent and the output trails the input by
// 736 samples (256 of synthesis overlap plus the 480 of the silent first frame).
//
// Threads: one processing thread; `process` allocates nothing, takes no lock and never throws.
#ifndef AMBERLIN_CORE_SPECTRAL_H
#define AMBERLIN_CORE_SPECTRAL_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "fft.h"
#include "fixed_ring.h"

namespace amberlin::core {

/// Spectral-subtraction suppressor with queued 256-sample hops over 512-point frames.
class SpectralSuppressor {
  public:
    static constexpr std::size_t kFrame = 512;  ///< analysis frame, samples
    static constexpr std::size_t kHop = 256;    ///< hop between frames, samples
    static constexpr std::size_t kBins = 257;   ///< bins 0 ... 256
    static constexpr std::uint32_t kWarmupHops = 15;

    /// Prepares for calls of at most `max_frame` samples each (the caller's frame length).
    explicit SpectralSuppressor(std::size_t max_frame);

    /// Consumes every sample of `input`, fills all of `output` (zeros until enough has been
    /// synthesised) and returns whether any hop of this call was judged speech. `mode` selects
    /// over-subtraction and floor: 0 light, 1 balanced, 2 (or more) max. Both spans hold at most
    /// `max_frame` samples.
    bool process(std::span<const float> input, std::span<float> output, std::uint32_t mode);

    /// Returns to the initial state: empty queues, zero analysis frame, accumulator and noise
    /// estimate, unit gains, hop counter 0.
    void reset();

    /// Hops processed since construction or reset (saturates at the largest u32).
    [[nodiscard]] std::uint32_t hopCount() const { return hops_; }
    /// Current noise magnitude estimate for `bin` (0 ... 256), in FFT magnitude units.
    [[nodiscard]] float noiseEstimate(std::size_t bin) const { return noise_.at(bin); }
    /// Smoothed gain applied to `bin` (0 ... 256) in the last hop.
    [[nodiscard]] float smoothedGain(std::size_t bin) const { return gain_.at(bin); }

  private:
    bool processHop(std::uint32_t mode);
    void analyse();
    bool updateNoise();
    void applyGains(std::uint32_t mode);
    void synthesise();

    std::size_t maxFrame_;
    FixedRing<float> inputQueue_;
    FixedRing<float> outputQueue_;
    Fft fft_;
    std::array<float, kFrame> frame_{};
    std::array<float, kFrame> accumulator_{};
    std::array<float, kFrame> window_{};
    std::array<float, kFrame> real_{};
    std::array<float, kFrame> imag_{};
    std::array<float, kBins> magnitude_{};  // |X_k| of the current hop
    std::array<float, kBins> noise_{};
    std::array<float, kBins> gain_{};
    std::uint32_t hops_ = 0;
};

}  // namespace amberlin::core

#endif
