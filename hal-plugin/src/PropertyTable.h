// Property protocol of the plug-in, device and stream: one static table maps each selector to
// the objects that have it, the size of its value and the function that writes the value.
//
// Threads: every function may be called from any audio-server thread; values are constants
// except the device's running state, which is read atomically.
#ifndef CORVESSA_HAL_PROPERTY_TABLE_H
#define CORVESSA_HAL_PROPERTY_TABLE_H

#include "platform/CoreAudioTypes.h"

namespace corvessa::hal {

/// One property request as the host states it.
struct PropertyQuery {
    AudioObjectID object;
    AudioObjectPropertyAddress address;
    UInt32 qualifierSize;   ///< bytes at `qualifier`
    const void* qualifier;  ///< may be null
};

/// True when `object` (1, 2 or 3) has the property `selector`, whatever the scope and element.
bool hasProperty(AudioObjectID object, AudioObjectPropertySelector selector) noexcept;

/// Size in bytes of the property's value for this query; 0 for a property the object lacks.
UInt32 propertyDataSize(const PropertyQuery& query) noexcept;

/// Writes the value of an existing property: an empty value reports size 0 and succeeds; a null
/// out pointer is 'nope'; a buffer of fewer than the value's bytes is '!siz'.
OSStatus copyPropertyData(const PropertyQuery& query, UInt32 bufferSize, UInt32* outSize,
                          void* outData) noexcept;

}  // namespace corvessa::hal

#endif
