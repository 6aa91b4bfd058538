// The device clock: zero time stamps that tie the device's sample timeline to the host clock.
//
// Every period of 16 384 frames the timeline crosses a zero time stamp; the host extrapolates
// between them. A reset (Initialize, every StartIO) re-anchors the timeline at the current host
// time and starts a new seed, telling the host to discard what it had learned.
//
// Threads: `reset_zero_time_stamp` runs on control threads (serialised among themselves by a
// mutex); `currentZeroTimeStamp` runs on the device's IO thread and takes no lock, allocates
// nothing and makes no system call beyond reading the host clock. The anchor crosses between
// them through a sequence counter (seqlock), so the IO thread never sees half of a reset.
#ifndef CORVESSA_HAL_DEVICE_CLOCK_H
#define CORVESSA_HAL_DEVICE_CLOCK_H

#include "platform/CoreAudioTypes.h"

namespace corvessa::hal {

/// One zero time stamp as reported to the host.
struct ZeroTimeStamp {
    Float64 sampleTime;  ///< frames since the anchor: a whole number of periods
    UInt64 hostTime;     ///< host ticks of that sample time
    UInt64 seed;         ///< timeline identity; changes at every reset
};

/// Anchors the timeline at the current host time, recomputes host ticks per frame from the host
/// timebase and moves to a new seed.
void reset_zero_time_stamp() noexcept;

/// The latest period boundary at or before the current host time (catching up over any number
/// of elapsed periods).
ZeroTimeStamp currentZeroTimeStamp() noexcept;

}  // namespace corvessa::hal

#endif
