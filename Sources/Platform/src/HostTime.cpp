#include "platform/HostTime.h"

#include "platform/HostClock.h"

extern "C" UInt64 AudioGetCurrentHostTime(void) noexcept {
    return mach_absolute_time();
}

extern "C" UInt64 AudioConvertHostTimeToNanos(UInt64 hostTime) noexcept {
    return platform::hostTicksToNanos(hostTime);
}

extern "C" UInt64 AudioConvertNanosToHostTime(UInt64 nanos) noexcept {
    return platform::nanosToHostTicks(nanos);
}
