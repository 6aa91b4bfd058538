// The properties a PulseAudio source or sink answers as an audio device: 'uid ' (the server's
// name), 'lnam' (its description), 'slay' (one buffer of the sample spec's channels on the
// device's side, none on the other), 'nsrt' and 'nsr#' (the sample spec's rate, the only one),
// 'fsiz' (the fragment size the device asks for) with its range 'fsz#', and 'livn' (1: a listed
// device is alive).
#ifndef CORVESSA_PLATFORM_PULSE_DEVICE_PROPERTIES_H
#define CORVESSA_PLATFORM_PULSE_DEVICE_PROPERTIES_H

#include "PulseDeviceTable.h"
#include "platform/AudioHardware.h"

namespace platform::pulse {

/// Fragment sizes a device accepts as its buffer frame size, in frames.
inline constexpr AudioValueRange kBufferFrameRange{32.0, 8192.0};

bool hasProperty(const PulseDevice& device, const AudioObjectPropertyAddress& address) noexcept;
OSStatus getPropertyDataSize(const PulseDevice& device, const AudioObjectPropertyAddress& address,
                             UInt32& outSize) noexcept;
OSStatus getPropertyData(const PulseDevice& device, const AudioObjectPropertyAddress& address,
                         UInt32& ioSize, void* outData) noexcept;

}  // namespace platform::pulse

#endif
