// Single-producer, single-consumer block queue over two preallocated rings.
#include "AmberlinAudioCore/CaptureBlockQueue.h"

#include <algorithm>
#include <cstring>

namespace amberlin {

CaptureBlockQueue::CaptureBlockQueue(std::size_t sampleCapacity, std::size_t blockCapacity)
    : samples_(std::max<std::size_t>(sampleCapacity, 1), 0.0f),
      blocks_(std::max<std::size_t>(blockCapacity, 1), Block{0, 0, 0}) {}

bool CaptureBlockQueue::push(std::span<const float> samples, std::uint64_t hostTimeNanos) noexcept {
    const std::uint64_t written = samplesWritten_.load(std::memory_order_relaxed);
    const std::uint64_t blocks = blocksWritten_.load(std::memory_order_relaxed);
    const std::uint64_t freeSamples =
        samples_.size() - (written - samplesRead_.load(std::memory_order_acquire));
    const bool blockSlotFree =
        blocks - blocksRead_.load(std::memory_order_acquire) < blocks_.size();
    if (!blockSlotFree || samples.size() > freeSamples) {
        dropped_.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    copyIn(written, samples);
    blocks_[blocks % blocks_.size()] = Block{written, samples.size(), hostTimeNanos};
    samplesWritten_.store(written + samples.size(), std::memory_order_relaxed);
    blocksWritten_.store(blocks + 1, std::memory_order_release);
    return true;
}

std::optional<std::uint64_t> CaptureBlockQueue::pop(std::vector<float>& into) {
    const std::uint64_t read = blocksRead_.load(std::memory_order_relaxed);
    if (read == blocksWritten_.load(std::memory_order_acquire)) {
        return std::nullopt;
    }
    const Block block = blocks_[read % blocks_.size()];
    into.resize(block.count);
    copyOut(block.firstSample, into);
    samplesRead_.store(block.firstSample + block.count, std::memory_order_release);
    blocksRead_.store(read + 1, std::memory_order_release);
    return block.hostTimeNanos;
}

void CaptureBlockQueue::clear() noexcept {
    const std::uint64_t blocks = blocksWritten_.load(std::memory_order_acquire);
    samplesRead_.store(samplesWritten_.load(std::memory_order_acquire), std::memory_order_release);
    blocksRead_.store(blocks, std::memory_order_release);
}

void CaptureBlockQueue::copyIn(std::uint64_t position, std::span<const float> samples) noexcept {
    if (samples.empty()) {
        return;
    }
    const std::size_t start = position % samples_.size();
    const std::size_t first = std::min(samples.size(), samples_.size() - start);
    std::memcpy(samples_.data() + start, samples.data(), first * sizeof(float));
    std::memcpy(samples_.data(), samples.data() + first, (samples.size() - first) * sizeof(float));
}

void CaptureBlockQueue::copyOut(std::uint64_t position, std::span<float> samples) const noexcept {
    if (samples.empty()) {
        return;
    }
    const std::size_t start = position % samples_.size();
    const std::size_t first = std::min(samples.size(), samples_.size() - start);
    std::memcpy(samples.data(), samples_.data() + start, first * sizeof(float));
    std::memcpy(samples.data() + first, samples_.data(), (samples.size() - first) * sizeof(float));
}

}  // namespace amberlin
