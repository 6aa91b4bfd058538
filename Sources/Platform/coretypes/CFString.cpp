// Immutable UTF-8 strings.
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>

#include "CFObject.h"

using platform::cf::ObjectHeader;
using platform::cf::TypeTag;

namespace {

/// Bytes in the UTF-8 sequence that starts with `lead`, or 0 for a byte that cannot start one.
std::size_t sequenceLength(unsigned char lead) noexcept {
    if (lead < 0x80) {
        return 1;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        return 2;
    }
    if (lead >= 0xE0 && lead <= 0xEF) {
        return 3;
    }
    return (lead >= 0xF0 && lead <= 0xF4) ? 4 : 0;
}

/// True when the sequence at `s` of `length` bytes is well formed (no overlong form, no
/// surrogate, nothing above U+10FFFF).
bool validSequence(const unsigned char* s, std::size_t length) noexcept {
    for (std::size_t i = 1; i < length; ++i) {
        if ((s[i] & 0xC0) != 0x80) {
            return false;
        }
    }
    if (length == 3) {
        return !(s[0] == 0xE0 && s[1] < 0xA0) && !(s[0] == 0xED && s[1] >= 0xA0);
    }
    if (length == 4) {
        return !(s[0] == 0xF0 && s[1] < 0x90) && !(s[0] == 0xF4 && s[1] >= 0x90);
    }
    return true;
}

/// Length in UTF-16 code units of well-formed UTF-8 text, or nothing when it is malformed.
std::optional<CFIndex> utf16LengthOf(const char* text, std::size_t bytes) noexcept {
    const auto* s = reinterpret_cast<const unsigned char*>(text);
    CFIndex units = 0;
    for (std::size_t i = 0; i < bytes;) {
        const std::size_t length = sequenceLength(s[i]);
        if (length == 0 || i + length > bytes || !validSequence(s + i, length)) {
            return std::nullopt;
        }
        units += length == 4 ? 2 : 1;
        i += length;
    }
    return units;
}

void destroyString(ObjectHeader* header) noexcept {
    auto* string = reinterpret_cast<__CFString*>(header);
    string->~__CFString();
    std::free(string);
}

bool isString(CFStringRef string) noexcept {
    return platform::cf::hasTag(string, TypeTag::string);
}

}  // namespace

CFStringRef CFStringCreateWithCString(CFAllocatorRef /*allocator*/, const char* text,
                                      CFStringEncoding encoding) noexcept {
    if (text == nullptr || encoding != kCFStringEncodingUTF8) {
        return nullptr;
    }
    const std::size_t bytes = std::strlen(text);
    const std::optional<CFIndex> units = utf16LengthOf(text, bytes);
    if (!units) {
        return nullptr;
    }
    void* memory = std::malloc(sizeof(__CFString) + bytes + 1);
    if (memory == nullptr) {
        return nullptr;
    }
    char* storage = static_cast<char*>(memory) + sizeof(__CFString);
    std::memcpy(storage, text, bytes + 1);
    return new (memory) __CFString{{{1}, TypeTag::string, &destroyString}, *units, bytes, storage};
}

CFIndex CFStringGetLength(CFStringRef string) noexcept {
    return isString(string) ? string->utf16Length : 0;
}

Boolean CFStringGetCString(CFStringRef string, char* buffer, CFIndex bufferSize,
                           CFStringEncoding encoding) noexcept {
    if (!isString(string) || buffer == nullptr || encoding != kCFStringEncodingUTF8 ||
        bufferSize <= 0 || static_cast<std::size_t>(bufferSize) <= string->byteLength) {
        return false;
    }
    std::memcpy(buffer, string->bytes, string->byteLength + 1);
    return true;
}

const char* CFStringGetCStringPtr(CFStringRef string, CFStringEncoding encoding) noexcept {
    if (!isString(string) || encoding != kCFStringEncodingUTF8) {
        return nullptr;
    }
    return string->bytes;
}
