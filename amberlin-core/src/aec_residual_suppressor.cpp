#include "aec_residual_suppressor.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace amberlin::core::aec {

namespace {

constexpr float kStatisticsNew = 0.25f;  // weight of the newest block in Syy, See, Sey
constexpr float kLeakage = 0.06f;        // share of the echo power assumed left uncorrelated
constexpr float kOverSubtraction = 1.6f;
constexpr float kGainFloor = 0.03f;  // about -30 dB
constexpr float kFallingNew = 0.5f;  // gains fall fast to catch echo onsets ...
constexpr float kRisingOld = 0.85f;  // ... and recover slowly to avoid residual bursts

// Windowed copy of a 512-sample history into `scratch` (imaginary parts zero), transformed.
void transform_windowed(const FftBuffer& history, const FftBuffer& window, const Fft& fft,
                        FftScratch& scratch) {
    for (std::size_t j = 0; j < kFftSize; ++j) {
        scratch.real[j] = history[j] * window[j];
    }
    scratch.imag.fill(0.0f);
    fft.forward(scratch.real, scratch.imag);
}

// Drops the older block of a two-block history and appends `block`.
void shift_in(FftBuffer& history, std::span<const float, kBlock> block) {
    std::copy(history.begin() + kBlock, history.end(), history.begin());
    std::copy(block.begin(), block.end(), history.begin() + kBlock);
}

}  // namespace

ResidualSuppressor::ResidualSuppressor() {
    // Periodic square-root Hann: its square sums to 1 at 50 % overlap, so unit gains reproduce
    // the error signal exactly (delayed by one block).
    for (std::size_t i = 0; i < kFftSize; ++i) {
        const double phase = 2.0 * std::numbers::pi * static_cast<double>(i) / kFftSize;
        window_[i] = static_cast<float>(std::sqrt(0.5 * (1.0 - std::cos(phase))));
    }
    reset();
}

void ResidualSuppressor::reset() {
    error_history_.fill(0.0f);
    estimate_history_.fill(0.0f);
    synthesis_.fill(0.0f);
    estimate_power_.fill(0.0f);
    error_power_.fill(0.0f);
    cross_real_.fill(0.0f);
    cross_imag_.fill(0.0f);
    gain_.fill(1.0f);
}

void ResidualSuppressor::process(std::span<const float, kBlock> error,
                                 std::span<const float, kBlock> estimate, bool far_active,
                                 const Fft& fft, std::span<float, kBlock> output) {
    analyse(error, estimate, fft);
    update_statistics();
    update_gains(far_active);
    smooth_across_frequency();
    synthesise(fft, output);
}

void ResidualSuppressor::analyse(std::span<const float, kBlock> error,
                                 std::span<const float, kBlock> estimate, const Fft& fft) {
    shift_in(error_history_, error);
    shift_in(estimate_history_, estimate);
    transform_windowed(error_history_, window_, fft, error_spectrum_);
    transform_windowed(estimate_history_, window_, fft, estimate_spectrum_);
}

// Recursive averages of |Y|^2, |E|^2 and E conj(Y) per bin (the padding bins are computed too and
// never used).
void ResidualSuppressor::update_statistics() {
    constexpr float old_weight = 1.0f - kStatisticsNew;
    for (std::size_t k = 0; k < kBinStride; ++k) {
        const float e_re = error_spectrum_.real[k];
        const float e_im = error_spectrum_.imag[k];
        const float y_re = estimate_spectrum_.real[k];
        const float y_im = estimate_spectrum_.imag[k];
        estimate_power_[k] =
            old_weight * estimate_power_[k] + kStatisticsNew * (y_re * y_re + y_im * y_im);
        error_power_[k] =
            old_weight * error_power_[k] + kStatisticsNew * (e_re * e_re + e_im * e_im);
        cross_real_[k] = old_weight * cross_real_[k] + kStatisticsNew * (e_re * y_re + e_im * y_im);
        cross_imag_[k] = old_weight * cross_imag_[k] + kStatisticsNew * (e_im * y_re - e_re * y_im);
    }
}

// Target gain removes the echo coherent with the estimate plus a leakage share of the estimate's
// power, over-subtracted; the smoothed gain falls fast and rises slowly towards it.
void ResidualSuppressor::update_gains(bool far_active) {
    for (std::size_t k = 0; k < kBinStride; ++k) {
        const float syy = estimate_power_[k];
        float target = 1.0f;
        if (far_active && syy > kRegulariser) {
            const float coherent =
                (cross_real_[k] * cross_real_[k] + cross_imag_[k] * cross_imag_[k]) / syy;
            target = 1.0f - kOverSubtraction * (coherent + kLeakage * syy) /
                                (error_power_[k] + kRegulariser);
            target = std::min(std::max(target, kGainFloor), 1.0f);
        }
        const float old = gain_[k];
        gain_[k] = target < old ? kFallingNew * old + (1.0f - kFallingNew) * target
                                : kRisingOld * old + (1.0f - kRisingOld) * target;
    }
}

// 0.25 / 0.5 / 0.25 smoothing over neighbouring bins; the edge bins keep their value.
void ResidualSuppressor::smooth_across_frequency() {
    float previous = gain_[0];
    for (std::size_t k = 1; k + 1 < kBins; ++k) {
        const float current = gain_[k];
        gain_[k] = 0.25f * previous + 0.5f * current + 0.25f * gain_[k + 1];
        previous = current;
    }
}

// Applies the gains to the error spectrum, inverse-transforms, windows and overlap-adds; the
// accumulator's completed first block is the output.
void ResidualSuppressor::synthesise(const Fft& fft, std::span<float, kBlock> output) {
    auto& spectrum = error_spectrum_;
    for (std::size_t k = 0; k < kBins; ++k) {
        spectrum.real[k] *= gain_[k];
        spectrum.imag[k] *= gain_[k];
    }
    for (std::size_t k = 1; k < kBins - 1; ++k) {
        spectrum.real[kFftSize - k] *= gain_[k];
        spectrum.imag[kFftSize - k] *= gain_[k];
    }
    fft.inverse(spectrum.real, spectrum.imag);
    for (std::size_t j = 0; j < kFftSize; ++j) {
        synthesis_[j] += spectrum.real[j] * window_[j];
    }
    std::copy_n(synthesis_.begin(), kBlock, output.begin());
    std::copy(synthesis_.begin() + kBlock, synthesis_.end(), synthesis_.begin());
    std::fill(synthesis_.begin() + kBlock, synthesis_.end(), 0.0f);
}

}  // namespace amberlin::core::aec
