// The soak's consumer: the hosted plug-in's device read the way the audio server reads it
// (Begin/Do/End IO operation of its own cycle size), with the delivered stream checked frame by
// frame against the ledger of written frames.
//
// The plug-in hands out ring frames back to back, taking the next one whenever 480 samples of
// the current one have been delivered, so the delivered stream splits into 480-sample pieces,
// one per ring read. A cycle shorter than a frame contains at most one such read, so the ring's
// underrun counter, read around each cycle, tells which pieces came from an empty ring. A piece
// from an empty ring must be silence; every other piece must equal one written frame exactly,
// and the frames must come in the order they were written.
//
// Threads: one thread (the soak's driver) makes every call.
#ifndef CORVESSA_BENCH_SOAK_SOAK_CONSUMER_H
#define CORVESSA_BENCH_SOAK_SOAK_CONSUMER_H

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "FrameLedger.h"
#include "amberlin/am_shared_ring.h"
#include "audioserver/HostedDevice.h"

namespace corvessa::soak {

/// What the consumer saw.
struct ConsumerTally {
    std::uint64_t cycles = 0;            ///< IO cycles run
    std::uint64_t failedCycles = 0;      ///< IO operations that returned an error
    std::uint64_t framesRead = 0;        ///< ring reads that returned a frame
    std::uint64_t emptyReads = 0;        ///< ring reads that found the ring empty
    std::uint64_t emptyReadsWarmUp = 0;  ///< of those, in the first second
    std::uint64_t framesVerified = 0;    ///< delivered pieces equal to a written frame
    std::uint64_t tornFrames = 0;        ///< pieces equal to no written frame (or noisy "silence")
    std::uint64_t framesSkipped = 0;     ///< written frames passed over between two reads
    std::optional<std::uint64_t> lastFrame;  ///< number of the last frame received
};

/// Reads the hosted device in fixed cycles and checks what it delivers.
class SoakConsumer {
  public:
    /// Frames per IO cycle; shorter than a ring frame, and not a divisor of it.
    static constexpr std::uint32_t kCycleFrames = 256;
    /// Cycles of the first second, while the latency against the producer settles.
    static constexpr std::uint64_t kWarmUpCycles = 48000 / kCycleFrames;

    /// `ring` is a handle on the same ring the plug-in reads, for its counters only.
    SoakConsumer(audioserver::HostedDevice device, const FrameLedger& ledger, am_shared_ring* ring);

    /// One read-input cycle whose first frame is at device sample time `sampleTime`.
    void cycle(double sampleTime);
    /// The tally so far.
    const ConsumerTally& tally() const noexcept { return tally_; }

  private:
    void take(const float* samples, std::uint32_t count, bool emptyRead);
    void checkPiece();

    audioserver::HostedDevice device_;
    const FrameLedger& ledger_;
    am_shared_ring* ring_;
    std::vector<float> buffer_ = std::vector<float>(kCycleFrames);
    std::array<float, 480> piece_{};
    std::uint32_t pieceFill_ = 0;
    bool pieceFromEmptyRing_ = false;
    ConsumerTally tally_;
};

}  // namespace corvessa::soak

#endif
