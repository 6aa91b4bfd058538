// IO cycles of a started tap procedure: the device's block copied into a new buffer and handed
// to the procedure's queue, as the system dispatches IO blocks that run on a queue.
#include "SimulatedTapIO.h"

#include <cmath>
#include <utility>

#include "SimulatedIOThread.h"
#include "platform/HostClock.h"
#include "platform/HostTime.h"
#include "platform/SimulatedAudioSystem.h"

namespace platform {
namespace {

/// Host ticks per frame at `rate` Hz under the installed timebase.
double hostTicksPerFrame(Float64 rate) {
    mach_timebase_info_data_t base{1, 1};
    mach_timebase_info(&base);
    const double nanosPerFrame = 1e9 / rate;
    return base.numer == 0 ? nanosPerFrame : nanosPerFrame * base.denom / base.numer;
}

/// A time stamp holding only the current host time.
AudioTimeStamp nowTimeStamp() noexcept {
    AudioTimeStamp now{};
    now.mHostTime = AudioGetCurrentHostTime();
    now.mFlags = kAudioTimeStampHostTimeValid;
    return now;
}

}  // namespace

TapIOCycle::TapIOCycle(SimulatedAudioSystem& system, AudioObjectID device, AudioFormat format,
                       UInt32 bufferFrames, std::unique_ptr<DeviceInputStream> stream,
                       std::shared_ptr<SerialQueue> queue,
                       std::shared_ptr<const AudioDeviceIOBlock> block)
    : system_(system),
      format_(format),
      bufferFrames_(bufferFrames),
      stream_(std::move(stream)),
      queue_(std::move(queue)),
      block_(std::move(block)),
      anchorHostTime_(mach_absolute_time()),
      ticksPerFrame_(hostTicksPerFrame(format.sampleRate())) {
    thread_ =
        std::make_shared<SimulatedIOThread>(system_.ioClock(), format_.sampleRate(),
                                            [this](UInt32 frames) { return runCycle(frames); });
    system_.registerRunningUnit(device, thread_);
}

TapIOCycle::~TapIOCycle() {
    system_.unregisterRunningUnit(thread_.get());
    thread_->stop();
}

UInt32 TapIOCycle::runCycle(UInt32 frames) noexcept {
    frames = frames == 0 ? bufferFrames_ : frames;
    const AudioTimeStamp stamp = inputTimeStamp();
    sampleTime_ += frames;
    try {
        auto buffer = PCMBuffer::make(format_, frames);
        if (!buffer) {
            return frames;  // no memory for this cycle: it is skipped
        }
        readInto(*buffer, frames, stamp);
        queue_->async([block = block_, buffer = std::move(buffer), stamp, now = nowTimeStamp()] {
            AudioBufferList output{0, {}};
            (*block)(&now, buffer->audioBufferList(), &stamp, &output, &stamp);
        });
    } catch (...) {
        // A cycle that cannot be posted is lost, as an overloaded device drops a cycle.
    }
    return frames;
}

AudioTimeStamp TapIOCycle::inputTimeStamp() const noexcept {
    const double offset = std::round(static_cast<double>(sampleTime_) * ticksPerFrame_);
    AudioTimeStamp stamp{};
    stamp.mSampleTime = static_cast<Float64>(sampleTime_);
    stamp.mHostTime = anchorHostTime_ + static_cast<UInt64>(offset);
    stamp.mRateScalar = 1.0;
    stamp.mFlags = kAudioTimeStampSampleTimeValid | kAudioTimeStampRateScalarValid;
    if (system_.hostTimeValid()) {
        stamp.mFlags |= kAudioTimeStampHostTimeValid;
    }
    return stamp;
}

void TapIOCycle::readInto(PCMBuffer& buffer, UInt32 frames, const AudioTimeStamp& stamp) {
    float* const* planes = buffer.floatChannelData();
    const UInt32 channels = format_.channelCount();
    if (format_.isInterleaved()) {
        stream_->read(planes[0], frames, stamp);
    } else {
        scratch_.resize(static_cast<std::size_t>(frames) * channels);
        stream_->read(scratch_.data(), frames, stamp);
        for (UInt32 c = 0; c < channels; ++c) {
            for (UInt32 i = 0; i < frames; ++i) {
                planes[c][i] = scratch_[static_cast<std::size_t>(i) * channels + c];
            }
        }
    }
    buffer.setFrameLength(frames);
}

}  // namespace platform
