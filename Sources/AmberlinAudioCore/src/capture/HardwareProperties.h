// Typed reads and writes of audio-object properties through the AudioObject* calls, as the
// device manager needs them. Every read reports failure as an empty result, never by throwing
// a platform status.
#ifndef AMBERLINAUDIOCORE_HARDWAREPROPERTIES_H
#define AMBERLINAUDIOCORE_HARDWAREPROPERTIES_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/AudioHardware.h"

namespace amberlin::hardware {

/// The address of `selector` in `scope` on the main element.
AudioObjectPropertyAddress address(
    AudioObjectPropertySelector selector,
    AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal);

/// Every device id of the system object, in the system's order; none when the list cannot be
/// sized or read.
std::optional<std::vector<AudioObjectID>> deviceIDs();

/// The system default input device id; none when it cannot be read.
std::optional<AudioObjectID> defaultInputDevice();

/// Writes `device` as the system default input; true when the write reports no error.
bool setDefaultInputDevice(AudioObjectID device);

/// Input channels of `device` summed over its input stream configuration; none when the
/// configuration cannot be sized or read.
std::optional<std::uint64_t> inputChannelCount(AudioObjectID device);

/// A string property of `object` (global scope); none when the read fails or yields no string.
std::optional<std::string> stringProperty(AudioObjectID object,
                                          AudioObjectPropertySelector selector);

}  // namespace amberlin::hardware

#endif
