// Helpers that copy property values in and out of caller buffers with the platform's size rules.
#ifndef CORVESSA_PLATFORM_PROPERTY_DATA_H
#define CORVESSA_PLATFORM_PROPERTY_DATA_H

#include <algorithm>
#include <cstring>
#include <optional>
#include <span>
#include <string>

#include "platform/AudioHardware.h"

namespace platform::property {

/// Copies a fixed-size value; kAudioHardwareBadPropertySizeError when `ioSize` is too small.
template <typename T>
OSStatus copyOut(const T& value, UInt32& ioSize, void* out) noexcept {
    if (ioSize < sizeof(T)) {
        return kAudioHardwareBadPropertySizeError;
    }
    std::memcpy(out, &value, sizeof(T));
    ioSize = sizeof(T);
    return kAudioHardwareNoError;
}

/// Copies as many whole items of a list as fit into `ioSize` bytes.
template <typename T>
OSStatus copyOutList(std::span<const T> items, UInt32& ioSize, void* out) noexcept {
    const std::size_t count = std::min<std::size_t>(items.size(), ioSize / sizeof(T));
    if (count > 0) {
        std::memcpy(out, items.data(), count * sizeof(T));
    }
    ioSize = static_cast<UInt32>(count * sizeof(T));
    return kAudioHardwareNoError;
}

/// Writes a new string object (the caller releases it) holding `text`.
inline OSStatus copyOutString(const std::string& text, UInt32& ioSize, void* out) noexcept {
    if (ioSize < sizeof(CFStringRef)) {
        return kAudioHardwareBadPropertySizeError;
    }
    CFStringRef string =
        CFStringCreateWithCString(kCFAllocatorDefault, text.c_str(), kCFStringEncodingUTF8);
    if (string == nullptr) {
        return kAudioHardwareUnspecifiedError;
    }
    return copyOut(string, ioSize, out);
}

/// The value a setter received, or nothing when its size is not exactly that of T.
template <typename T>
std::optional<T> readIn(UInt32 size, const void* data) noexcept {
    if (size != sizeof(T) || data == nullptr) {
        return std::nullopt;
    }
    T value;
    std::memcpy(&value, data, sizeof(T));
    return value;
}

}  // namespace platform::property

#endif
