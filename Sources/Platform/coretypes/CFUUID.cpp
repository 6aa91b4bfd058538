// UUID objects and their canonical text form.
#include <cstdlib>
#include <new>

#include "CFObject.h"

using platform::cf::ObjectHeader;
using platform::cf::TypeTag;

namespace {

void destroyUUID(ObjectHeader* header) noexcept {
    auto* uuid = reinterpret_cast<__CFUUID*>(header);
    uuid->~__CFUUID();
    std::free(uuid);
}

/// Value of one hexadecimal digit, or -1.
int hexValue(char c) noexcept {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return (c >= 'A' && c <= 'F') ? c - 'A' + 10 : -1;
}

bool isDashPosition(std::size_t i) noexcept {
    return i == 8 || i == 13 || i == 18 || i == 23;
}

/// Parses "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX" into 16 bytes; false for anything else.
bool parseCanonical(const char* text, std::size_t length, UInt8 (&out)[16]) noexcept {
    if (length != 36) {
        return false;
    }
    std::size_t nibble = 0;
    for (std::size_t i = 0; i < length; ++i) {
        if (isDashPosition(i)) {
            if (text[i] != '-') {
                return false;
            }
            continue;
        }
        const int value = hexValue(text[i]);
        if (value < 0) {
            return false;
        }
        out[nibble / 2] =
            static_cast<UInt8>((nibble % 2 == 0) ? value << 4 : out[nibble / 2] | value);
        ++nibble;
    }
    return true;
}

}  // namespace

CFUUIDRef CFUUIDCreateFromUUIDBytes(CFAllocatorRef /*allocator*/, CFUUIDBytes bytes) noexcept {
    void* memory = std::malloc(sizeof(__CFUUID));
    if (memory == nullptr) {
        return nullptr;
    }
    return new (memory) __CFUUID{{{1}, TypeTag::uuid, &destroyUUID}, bytes};
}

CFUUIDRef CFUUIDCreateFromString(CFAllocatorRef allocator, CFStringRef text) noexcept {
    if (!platform::cf::hasTag(text, TypeTag::string)) {
        return nullptr;
    }
    UInt8 raw[16] = {};
    if (!parseCanonical(text->bytes, text->byteLength, raw)) {
        return nullptr;
    }
    return CFUUIDCreateFromUUIDBytes(
        allocator,
        CFUUIDBytes{raw[0], raw[1], raw[2], raw[3], raw[4], raw[5], raw[6], raw[7], raw[8], raw[9],
                    raw[10], raw[11], raw[12], raw[13], raw[14], raw[15]});
}

CFUUIDBytes CFUUIDGetUUIDBytes(CFUUIDRef uuid) noexcept {
    return platform::cf::hasTag(uuid, TypeTag::uuid) ? uuid->bytes : CFUUIDBytes{};
}
