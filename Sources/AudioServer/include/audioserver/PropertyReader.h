// Typed reads of plug-in object properties through the driver interface, as the audio server
// makes them: size first where the value is a list, then the data.
//
// Each read returns the value or the status the plug-in answered. String values are copied out
// and the string object released at once, so nothing the plug-in created outlives the read.
#ifndef CORVESSA_AUDIOSERVER_PROPERTY_READER_H
#define CORVESSA_AUDIOSERVER_PROPERTY_READER_H

#include <cstddef>
#include <expected>
#include <span>
#include <string>
#include <vector>

#include "platform/AudioServerPlugIn.h"

namespace audioserver {

/// Builds a property address; global scope and main element unless stated.
constexpr AudioObjectPropertyAddress propertyAddress(
    AudioObjectPropertySelector selector,
    AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal,
    AudioObjectPropertyElement element = kAudioObjectPropertyElementMain) {
    return AudioObjectPropertyAddress{selector, scope, element};
}

/// Reads properties of the objects behind one driver reference.
class PropertyReader {
  public:
    using Qualifier = std::span<const std::byte>;

    explicit PropertyReader(AudioServerPlugInDriverRef driver) noexcept : driver_(driver) {}

    /// Whether the object has the property.
    bool has(AudioObjectID object, const AudioObjectPropertyAddress& address) const;
    /// Whether the property may be written.
    std::expected<bool, OSStatus> isSettable(AudioObjectID object,
                                             const AudioObjectPropertyAddress& address) const;
    /// Size in bytes of the value.
    std::expected<UInt32, OSStatus> dataSize(AudioObjectID object,
                                             const AudioObjectPropertyAddress& address,
                                             Qualifier qualifier = {}) const;
    /// The raw value, read into a buffer of the size the plug-in reported.
    std::expected<std::vector<std::byte>, OSStatus> data(AudioObjectID object,
                                                         const AudioObjectPropertyAddress& address,
                                                         Qualifier qualifier = {}) const;

    /// A u32 value (class IDs, flags, counts).
    std::expected<UInt32, OSStatus> u32(AudioObjectID object,
                                        const AudioObjectPropertyAddress& address,
                                        Qualifier qualifier = {}) const;
    /// An f64 value (sample rates in Hz).
    std::expected<Float64, OSStatus> f64(AudioObjectID object,
                                         const AudioObjectPropertyAddress& address) const;
    /// A string value as UTF-8 ('what' when the plug-in handed out no string).
    std::expected<std::string, OSStatus> string(AudioObjectID object,
                                                const AudioObjectPropertyAddress& address) const;
    /// A stream format.
    std::expected<AudioStreamBasicDescription, OSStatus> streamFormat(
        AudioObjectID object, const AudioObjectPropertyAddress& address) const;
    /// A stream configuration holding one buffer.
    std::expected<AudioBufferList, OSStatus> bufferList(
        AudioObjectID object, const AudioObjectPropertyAddress& address) const;
    /// A list of object IDs (possibly empty).
    std::expected<std::vector<AudioObjectID>, OSStatus> objectList(
        AudioObjectID object, const AudioObjectPropertyAddress& address,
        Qualifier qualifier = {}) const;
    /// A list of value ranges.
    std::expected<std::vector<AudioValueRange>, OSStatus> valueRanges(
        AudioObjectID object, const AudioObjectPropertyAddress& address) const;
    /// A list of formats with their sample-rate ranges.
    std::expected<std::vector<AudioStreamRangedDescription>, OSStatus> rangedFormats(
        AudioObjectID object, const AudioObjectPropertyAddress& address) const;

    /// Reads exactly sizeof(T) bytes; a value of any other size is '!siz'.
    template <typename T>
    std::expected<T, OSStatus> fixed(AudioObjectID object,
                                     const AudioObjectPropertyAddress& address,
                                     Qualifier qualifier = {}) const;

    /// Reads a list of T sized by the plug-in; a size that is not a multiple of T is '!siz'.
    template <typename T>
    std::expected<std::vector<T>, OSStatus> list(AudioObjectID object,
                                                 const AudioObjectPropertyAddress& address,
                                                 Qualifier qualifier = {}) const;

    AudioServerPlugInDriverRef driver() const noexcept { return driver_; }

  private:
    OSStatus read(AudioObjectID object, const AudioObjectPropertyAddress& address,
                  Qualifier qualifier, std::span<std::byte> buffer, UInt32& written) const;

    AudioServerPlugInDriverRef driver_;
};

template <typename T>
std::expected<T, OSStatus> PropertyReader::fixed(AudioObjectID object,
                                                 const AudioObjectPropertyAddress& address,
                                                 Qualifier qualifier) const {
    T value{};
    UInt32 written = 0;
    const OSStatus status =
        read(object, address, qualifier, std::as_writable_bytes(std::span(&value, 1)), written);
    if (status != kAudioHardwareNoError) {
        return std::unexpected(status);
    }
    if (written != sizeof(T)) {
        return std::unexpected(kAudioHardwareBadPropertySizeError);
    }
    return value;
}

template <typename T>
std::expected<std::vector<T>, OSStatus> PropertyReader::list(
    AudioObjectID object, const AudioObjectPropertyAddress& address, Qualifier qualifier) const {
    const std::expected<std::vector<std::byte>, OSStatus> bytes = data(object, address, qualifier);
    if (!bytes) {
        return std::unexpected(bytes.error());
    }
    if (bytes->size() % sizeof(T) != 0) {
        return std::unexpected(kAudioHardwareBadPropertySizeError);
    }
    std::vector<T> values(bytes->size() / sizeof(T));
    if (!values.empty()) {
        __builtin_memcpy(values.data(), bytes->data(), bytes->size());
    }
    return values;
}

}  // namespace audioserver

#endif
