// Spectra of the last M far-end frames, which the partitioned filters convolve with their taps.
#ifndef AMBERLIN_CORE_AEC_FAR_HISTORY_H
#define AMBERLIN_CORE_AEC_FAR_HISTORY_H

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "aec_layout.h"
#include "fft.h"

namespace amberlin::core::aec {

/// Ring of the FFTs of the last M overlapping far-end frames with their bin powers and the
/// per-bin power sum over the ring (the normaliser of the filter's step size).
class FarHistory {
  public:
    /// Allocates room for `partitions` (at least 1) spectra.
    explicit FarHistory(std::size_t partitions);

    /// Zeroes every spectrum, power, the frame and the counters.
    void reset();

    /// Appends one far-end block: transforms the previous block followed by `block` (unwindowed)
    /// and stores it as the newest spectrum, keeping the per-bin power sum current.
    void push(std::span<const float, kBlock> block, const Fft& fft);

    /// Number of partitions M.
    [[nodiscard]] std::size_t partitions() const noexcept { return partitions_; }
    /// Real parts of the spectrum pushed `blocks_ago` blocks ago (0 = newest; < M).
    [[nodiscard]] const float* real(std::size_t blocks_ago) const noexcept {
        return real_.data() + offset(blocks_ago);
    }
    /// Imaginary parts of the spectrum pushed `blocks_ago` blocks ago (0 = newest; < M).
    [[nodiscard]] const float* imag(std::size_t blocks_ago) const noexcept {
        return imag_.data() + offset(blocks_ago);
    }
    /// True when every stored spectrum is exactly zero (the far end has been silent for the
    /// whole filter span), so that filtering and adaptation have nothing to do.
    [[nodiscard]] bool silent() const noexcept { return silent_blocks_ > partitions_; }
    /// P_k: the sum over the ring of |X_k|^2, per bin.
    [[nodiscard]] const Bins& power_sum() const noexcept { return power_sum_; }

  private:
    [[nodiscard]] std::size_t offset(std::size_t blocks_ago) const noexcept {
        const std::size_t slot =
            slot_ >= blocks_ago ? slot_ - blocks_ago : slot_ + partitions_ - blocks_ago;
        return slot * kBinStride;
    }
    void store_newest(const FftScratch& spectrum);
    void rebuild_power_sum();

    std::size_t partitions_;
    std::size_t slot_ = 0;           // ring position of the newest spectrum
    std::uint32_t block_count_ = 0;  // blocks since reset (saturating)
    std::size_t silent_blocks_ = 0;  // consecutive all-zero far blocks (saturating at M + 1)
    std::vector<float> real_;        // M x kBinStride, slot-major
    std::vector<float> imag_;        // M x kBinStride, slot-major
    std::vector<float> power_;       // M x kBinStride, |X|^2
    Bins power_sum_{};
    FftBuffer frame_{};  // previous block followed by the current one
    FftScratch scratch_{};
};

}  // namespace amberlin::core::aec

#endif
