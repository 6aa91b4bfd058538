// The host callback table.
#include "audioserver/HostCallbacks.h"

namespace audioserver {
namespace {

OSStatus propertiesChanged(AudioServerPlugInHostRef, AudioObjectID, UInt32,
                           const AudioObjectPropertyAddress*) {
    return kAudioHardwareNoError;
}

OSStatus copyFromStorage(AudioServerPlugInHostRef, CFStringRef, CFPropertyListRef* outData) {
    if (outData != nullptr) {
        *outData = nullptr;
    }
    return kAudioHardwareUnknownPropertyError;
}

OSStatus writeToStorage(AudioServerPlugInHostRef, CFStringRef, CFPropertyListRef) {
    return kAudioHardwareUnsupportedOperationError;
}

OSStatus deleteFromStorage(AudioServerPlugInHostRef, CFStringRef) {
    return kAudioHardwareUnsupportedOperationError;
}

OSStatus requestDeviceConfigurationChange(AudioServerPlugInHostRef, AudioObjectID, UInt64, void*) {
    return kAudioHardwareUnsupportedOperationError;
}

constexpr AudioServerPlugInHostInterface kHostCallbacks{propertiesChanged, copyFromStorage,
                                                        writeToStorage, deleteFromStorage,
                                                        requestDeviceConfigurationChange};

}  // namespace

const AudioServerPlugInHostInterface* hostCallbacks() noexcept {
    return &kHostCallbacks;
}

}  // namespace audioserver
