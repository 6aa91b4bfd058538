// A record stream on one source of the server: 32-bit float blocks in the source's own rate and
// channels, each with the host time (ns) at which its first frame was captured.
//
// Timing: a block's first frame was captured before everything that waits in our buffer (this
// block included) arrived, and before that the newest frame spent the source's own latency (as
// the server last reported it) in the source: now minus both is a bound on its capture time that
// late wake-ups (and data still queued in the socket) only loosen. The stream is contiguous
// (gaps the server reports are delivered as silence), so frame n was captured at T0 + n / rate:
// the timeline's origin T0 is the tightest of the bounds, each moved back by its block's frame
// index. The origin may rise by 1000 ppm of the audio's duration to follow a source clock slower
// than the host clock, and it restarts where every bound of the last 100 ms lies more than 20 ms
// above it (the server lost audio). Times therefore follow the frame count, never lie after the
// bound, and always increase. (The stream's interpolated clock is not used: for record streams
// it is only as current as the last timing update.)
//
// The stream never moves to another source: when its source disappears, the stream is killed or
// the server goes away, it ends, and the end handler runs once.
//
// Threads: open() and the destructor run on control threads; the handlers run on the mainloop
// thread with its lock held (so they must not call back into libpulse's blocking calls).
#ifndef CORVESSA_PLATFORM_PULSE_RECORD_STREAM_H
#define CORVESSA_PLATFORM_PULSE_RECORD_STREAM_H

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "PulseConnection.h"
#include "platform/CoreAudioTypes.h"

namespace platform {

/// Turns capture-time bounds into a monotonic, frame-consistent capture timeline (ns).
class PulseCaptureClock {
  public:
    /// How far the origin may rise per frame's duration (source clock slower than ours).
    static constexpr double kDriftAllowance = 1e-3;
    /// Bounds this far above the timeline for kLossWindowNanos mean lost audio, in ns.
    static constexpr double kLossNanos = 20e6;
    static constexpr double kLossWindowNanos = 100e6;

    explicit PulseCaptureClock(double sampleRate) noexcept : nanosPerFrame_(1e9 / sampleRate) {}
    /// The capture time of the next block, of `frames` frames, whose first frame was captured
    /// no later than `boundNanos`; `nowNanos` is the time of the reading.
    std::uint64_t place(double boundNanos, double nowNanos, std::uint32_t frames) noexcept;

  private:
    double nanosPerFrame_;
    double origin_ = 0.0;       // capture time of frame 0, ns
    double framesSoFar_ = 0.0;  // frame index of the next block
    double last_ = -1.0;        // the previous block's time, ns
    bool started_ = false;
    double excessSince_ = -1.0;  // when bounds began to lie far above the timeline (-1: they don't)
    double smallestExcess_ = 0.0;
};

/// What a record stream is opened with.
struct PulseRecordConfig {
    std::string source;           ///< the source's name
    std::uint32_t rate = 48'000;  ///< Hz
    std::uint32_t channels = 1;
    std::uint32_t fragmentFrames = 480;  ///< requested fragment size
    std::string name = "Corvessa capture";
};

/// One connected record stream.
class PulseRecordStream {
  public:
    /// A block: interleaved samples (null: a gap the server reported, to be read as silence),
    /// its frame count and capture time in host ns.
    using BlockHandler = std::function<void(const float*, std::uint32_t, std::uint64_t)>;
    using EndHandler = std::function<void()>;

    /// Connects and waits (bounded) until the stream records; null when it cannot.
    static std::unique_ptr<PulseRecordStream> open(std::shared_ptr<PulseConnection> connection,
                                                   const PulseRecordConfig& config,
                                                   BlockHandler onBlock, EndHandler onEnd);
    /// Disconnects without waiting; no handler runs after this returns.
    ~PulseRecordStream();
    PulseRecordStream(const PulseRecordStream&) = delete;
    PulseRecordStream& operator=(const PulseRecordStream&) = delete;

    /// Asks the server for another fragment size (no wait).
    void setFragmentFrames(std::uint32_t frames);
    /// True once the stream has ended.
    bool ended() const noexcept { return ended_.load(std::memory_order_acquire); }

  private:
    PulseRecordStream(std::shared_ptr<PulseConnection> connection, const PulseRecordConfig& config,
                      BlockHandler onBlock, EndHandler onEnd);
    bool connect();
    void readAvailable();
    double measuredStart(double now) const;
    static void stateChanged(pa_stream* stream, void* self) noexcept;
    static void readable(pa_stream* stream, std::size_t bytes, void* self) noexcept;

    const std::shared_ptr<PulseConnection> connection_;
    const PulseRecordConfig config_;
    const BlockHandler onBlock_;
    const EndHandler onEnd_;
    pa_stream* stream_ = nullptr;
    PulseSignal settled_;  // the stream became ready or ended
    std::atomic<bool> ready_{false};
    std::atomic<bool> ended_{false};
    PulseCaptureClock clock_;  // mainloop thread
};

}  // namespace platform

#endif
