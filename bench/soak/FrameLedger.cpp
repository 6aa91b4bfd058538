// Frame ledger: numbering, bounded history and exact matching.
#include "FrameLedger.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace corvessa::soak {

FrameLedger::FrameLedger(std::shared_ptr<amberlin::AudioFrameSink> inner)
    : inner_(std::move(inner)) {}

bool FrameLedger::writeLatest(const amberlin::AudioFrame& frame) {
    const bool stored = inner_->writeLatest(frame);
    if (stored) {
        std::lock_guard lock(mutex_);
        history_.push_back({written_++, frame.samples});
        const auto finite = [](float x) { return std::isfinite(x); };
        nonFinite_ += std::all_of(frame.samples.begin(), frame.samples.end(), finite) ? 0 : 1;
        if (history_.size() > kKept) {
            history_.pop_front();
        }
    }
    changed_.notify_all();
    return stored;
}

std::uint64_t FrameLedger::written() const {
    std::lock_guard lock(mutex_);
    return written_;
}

std::uint64_t FrameLedger::nonFinite() const {
    std::lock_guard lock(mutex_);
    return nonFinite_;
}

bool FrameLedger::waitForWritten(std::uint64_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return written_ >= count; });
}

std::optional<std::uint64_t> FrameLedger::match(std::span<const float> samples,
                                                std::optional<std::uint64_t> after) const {
    std::lock_guard lock(mutex_);
    for (const Entry& entry : history_) {
        if (after && entry.number <= *after) {
            continue;
        }
        // Bit for bit: a NaN or a sign flip of zero would be a difference as well.
        if (samples.size() == entry.samples.size() &&
            std::memcmp(samples.data(), entry.samples.data(), samples.size_bytes()) == 0) {
            return entry.number;
        }
    }
    return std::nullopt;
}

}  // namespace corvessa::soak
