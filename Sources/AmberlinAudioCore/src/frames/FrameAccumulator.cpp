// Framing of the 48 kHz mono stream with clock re-anchoring and a capped backlog.
#include "AmberlinAudioCore/FrameAccumulator.h"

#include <algorithm>
#include <cstring>

namespace amberlin {
namespace {

constexpr auto kFrameLength = static_cast<std::size_t>(AudioFrame::frameLength);

}  // namespace

FrameAccumulator::FrameAccumulator() : storage_(maximumBacklog, 0.0f) {}

void FrameAccumulator::append(std::span<const float> samples, std::uint64_t captureNanos) {
    startNanos_ = static_cast<double>(captureNanos) - static_cast<double>(count_) * nanosPerSample;
    // Samples beyond the cap are dropped oldest first: from the backlog, then from the block.
    const std::size_t total = count_ + samples.size();
    const std::size_t dropped = total > maximumBacklog ? total - maximumBacklog : 0;
    const std::size_t fromBacklog = std::min(dropped, count_);
    head_ += fromBacklog;
    count_ -= fromBacklog;
    samples = samples.subspan(dropped - fromBacklog);
    startNanos_ += static_cast<double>(dropped) * nanosPerSample;
    compact();
    std::copy(samples.begin(), samples.end(),
              storage_.begin() + static_cast<std::ptrdiff_t>(count_));
    count_ += samples.size();
}

bool FrameAccumulator::takeFrame(AudioFrame& frame, std::uint64_t& hostTimeNanos) {
    if (count_ < kFrameLength) {
        return false;
    }
    std::memcpy(frame.samples.data(), storage_.data() + head_, kFrameLength * sizeof(float));
    head_ += kFrameLength;
    count_ -= kFrameLength;
    hostTimeNanos = startNanos_ <= 0.0 ? 0 : static_cast<std::uint64_t>(startNanos_);
    startNanos_ += nanosPerFrame;
    return true;
}

void FrameAccumulator::clear() noexcept {
    head_ = 0;
    count_ = 0;
}

void FrameAccumulator::compact() noexcept {
    if (head_ != 0 && count_ != 0) {
        std::memmove(storage_.data(), storage_.data() + head_, count_ * sizeof(float));
    }
    head_ = 0;
}

}  // namespace amberlin
