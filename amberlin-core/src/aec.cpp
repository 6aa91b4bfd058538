#include "aec.h"

#include <algorithm>
#include <cmath>

namespace amberlin::core {

namespace {

using aec::kBinStride;
using aec::kBlock;
using aec::kFarActiveThreshold;
using aec::kFftSize;
using aec::kRegulariser;

constexpr float kStepNumerator = 0.5f;
constexpr float kStepRegularisationPerPartition = 1e-4f;
constexpr std::size_t kConstrainedPerBlock = 2;
constexpr float kBackgroundBetterFactor = 0.75f;
constexpr unsigned kBackgroundBetterBlocks = 2;
constexpr float kBackgroundDivergedFactor = 4.0f;
constexpr float kForegroundDivergedFactor = 2.0f;
// Share of the recent echo level (-20 dB) by which a foreground's error must exceed twice the
// microphone power before the foreground counts as diverged.
constexpr float kForegroundExcessShare = 0.01f;
// Per-block decay of the recent echo level while the far end plays: -0.8 dB per second of far-end
// signal, so it follows a lasting drop in volume but holds over syllables and sentence pauses.
constexpr float kEchoLevelDecay = 0.999f;
constexpr float kReductionNew = 0.05f;
// Longest supported tail: bounds the allocation for absurd tail lengths (about 21 s at 48 kHz).
constexpr std::size_t kMaxPartitions = 4096;
// Queue room: one frame plus the part block a previous call left waiting, rounded up.
constexpr std::size_t kQueueCapacity = 1024;
// Bound on input samples, 60 dB above full scale: far beyond real audio, it keeps every block
// energy, spectrum and filter update finite, so one absurd sample cannot turn the state into NaN.
constexpr float kSampleLimit = 1000.0f;

// Partitions needed to cover `tail_ms` at `sample_rate` Hz: at least one block, at most the cap.
std::size_t partition_count(double sample_rate, double tail_ms) {
    const double tail_samples = tail_ms / 1000.0 * sample_rate;
    if (!std::isfinite(tail_samples) || tail_samples <= static_cast<double>(kBlock)) {
        return 1;
    }
    const double blocks = std::ceil(tail_samples / static_cast<double>(kBlock));
    return blocks >= static_cast<double>(kMaxPartitions) ? kMaxPartitions
                                                         : static_cast<std::size_t>(blocks);
}

float sum_of_squares(std::span<const float, kBlock> block) {
    float sum = 0.0f;
    for (const float value : block) {
        sum += value * value;
    }
    return sum;
}

}  // namespace

EchoCanceller::EchoCanceller(double sample_rate, double tail_ms)
    : sample_rate_(std::isfinite(sample_rate) && sample_rate > 0.0 ? sample_rate : 48000.0),
      fft_(kFftSize),
      far_(partition_count(sample_rate, tail_ms)),
      foreground_(far_.partitions()),
      background_(far_.partitions()),
      near_queue_(kQueueCapacity),
      far_queue_(kQueueCapacity),
      output_queue_(kQueueCapacity) {
    reset();
}

void EchoCanceller::reset() {
    far_.reset();
    foreground_.reset();
    background_.reset();
    suppressor_.reset();
    near_queue_.clear();
    far_queue_.clear();
    output_queue_.clear();
    for (std::size_t i = 0; i < kBlock; ++i) {
        output_queue_.push_back(0.0f);
    }
    constraint_position_ = 0;
    smoothed_ = SmoothedPowers{};
    echo_level_ = 0.0f;
    selection_count_ = 0;
    near_average_ = 0.0f;
    error_average_ = 0.0f;
    echo_reduction_db_ = 0.0f;
    echo_delay_ms_ = 0.0f;
    far_end_active_ = false;
}

void EchoCanceller::process(std::span<const float, kFrameSamples> input,
                            std::span<const float, kFrameSamples> reference,
                            std::span<float, kFrameSamples> output) {
    enqueue(input, near_queue_);
    enqueue(reference, far_queue_);
    while (near_queue_.size() >= kBlock) {
        process_block();
    }
    deliver(output);
}

// Appends one frame; non-finite samples become 0.0 and finite ones are bounded to +-1000, so that
// no sample can poison the adaptive state.
void EchoCanceller::enqueue(std::span<const float, kFrameSamples> samples,
                            FixedRing<float>& queue) {
    for (const float sample : samples) {
        queue.push_back(std::isfinite(sample) ? std::clamp(sample, -kSampleLimit, kSampleLimit)
                                              : 0.0f);
    }
}

void EchoCanceller::process_block() {
    take_block();
    far_.push(far_block_, fft_);
    estimate_echoes();
    const BlockSums sums = compute_errors();
    adapt_background();
    constrain_background();
    update_smoothed_powers(sums);
    const bool far_active = smoothed_.far > kFarActiveThreshold;
    update_echo_level(far_active);
    bool foreground_changed = far_active && select_filter();
    foreground_changed = guard_foreground_divergence() || foreground_changed;
    suppressor_.process(foreground_error_, foreground_estimate_, far_active, fft_, output_block_);
    output_queue_.push_back(std::span<const float>(output_block_));
    update_echo_reduction(sums, far_active);
    far_end_active_ = far_active;
    if (foreground_changed) {
        update_echo_delay();
    }
}

// d from the microphone queue, x from the reference queue (zeros for samples it lacks).
void EchoCanceller::take_block() {
    near_queue_.pop_front(near_);
    const std::size_t available = std::min(far_queue_.size(), kBlock);
    far_queue_.pop_front(std::span<float>(far_block_).first(available));
    std::fill(far_block_.begin() + static_cast<std::ptrdiff_t>(available), far_block_.end(), 0.0f);
}

// Overlap-save: each filter's spectrum, inverse-transformed; its second half is the estimate.
// With a silent far-end history both estimates are exactly zero.
void EchoCanceller::estimate_echoes() {
    if (far_.silent()) {
        foreground_estimate_.fill(0.0f);
        background_estimate_.fill(0.0f);
        return;
    }
    aec::PartitionedFilter::estimate_pair(far_, foreground_, background_, scratch_,
                                          background_scratch_);
    to_time_domain(scratch_, foreground_estimate_);
    to_time_domain(background_scratch_, background_estimate_);
}

void EchoCanceller::to_time_domain(aec::FftScratch& spectrum, aec::Block& estimate) const {
    fft_.completeConjugateSymmetry(spectrum.real, spectrum.imag);
    fft_.inverse(spectrum.real, spectrum.imag);
    std::copy(spectrum.real.begin() + kBlock, spectrum.real.end(), estimate.begin());
}

EchoCanceller::BlockSums EchoCanceller::compute_errors() {
    for (std::size_t n = 0; n < kBlock; ++n) {
        foreground_error_[n] = near_[n] - foreground_estimate_[n];
        background_error_[n] = near_[n] - background_estimate_[n];
    }
    return BlockSums{.near = sum_of_squares(near_),
                     .estimate = sum_of_squares(foreground_estimate_),
                     .foreground = sum_of_squares(foreground_error_),
                     .background = sum_of_squares(background_error_),
                     .far = sum_of_squares(far_block_)};
}

// Normalised gradient step on every block: W0 += mu_k conj(X) E0, mu_k = 0.5 / (P_k + M 1e-4).
// A silent far-end history makes the step exactly zero, so it is skipped.
void EchoCanceller::adapt_background() {
    if (far_.silent()) {
        return;
    }
    std::fill(scratch_.real.begin(), scratch_.real.begin() + kBlock, 0.0f);
    std::copy(background_error_.begin(), background_error_.end(), scratch_.real.begin() + kBlock);
    scratch_.imag.fill(0.0f);
    fft_.forward(scratch_.real, scratch_.imag);
    const float regularisation =
        kStepRegularisationPerPartition * static_cast<float>(far_.partitions());
    const aec::Bins& power_sum = far_.power_sum();
    for (std::size_t k = 0; k < kBinStride; ++k) {
        const float step = kStepNumerator / (power_sum[k] + regularisation);
        gradient_real_[k] = step * scratch_.real[k];
        gradient_imag_[k] = step * scratch_.imag[k];
    }
    background_.adapt(far_, gradient_real_, gradient_imag_);
}

// Keeps the background's partitions causal 256-tap filters, two partitions per block in turn.
void EchoCanceller::constrain_background() {
    for (std::size_t n = 0; n < kConstrainedPerBlock; ++n) {
        background_.constrain(constraint_position_, fft_, scratch_);
        constraint_position_ = (constraint_position_ + 1) % far_.partitions();
    }
}

void EchoCanceller::update_smoothed_powers(const BlockSums& sums) {
    smoothed_.foreground = 0.3f * sums.foreground + 0.7f * smoothed_.foreground;
    smoothed_.background = 0.3f * sums.background + 0.7f * smoothed_.background;
    smoothed_.near = 0.3f * sums.near + 0.7f * smoothed_.near;
    smoothed_.far = 0.1f * sums.far + 0.9f * smoothed_.far;
}

// Promotes the background after two consecutive clearly better blocks, or restores it from the
// foreground when it has diverged. Returns whether the foreground changed.
bool EchoCanceller::select_filter() {
    bool promoted = false;
    if (smoothed_.background < kBackgroundBetterFactor * smoothed_.foreground &&
        smoothed_.background < smoothed_.near) {
        if (++selection_count_ >= kBackgroundBetterBlocks) {
            foreground_.copy_from(background_);
            smoothed_.foreground = smoothed_.background;
            selection_count_ = 0;
            promoted = true;
        }
    } else {
        selection_count_ = 0;
    }
    if (smoothed_.background >
            kBackgroundDivergedFactor * std::max(smoothed_.foreground, kRegulariser) &&
        smoothed_.background > smoothed_.near) {
        background_.copy_from(foreground_);
        smoothed_.background = smoothed_.foreground;
    }
    return promoted;
}

// Peak microphone power while the far end plays, decaying slowly: the scale of the echo.
void EchoCanceller::update_echo_level(bool far_active) {
    if (far_active) {
        echo_level_ = std::max(smoothed_.near, kEchoLevelDecay * echo_level_);
    }
}

// A foreground whose error exceeds twice the microphone power by more than 1 % of the recent echo
// level is discarded. The margin keeps a converged filter when the microphone falls to the noise
// floor in a far-end pause, or before the echo of a sentence onset arrives, while the taps still
// ring out the far-end history: that residual lies tens of dB below the echo, whereas a filter
// whose echo path has changed (inverted, muted, turned down) errs by about the echo itself.
// Returns whether the foreground was discarded.
bool EchoCanceller::guard_foreground_divergence() {
    const float tolerated =
        kForegroundDivergedFactor * smoothed_.near + kForegroundExcessShare * echo_level_;
    if (smoothed_.near > 0.0f && smoothed_.foreground > tolerated) {
        foreground_.reset();
        smoothed_.foreground = smoothed_.near;
        return true;
    }
    return false;
}

// Tracks microphone over error energy only while the echo estimate dominates the microphone.
void EchoCanceller::update_echo_reduction(const BlockSums& sums, bool far_active) {
    if (!far_active || sums.estimate <= 0.5f * sums.near) {
        return;
    }
    near_average_ = kReductionNew * sums.near + (1.0f - kReductionNew) * near_average_;
    error_average_ = kReductionNew * sums.foreground + (1.0f - kReductionNew) * error_average_;
    echo_reduction_db_ =
        10.0f * std::log10((near_average_ + kRegulariser) / (error_average_ + kRegulariser));
}

void EchoCanceller::update_echo_delay() {
    const double block_ms = static_cast<double>(kBlock) * 1000.0 / sample_rate_;
    echo_delay_ms_ =
        static_cast<float>(static_cast<double>(foreground_.strongest_partition()) * block_ms);
}

// Serves every output position from the output queue; positions it cannot serve are 0.0.
void EchoCanceller::deliver(std::span<float, kFrameSamples> output) {
    for (float& sample : output) {
        sample = output_queue_.empty() ? 0.0f : output_queue_.pop_front();
    }
}

}  // namespace amberlin::core
