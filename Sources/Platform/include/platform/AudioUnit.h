// The capture unit: a hardware-abstraction output unit used in input-only mode, found through the
// component calls and driven through the AudioUnit* / AudioOutputUnit* calls.
//
// Lifecycle: find the component, create an instance, enable input (EnableIO input scope element
// 1) and disable output, bind a device (CurrentDevice), set the client format (StreamFormat
// output scope element 1) and the input callback, Initialize, Start. While started the unit calls
// the input callback on its own real-time thread once per device IO cycle; inside the callback
// AudioUnitRender (element 1) copies the cycle's block into the caller's buffers in the client
// format. Stop, Uninitialize and Dispose undo the steps.
//
// Threads: every call except AudioUnitRender belongs on a control thread and may block briefly
// (Stop and Dispose join the IO thread, so they are never called from the input callback).
// AudioUnitRender is real-time safe and only valid inside the unit's own input callback.
#ifndef CORVESSA_PLATFORM_AUDIO_UNIT_H
#define CORVESSA_PLATFORM_AUDIO_UNIT_H

#include "platform/AudioHardware.h"
#include "platform/CoreAudioTypes.h"

using AudioUnitPropertyID = UInt32;
using AudioUnitScope = UInt32;
using AudioUnitElement = UInt32;
using AudioUnitRenderActionFlags = UInt32;

/// Identifies a kind of component; a zero field in a search description matches anything.
struct AudioComponentDescription {
    UInt32 componentType;
    UInt32 componentSubType;
    UInt32 componentManufacturer;
    UInt32 componentFlags;
    UInt32 componentFlagsMask;
};

/// A component an audio system offers; owned by that system and valid while it lives.
struct OpaqueAudioComponent {
    AudioComponentDescription description;
};
using AudioComponent = OpaqueAudioComponent*;

namespace platform {
class AudioUnitInstance;
}
using AudioComponentInstance = platform::AudioUnitInstance*;
using AudioUnit = AudioComponentInstance;

/// Input callback: called on the unit's real-time thread once per IO cycle with the cycle's time
/// stamp and frame count; `ioData` is null (the callee renders into buffers of its own).
using AURenderCallback = OSStatus (*)(void* inRefCon, AudioUnitRenderActionFlags* ioActionFlags,
                                      const AudioTimeStamp* inTimeStamp, UInt32 inBusNumber,
                                      UInt32 inNumberFrames, AudioBufferList* ioData);

/// Value of the SetInputCallback property.
struct AURenderCallbackStruct {
    AURenderCallback inputProc;
    void* inputProcRefCon;
};

// Component identity of the capture unit.
inline constexpr UInt32 kAudioUnitType_Output = platform::fourCC("auou");
inline constexpr UInt32 kAudioUnitSubType_HALOutput = platform::fourCC("ahal");
inline constexpr UInt32 kAudioUnitManufacturer_Apple = platform::fourCC("appl");

// Scopes and elements. Element 1 is the input (device) side, element 0 the output side.
inline constexpr AudioUnitScope kAudioUnitScope_Global = 0;
inline constexpr AudioUnitScope kAudioUnitScope_Input = 1;
inline constexpr AudioUnitScope kAudioUnitScope_Output = 2;

// Properties.
inline constexpr AudioUnitPropertyID kAudioUnitProperty_StreamFormat = 8;
inline constexpr AudioUnitPropertyID kAudioUnitProperty_MaximumFramesPerSlice = 14;
inline constexpr AudioUnitPropertyID kAudioOutputUnitProperty_CurrentDevice = 2000;
inline constexpr AudioUnitPropertyID kAudioOutputUnitProperty_EnableIO = 2003;
inline constexpr AudioUnitPropertyID kAudioOutputUnitProperty_SetInputCallback = 2005;

// Status codes.
inline constexpr OSStatus kAudioUnitErr_InvalidProperty = -10879;
inline constexpr OSStatus kAudioUnitErr_InvalidParameter = -10878;
inline constexpr OSStatus kAudioUnitErr_InvalidElement = -10877;
inline constexpr OSStatus kAudioUnitErr_NoConnection = -10876;
inline constexpr OSStatus kAudioUnitErr_FailedInitialization = -10875;
inline constexpr OSStatus kAudioUnitErr_TooManyFramesToProcess = -10874;
inline constexpr OSStatus kAudioUnitErr_FormatNotSupported = -10868;
inline constexpr OSStatus kAudioUnitErr_Uninitialized = -10867;
inline constexpr OSStatus kAudioUnitErr_InvalidScope = -10866;
inline constexpr OSStatus kAudioUnitErr_PropertyNotWritable = -10865;
inline constexpr OSStatus kAudioUnitErr_CannotDoInCurrentContext = -10863;
inline constexpr OSStatus kAudioUnitErr_InvalidPropertyValue = -10851;
inline constexpr OSStatus kAudioUnitErr_Initialized = -10849;

extern "C" {

/// The first component after `inComponent` (null: from the start) matching `inDesc`, or null.
CORVESSA_PLATFORM_API AudioComponent AudioComponentFindNext(
    AudioComponent inComponent, const AudioComponentDescription* inDesc) noexcept;

/// Creates an instance of `inComponent` in `outInstance`.
CORVESSA_PLATFORM_API OSStatus
AudioComponentInstanceNew(AudioComponent inComponent, AudioComponentInstance* outInstance) noexcept;

/// Stops, uninitialises and destroys the instance; on a non-zero status it still exists.
CORVESSA_PLATFORM_API OSStatus
AudioComponentInstanceDispose(AudioComponentInstance inInstance) noexcept;

/// Sets a property from the `inDataSize` bytes at `inData`.
CORVESSA_PLATFORM_API OSStatus AudioUnitSetProperty(AudioUnit inUnit, AudioUnitPropertyID inID,
                                                    AudioUnitScope inScope,
                                                    AudioUnitElement inElement, const void* inData,
                                                    UInt32 inDataSize) noexcept;

/// Copies a property into `outData` of `ioDataSize` bytes; `ioDataSize` returns the bytes written.
CORVESSA_PLATFORM_API OSStatus AudioUnitGetProperty(AudioUnit inUnit, AudioUnitPropertyID inID,
                                                    AudioUnitScope inScope,
                                                    AudioUnitElement inElement, void* outData,
                                                    UInt32* ioDataSize) noexcept;

/// Validates the configuration and sizes every buffer the unit needs while running.
CORVESSA_PLATFORM_API OSStatus AudioUnitInitialize(AudioUnit inUnit) noexcept;

/// Releases what AudioUnitInitialize allocated (stopping the unit first if it runs).
CORVESSA_PLATFORM_API OSStatus AudioUnitUninitialize(AudioUnit inUnit) noexcept;

/// Starts device IO: the input callback begins to run on the unit's own thread.
CORVESSA_PLATFORM_API OSStatus AudioOutputUnitStart(AudioUnit inUnit) noexcept;

/// Stops device IO and waits until no input callback is running.
CORVESSA_PLATFORM_API OSStatus AudioOutputUnitStop(AudioUnit inUnit) noexcept;

/// Inside the input callback: copies the cycle's `inNumberFrames` frames of element 1 into
/// `ioData`, laid out in the client format; sets each buffer's mDataByteSize to the bytes written.
CORVESSA_PLATFORM_API OSStatus AudioUnitRender(AudioUnit inUnit,
                                               AudioUnitRenderActionFlags* ioActionFlags,
                                               const AudioTimeStamp* inTimeStamp,
                                               UInt32 inOutputBusNumber, UInt32 inNumberFrames,
                                               AudioBufferList* ioData) noexcept;

}  // extern "C"

#endif
