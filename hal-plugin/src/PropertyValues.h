// Value producers behind the property table: each writes one property's value to `out`, which
// holds at least the size the table states for the query.
//
// String values are newly created string objects (one reference, which the caller releases).
#ifndef CORVESSA_HAL_PROPERTY_VALUES_H
#define CORVESSA_HAL_PROPERTY_VALUES_H

#include "PropertyTable.h"
#include "platform/CoreAudioTypes.h"

namespace corvessa::hal::values {

/// Writes a plain value byte for byte (the buffer need not be aligned).
template <typename T>
void store(void* out, const T& value) noexcept {
    __builtin_memcpy(out, &value, sizeof(T));
}

/// Writes a new UTF-8 string object for `text`.
void storeString(void* out, const char* text) noexcept;

/// Class, base class and owner of each object.
AudioClassID classOf(AudioObjectID object) noexcept;
AudioClassID baseClassOf(AudioObjectID object) noexcept;
AudioObjectID ownerOf(AudioObjectID object) noexcept;
/// Name of each object: the stream has its own.
const char* nameOf(AudioObjectID object) noexcept;

/// The object `query.object` owns after the class filter of the qualifier, or kAudioObjectUnknown.
AudioObjectID ownedObject(const PropertyQuery& query) noexcept;
/// The device ID when the qualifier holds a string equal to the device UID, else 0.
AudioObjectID deviceForUID(const PropertyQuery& query) noexcept;
/// Whether the query's scope is the input scope.
bool isInputScope(const PropertyQuery& query) noexcept;
/// 1 while any client runs IO, else 0.
UInt32 deviceIsRunning() noexcept;
/// The stream configuration: one buffer with 1 channel in the input scope, 0 otherwise.
void storeStreamConfiguration(const PropertyQuery& query, void* out) noexcept;

}  // namespace corvessa::hal::values

#endif
