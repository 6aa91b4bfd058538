// Far-end (speaker) reference queue: buffers what the computer plays and hands the echo canceller
// a reference frame lined up in time with each microphone frame.
//
// Far-end audio arrives in blocks of any length, each stamped with the host time (ns) of its first
// sample; microphone frames are stamped with the capture time of their first sample. Both are
// mapped onto one absolute far-end sample timeline (index = far-end samples received before that
// sample). The queue keeps an adaptive lookback that covers the worst recent lateness of the
// reference and smooths the read position so timestamp jitter does not make the reference jump.
//
// Threads: `push` runs on the far-end capture thread; `read_at`, `clear` and the lookback read run
// on the processing thread. Every operation holds the queue's mutex for its whole (short, bounded)
// duration and nothing blocks inside it; that mutex is the only lock of the voice core. Nothing
// allocates after construction.
#ifndef AMBERLIN_CORE_REFERENCE_H
#define AMBERLIN_CORE_REFERENCE_H

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>

#include "fixed_ring.h"

namespace amberlin::core {

/// Time-aligning buffer of far-end samples shared by the far-end thread and the processing thread.
class ReferenceQueue {
  public:
    /// Far-end sample rate (Hz) of every pushed block and of the capture timeline.
    static constexpr double kSampleRate = 48000.0;

    /// Holds at most `capacity_samples` far-end samples (48 000 = 1 s in the pipeline) and the
    /// lateness of the last `lag_history_entries` reads (300 = 3 s of 10 ms frames). Both are
    /// raised to at least 1.
    ReferenceQueue(std::size_t capacity_samples, std::size_t lag_history_entries);

    ReferenceQueue(const ReferenceQueue&) = delete;
    ReferenceQueue& operator=(const ReferenceQueue&) = delete;

    /// Appends far-end samples whose first sample was played at `host_time_ns`; when the buffer
    /// overflows, the oldest samples are discarded. Far-end thread.
    void push(std::span<const float> samples, std::uint64_t host_time_ns);

    /// Forgets all buffered audio and timing; absolute sample indices keep counting. Processing
    /// thread.
    void clear();

    /// Fills `destination` with the reference for the capture frame whose first sample was
    /// captured at `capture_time_ns`; positions with no buffered reference are 0.0. Returns true
    /// when at least one sample came from the buffer. Processing thread.
    bool read_at(std::span<float> destination, std::uint64_t capture_time_ns);

    /// The mutex guarding the queue. Lock it to read `lookback_ns` or the buffer state:
    ///   std::unique_lock lock(queue.mutex()); double ms = queue.lookback_ns(lock) / 1e6;
    [[nodiscard]] std::mutex& mutex() const noexcept { return mutex_; }

    /// Current lookback in ns (0 after construction and `clear`, at most 200 ms). `held` must own
    /// `mutex()`; that is checked in debug builds.
    [[nodiscard]] double lookback_ns(const std::unique_lock<std::mutex>& held) const noexcept;

    /// Number of buffered far-end samples; `held` must own `mutex()`.
    [[nodiscard]] std::size_t buffered_samples(
        const std::unique_lock<std::mutex>& held) const noexcept;

    /// Absolute index of the oldest buffered sample (it only grows); `held` must own `mutex()`.
    [[nodiscard]] std::uint64_t oldest_index(
        const std::unique_lock<std::mutex>& held) const noexcept;

  private:
    /// Index and host time (ns) of the first sample of the most recent push.
    struct Anchor {
        std::uint64_t index;
        std::uint64_t host_time_ns;
    };

    void check_held(const std::unique_lock<std::mutex>& held) const noexcept;
    void discard_oldest(std::size_t count);
    double record_lag(std::size_t frame_samples, std::uint64_t capture_time_ns);
    bool update_lookback(double lag);
    std::int64_t computed_start(std::uint64_t capture_time_ns) const;
    std::int64_t smoothed_start(std::int64_t computed, bool jumped);
    bool copy_buffered(std::span<float> destination, std::int64_t start) const;
    void trim_behind(std::int64_t start);

    mutable std::mutex mutex_;
    std::optional<Anchor> anchor_;
    std::optional<std::int64_t> next_read_;
    FixedRing<float> samples_;
    FixedRing<double> lag_history_;
    std::uint64_t dropped_ = 0;
    double lookback_ns_ = 0.0;
    double drift_ = 0.0;
};

}  // namespace amberlin::core

#endif
