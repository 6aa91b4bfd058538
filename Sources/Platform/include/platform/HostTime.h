// Host time: the host clock's current tick count and conversions between ticks and nanoseconds.
//
// The clock and its timebase are those of platform/HostClock.h (CLOCK_MONOTONIC nanoseconds
// unless a test or a simulated audio system installs its own source). Every function is lock-free,
// allocation-free and safe on a real-time thread.
#ifndef CORVESSA_PLATFORM_HOST_TIME_H
#define CORVESSA_PLATFORM_HOST_TIME_H

#include "platform/CoreAudioTypes.h"

extern "C" {
/// Current host time in ticks.
UInt64 AudioGetCurrentHostTime(void) noexcept;
/// Host ticks to nanoseconds (rounded down; no overflow for any 64-bit result).
UInt64 AudioConvertHostTimeToNanos(UInt64 hostTime) noexcept;
/// Nanoseconds to host ticks (rounded down).
UInt64 AudioConvertNanosToHostTime(UInt64 nanos) noexcept;
}

#endif
