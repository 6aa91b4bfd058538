// The plug-in's fixed object tree and the device's constant facts.
//
// Nothing is created or destroyed at run time: the plug-in object owns one device, which owns
// one mono 48 kHz float input stream.
#ifndef CORVESSA_HAL_PLUGIN_OBJECTS_H
#define CORVESSA_HAL_PLUGIN_OBJECTS_H

#include "platform/CoreAudioTypes.h"

namespace corvessa::hal {

inline constexpr AudioObjectID kPlugInObjectID = kAudioObjectPlugInObject;  // 1
inline constexpr AudioObjectID kDeviceObjectID = 2;
inline constexpr AudioObjectID kStreamObjectID = 3;

inline constexpr char kDeviceName[] = "Corvessa Mic";
inline constexpr char kStreamName[] = "Corvessa Mic Stream";
inline constexpr char kManufacturer[] = "Halvern Labs";
inline constexpr char kModelName[] = "Corvessa Virtual Microphone";
inline constexpr char kElementCategoryName[] = "Input";
inline constexpr char kElementNumberName[] = "1";
inline constexpr char kBundleID[] = "com.halvern.corvessa.driver";
inline constexpr char kDeviceUID[] = "com.halvern.corvessa.mic.device";
inline constexpr char kModelUID[] = "com.halvern.corvessa.mic.model";

inline constexpr Float64 kSampleRate = 48'000.0;              // Hz
inline constexpr UInt32 kRingFrameLength = 480;               // samples, 10 ms
inline constexpr UInt32 kRingCapacity = 32;                   // frames
inline constexpr UInt32 kMaxBufferedFrames = 3;               // consumer latency bound
inline constexpr UInt32 kZeroTimeStampPeriod = 16'384;        // frames per clock period
inline constexpr UInt32 kBufferFrameSize = kRingFrameLength;  // frames per IO cycle
inline constexpr UInt32 kStreamDirectionInput = 1;

/// 48 kHz, mono, packed 32-bit float linear PCM.
inline constexpr AudioStreamBasicDescription kStreamFormat{
    kSampleRate,
    kAudioFormatLinearPCM,
    kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked,
    4,
    1,
    4,
    1,
    32,
    0};

}  // namespace corvessa::hal

#endif
