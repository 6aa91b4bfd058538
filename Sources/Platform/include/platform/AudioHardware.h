// Audio hardware objects as applications see them: the system object, its devices and their
// properties, read and written through the AudioObject* calls.
//
// Every call goes to the process's installed audio system (platform/AudioSystem.h). Strings
// (UIDs, names) are returned as new CFStringRef objects that the caller releases. The calls are
// null-safe (a null address or size pointer gives kAudio_ParamError), never throw, and may be
// called from any thread; none of them belongs on a real-time thread.
#ifndef CORVESSA_PLATFORM_AUDIO_HARDWARE_H
#define CORVESSA_PLATFORM_AUDIO_HARDWARE_H

#include "platform/AudioObjectProperties.h"
#include "platform/CoreAudioTypes.h"
#include "platform/CoreFoundation.h"

#if defined(__GNUC__)
#define CORVESSA_PLATFORM_API __attribute__((visibility("default")))
#else
#define CORVESSA_PLATFORM_API
#endif

/// The one system object; it owns every device.
inline constexpr AudioObjectID kAudioObjectSystemObject = 1;

// Properties of the system object.
inline constexpr AudioObjectPropertySelector kAudioHardwarePropertyDevices =
    platform::fourCC("dev#");
inline constexpr AudioObjectPropertySelector kAudioHardwarePropertyDefaultInputDevice =
    platform::fourCC("dIn ");
inline constexpr AudioObjectPropertySelector kAudioHardwarePropertyDefaultOutputDevice =
    platform::fourCC("dOut");

// Status codes beyond the plug-in's set.
inline constexpr OSStatus kAudio_ParamError = -50;
inline constexpr OSStatus kAudioHardwareIllegalOperationError =
    static_cast<OSStatus>(platform::fourCC("nope"));
inline constexpr OSStatus kAudioHardwareBadDeviceError =
    static_cast<OSStatus>(platform::fourCC("!dev"));
inline constexpr OSStatus kAudioDeviceUnsupportedFormatError =
    static_cast<OSStatus>(platform::fourCC("!dat"));

// Flags of AudioTimeStamp::mFlags telling which fields hold a value.
inline constexpr UInt32 kAudioTimeStampSampleTimeValid = 1u << 0;
inline constexpr UInt32 kAudioTimeStampHostTimeValid = 1u << 1;
inline constexpr UInt32 kAudioTimeStampRateScalarValid = 1u << 2;

/// 32-bit float, packed, interleaved: the layout every simulated device delivers.
inline constexpr AudioFormatFlags kAudioFormatFlagsNativeFloatPacked =
    kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;

extern "C" {

/// True when `object` has the property at `address` (false for null or unknown objects).
CORVESSA_PLATFORM_API Boolean
AudioObjectHasProperty(AudioObjectID object, const AudioObjectPropertyAddress* address) noexcept;

/// Writes the size in bytes of the property's current value to `outDataSize`.
CORVESSA_PLATFORM_API OSStatus AudioObjectGetPropertyDataSize(
    AudioObjectID object, const AudioObjectPropertyAddress* address, UInt32 qualifierDataSize,
    const void* qualifierData, UInt32* outDataSize) noexcept;

/// Copies the property's value into `outData`, whose size in bytes `ioDataSize` gives; on success
/// `ioDataSize` holds the bytes written. Lists are cut to the whole items that fit; a fixed-size
/// value that does not fit gives kAudioHardwareBadPropertySizeError.
CORVESSA_PLATFORM_API OSStatus AudioObjectGetPropertyData(
    AudioObjectID object, const AudioObjectPropertyAddress* address, UInt32 qualifierDataSize,
    const void* qualifierData, UInt32* ioDataSize, void* outData) noexcept;

/// Sets the property to the `dataSize` bytes at `data`.
CORVESSA_PLATFORM_API OSStatus AudioObjectSetPropertyData(
    AudioObjectID object, const AudioObjectPropertyAddress* address, UInt32 qualifierDataSize,
    const void* qualifierData, UInt32 dataSize, const void* data) noexcept;

}  // extern "C"

#endif
