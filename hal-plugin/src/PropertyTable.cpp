// The one property table and its dispatch.
#include "PropertyTable.h"

#include <array>

#include "PluginObjects.h"
#include "PropertyValues.h"
#include "platform/AudioObjectProperties.h"
#include "platform/CoreFoundation.h"

namespace corvessa::hal {
namespace {

using values::store;

/// Which objects have a property: bit N set for object ID N.
enum ObjectBits : UInt8 {
    kOnPlugIn = 1u << kPlugInObjectID,
    kOnDevice = 1u << kDeviceObjectID,
    kOnStream = 1u << kStreamObjectID,
    kOnAll = kOnPlugIn | kOnDevice | kOnStream,
};

using SizeRule = UInt32 (*)(const PropertyQuery&) noexcept;
using Producer = void (*)(const PropertyQuery&, void*) noexcept;

/// One row of the table: selector, objects that have it, size of its value, value producer.
struct PropertyEntry {
    AudioObjectPropertySelector selector;
    UInt8 objects;
    SizeRule size;
    Producer write;
};

template <UInt32 Bytes>
UInt32 fixed(const PropertyQuery&) noexcept {
    return Bytes;
}

template <UInt32 Value>
void u32(const PropertyQuery&, void* out) noexcept {
    store(out, Value);
}

template <const char* Text>
void text(const PropertyQuery&, void* out) noexcept {
    values::storeString(out, Text);
}

void nothing(const PropertyQuery&, void*) noexcept {}

UInt32 ownedSize(const PropertyQuery& query) noexcept {
    return values::ownedObject(query) != kAudioObjectUnknown ? sizeof(AudioObjectID) : 0;
}

UInt32 inputOnlySize(const PropertyQuery& query) noexcept {
    return values::isInputScope(query) ? sizeof(AudioObjectID) : 0;
}

void sampleRate(const PropertyQuery&, void* out) noexcept {
    store(out, kSampleRate);
}

void sampleRateRange(const PropertyQuery&, void* out) noexcept {
    store(out, AudioValueRange{kSampleRate, kSampleRate});
}

void streamFormat(const PropertyQuery&, void* out) noexcept {
    store(out, kStreamFormat);
}

void rangedStreamFormat(const PropertyQuery&, void* out) noexcept {
    store(out, AudioStreamRangedDescription{kStreamFormat, {kSampleRate, kSampleRate}});
}

constexpr UInt32 kU32 = sizeof(UInt32);
constexpr UInt32 kString = sizeof(CFStringRef);

// clang-format off
constexpr PropertyEntry kProperties[] = {
    // Every object.
    {kAudioObjectPropertyBaseClass, kOnAll, fixed<kU32>,
     [](const PropertyQuery& q, void* out) noexcept { store(out, values::baseClassOf(q.object)); }},
    {kAudioObjectPropertyClass, kOnAll, fixed<kU32>,
     [](const PropertyQuery& q, void* out) noexcept { store(out, values::classOf(q.object)); }},
    {kAudioObjectPropertyOwner, kOnAll, fixed<kU32>,
     [](const PropertyQuery& q, void* out) noexcept { store(out, values::ownerOf(q.object)); }},
    {kAudioObjectPropertyName, kOnAll, fixed<kString>,
     [](const PropertyQuery& q, void* out) noexcept { values::storeString(out, values::nameOf(q.object)); }},
    {kAudioObjectPropertyManufacturer, kOnAll, fixed<kString>, text<kManufacturer>},
    {kAudioObjectPropertyModelName, kOnAll, fixed<kString>, text<kModelName>},
    {kAudioObjectPropertyElementName, kOnAll, fixed<kString>, text<kDeviceName>},
    {kAudioObjectPropertyElementCategoryName, kOnAll, fixed<kString>, text<kElementCategoryName>},
    {kAudioObjectPropertyElementNumberName, kOnAll, fixed<kString>, text<kElementNumberName>},
    {kAudioObjectPropertyOwnedObjects, kOnAll, ownedSize,
     [](const PropertyQuery& q, void* out) noexcept { store(out, values::ownedObject(q)); }},
    {kAudioObjectPropertyCustomPropertyInfoList, kOnAll, fixed<0>, nothing},
    // The plug-in object.
    {kAudioPlugInPropertyDeviceList, kOnPlugIn, fixed<kU32>, u32<kDeviceObjectID>},
    {kAudioPlugInPropertyBoxList, kOnPlugIn, fixed<0>, nothing},
    {kAudioPlugInPropertyClockDeviceList, kOnPlugIn, fixed<0>, nothing},
    {kAudioPlugInPropertyTranslateUIDToDevice, kOnPlugIn, fixed<kU32>,
     [](const PropertyQuery& q, void* out) noexcept { store(out, values::deviceForUID(q)); }},
    {kAudioPlugInPropertyBundleID, kOnPlugIn, fixed<kString>, text<kBundleID>},
    {kAudioPlugInPropertyResourceBundle, kOnPlugIn, fixed<kString>, text<kBundleID>},
    // The device.
    {kAudioDevicePropertyDeviceUID, kOnDevice, fixed<kString>, text<kDeviceUID>},
    {kAudioDevicePropertyModelUID, kOnDevice, fixed<kString>, text<kModelUID>},
    {kAudioDevicePropertyTransportType, kOnDevice, fixed<kU32>, u32<kAudioDeviceTransportTypeVirtual>},
    {kAudioDevicePropertyRelatedDevices, kOnDevice, fixed<kU32>, u32<kDeviceObjectID>},
    {kAudioDevicePropertyClockDomain, kOnDevice, fixed<kU32>, u32<0>},
    {kAudioDevicePropertyDeviceIsAlive, kOnDevice, fixed<kU32>, u32<1>},
    {kAudioDevicePropertyDeviceIsRunning, kOnDevice, fixed<kU32>,
     [](const PropertyQuery&, void* out) noexcept { store(out, values::deviceIsRunning()); }},
    {kAudioDevicePropertyDeviceCanBeDefaultDevice, kOnDevice, fixed<kU32>,
     [](const PropertyQuery& q, void* out) noexcept { store(out, values::isInputScope(q) ? 1u : 0u); }},
    {kAudioDevicePropertyDeviceCanBeDefaultSystemDevice, kOnDevice, fixed<kU32>, u32<0>},
    {kAudioDevicePropertyLatency, kOnDevice | kOnStream, fixed<kU32>, u32<0>},
    {kAudioDevicePropertySafetyOffset, kOnDevice, fixed<kU32>, u32<0>},
    {kAudioDevicePropertyStreams, kOnDevice, inputOnlySize, u32<kStreamObjectID>},
    {kAudioObjectPropertyControlList, kOnDevice, fixed<0>, nothing},
    {kAudioDevicePropertyNominalSampleRate, kOnDevice, fixed<sizeof(Float64)>, sampleRate},
    {kAudioDevicePropertyAvailableNominalSampleRates, kOnDevice, fixed<sizeof(AudioValueRange)>,
     sampleRateRange},
    {kAudioDevicePropertyActualSampleRate, kOnDevice, fixed<sizeof(Float64)>, sampleRate},
    {kAudioDevicePropertyBufferFrameSize, kOnDevice, fixed<kU32>, u32<kBufferFrameSize>},
    {kAudioDevicePropertyBufferFrameSizeRange, kOnDevice, fixed<sizeof(AudioValueRange)>,
     [](const PropertyQuery&, void* out) noexcept {
         store(out, AudioValueRange{kBufferFrameSize, kBufferFrameSize});
     }},
    {kAudioDevicePropertyUsesVariableBufferFrameSizes, kOnDevice, fixed<kU32>, u32<0>},
    {kAudioDevicePropertyZeroTimeStampPeriod, kOnDevice, fixed<kU32>, u32<kZeroTimeStampPeriod>},
    {kAudioDevicePropertyIsHidden, kOnDevice, fixed<kU32>, u32<0>},
    {kAudioDevicePropertyHogMode, kOnDevice, fixed<kU32>,
     [](const PropertyQuery&, void* out) noexcept { store(out, SInt32{-1}); }},
    {kAudioDevicePropertyProcessMute, kOnDevice, fixed<kU32>, u32<0>},
    {kAudioDevicePropertyPreferredChannelsForStereo, kOnDevice, fixed<2 * kU32>,
     [](const PropertyQuery&, void* out) noexcept { store(out, std::array<UInt32, 2>{1, 1}); }},
    {kAudioDevicePropertyStreamConfiguration, kOnDevice, fixed<sizeof(AudioBufferList)>,
     values::storeStreamConfiguration},
    // The stream.
    {kAudioStreamPropertyIsActive, kOnStream, fixed<kU32>, u32<1>},
    {kAudioStreamPropertyDirection, kOnStream, fixed<kU32>, u32<kStreamDirectionInput>},
    {kAudioStreamPropertyTerminalType, kOnStream, fixed<kU32>, u32<kAudioStreamTerminalTypeMicrophone>},
    {kAudioStreamPropertyStartingChannel, kOnStream, fixed<kU32>, u32<1>},
    {kAudioStreamPropertyVirtualFormat, kOnStream, fixed<sizeof(AudioStreamBasicDescription)>,
     streamFormat},
    {kAudioStreamPropertyPhysicalFormat, kOnStream, fixed<sizeof(AudioStreamBasicDescription)>,
     streamFormat},
    {kAudioStreamPropertyAvailableVirtualFormats, kOnStream,
     fixed<sizeof(AudioStreamRangedDescription)>, rangedStreamFormat},
    {kAudioStreamPropertyAvailablePhysicalFormats, kOnStream,
     fixed<sizeof(AudioStreamRangedDescription)>, rangedStreamFormat},
};
// clang-format on

/// The row for `selector` on `object`, or null when the object lacks the property.
const PropertyEntry* find(AudioObjectID object, AudioObjectPropertySelector selector) noexcept {
    if (object < kPlugInObjectID || object > kStreamObjectID) {
        return nullptr;
    }
    for (const PropertyEntry& entry : kProperties) {
        if (entry.selector == selector) {
            return (entry.objects & (1u << object)) != 0 ? &entry : nullptr;
        }
    }
    return nullptr;
}

}  // namespace

bool hasProperty(AudioObjectID object, AudioObjectPropertySelector selector) noexcept {
    return find(object, selector) != nullptr;
}

UInt32 propertyDataSize(const PropertyQuery& query) noexcept {
    const PropertyEntry* entry = find(query.object, query.address.mSelector);
    return entry != nullptr ? entry->size(query) : 0;
}

OSStatus copyPropertyData(const PropertyQuery& query, UInt32 bufferSize, UInt32* outSize,
                          void* outData) noexcept {
    const PropertyEntry* entry = find(query.object, query.address.mSelector);
    if (entry == nullptr) {
        return kAudioHardwareUnknownPropertyError;
    }
    const UInt32 size = entry->size(query);
    if (size == 0) {
        if (outSize != nullptr) {
            *outSize = 0;
        }
        return kAudioHardwareNoError;
    }
    if (outSize == nullptr || outData == nullptr) {
        return kAudioHardwareUnsupportedOperationError;
    }
    if (bufferSize < size) {
        return kAudioHardwareBadPropertySizeError;
    }
    entry->write(query, outData);
    *outSize = size;
    return kAudioHardwareNoError;
}

}  // namespace corvessa::hal
