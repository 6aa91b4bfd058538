// Property reads of the system object and of devices over the AudioObject* calls.
#include "HardwareProperties.h"

#include <algorithm>
#include <cstddef>

namespace amberlin::hardware {
namespace {

/// Reads a fixed-size value of `object`; none on any error or a short read.
template <class T>
std::optional<T> readValue(AudioObjectID object, const AudioObjectPropertyAddress& where) {
    T value{};
    UInt32 size = sizeof(T);
    const OSStatus status = AudioObjectGetPropertyData(object, &where, 0, nullptr, &size, &value);
    if (status != kAudioHardwareNoError || size != sizeof(T)) {
        return std::nullopt;
    }
    return value;
}

/// Sums the channel counts of the buffers that lie wholly inside `bytes` bytes of a buffer list;
/// a list that claims more buffers than its size holds is read only as far as it goes.
std::uint64_t sumChannels(const AudioBufferList& list, UInt32 bytes) {
    const std::size_t header = offsetof(AudioBufferList, mBuffers);
    const std::size_t fitting = bytes < header ? 0 : (bytes - header) / sizeof(AudioBuffer);
    const std::size_t buffers = std::min<std::size_t>(list.mNumberBuffers, fitting);
    std::uint64_t channels = 0;
    for (std::size_t i = 0; i < buffers; ++i) {
        channels += list.mBuffers[i].mNumberChannels;
    }
    return channels;
}

}  // namespace

AudioObjectPropertyAddress address(AudioObjectPropertySelector selector,
                                   AudioObjectPropertyScope scope) {
    return {selector, scope, kAudioObjectPropertyElementMain};
}

std::optional<std::vector<AudioObjectID>> deviceIDs() {
    const auto where = address(kAudioHardwarePropertyDevices);
    UInt32 size = 0;
    if (AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &where, 0, nullptr, &size) !=
        kAudioHardwareNoError) {
        return std::nullopt;
    }
    std::vector<AudioObjectID> ids(size / sizeof(AudioObjectID), kAudioObjectUnknown);
    UInt32 ioSize = static_cast<UInt32>(ids.size() * sizeof(AudioObjectID));
    if (AudioObjectGetPropertyData(kAudioObjectSystemObject, &where, 0, nullptr, &ioSize,
                                   ids.data()) != kAudioHardwareNoError) {
        return std::nullopt;
    }
    ids.resize(std::min<std::size_t>(ids.size(), ioSize / sizeof(AudioObjectID)));
    return ids;
}

std::optional<AudioObjectID> defaultInputDevice() {
    return readValue<AudioObjectID>(kAudioObjectSystemObject,
                                    address(kAudioHardwarePropertyDefaultInputDevice));
}

bool setDefaultInputDevice(AudioObjectID device) {
    const auto where = address(kAudioHardwarePropertyDefaultInputDevice);
    return AudioObjectSetPropertyData(kAudioObjectSystemObject, &where, 0, nullptr, sizeof(device),
                                      &device) == kAudioHardwareNoError;
}

std::optional<std::uint64_t> inputChannelCount(AudioObjectID device) {
    const auto where =
        address(kAudioDevicePropertyStreamConfiguration, kAudioObjectPropertyScopeInput);
    UInt32 size = 0;
    if (AudioObjectGetPropertyDataSize(device, &where, 0, nullptr, &size) !=
        kAudioHardwareNoError) {
        return std::nullopt;
    }
    // Storage of AudioBuffer alignment, at least one whole list long so the header is readable.
    const std::size_t words = (std::max<std::size_t>(size, sizeof(AudioBufferList)) + 7) / 8;
    std::vector<std::uint64_t> storage(words, 0);
    UInt32 ioSize = size;
    if (AudioObjectGetPropertyData(device, &where, 0, nullptr, &ioSize, storage.data()) !=
        kAudioHardwareNoError) {
        return std::nullopt;
    }
    const auto* list = reinterpret_cast<const AudioBufferList*>(storage.data());
    return sumChannels(*list, std::min(ioSize, size));
}

std::optional<std::string> stringProperty(AudioObjectID object,
                                          AudioObjectPropertySelector selector) {
    const auto value = readValue<CFStringRef>(object, address(selector));
    if (!value || *value == nullptr) {
        return std::nullopt;
    }
    const char* text = CFStringGetCStringPtr(*value, kCFStringEncodingUTF8);
    std::optional<std::string> result;
    if (text != nullptr) {
        result = std::string(text);
    }
    CFRelease(*value);
    return result;
}

}  // namespace amberlin::hardware
