// The AudioObject* calls: argument checks, then the installed system.
#include "platform/AudioHardware.h"

#include <exception>

#include "platform/AudioSystem.h"

namespace {

/// Runs `call` on the installed system; a failure to obtain the system (out of memory) is
/// reported as a status rather than thrown across the C boundary.
template <typename Call>
OSStatus withSystem(Call&& call) noexcept {
    try {
        return call(*platform::installedAudioSystem());
    } catch (...) {
        return kAudioHardwareUnspecifiedError;
    }
}

}  // namespace

extern "C" {

Boolean AudioObjectHasProperty(AudioObjectID object,
                               const AudioObjectPropertyAddress* address) noexcept {
    if (address == nullptr) {
        return 0;
    }
    const OSStatus has = withSystem([&](platform::AudioSystem& system) {
        return system.hasProperty(object, *address) ? 1 : 0;
    });
    return has == 1 ? 1 : 0;
}

OSStatus AudioObjectGetPropertyDataSize(AudioObjectID object,
                                        const AudioObjectPropertyAddress* address,
                                        UInt32 qualifierDataSize, const void* qualifierData,
                                        UInt32* outDataSize) noexcept {
    if (address == nullptr || outDataSize == nullptr) {
        return kAudio_ParamError;
    }
    return withSystem([&](platform::AudioSystem& system) {
        return system.getPropertyDataSize(object, *address, qualifierDataSize, qualifierData,
                                          *outDataSize);
    });
}

OSStatus AudioObjectGetPropertyData(AudioObjectID object, const AudioObjectPropertyAddress* address,
                                    UInt32 qualifierDataSize, const void* qualifierData,
                                    UInt32* ioDataSize, void* outData) noexcept {
    if (address == nullptr || ioDataSize == nullptr || outData == nullptr) {
        return kAudio_ParamError;
    }
    return withSystem([&](platform::AudioSystem& system) {
        return system.getPropertyData(object, *address, qualifierDataSize, qualifierData,
                                      *ioDataSize, outData);
    });
}

OSStatus AudioObjectSetPropertyData(AudioObjectID object, const AudioObjectPropertyAddress* address,
                                    UInt32 qualifierDataSize, const void* qualifierData,
                                    UInt32 dataSize, const void* data) noexcept {
    if (address == nullptr || (data == nullptr && dataSize != 0)) {
        return kAudio_ParamError;
    }
    return withSystem([&](platform::AudioSystem& system) {
        return system.setPropertyData(object, *address, qualifierDataSize, qualifierData, dataSize,
                                      data);
    });
}

}  // extern "C"
