// Soak consumer: IO cycles through the driver interface and the per-piece frame check.
#include "SoakConsumer.h"

#include <algorithm>

namespace corvessa::soak {

SoakConsumer::SoakConsumer(audioserver::HostedDevice device, const FrameLedger& ledger,
                           am_shared_ring* ring)
    : device_(device), ledger_(ledger), ring_(ring) {}

void SoakConsumer::cycle(double sampleTime) {
    AudioServerPlugInIOCycleInfo info{};
    info.mIOCycleCounter = tally_.cycles;
    info.mNominalIOBufferFrameSize = kCycleFrames;
    info.mInputTime.mSampleTime = sampleTime;
    const std::uint64_t before = am_shared_ring_health(ring_).underrun_count;
    const OSStatus status = device_.readInput(buffer_, info);
    const std::uint64_t after = am_shared_ring_health(ring_).underrun_count;
    ++tally_.cycles;
    if (status != kAudioHardwareNoError) {
        ++tally_.failedCycles;
        return;
    }
    take(buffer_.data(), kCycleFrames, after != before);
}

void SoakConsumer::take(const float* samples, std::uint32_t count, bool emptyRead) {
    while (count > 0) {
        if (pieceFill_ == 0) {  // the plug-in read the ring for this piece in this cycle
            pieceFromEmptyRing_ = emptyRead;
            if (emptyRead) {
                ++tally_.emptyReads;
                tally_.emptyReadsWarmUp += tally_.cycles <= kWarmUpCycles ? 1 : 0;
            } else {
                ++tally_.framesRead;
            }
        }
        const std::uint32_t run =
            std::min<std::uint32_t>(count, static_cast<std::uint32_t>(piece_.size()) - pieceFill_);
        std::copy_n(samples, run, piece_.begin() + pieceFill_);
        pieceFill_ += run;
        samples += run;
        count -= run;
        if (pieceFill_ == piece_.size()) {
            checkPiece();
            pieceFill_ = 0;
        }
    }
}

void SoakConsumer::checkPiece() {
    if (pieceFromEmptyRing_) {
        const bool silent =
            std::all_of(piece_.begin(), piece_.end(), [](float x) { return x == 0.0f; });
        tally_.tornFrames += silent ? 0 : 1;
        return;
    }
    const std::optional<std::uint64_t> number = ledger_.match(piece_, tally_.lastFrame);
    if (!number) {
        ++tally_.tornFrames;
        return;
    }
    tally_.framesSkipped += *number - (tally_.lastFrame ? *tally_.lastFrame + 1 : 0);
    tally_.lastFrame = number;
    ++tally_.framesVerified;
}

}  // namespace corvessa::soak
