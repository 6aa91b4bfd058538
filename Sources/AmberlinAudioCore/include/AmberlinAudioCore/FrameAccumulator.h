// Cuts a stream of 48 kHz mono samples into 480-sample frames stamped with the host time (ns) of
// their first sample, with a capped backlog.
//
// Each appended block re-anchors the clock at the block's capture time: the samples still pending
// are taken to precede the block immediately. Frames of one anchor are exactly 10 ms apart.
//
// Memory: the backlog is preallocated at construction and never grows, so appending and taking
// frames never allocate. Threads: one thread at a time (the pipeline's processing queue).
#ifndef AMBERLINAUDIOCORE_FRAMEACCUMULATOR_H
#define AMBERLINAUDIOCORE_FRAMEACCUMULATOR_H

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "AmberlinAudioCore/AudioFrame.h"

namespace amberlin {

/// Backlog of 48 kHz mono samples waiting to become frames, with the time of the first one.
class FrameAccumulator {
  public:
    /// Most samples kept pending after a block is appended (250 ms at 48 kHz).
    static constexpr std::size_t maximumBacklog = 12000;
    /// Duration of one sample at 48 kHz, in ns (10^9 / 48000).
    static constexpr double nanosPerSample = 1e9 / 48000.0;
    /// Duration of one frame, in ns (exactly 10 ms).
    static constexpr double nanosPerFrame = 10'000'000.0;

    /// An empty backlog whose start time is 0.
    FrameAccumulator();

    /// Re-anchors the start time at `captureNanos` minus the pending samples' duration, appends
    /// `samples` and, beyond maximumBacklog, drops the oldest samples and advances the start time
    /// by their duration. An empty block only re-anchors.
    void append(std::span<const float> samples, std::uint64_t captureNanos);

    /// Takes the oldest 480 samples into `frame` with the start time clamped at 0 (truncated to
    /// whole ns) in `hostTimeNanos`, and advances the start time by 10 ms; false (nothing
    /// changed) when fewer than 480 samples are pending.
    bool takeFrame(AudioFrame& frame, std::uint64_t& hostTimeNanos);

    /// Samples waiting to become frames.
    std::size_t pendingSamples() const noexcept { return count_; }
    /// Host time of the first pending sample, in ns; may be negative after an early anchor.
    double startNanos() const noexcept { return startNanos_; }

    /// Drops every pending sample (the storage stays allocated).
    void clear() noexcept;

  private:
    void compact() noexcept;

    std::vector<float> storage_;  // maximumBacklog samples
    std::size_t head_ = 0;        // index of the first pending sample in storage_
    std::size_t count_ = 0;       // pending samples
    double startNanos_ = 0.0;     // ns
};

}  // namespace amberlin

#endif
