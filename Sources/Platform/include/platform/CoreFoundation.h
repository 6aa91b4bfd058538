// Reference-counted strings and UUIDs in the shape of the platform's foundation calls.
//
// Every object starts with a common header: an atomic reference count, a type tag and the
// function that destroys it. The destroy function belongs to the image (executable or shared
// object) that created the object, so a string created inside a dynamically loaded plug-in can be
// released by the host's own copy of these functions, and vice versa. All functions are
// null-safe: a null object is never equal to anything, and retaining or releasing null does
// nothing. Retain and release are lock-free and may be called from any thread.
#ifndef CORVESSA_PLATFORM_CORE_FOUNDATION_H
#define CORVESSA_PLATFORM_CORE_FOUNDATION_H

#include <cstdint>

#include "platform/CoreAudioTypes.h"

using CFTypeRef = const void*;
using CFIndex = long;
using CFStringEncoding = UInt32;
using CFAllocatorRef = const struct __CFAllocator*;
using CFStringRef = const struct __CFString*;
using CFUUIDRef = const struct __CFUUID*;
using CFDictionaryRef = const struct __CFDictionary*;
using CFPropertyListRef = CFTypeRef;

/// The only allocator: the C heap. Passing it (or null) anywhere an allocator is taken is the same.
inline constexpr CFAllocatorRef kCFAllocatorDefault = nullptr;
/// The only encoding strings accept and produce.
inline constexpr CFStringEncoding kCFStringEncodingUTF8 = 0x08000100;

/// The 16 bytes of a UUID in their canonical (text) order.
struct CFUUIDBytes {
    UInt8 byte0, byte1, byte2, byte3, byte4, byte5, byte6, byte7;
    UInt8 byte8, byte9, byte10, byte11, byte12, byte13, byte14, byte15;
};
static_assert(sizeof(CFUUIDBytes) == 16);

/// Adds one reference and returns the object (null stays null).
CFTypeRef CFRetain(CFTypeRef object) noexcept;
/// Drops one reference; the last one destroys the object with its creator's destroy function.
void CFRelease(CFTypeRef object) noexcept;
/// Current reference count (0 for null); constant objects report a fixed large count.
CFIndex CFGetRetainCount(CFTypeRef object) noexcept;
/// True when both are non-null objects of the same type with the same contents.
bool CFEqual(CFTypeRef left, CFTypeRef right) noexcept;

/// Copies a NUL-terminated UTF-8 string into a new string object (count 1); null when the text
/// is null, not valid UTF-8, the encoding is not UTF-8, or memory runs out.
CFStringRef CFStringCreateWithCString(CFAllocatorRef allocator, const char* text,
                                      CFStringEncoding encoding) noexcept;
/// Length in UTF-16 code units, as the platform counts characters (0 for null).
CFIndex CFStringGetLength(CFStringRef string) noexcept;
/// Copies the text with its NUL into `buffer` of `bufferSize` bytes; false when it does not fit.
Boolean CFStringGetCString(CFStringRef string, char* buffer, CFIndex bufferSize,
                           CFStringEncoding encoding) noexcept;
/// The string's own NUL-terminated UTF-8 bytes, valid while the string lives (null for null).
const char* CFStringGetCStringPtr(CFStringRef string, CFStringEncoding encoding) noexcept;

/// New UUID object (count 1) holding `bytes`; null when memory runs out.
CFUUIDRef CFUUIDCreateFromUUIDBytes(CFAllocatorRef allocator, CFUUIDBytes bytes) noexcept;
/// New UUID object from canonical text "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX" (either case);
/// null for any other text.
CFUUIDRef CFUUIDCreateFromString(CFAllocatorRef allocator, CFStringRef text) noexcept;
/// The UUID's bytes (all zero for null).
CFUUIDBytes CFUUIDGetUUIDBytes(CFUUIDRef uuid) noexcept;

#endif
