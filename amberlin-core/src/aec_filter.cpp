#include "aec_filter.h"

#include <algorithm>

#include "aec_simd.h"

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

// Bins are taken four at a time with the accumulators in registers and the partitions summed in
// order 0 ... M-1 for each bin, exactly as the scalar sum would be.
void PartitionedFilter::estimate_pair(const FarHistory& far, const PartitionedFilter& first,
                                      const PartitionedFilter& second, FftScratch& first_out,
                                      FftScratch& second_out) {
    using simd::Vec;
    const std::size_t partitions = far.partitions();
    for (std::size_t k = 0; k < kBinStride; k += simd::kLanes) {
        Vec a_re{}, a_im{}, b_re{}, b_im{};
        for (std::size_t i = 0; i < partitions; ++i) {
            const std::size_t w = i * kBinStride + k;
            const Vec x_re = simd::load(far.real(i) + k);
            const Vec x_im = simd::load(far.imag(i) + k);
            const Vec wa_re = simd::load(first.real_.data() + w);
            const Vec wa_im = simd::load(first.imag_.data() + w);
            const Vec wb_re = simd::load(second.real_.data() + w);
            const Vec wb_im = simd::load(second.imag_.data() + w);
            a_re += x_re * wa_re - x_im * wa_im;
            a_im += x_re * wa_im + x_im * wa_re;
            b_re += x_re * wb_re - x_im * wb_im;
            b_im += x_re * wb_im + x_im * wb_re;
        }
        simd::store(first_out.real.data() + k, a_re);
        simd::store(first_out.imag.data() + k, a_im);
        simd::store(second_out.real.data() + k, b_re);
        simd::store(second_out.imag.data() + k, b_im);
    }
}

void PartitionedFilter::adapt(const FarHistory& far, const Bins& gradient_real,
                              const Bins& gradient_imag) {
    using simd::Vec;
    for (std::size_t i = 0; i < partitions_; ++i) {
        const float* x_re = far.real(i);
        const float* x_im = far.imag(i);
        float* w_re = real_.data() + i * kBinStride;
        float* w_im = imag_.data() + i * kBinStride;
        for (std::size_t k = 0; k < kBinStride; k += simd::kLanes) {
            const Vec xr = simd::load(x_re + k);
            const Vec xi = simd::load(x_im + k);
            const Vec gr = simd::load(gradient_real.data() + k);
            const Vec gi = simd::load(gradient_imag.data() + k);
            // conj(X) G = (xr gr + xi gi) + i (xr gi - xi gr)
            simd::store(w_re + k, simd::load(w_re + k) + (xr * gr + xi * gi));
            simd::store(w_im + k, simd::load(w_im + k) + (xr * gi - xi * gr));
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
