// The driver interface table, the factory and the `Amberlin_` entry points.
//
// Every entry point is a thin trampoline: it checks that the driver argument is this plug-in's
// own reference (and, where an object is named, that it exists), then hands over to the property
// table or the device IO. None of them allocates on the IO path, blocks there or throws.
#include <atomic>

#include "DeviceClock.h"
#include "DeviceIO.h"
#include "PluginObjects.h"
#include "PropertyTable.h"
#include "amberlin/am_hal_plugin.h"
#include "platform/AudioServerPlugIn.h"

namespace {

using corvessa::hal::kDeviceObjectID;
using corvessa::hal::kPlugInObjectID;
using corvessa::hal::kStreamObjectID;
using corvessa::hal::PropertyQuery;

HRESULT Amberlin_QueryInterface(void* driver, REFIID uuid, LPVOID* outInterface);
ULONG Amberlin_AddRef(void* driver);
ULONG Amberlin_Release(void* driver);
OSStatus Amberlin_Initialize(AudioServerPlugInDriverRef driver, AudioServerPlugInHostRef host);
OSStatus Amberlin_CreateDevice(AudioServerPlugInDriverRef driver, CFDictionaryRef description,
                               const AudioServerPlugInClientInfo* clientInfo,
                               AudioObjectID* outDeviceObjectID);
OSStatus Amberlin_DestroyDevice(AudioServerPlugInDriverRef driver, AudioObjectID device);
OSStatus Amberlin_AddDeviceClient(AudioServerPlugInDriverRef driver, AudioObjectID device,
                                  const AudioServerPlugInClientInfo* clientInfo);
OSStatus Amberlin_RemoveDeviceClient(AudioServerPlugInDriverRef driver, AudioObjectID device,
                                     const AudioServerPlugInClientInfo* clientInfo);
OSStatus Amberlin_PerformDeviceConfigurationChange(AudioServerPlugInDriverRef driver,
                                                   AudioObjectID device, UInt64 action,
                                                   void* changeInfo);
OSStatus Amberlin_AbortDeviceConfigurationChange(AudioServerPlugInDriverRef driver,
                                                 AudioObjectID device, UInt64 action,
                                                 void* changeInfo);
Boolean Amberlin_HasProperty(AudioServerPlugInDriverRef driver, AudioObjectID object, pid_t client,
                             const AudioObjectPropertyAddress* address);
OSStatus Amberlin_IsPropertySettable(AudioServerPlugInDriverRef driver, AudioObjectID object,
                                     pid_t client, const AudioObjectPropertyAddress* address,
                                     Boolean* outIsSettable);
OSStatus Amberlin_GetPropertyDataSize(AudioServerPlugInDriverRef driver, AudioObjectID object,
                                      pid_t client, const AudioObjectPropertyAddress* address,
                                      UInt32 qualifierSize, const void* qualifier,
                                      UInt32* outDataSize);
OSStatus Amberlin_GetPropertyData(AudioServerPlugInDriverRef driver, AudioObjectID object,
                                  pid_t client, const AudioObjectPropertyAddress* address,
                                  UInt32 qualifierSize, const void* qualifier, UInt32 dataSize,
                                  UInt32* outDataSize, void* outData);
OSStatus Amberlin_SetPropertyData(AudioServerPlugInDriverRef driver, AudioObjectID object,
                                  pid_t client, const AudioObjectPropertyAddress* address,
                                  UInt32 qualifierSize, const void* qualifier, UInt32 dataSize,
                                  const void* data);
OSStatus Amberlin_StartIO(AudioServerPlugInDriverRef driver, AudioObjectID device, UInt32 client);
OSStatus Amberlin_StopIO(AudioServerPlugInDriverRef driver, AudioObjectID device, UInt32 client);
OSStatus Amberlin_GetZeroTimeStamp(AudioServerPlugInDriverRef driver, AudioObjectID device,
                                   UInt32 client, Float64* outSampleTime, UInt64* outHostTime,
                                   UInt64* outSeed);
OSStatus Amberlin_WillDoIOOperation(AudioServerPlugInDriverRef driver, AudioObjectID device,
                                    UInt32 client, UInt32 operation, Boolean* outWillDo,
                                    Boolean* outWillDoInPlace);
OSStatus Amberlin_BeginIOOperation(AudioServerPlugInDriverRef driver, AudioObjectID device,
                                   UInt32 client, UInt32 operation, UInt32 frames,
                                   const AudioServerPlugInIOCycleInfo* cycleInfo);
OSStatus Amberlin_DoIOOperation(AudioServerPlugInDriverRef driver, AudioObjectID device,
                                AudioObjectID stream, UInt32 client, UInt32 operation,
                                UInt32 frames, const AudioServerPlugInIOCycleInfo* cycleInfo,
                                void* mainBuffer, void* secondaryBuffer);
OSStatus Amberlin_EndIOOperation(AudioServerPlugInDriverRef driver, AudioObjectID device,
                                 UInt32 client, UInt32 operation, UInt32 frames,
                                 const AudioServerPlugInIOCycleInfo* cycleInfo);

AudioServerPlugInDriverInterface gDriverInterface = {
    nullptr,
    Amberlin_QueryInterface,
    Amberlin_AddRef,
    Amberlin_Release,
    Amberlin_Initialize,
    Amberlin_CreateDevice,
    Amberlin_DestroyDevice,
    Amberlin_AddDeviceClient,
    Amberlin_RemoveDeviceClient,
    Amberlin_PerformDeviceConfigurationChange,
    Amberlin_AbortDeviceConfigurationChange,
    Amberlin_HasProperty,
    Amberlin_IsPropertySettable,
    Amberlin_GetPropertyDataSize,
    Amberlin_GetPropertyData,
    Amberlin_SetPropertyData,
    Amberlin_StartIO,
    Amberlin_StopIO,
    Amberlin_GetZeroTimeStamp,
    Amberlin_WillDoIOOperation,
    Amberlin_BeginIOOperation,
    Amberlin_DoIOOperation,
    Amberlin_EndIOOperation,
};
AudioServerPlugInDriverInterface* gDriverInterfacePtr = &gDriverInterface;
std::atomic<UInt32> gRefCount{1};
// Kept for the plug-in's lifetime; the plug-in sends no notifications, so nothing reads it.
std::atomic<AudioServerPlugInHostRef> gHost{nullptr};

/// True when `driver` is the reference this plug-in handed out.
bool isOwnDriver(const void* driver) noexcept {
    return driver == &gDriverInterfacePtr;
}

bool isOwnDevice(const void* driver, AudioObjectID device) noexcept {
    return isOwnDriver(driver) && device == kDeviceObjectID;
}

bool isKnownObject(AudioObjectID object) noexcept {
    return object >= kPlugInObjectID && object <= kStreamObjectID;
}

/// Whether `uuid` names an interface this driver serves (IUnknown or the driver interface).
bool isServedInterface(CFUUIDRef uuid) noexcept {
    return CFEqual(uuid, IUnknownUUID) || CFEqual(uuid, kAudioServerPlugInDriverInterfaceUUID);
}

HRESULT Amberlin_QueryInterface(void* driver, REFIID uuid, LPVOID* outInterface) {
    if (!isOwnDriver(driver) || outInterface == nullptr) {
        return kAudioHardwareBadObjectError;
    }
    CFUUIDRef requested = CFUUIDCreateFromUUIDBytes(kCFAllocatorDefault, uuid);
    if (requested == nullptr) {
        return kAudioHardwareUnsupportedOperationError;
    }
    const bool served = isServedInterface(requested);
    CFRelease(requested);
    if (!served) {
        *outInterface = nullptr;  // COM rule: a refused query hands out nothing
        return E_NOINTERFACE;
    }
    gRefCount.fetch_add(1, std::memory_order_acq_rel);
    *outInterface = &gDriverInterfacePtr;
    return kAudioHardwareNoError;
}

ULONG Amberlin_AddRef(void* driver) {
    if (!isOwnDriver(driver)) {
        return 0;
    }
    return gRefCount.fetch_add(1, std::memory_order_acq_rel) + 1;
}

ULONG Amberlin_Release(void* driver) {
    if (!isOwnDriver(driver)) {
        return 0;
    }
    UInt32 count = gRefCount.load(std::memory_order_acquire);
    while (count > 0 &&
           !gRefCount.compare_exchange_weak(count, count - 1, std::memory_order_acq_rel)) {
    }
    return count > 0 ? count - 1 : 0;
}

OSStatus Amberlin_Initialize(AudioServerPlugInDriverRef driver, AudioServerPlugInHostRef host) {
    if (!isOwnDriver(driver)) {
        return kAudioHardwareBadObjectError;
    }
    gHost.store(host, std::memory_order_release);
    corvessa::hal::reset_zero_time_stamp();
    corvessa::hal::ensure_shared_ring();  // a failed open is retried at StartIO
    return kAudioHardwareNoError;
}

OSStatus Amberlin_CreateDevice(AudioServerPlugInDriverRef driver, CFDictionaryRef,
                               const AudioServerPlugInClientInfo*,
                               AudioObjectID* outDeviceObjectID) {
    if (!isOwnDriver(driver)) {
        return kAudioHardwareBadObjectError;
    }
    if (outDeviceObjectID != nullptr) {
        *outDeviceObjectID = kDeviceObjectID;
    }
    return kAudioHardwareNoError;
}

/// The device-management calls have nothing to change: they only validate their arguments.
OSStatus acceptDeviceCall(const void* driver, AudioObjectID device) noexcept {
    return isOwnDevice(driver, device) ? kAudioHardwareNoError : kAudioHardwareBadObjectError;
}

OSStatus Amberlin_DestroyDevice(AudioServerPlugInDriverRef driver, AudioObjectID device) {
    return acceptDeviceCall(driver, device);
}

OSStatus Amberlin_AddDeviceClient(AudioServerPlugInDriverRef driver, AudioObjectID device,
                                  const AudioServerPlugInClientInfo*) {
    return acceptDeviceCall(driver, device);
}

OSStatus Amberlin_RemoveDeviceClient(AudioServerPlugInDriverRef driver, AudioObjectID device,
                                     const AudioServerPlugInClientInfo*) {
    return acceptDeviceCall(driver, device);
}

OSStatus Amberlin_PerformDeviceConfigurationChange(AudioServerPlugInDriverRef driver,
                                                   AudioObjectID device, UInt64, void*) {
    return acceptDeviceCall(driver, device);
}

OSStatus Amberlin_AbortDeviceConfigurationChange(AudioServerPlugInDriverRef driver,
                                                 AudioObjectID device, UInt64, void*) {
    return acceptDeviceCall(driver, device);
}

Boolean Amberlin_HasProperty(AudioServerPlugInDriverRef driver, AudioObjectID object, pid_t,
                             const AudioObjectPropertyAddress* address) {
    return isOwnDriver(driver) && address != nullptr &&
           corvessa::hal::hasProperty(object, address->mSelector);
}

OSStatus Amberlin_IsPropertySettable(AudioServerPlugInDriverRef driver, AudioObjectID object, pid_t,
                                     const AudioObjectPropertyAddress* address,
                                     Boolean* outIsSettable) {
    if (!isOwnDriver(driver) || !isKnownObject(object) || address == nullptr ||
        outIsSettable == nullptr) {
        return kAudioHardwareBadObjectError;
    }
    if (!corvessa::hal::hasProperty(object, address->mSelector)) {
        return kAudioHardwareUnknownPropertyError;
    }
    *outIsSettable = false;
    return kAudioHardwareNoError;
}

OSStatus Amberlin_GetPropertyDataSize(AudioServerPlugInDriverRef driver, AudioObjectID object,
                                      pid_t, const AudioObjectPropertyAddress* address,
                                      UInt32 qualifierSize, const void* qualifier,
                                      UInt32* outDataSize) {
    if (!isOwnDriver(driver) || address == nullptr || outDataSize == nullptr ||
        !corvessa::hal::hasProperty(object, address->mSelector)) {
        return kAudioHardwareUnknownPropertyError;
    }
    *outDataSize = corvessa::hal::propertyDataSize({object, *address, qualifierSize, qualifier});
    return kAudioHardwareNoError;
}

OSStatus Amberlin_GetPropertyData(AudioServerPlugInDriverRef driver, AudioObjectID object, pid_t,
                                  const AudioObjectPropertyAddress* address, UInt32 qualifierSize,
                                  const void* qualifier, UInt32 dataSize, UInt32* outDataSize,
                                  void* outData) {
    if (!isOwnDriver(driver) || address == nullptr) {
        return kAudioHardwareUnknownPropertyError;
    }
    const PropertyQuery query{object, *address, qualifierSize, qualifier};
    return corvessa::hal::copyPropertyData(query, dataSize, outDataSize, outData);
}

OSStatus Amberlin_SetPropertyData(AudioServerPlugInDriverRef driver, AudioObjectID, pid_t,
                                  const AudioObjectPropertyAddress*, UInt32, const void*, UInt32,
                                  const void*) {
    return isOwnDriver(driver) ? kAudioHardwareUnsupportedOperationError
                               : kAudioHardwareBadObjectError;
}

OSStatus Amberlin_StartIO(AudioServerPlugInDriverRef driver, AudioObjectID device, UInt32) {
    if (!isOwnDevice(driver, device)) {
        return kAudioHardwareBadObjectError;
    }
    corvessa::hal::startIO();
    return kAudioHardwareNoError;
}

OSStatus Amberlin_StopIO(AudioServerPlugInDriverRef driver, AudioObjectID device, UInt32) {
    if (!isOwnDevice(driver, device)) {
        return kAudioHardwareBadObjectError;
    }
    corvessa::hal::stopIO();
    return kAudioHardwareNoError;
}

OSStatus Amberlin_GetZeroTimeStamp(AudioServerPlugInDriverRef driver, AudioObjectID device, UInt32,
                                   Float64* outSampleTime, UInt64* outHostTime, UInt64* outSeed) {
    if (!isOwnDevice(driver, device)) {
        return kAudioHardwareBadObjectError;
    }
    if (outSampleTime == nullptr || outHostTime == nullptr || outSeed == nullptr) {
        return kAudioHardwareUnsupportedOperationError;
    }
    const corvessa::hal::ZeroTimeStamp stamp = corvessa::hal::currentZeroTimeStamp();
    *outSampleTime = stamp.sampleTime;
    *outHostTime = stamp.hostTime;
    *outSeed = stamp.seed;
    return kAudioHardwareNoError;
}

OSStatus Amberlin_WillDoIOOperation(AudioServerPlugInDriverRef driver, AudioObjectID device, UInt32,
                                    UInt32 operation, Boolean* outWillDo,
                                    Boolean* outWillDoInPlace) {
    if (!isOwnDevice(driver, device)) {
        return kAudioHardwareBadObjectError;
    }
    if (outWillDo != nullptr) {
        *outWillDo = operation == kAudioServerPlugInIOOperationReadInput;
    }
    if (outWillDoInPlace != nullptr) {
        *outWillDoInPlace = true;
    }
    return kAudioHardwareNoError;
}

OSStatus Amberlin_BeginIOOperation(AudioServerPlugInDriverRef driver, AudioObjectID device, UInt32,
                                   UInt32, UInt32, const AudioServerPlugInIOCycleInfo*) {
    return isOwnDevice(driver, device) ? kAudioHardwareNoError : kAudioHardwareBadObjectError;
}

OSStatus Amberlin_DoIOOperation(AudioServerPlugInDriverRef driver, AudioObjectID device,
                                AudioObjectID stream, UInt32, UInt32 operation, UInt32 frames,
                                const AudioServerPlugInIOCycleInfo*, void* mainBuffer, void*) {
    if (!isOwnDevice(driver, device) || stream != kStreamObjectID) {
        return kAudioHardwareBadObjectError;
    }
    if (operation != kAudioServerPlugInIOOperationReadInput) {
        return kAudioHardwareNoError;
    }
    if (mainBuffer == nullptr) {
        return kAudioHardwareUnsupportedOperationError;
    }
    corvessa::hal::readInput(static_cast<Float32*>(mainBuffer), frames);
    return kAudioHardwareNoError;
}

OSStatus Amberlin_EndIOOperation(AudioServerPlugInDriverRef driver, AudioObjectID device, UInt32,
                                 UInt32, UInt32, const AudioServerPlugInIOCycleInfo*) {
    return isOwnDevice(driver, device) ? kAudioHardwareNoError : kAudioHardwareBadObjectError;
}

}  // namespace

extern "C" void* Corvessa_Create(CFAllocatorRef /*allocator*/,
                                 CFUUIDRef requestedTypeUUID) noexcept {
    return CFEqual(requestedTypeUUID, kAudioServerPlugInTypeUUID) ? &gDriverInterfacePtr : nullptr;
}
