// Typed property reads through the driver interface.
#include "audioserver/PropertyReader.h"

#include <unistd.h>

#include <algorithm>

namespace audioserver {

OSStatus PropertyReader::read(AudioObjectID object, const AudioObjectPropertyAddress& address,
                              Qualifier qualifier, std::span<std::byte> buffer,
                              UInt32& written) const {
    return (*driver_)->GetPropertyData(driver_, object, getpid(), &address,
                                       static_cast<UInt32>(qualifier.size()),
                                       qualifier.empty() ? nullptr : qualifier.data(),
                                       static_cast<UInt32>(buffer.size()), &written, buffer.data());
}

bool PropertyReader::has(AudioObjectID object, const AudioObjectPropertyAddress& address) const {
    return (*driver_)->HasProperty(driver_, object, getpid(), &address) != 0;
}

std::expected<bool, OSStatus> PropertyReader::isSettable(
    AudioObjectID object, const AudioObjectPropertyAddress& address) const {
    Boolean settable = 0;
    const OSStatus status =
        (*driver_)->IsPropertySettable(driver_, object, getpid(), &address, &settable);
    if (status != kAudioHardwareNoError) {
        return std::unexpected(status);
    }
    return settable != 0;
}

std::expected<UInt32, OSStatus> PropertyReader::dataSize(AudioObjectID object,
                                                         const AudioObjectPropertyAddress& address,
                                                         Qualifier qualifier) const {
    UInt32 size = 0;
    const OSStatus status = (*driver_)->GetPropertyDataSize(
        driver_, object, getpid(), &address, static_cast<UInt32>(qualifier.size()),
        qualifier.empty() ? nullptr : qualifier.data(), &size);
    if (status != kAudioHardwareNoError) {
        return std::unexpected(status);
    }
    return size;
}

std::expected<std::vector<std::byte>, OSStatus> PropertyReader::data(
    AudioObjectID object, const AudioObjectPropertyAddress& address, Qualifier qualifier) const {
    const std::expected<UInt32, OSStatus> size = dataSize(object, address, qualifier);
    if (!size) {
        return std::unexpected(size.error());
    }
    std::vector<std::byte> bytes(*size);
    UInt32 written = 0;
    const OSStatus status = read(object, address, qualifier, bytes, written);
    if (status != kAudioHardwareNoError) {
        return std::unexpected(status);
    }
    bytes.resize(std::min<std::size_t>(written, bytes.size()));
    return bytes;
}

std::expected<UInt32, OSStatus> PropertyReader::u32(AudioObjectID object,
                                                    const AudioObjectPropertyAddress& address,
                                                    Qualifier qualifier) const {
    return fixed<UInt32>(object, address, qualifier);
}

std::expected<Float64, OSStatus> PropertyReader::f64(
    AudioObjectID object, const AudioObjectPropertyAddress& address) const {
    return fixed<Float64>(object, address);
}

std::expected<std::string, OSStatus> PropertyReader::string(
    AudioObjectID object, const AudioObjectPropertyAddress& address) const {
    const std::expected<CFStringRef, OSStatus> value = fixed<CFStringRef>(object, address);
    if (!value) {
        return std::unexpected(value.error());
    }
    const char* text = CFStringGetCStringPtr(*value, kCFStringEncodingUTF8);
    std::expected<std::string, OSStatus> result = std::unexpected(kAudioHardwareUnspecifiedError);
    if (text != nullptr) {
        result = std::string(text);
    }
    CFRelease(*value);
    return result;
}

std::expected<AudioStreamBasicDescription, OSStatus> PropertyReader::streamFormat(
    AudioObjectID object, const AudioObjectPropertyAddress& address) const {
    return fixed<AudioStreamBasicDescription>(object, address);
}

std::expected<AudioBufferList, OSStatus> PropertyReader::bufferList(
    AudioObjectID object, const AudioObjectPropertyAddress& address) const {
    return fixed<AudioBufferList>(object, address);
}

std::expected<std::vector<AudioObjectID>, OSStatus> PropertyReader::objectList(
    AudioObjectID object, const AudioObjectPropertyAddress& address, Qualifier qualifier) const {
    return list<AudioObjectID>(object, address, qualifier);
}

std::expected<std::vector<AudioValueRange>, OSStatus> PropertyReader::valueRanges(
    AudioObjectID object, const AudioObjectPropertyAddress& address) const {
    return list<AudioValueRange>(object, address);
}

std::expected<std::vector<AudioStreamRangedDescription>, OSStatus> PropertyReader::rangedFormats(
    AudioObjectID object, const AudioObjectPropertyAddress& address) const {
    return list<AudioStreamRangedDescription>(object, address);
}

}  // namespace audioserver
