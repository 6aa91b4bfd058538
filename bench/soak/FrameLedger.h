// The producer's side of the soak's torn-frame check: a frame sink in front of the shared bridge
// that numbers every frame the ring accepted and keeps the most recent ones, so that the consumer
// can prove each frame it received is, bit for bit, one whole frame that was written, in order.
//
// Comparing the ring's output with the ring's input (after the voice processing) is what makes
// the check independent of the DSP: no marker has to survive the processing.
//
// Threads: the sink calls run on the pipeline's processing queue; `written`, `waitForWritten` and
// `match` run on the driver thread. A mutex guards the history (this is test scaffolding, not a
// real-time path).
#ifndef CORVESSA_BENCH_SOAK_FRAME_LEDGER_H
#define CORVESSA_BENCH_SOAK_FRAME_LEDGER_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <span>

#include "AmberlinAudioCore/VirtualMicBridge.h"

namespace corvessa::soak {

/// Counts and remembers the frames a wrapped sink accepted with writeLatest.
class FrameLedger final : public amberlin::AudioFrameSink {
  public:
    /// Frames kept for matching: the ring holds at most 32, so older ones can never be read.
    static constexpr std::size_t kKept = 64;

    explicit FrameLedger(std::shared_ptr<amberlin::AudioFrameSink> inner);

    void attachProducer() override { inner_->attachProducer(); }
    void detachProducer() override { inner_->detachProducer(); }
    bool write(const amberlin::AudioFrame& frame) override { return inner_->write(frame); }
    /// Writes through, then numbers and keeps the frame when the ring accepted it.
    bool writeLatest(const amberlin::AudioFrame& frame) override;
    void clear() override { inner_->clear(); }

    /// Frames accepted so far.
    std::uint64_t written() const;
    /// Accepted frames holding a NaN or an infinity.
    std::uint64_t nonFinite() const;
    /// Waits until at least `count` frames were accepted; false after `timeout`.
    bool waitForWritten(std::uint64_t count, std::chrono::milliseconds timeout) const;
    /// The number of the oldest kept frame numbered above `after` (none: any) whose samples equal
    /// `samples` exactly; nothing when no kept frame does.
    std::optional<std::uint64_t> match(std::span<const float> samples,
                                       std::optional<std::uint64_t> after) const;

  private:
    struct Entry {
        std::uint64_t number;
        amberlin::AudioFrame::Samples samples;
    };

    std::shared_ptr<amberlin::AudioFrameSink> inner_;
    mutable std::mutex mutex_;  // guards everything below
    mutable std::condition_variable changed_;
    std::deque<Entry> history_;
    std::uint64_t written_ = 0;
    std::uint64_t nonFinite_ = 0;
};

}  // namespace corvessa::soak

#endif
