#include "aec_filter.h"

#include <algorithm>

namespace amberlin::core::aec {

PartitionedFilter::PartitionedFilter(std::size_t partitions)
    : partitions_(std::max<std::size_t>(partitions, 1)),
      real_(partitions_ * kBinStride),
      imag_(partitions_ * kBinStride) {}

void PartitionedFilter::reset() {
    std::fill(real_.begin(), real_.end(), 0.0f);
    std::fill(imag_.begin(), imag_.end(), 0.0f);
}

void PartitionedFilter::copy_from(const PartitionedFilter& other) {
    std::copy(other.real_.begin(), other.real_.end(), real_.begin());
    std::copy(other.imag_.begin(), other.imag_.end(), imag_.begin());
}

void PartitionedFilter::estimate(const FarHistory& far, FftScratch& out) const {
    float* __restrict out_re = out.real.data();
    float* __restrict out_im = out.imag.data();
    std::fill_n(out_re, kBinStride, 0.0f);
    std::fill_n(out_im, kBinStride, 0.0f);
    for (std::size_t i = 0; i < partitions_; ++i) {
        const float* __restrict x_re = far.real(i);
        const float* __restrict x_im = far.imag(i);
        const float* __restrict w_re = real_.data() + i * kBinStride;
        const float* __restrict w_im = imag_.data() + i * kBinStride;
        for (std::size_t k = 0; k < kBinStride; ++k) {
            out_re[k] += x_re[k] * w_re[k] - x_im[k] * w_im[k];
            out_im[k] += x_re[k] * w_im[k] + x_im[k] * w_re[k];
        }
    }
}

void PartitionedFilter::adapt(const FarHistory& far, const Bins& gradient_real,
                              const Bins& gradient_imag) {
    const float* __restrict g_re = gradient_real.data();
    const float* __restrict g_im = gradient_imag.data();
    for (std::size_t i = 0; i < partitions_; ++i) {
        const float* __restrict x_re = far.real(i);
        const float* __restrict x_im = far.imag(i);
        float* __restrict w_re = real_.data() + i * kBinStride;
        float* __restrict w_im = imag_.data() + i * kBinStride;
        for (std::size_t k = 0; k < kBinStride; ++k) {
            // conj(X) G = (xr gr + xi gi) + i (xr gi - xi gr)
            w_re[k] += x_re[k] * g_re[k] + x_im[k] * g_im[k];
            w_im[k] += x_re[k] * g_im[k] - x_im[k] * g_re[k];
        }
    }
}

void PartitionedFilter::constrain(std::size_t partition, const Fft& fft, FftScratch& scratch) {
    float* w_re = real_.data() + partition * kBinStride;
    float* w_im = imag_.data() + partition * kBinStride;
    std::copy_n(w_re, kBins, scratch.real.begin());
    std::copy_n(w_im, kBins, scratch.imag.begin());
    fft.completeConjugateSymmetry(scratch.real, scratch.imag);
    fft.inverse(scratch.real, scratch.imag);
    std::fill(scratch.real.begin() + kBlock, scratch.real.end(), 0.0f);
    std::fill(scratch.imag.begin() + kBlock, scratch.imag.end(), 0.0f);
    fft.forward(scratch.real, scratch.imag);
    std::copy_n(scratch.real.begin(), kBins, w_re);
    std::copy_n(scratch.imag.begin(), kBins, w_im);
}

std::size_t PartitionedFilter::strongest_partition() const noexcept {
    std::size_t strongest = 0;
    float strongest_energy = 0.0f;
    for (std::size_t i = 0; i < partitions_; ++i) {
        const float* w_re = real_.data() + i * kBinStride;
        const float* w_im = imag_.data() + i * kBinStride;
        float energy = 0.0f;
        for (std::size_t k = 0; k < kBins; ++k) {
            energy += w_re[k] * w_re[k] + w_im[k] * w_im[k];
        }
        if (energy > strongest_energy) {
            strongest = i;
            strongest_energy = energy;
        }
    }
    return strongest;
}

}  // namespace amberlin::core::aec
