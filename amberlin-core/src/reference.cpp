#include "reference.h"

#include <algorithm>
#include <cassert>
#include <cmath>

namespace amberlin::core {

namespace {

constexpr double kNanosPerSecond = 1e9;
constexpr double kSafetyMarginNs = 1'500'000.0;  // added to the worst recent lateness
constexpr double kGrowthMarginNs = 2'000'000.0;  // extra when the lookback has to grow
constexpr double kLookbackCeilingNs = 200'000'000.0;
constexpr double kShrinkHysteresisNs = 5'000'000.0;   // shrink only when this much is to gain
constexpr std::int64_t kJitterToleranceSamples = 96;  // 2 ms: larger offsets re-synchronise
constexpr double kDriftSmoothing = 0.05;              // weight of the newest offset
constexpr double kDriftCorrectionSamples = 6.0;       // smoothed offset that moves one sample
// Samples kept behind the read position (0.25 s), truncated to whole samples.
constexpr auto kHistoryBehindSamples =
    static_cast<std::int64_t>(0.25 * ReferenceQueue::kSampleRate);

}  // namespace

ReferenceQueue::ReferenceQueue(std::size_t capacity_samples, std::size_t lag_history_entries)
    : samples_(capacity_samples), lag_history_(lag_history_entries) {}

void ReferenceQueue::push(std::span<const float> samples, std::uint64_t host_time_ns) {
    const std::lock_guard lock(mutex_);
    anchor_ = Anchor{dropped_ + samples_.size(), host_time_ns};
    if (samples.size() >= samples_.capacity()) {
        // Only the newest `capacity` samples of this block can be kept.
        const std::size_t skipped = samples.size() - samples_.capacity();
        discard_oldest(samples_.size());
        dropped_ += skipped;
        samples_.push_back(samples.subspan(skipped));
        return;
    }
    const std::size_t room = samples_.capacity() - samples_.size();
    if (samples.size() > room) {
        discard_oldest(samples.size() - room);
    }
    samples_.push_back(samples);
}

void ReferenceQueue::clear() {
    const std::lock_guard lock(mutex_);
    discard_oldest(samples_.size());
    anchor_.reset();
    lag_history_.clear();
    next_read_.reset();
    lookback_ns_ = 0.0;
    drift_ = 0.0;
}

bool ReferenceQueue::read_at(std::span<float> destination, std::uint64_t capture_time_ns) {
    std::fill(destination.begin(), destination.end(), 0.0f);
    const std::lock_guard lock(mutex_);
    if (!anchor_) {
        return false;
    }
    const double lag = record_lag(destination.size(), capture_time_ns);
    const bool jumped = update_lookback(lag);
    const std::int64_t start = smoothed_start(computed_start(capture_time_ns), jumped);
    next_read_ = start + static_cast<std::int64_t>(destination.size());
    const bool found = copy_buffered(destination, start);
    trim_behind(start);
    return found;
}

double ReferenceQueue::lookback_ns(const std::unique_lock<std::mutex>& held) const noexcept {
    check_held(held);
    return lookback_ns_;
}

std::size_t ReferenceQueue::buffered_samples(
    const std::unique_lock<std::mutex>& held) const noexcept {
    check_held(held);
    return samples_.size();
}

std::uint64_t ReferenceQueue::oldest_index(
    const std::unique_lock<std::mutex>& held) const noexcept {
    check_held(held);
    return dropped_;
}

void ReferenceQueue::check_held(
    [[maybe_unused]] const std::unique_lock<std::mutex>& held) const noexcept {
    assert(held.owns_lock() && held.mutex() == &mutex_);
}

void ReferenceQueue::discard_oldest(std::size_t count) {
    samples_.drop_front(count);
    dropped_ += count;
}

// Lateness of the newest buffered sample behind the end of the capture frame (ns, >= 0), added
// to the lag history. Returns the lag.
double ReferenceQueue::record_lag(std::size_t frame_samples, std::uint64_t capture_time_ns) {
    const std::uint64_t end = dropped_ + samples_.size();
    const double reference_end_ns =
        static_cast<double>(anchor_->host_time_ns) +
        static_cast<double>(end - anchor_->index) * kNanosPerSecond / kSampleRate;
    const double capture_end_ns =
        static_cast<double>(capture_time_ns) +
        static_cast<double>(frame_samples) * kNanosPerSecond / kSampleRate;
    const double lag = std::max(capture_end_ns - reference_end_ns, 0.0);
    if (lag_history_.full()) {
        lag_history_.drop_front(1);
    }
    lag_history_.push_back(lag);
    return lag;
}

// Grows the lookback at once past a new worst lateness; shrinks it only when a full history shows
// that much less suffices. Returns whether the lookback jumped.
bool ReferenceQueue::update_lookback(double lag) {
    double worst = 0.0;
    for (std::size_t i = 0; i < lag_history_.size(); ++i) {
        worst = std::max(worst, lag_history_[i]);
    }
    const double target = std::min(worst + kSafetyMarginNs, kLookbackCeilingNs);
    if (lag > lookback_ns_) {
        lookback_ns_ = std::min(target + kGrowthMarginNs, kLookbackCeilingNs);
        return true;
    }
    if (target < lookback_ns_ - kShrinkHysteresisNs && lag_history_.full()) {
        lookback_ns_ = target;
        return true;
    }
    return false;
}

// Absolute index of the reference sample played `lookback` before the capture time.
std::int64_t ReferenceQueue::computed_start(std::uint64_t capture_time_ns) const {
    const double since_anchor_ns = (static_cast<double>(capture_time_ns) - lookback_ns_) -
                                   static_cast<double>(anchor_->host_time_ns);
    const double offset = std::round(kSampleRate * since_anchor_ns / kNanosPerSecond);
    return static_cast<std::int64_t>(offset) + static_cast<std::int64_t>(anchor_->index);
}

// Continues exactly where the previous frame ended unless the timeline moved: small offsets are
// smoothed and corrected one sample at a time, large ones and lookback jumps re-synchronise.
std::int64_t ReferenceQueue::smoothed_start(std::int64_t computed, bool jumped) {
    if (jumped || !next_read_) {
        drift_ = 0.0;
        return computed;
    }
    const std::int64_t diff = computed - *next_read_;
    if (diff > kJitterToleranceSamples || diff < -kJitterToleranceSamples) {
        drift_ = 0.0;
        return computed;
    }
    drift_ = kDriftSmoothing * static_cast<double>(diff) + (1.0 - kDriftSmoothing) * drift_;
    if (drift_ >= kDriftCorrectionSamples) {
        drift_ -= 1.0;
        return *next_read_ + 1;
    }
    if (drift_ <= -kDriftCorrectionSamples) {
        drift_ += 1.0;
        return *next_read_ - 1;
    }
    return *next_read_;
}

bool ReferenceQueue::copy_buffered(std::span<float> destination, std::int64_t start) const {
    const auto oldest = static_cast<std::int64_t>(dropped_);
    const auto newest_end = oldest + static_cast<std::int64_t>(samples_.size());
    const std::int64_t first = std::clamp(start, oldest, newest_end);
    const std::int64_t last =
        std::clamp(start + static_cast<std::int64_t>(destination.size()), oldest, newest_end);
    for (std::int64_t index = first; index < last; ++index) {
        destination[static_cast<std::size_t>(index - start)] =
            samples_[static_cast<std::size_t>(index - oldest)];
    }
    return first < last;
}

// Keeps 0.25 s of reference behind the read position and discards anything older.
void ReferenceQueue::trim_behind(std::int64_t start) {
    const std::int64_t excess =
        (start - static_cast<std::int64_t>(dropped_)) - kHistoryBehindSamples;
    if (excess > 0) {
        discard_oldest(std::min(static_cast<std::size_t>(excess), samples_.size()));
    }
}

}  // namespace amberlin::core
