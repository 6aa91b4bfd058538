#include "aec_far_history.h"

#include <algorithm>

#include "aec_simd.h"

namespace amberlin::core::aec {

namespace {

// After this many blocks the running per-bin power sum is rebuilt from the stored powers on
// every block, so that rounding in the add-new / subtract-old updates cannot accumulate.
constexpr std::uint32_t kRunningSumBlocks = 127;

}  // namespace

FarHistory::FarHistory(std::size_t partitions)
    : partitions_(std::max<std::size_t>(partitions, 1)),
      real_(partitions_ * kBinStride),
      imag_(partitions_ * kBinStride),
      power_(partitions_ * kBinStride) {}

void FarHistory::reset() {
    std::fill(real_.begin(), real_.end(), 0.0f);
    std::fill(imag_.begin(), imag_.end(), 0.0f);
    std::fill(power_.begin(), power_.end(), 0.0f);
    power_sum_.fill(0.0f);
    frame_.fill(0.0f);
    slot_ = 0;
    block_count_ = 0;
    silent_blocks_ = partitions_ + 1;
}

void FarHistory::push(std::span<const float, kBlock> block, const Fft& fft) {
    std::copy(frame_.begin() + kBlock, frame_.end(), frame_.begin());
    std::copy(block.begin(), block.end(), frame_.begin() + kBlock);
    const bool block_silent =
        std::all_of(block.begin(), block.end(), [](float x) { return x == 0.0f; });
    silent_blocks_ = block_silent ? std::min(silent_blocks_ + 1, partitions_ + 1) : 0;
    if (silent_blocks_ >= 2) {
        // The transform of an all-zero frame is exactly zero.
        scratch_.real.fill(0.0f);
        scratch_.imag.fill(0.0f);
    } else {
        fft.forwardReal(frame_, scratch_.real, scratch_.imag);
    }
    slot_ = slot_ + 1 == partitions_ ? 0 : slot_ + 1;
    store_newest(scratch_);
    if (block_count_ <= kRunningSumBlocks) {
        ++block_count_;
    }
    if (block_count_ > kRunningSumBlocks) {
        rebuild_power_sum();
    }
}

// Stores bins 0 ... 256 in the current slot and moves the per-bin power sum from the slot's old
// powers to the new ones.
void FarHistory::store_newest(const FftScratch& spectrum) {
    const std::size_t base = slot_ * kBinStride;
    for (std::size_t k = 0; k < kBins; ++k) {
        const float re = spectrum.real[k];
        const float im = spectrum.imag[k];
        const float power = re * re + im * im;
        power_sum_[k] = power_sum_[k] + power - power_[base + k];
        real_[base + k] = re;
        imag_[base + k] = im;
        power_[base + k] = power;
    }
}

// Sums the slots in storage order, four bins at a time.
void FarHistory::rebuild_power_sum() {
    for (std::size_t k = 0; k < kBinStride; k += simd::kLanes) {
        simd::Vec sum{};
        for (std::size_t slot = 0; slot < partitions_; ++slot) {
            sum += simd::load(power_.data() + slot * kBinStride + k);
        }
        simd::store(power_sum_.data() + k, sum);
    }
}

}  // namespace amberlin::core::aec
