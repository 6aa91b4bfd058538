// Value producers behind the property table.
#include "PropertyValues.h"

#include <cstring>

#include "DeviceIO.h"
#include "PluginObjects.h"
#include "platform/CoreFoundation.h"

namespace corvessa::hal::values {
namespace {

/// The class IDs in a qualifier, read as a list of u32 (partial trailing bytes ignored).
bool qualifierListsClass(const PropertyQuery& query, AudioClassID wanted) noexcept {
    const auto* bytes = static_cast<const unsigned char*>(query.qualifier);
    const UInt32 count = query.qualifierSize / sizeof(AudioClassID);
    for (UInt32 i = 0; i < count; ++i) {
        AudioClassID listed = 0;
        std::memcpy(&listed, bytes + i * sizeof(AudioClassID), sizeof(listed));
        if (listed == wanted || listed == kAudioObjectClassID ||
            listed == kAudioObjectClassIDWildcard) {
            return true;
        }
    }
    return false;
}

bool hasClassQualifier(const PropertyQuery& query) noexcept {
    return query.qualifier != nullptr && query.qualifierSize >= sizeof(AudioClassID);
}

}  // namespace

void storeString(void* out, const char* text) noexcept {
    store(out, CFStringCreateWithCString(kCFAllocatorDefault, text, kCFStringEncodingUTF8));
}

AudioClassID classOf(AudioObjectID object) noexcept {
    switch (object) {
        case kPlugInObjectID:
            return kAudioPlugInClassID;
        case kDeviceObjectID:
            return kAudioDeviceClassID;
        default:
            return kAudioStreamClassID;
    }
}

AudioClassID baseClassOf(AudioObjectID object) noexcept {
    return object == kPlugInObjectID ? kAudioPlugInClassID : kAudioObjectClassID;
}

AudioObjectID ownerOf(AudioObjectID object) noexcept {
    switch (object) {
        case kPlugInObjectID:
            return kAudioObjectUnknown;
        case kDeviceObjectID:
            return kPlugInObjectID;
        default:
            return kDeviceObjectID;
    }
}

const char* nameOf(AudioObjectID object) noexcept {
    return object == kStreamObjectID ? kStreamName : kDeviceName;
}

AudioObjectID ownedObject(const PropertyQuery& query) noexcept {
    if (query.object == kStreamObjectID) {
        return kAudioObjectUnknown;
    }
    const bool isPlugIn = query.object == kPlugInObjectID;
    const AudioObjectID owned = isPlugIn ? kDeviceObjectID : kStreamObjectID;
    const AudioClassID ownedClass = isPlugIn ? kAudioDeviceClassID : kAudioStreamClassID;
    if (hasClassQualifier(query) && !qualifierListsClass(query, ownedClass)) {
        return kAudioObjectUnknown;
    }
    return owned;
}

AudioObjectID deviceForUID(const PropertyQuery& query) noexcept {
    if (query.qualifier == nullptr || query.qualifierSize != sizeof(CFStringRef)) {
        return kAudioObjectUnknown;
    }
    CFStringRef uid = nullptr;
    std::memcpy(&uid, query.qualifier, sizeof(uid));
    const char* text = CFStringGetCStringPtr(uid, kCFStringEncodingUTF8);
    const bool matches = text != nullptr && std::strcmp(text, kDeviceUID) == 0;
    return matches ? kDeviceObjectID : kAudioObjectUnknown;
}

bool isInputScope(const PropertyQuery& query) noexcept {
    return query.address.mScope == kAudioObjectPropertyScopeInput;
}

UInt32 deviceIsRunning() noexcept {
    return runningClientCount() != 0 ? 1 : 0;
}

void storeStreamConfiguration(const PropertyQuery& query, void* out) noexcept {
    AudioBufferList list{};
    list.mNumberBuffers = 1;
    list.mBuffers[0] = AudioBuffer{isInputScope(query) ? 1u : 0u, 0, nullptr};
    store(out, list);
}

}  // namespace corvessa::hal::values
