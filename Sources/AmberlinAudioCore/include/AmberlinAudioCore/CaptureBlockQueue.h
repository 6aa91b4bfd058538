// Hand-off of captured blocks from the capture unit's real-time thread to the processing queue:
// a single-producer, single-consumer queue of variable-length blocks with their capture times.
//
// Samples live in one preallocated ring and each block's extent and time in a second one, so
// pushing never allocates, locks or makes a system call. When either ring is full the newest
// block is dropped and counted: the consumer has fallen more than the ring's span behind, and the
// frame backlog downstream is capped far below that span anyway.
//
// Threads: push() on the producer thread only; pop() and clear() on the consumer thread only
// (clear() while the producer is stopped); droppedBlocks() anywhere. Each side loads the other's
// index with acquire ordering and publishes its own with release ordering.
#ifndef AMBERLINAUDIOCORE_CAPTUREBLOCKQUEUE_H
#define AMBERLINAUDIOCORE_CAPTUREBLOCKQUEUE_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace amberlin {

/// Lock-free FIFO of captured sample blocks.
class CaptureBlockQueue {
  public:
    /// Room for `sampleCapacity` samples in at most `blockCapacity` blocks (both at least 1).
    CaptureBlockQueue(std::size_t sampleCapacity, std::size_t blockCapacity);

    /// Producer: appends a copy of `samples` captured at `hostTimeNanos`; false (the block
    /// dropped and counted) when it does not fit. Real-time safe.
    bool push(std::span<const float> samples, std::uint64_t hostTimeNanos) noexcept;

    /// Consumer: moves the oldest block into `into` (resized; reserve it to the largest block
    /// to keep this allocation-free) and returns its capture time; none when empty.
    std::optional<std::uint64_t> pop(std::vector<float>& into);

    /// Consumer: drops every queued block.
    void clear() noexcept;

    /// Blocks dropped because the queue was full.
    std::uint64_t droppedBlocks() const noexcept {
        return dropped_.load(std::memory_order_relaxed);
    }

  private:
    struct Block {
        std::uint64_t firstSample;  // position in the sample stream
        std::size_t count;          // samples
        std::uint64_t hostTimeNanos;
    };

    void copyIn(std::uint64_t position, std::span<const float> samples) noexcept;
    void copyOut(std::uint64_t position, std::span<float> samples) const noexcept;

    std::vector<float> samples_;
    std::vector<Block> blocks_;
    // Monotonic counts; the ring index is the count modulo the ring's size.
    std::atomic<std::uint64_t> samplesWritten_{0};  // producer
    std::atomic<std::uint64_t> samplesRead_{0};     // consumer
    std::atomic<std::uint64_t> blocksWritten_{0};   // producer
    std::atomic<std::uint64_t> blocksRead_{0};      // consumer
    std::atomic<std::uint64_t> dropped_{0};
};

}  // namespace amberlin

#endif
