// The device's IO side: running clients, the consumer handle on the shared ring and the input
// operation that hands out ring frames sample by sample.
//
// Threads: `startIO`/`stopIO`/`ensure_shared_ring` run on control threads; `readInput` runs
// only on the device's IO thread and never allocates, locks or makes a system call.
// `runningClientCount` may be read from any thread.
#ifndef CORVESSA_HAL_DEVICE_IO_H
#define CORVESSA_HAL_DEVICE_IO_H

#include "platform/CoreAudioTypes.h"

namespace corvessa::hal {

/// Opens the consumer handle on "/amvmic" (creating the object if needed) unless it is open;
/// a failed open leaves it closed so the next call tries again.
void ensure_shared_ring() noexcept;

/// One more client runs IO: re-anchors the clock, opens the ring if needed and publishes the
/// running-client count into the ring.
void startIO() noexcept;

/// One client fewer runs IO (never below zero); publishes the count into the ring.
void stopIO() noexcept;

/// Number of clients that started IO and have not stopped it.
UInt32 runningClientCount() noexcept;

/// Fills `frames` samples of `out` from the current ring frame, taking the next frame from the
/// ring (at most three buffered, silence when empty) whenever the current one is used up. A
/// partly used frame carries over to the next call.
void readInput(Float32* out, UInt32 frames) noexcept;

}  // namespace corvessa::hal

#endif
