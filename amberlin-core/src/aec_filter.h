// Partitioned frequency-domain filter taps and the operations the echo canceller runs on them.
#ifndef AMBERLIN_CORE_AEC_FILTER_H
#define AMBERLIN_CORE_AEC_FILTER_H

#include <cstddef>
#include <vector>

#include "aec_far_history.h"
#include "aec_layout.h"
#include "fft.h"

namespace amberlin::core::aec {

/// M partitions of 257 complex frequency-domain weights, each covering 256 samples of echo path.
class PartitionedFilter {
  public:
    /// Allocates `partitions` (at least 1) zeroed partitions.
    explicit PartitionedFilter(std::size_t partitions);

    /// Zeroes every weight.
    void reset();
    /// Copies every weight of `other` (same partition count).
    void copy_from(const PartitionedFilter& other);

    /// Echo spectra Y_k = sum_i X(i blocks ago)_k W_i,k of two filters over the same far-end
    /// history, in one pass (bins 0 ... 256 of each output are overwritten).
    static void estimate_pair(const FarHistory& far, const PartitionedFilter& first,
                              const PartitionedFilter& second, FftScratch& first_out,
                              FftScratch& second_out);

    /// Gradient step W_i,k += conj(X(i blocks ago)_k) G_k for every partition, where G is the
    /// step-scaled error spectrum.
    void adapt(const FarHistory& far, const Bins& gradient_real, const Bins& gradient_imag);

    /// Constrains one partition to 256 time-domain taps: inverse transform, zero samples
    /// 256 ... 511, transform back.
    void constrain(std::size_t partition, const Fft& fft, FftScratch& scratch);

    /// Index of the partition with the largest energy sum_k |W_i,k|^2 (the first on ties; 0 when
    /// all are zero).
    [[nodiscard]] std::size_t strongest_partition() const noexcept;

    /// Number of partitions M.
    [[nodiscard]] std::size_t partitions() const noexcept { return partitions_; }

  private:
    std::size_t partitions_;
    std::vector<float> real_;  // M x kBinStride, partition-major
    std::vector<float> imag_;
};

}  // namespace amberlin::core::aec

#endif
