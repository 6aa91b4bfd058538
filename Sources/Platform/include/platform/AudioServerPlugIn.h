// The audio-server plug-in interface: the COM-style driver table a plug-in hands to its host, the
// host's callback table, and the UUIDs that name the plug-in type and its interfaces.
//
// A plug-in exports a factory `void* Factory(CFAllocatorRef, CFUUIDRef requestedType)` that
// returns a driver reference (a pointer to a pointer to AudioServerPlugInDriverInterface) for
// the plug-in type and null otherwise. The host then queries the driver interface, initialises
// it with its host table and drives it entirely through the table's entries.
#ifndef CORVESSA_PLATFORM_AUDIO_SERVER_PLUG_IN_H
#define CORVESSA_PLATFORM_AUDIO_SERVER_PLUG_IN_H

#include <sys/types.h>

#include "platform/CoreAudioTypes.h"
#include "platform/CoreFoundation.h"

using HRESULT = SInt32;
using ULONG = UInt32;
using LPVOID = void*;
using REFIID = CFUUIDBytes;

/// COM's "no such interface" result of QueryInterface.
inline constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80000004u);
/// The IO operation that fills the input stream's buffer.
inline constexpr UInt32 kAudioServerPlugInIOOperationReadInput = platform::fourCC("read");

/// Constant UUID objects (never destroyed; retain and release are harmless).
extern const CFUUIDRef kAudioServerPlugInTypeUUID;  // 443ABAB8-E7B3-491A-B985-BEB9187030DB
extern const CFUUIDRef kAudioServerPlugInDriverInterfaceUUID;  // EEA5773D-CC43-49F1-8E00-...
extern const CFUUIDRef IUnknownUUID;  // 00000000-0000-0000-C000-000000000046

/// Who is talking to the device: passed to AddDeviceClient / RemoveDeviceClient.
struct AudioServerPlugInClientInfo {
    UInt32 mClientID;
    pid_t mProcessID;
    Boolean mIsNativeEndian;
    CFStringRef mBundleID;
};

/// Timing of one IO cycle as the host schedules it.
struct AudioServerPlugInIOCycleInfo {
    UInt64 mIOCycleCounter;            ///< cycles since IO started
    UInt32 mNominalIOBufferFrameSize;  ///< frames per cycle
    AudioTimeStamp mInputTime;         ///< time of the first input frame of the cycle
    AudioTimeStamp mOutputTime;        ///< time of the first output frame of the cycle
    AudioTimeStamp mCurrentTime;       ///< when the cycle started
    Float64 mDeviceHostTicksPerFrame;  ///< host ticks per frame the host measured
};

struct AudioServerPlugInHostInterface;
using AudioServerPlugInHostRef = const AudioServerPlugInHostInterface*;

/// Services the host offers a plug-in: change notifications, settings storage, reconfiguration.
struct AudioServerPlugInHostInterface {
    OSStatus (*PropertiesChanged)(AudioServerPlugInHostRef host, AudioObjectID object,
                                  UInt32 addressCount, const AudioObjectPropertyAddress* addresses);
    OSStatus (*CopyFromStorage)(AudioServerPlugInHostRef host, CFStringRef key,
                                CFPropertyListRef* outData);
    OSStatus (*WriteToStorage)(AudioServerPlugInHostRef host, CFStringRef key,
                               CFPropertyListRef data);
    OSStatus (*DeleteFromStorage)(AudioServerPlugInHostRef host, CFStringRef key);
    OSStatus (*RequestDeviceConfigurationChange)(AudioServerPlugInHostRef host,
                                                 AudioObjectID device, UInt64 changeAction,
                                                 void* changeInfo);
};

struct AudioServerPlugInDriverInterface;
using AudioServerPlugInDriverRef = AudioServerPlugInDriverInterface**;

/// The driver table: a reserved entry, the three IUnknown entries, then the driver operations in
/// the platform's order (23 entries in all).
struct AudioServerPlugInDriverInterface {
    void* _reserved;
    HRESULT (*QueryInterface)(void* driver, REFIID uuid, LPVOID* outInterface);
    ULONG (*AddRef)(void* driver);
    ULONG (*Release)(void* driver);
    OSStatus (*Initialize)(AudioServerPlugInDriverRef driver, AudioServerPlugInHostRef host);
    OSStatus (*CreateDevice)(AudioServerPlugInDriverRef driver, CFDictionaryRef description,
                             const AudioServerPlugInClientInfo* clientInfo,
                             AudioObjectID* outDeviceObjectID);
    OSStatus (*DestroyDevice)(AudioServerPlugInDriverRef driver, AudioObjectID device);
    OSStatus (*AddDeviceClient)(AudioServerPlugInDriverRef driver, AudioObjectID device,
                                const AudioServerPlugInClientInfo* clientInfo);
    OSStatus (*RemoveDeviceClient)(AudioServerPlugInDriverRef driver, AudioObjectID device,
                                   const AudioServerPlugInClientInfo* clientInfo);
    OSStatus (*PerformDeviceConfigurationChange)(AudioServerPlugInDriverRef driver,
                                                 AudioObjectID device, UInt64 changeAction,
                                                 void* changeInfo);
    OSStatus (*AbortDeviceConfigurationChange)(AudioServerPlugInDriverRef driver,
                                               AudioObjectID device, UInt64 changeAction,
                                               void* changeInfo);
    Boolean (*HasProperty)(AudioServerPlugInDriverRef driver, AudioObjectID object,
                           pid_t clientProcessID, const AudioObjectPropertyAddress* address);
    OSStatus (*IsPropertySettable)(AudioServerPlugInDriverRef driver, AudioObjectID object,
                                   pid_t clientProcessID, const AudioObjectPropertyAddress* address,
                                   Boolean* outIsSettable);
    OSStatus (*GetPropertyDataSize)(AudioServerPlugInDriverRef driver, AudioObjectID object,
                                    pid_t clientProcessID,
                                    const AudioObjectPropertyAddress* address,
                                    UInt32 qualifierDataSize, const void* qualifierData,
                                    UInt32* outDataSize);
    OSStatus (*GetPropertyData)(AudioServerPlugInDriverRef driver, AudioObjectID object,
                                pid_t clientProcessID, const AudioObjectPropertyAddress* address,
                                UInt32 qualifierDataSize, const void* qualifierData,
                                UInt32 dataSize, UInt32* outDataSize, void* outData);
    OSStatus (*SetPropertyData)(AudioServerPlugInDriverRef driver, AudioObjectID object,
                                pid_t clientProcessID, const AudioObjectPropertyAddress* address,
                                UInt32 qualifierDataSize, const void* qualifierData,
                                UInt32 dataSize, const void* data);
    OSStatus (*StartIO)(AudioServerPlugInDriverRef driver, AudioObjectID device, UInt32 clientID);
    OSStatus (*StopIO)(AudioServerPlugInDriverRef driver, AudioObjectID device, UInt32 clientID);
    OSStatus (*GetZeroTimeStamp)(AudioServerPlugInDriverRef driver, AudioObjectID device,
                                 UInt32 clientID, Float64* outSampleTime, UInt64* outHostTime,
                                 UInt64* outSeed);
    OSStatus (*WillDoIOOperation)(AudioServerPlugInDriverRef driver, AudioObjectID device,
                                  UInt32 clientID, UInt32 operationID, Boolean* outWillDo,
                                  Boolean* outWillDoInPlace);
    OSStatus (*BeginIOOperation)(AudioServerPlugInDriverRef driver, AudioObjectID device,
                                 UInt32 clientID, UInt32 operationID, UInt32 ioBufferFrameSize,
                                 const AudioServerPlugInIOCycleInfo* cycleInfo);
    OSStatus (*DoIOOperation)(AudioServerPlugInDriverRef driver, AudioObjectID device,
                              AudioObjectID stream, UInt32 clientID, UInt32 operationID,
                              UInt32 ioBufferFrameSize,
                              const AudioServerPlugInIOCycleInfo* cycleInfo, void* ioMainBuffer,
                              void* ioSecondaryBuffer);
    OSStatus (*EndIOOperation)(AudioServerPlugInDriverRef driver, AudioObjectID device,
                               UInt32 clientID, UInt32 operationID, UInt32 ioBufferFrameSize,
                               const AudioServerPlugInIOCycleInfo* cycleInfo);
};
static_assert(sizeof(AudioServerPlugInDriverInterface) == 23 * sizeof(void*));
static_assert(offsetof(AudioServerPlugInDriverInterface, QueryInterface) == 1 * sizeof(void*));
static_assert(offsetof(AudioServerPlugInDriverInterface, HasProperty) == 11 * sizeof(void*));
static_assert(offsetof(AudioServerPlugInDriverInterface, StartIO) == 16 * sizeof(void*));
static_assert(offsetof(AudioServerPlugInDriverInterface, EndIOOperation) == 22 * sizeof(void*));

/// Signature of a plug-in's factory function.
using AudioServerPlugInFactoryFunction = void* (*)(CFAllocatorRef allocator,
                                                   CFUUIDRef requestedTypeUUID);

#endif
