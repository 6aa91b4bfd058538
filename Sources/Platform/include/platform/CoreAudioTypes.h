// Audio-object value types and status codes shared by the audio-server plug-in and its host.
//
// Layouts are the platform's: every structure that crosses the driver interface is pinned with
// static_assert so the plug-in and the host agree byte for byte.
#ifndef CORVESSA_PLATFORM_CORE_AUDIO_TYPES_H
#define CORVESSA_PLATFORM_CORE_AUDIO_TYPES_H

#include <cstddef>
#include <cstdint>

using UInt8 = std::uint8_t;
using UInt32 = std::uint32_t;
using SInt32 = std::int32_t;
using UInt64 = std::uint64_t;
using Float32 = float;
using Float64 = double;
using Boolean = unsigned char;
using OSStatus = SInt32;
using AudioObjectID = UInt32;
using AudioClassID = UInt32;
using AudioObjectPropertySelector = UInt32;
using AudioObjectPropertyScope = UInt32;
using AudioObjectPropertyElement = UInt32;
using AudioFormatID = UInt32;
using AudioFormatFlags = UInt32;

namespace platform {

/// Packs a four-character code such as "glob" into its big-endian-ordered u32 ('g' highest).
constexpr UInt32 fourCC(const char (&code)[5]) {
    return (static_cast<UInt32>(static_cast<unsigned char>(code[0])) << 24) |
           (static_cast<UInt32>(static_cast<unsigned char>(code[1])) << 16) |
           (static_cast<UInt32>(static_cast<unsigned char>(code[2])) << 8) |
           static_cast<UInt32>(static_cast<unsigned char>(code[3]));
}

}  // namespace platform

// Status codes returned through the driver interface.
inline constexpr OSStatus kAudioHardwareNoError = 0;
inline constexpr OSStatus kAudioHardwareBadObjectError =
    static_cast<OSStatus>(platform::fourCC("!obj"));
inline constexpr OSStatus kAudioHardwareUnknownPropertyError =
    static_cast<OSStatus>(platform::fourCC("who?"));
inline constexpr OSStatus kAudioHardwareBadPropertySizeError =
    static_cast<OSStatus>(platform::fourCC("!siz"));
inline constexpr OSStatus kAudioHardwareUnsupportedOperationError =
    static_cast<OSStatus>(platform::fourCC("nope"));
inline constexpr OSStatus kAudioHardwareUnspecifiedError =
    static_cast<OSStatus>(platform::fourCC("what"));

// Well-known object IDs and property address parts.
inline constexpr AudioObjectID kAudioObjectUnknown = 0;
inline constexpr AudioObjectID kAudioObjectPlugInObject = 1;
inline constexpr AudioObjectPropertyScope kAudioObjectPropertyScopeGlobal =
    platform::fourCC("glob");
inline constexpr AudioObjectPropertyScope kAudioObjectPropertyScopeInput = platform::fourCC("inpt");
inline constexpr AudioObjectPropertyScope kAudioObjectPropertyScopeOutput =
    platform::fourCC("outp");
inline constexpr AudioObjectPropertyElement kAudioObjectPropertyElementMain = 0;

// Object classes.
inline constexpr AudioClassID kAudioObjectClassID = platform::fourCC("aobj");
inline constexpr AudioClassID kAudioObjectClassIDWildcard = platform::fourCC("****");
inline constexpr AudioClassID kAudioPlugInClassID = platform::fourCC("aplg");
inline constexpr AudioClassID kAudioDeviceClassID = platform::fourCC("adev");
inline constexpr AudioClassID kAudioStreamClassID = platform::fourCC("astr");

// Property values with names of their own.
inline constexpr UInt32 kAudioDeviceTransportTypeVirtual = platform::fourCC("virt");
inline constexpr UInt32 kAudioStreamTerminalTypeMicrophone = platform::fourCC("micr");
inline constexpr AudioFormatID kAudioFormatLinearPCM = platform::fourCC("lpcm");
inline constexpr AudioFormatFlags kAudioFormatFlagIsFloat = 1u << 0;
inline constexpr AudioFormatFlags kAudioFormatFlagIsPacked = 1u << 3;

/// Names one property of an object: what (selector), which side (scope), which channel (element).
struct AudioObjectPropertyAddress {
    AudioObjectPropertySelector mSelector;
    AudioObjectPropertyScope mScope;
    AudioObjectPropertyElement mElement;
};
static_assert(sizeof(AudioObjectPropertyAddress) == 12);

/// Format of one stream's samples (40 bytes).
struct AudioStreamBasicDescription {
    Float64 mSampleRate;  ///< frames per second
    AudioFormatID mFormatID;
    AudioFormatFlags mFormatFlags;
    UInt32 mBytesPerPacket;
    UInt32 mFramesPerPacket;
    UInt32 mBytesPerFrame;
    UInt32 mChannelsPerFrame;
    UInt32 mBitsPerChannel;
    UInt32 mReserved;
};
static_assert(sizeof(AudioStreamBasicDescription) == 40);
static_assert(offsetof(AudioStreamBasicDescription, mFormatID) == 8);
static_assert(offsetof(AudioStreamBasicDescription, mBitsPerChannel) == 32);

/// Closed range of values, e.g. sample rates in Hz or buffer sizes in frames (16 bytes).
struct AudioValueRange {
    Float64 mMinimum;
    Float64 mMaximum;
};
static_assert(sizeof(AudioValueRange) == 16);

/// A stream format together with the sample rates it supports (56 bytes).
struct AudioStreamRangedDescription {
    AudioStreamBasicDescription mFormat;
    AudioValueRange mSampleRateRange;
};
static_assert(sizeof(AudioStreamRangedDescription) == 56);
static_assert(offsetof(AudioStreamRangedDescription, mSampleRateRange) == 40);

/// One buffer of interleaved channels (16 bytes).
struct AudioBuffer {
    UInt32 mNumberChannels;
    UInt32 mDataByteSize;  ///< bytes at mData
    void* mData;
};
static_assert(sizeof(AudioBuffer) == 16);

/// A counted list of buffers; with one buffer it is 24 bytes.
struct AudioBufferList {
    UInt32 mNumberBuffers;
    AudioBuffer mBuffers[1];
};
static_assert(sizeof(AudioBufferList) == 24);
static_assert(offsetof(AudioBufferList, mBuffers) == 8);

/// A point on a device timeline: sample time and the host time that corresponds to it.
struct AudioTimeStamp {
    Float64 mSampleTime;  ///< frames on the device timeline
    UInt64 mHostTime;     ///< host clock ticks
    Float64 mRateScalar;  ///< actual over nominal rate
    UInt64 mWordClockTime;
    UInt32 mFlags;
    UInt32 mReserved;
};
static_assert(sizeof(AudioTimeStamp) == 40);

#endif
