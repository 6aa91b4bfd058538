// Coherence-based residual-echo suppressor: attenuates, bin by bin, the echo the linear filter
// leaves, and synthesises the output by windowed overlap-add.
#ifndef AMBERLIN_CORE_AEC_RESIDUAL_SUPPRESSOR_H
#define AMBERLIN_CORE_AEC_RESIDUAL_SUPPRESSOR_H

#include <span>

#include "aec_layout.h"
#include "fft.h"

namespace amberlin::core::aec {

/// Per-bin residual-echo gain driven by the coherence of the error with the echo estimate.
class ResidualSuppressor {
  public:
    /// Builds the square-root Hann window and starts from the reset state.
    ResidualSuppressor();

    /// Zeroes the histories, statistics and synthesis; sets every gain to 1.0.
    void reset();

    /// Consumes one block of foreground error and echo estimate and writes one block of output,
    /// delayed by one block. `far_active` enables suppression; without it the target gain is 1.0.
    void process(std::span<const float, kBlock> error, std::span<const float, kBlock> estimate,
                 bool far_active, const Fft& fft, std::span<float, kBlock> output);

    /// Current smoothed gain of bin `bin` (0 ... 256).
    [[nodiscard]] float gain(std::size_t bin) const noexcept { return gain_[bin]; }

  private:
    void analyse(std::span<const float, kBlock> error, std::span<const float, kBlock> estimate,
                 const Fft& fft);
    void update_statistics();
    void update_gains(bool far_active);
    void smooth_across_frequency();
    void synthesise(const Fft& fft, std::span<float, kBlock> output);

    FftBuffer window_{};
    FftBuffer error_history_{};     // previous and current error blocks
    FftBuffer estimate_history_{};  // previous and current estimate blocks
    FftBuffer synthesis_{};         // overlap-add accumulator
    FftScratch error_spectrum_{};
    FftScratch estimate_spectrum_{};
    Bins estimate_power_{};  // Syy
    Bins error_power_{};     // See
    Bins cross_real_{};      // Re Sey
    Bins cross_imag_{};      // Im Sey
    Bins gain_{};            // G
};

}  // namespace amberlin::core::aec

#endif
