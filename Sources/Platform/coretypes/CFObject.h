// Private layout of the foundation objects: a common header followed by the type's payload.
//
// The layout is shared by every image that links these sources, which is what lets one image
// release an object another created: the header carries the creator's destroy function.
#ifndef CORVESSA_PLATFORM_CF_OBJECT_H
#define CORVESSA_PLATFORM_CF_OBJECT_H

#include <atomic>
#include <cstddef>

#include "platform/CoreFoundation.h"

namespace platform::cf {

/// Distinguishes object kinds; values are four-character codes so a dump reads well.
enum class TypeTag : UInt32 { string = 0x43465354u /* 'CFST' */, uuid = 0x43465555u /* 'CFUU' */ };

/// Common header of every object.
struct ObjectHeader {
    std::atomic<CFIndex> refCount;            ///< live references; unused for constants
    TypeTag tag;                              ///< what follows the header
    void (*destroy)(ObjectHeader*) noexcept;  ///< creator's destroy function; null for constants
};

/// Reference count reported for constant objects, which are never destroyed.
inline constexpr CFIndex kConstantRetainCount = 0x7fffffff;

/// Header of `object`, or null.
inline ObjectHeader* headerOf(CFTypeRef object) noexcept {
    return static_cast<ObjectHeader*>(const_cast<void*>(object));
}

/// True when `object` is non-null and carries `tag`.
inline bool hasTag(CFTypeRef object, TypeTag tag) noexcept {
    return object != nullptr && headerOf(object)->tag == tag;
}

}  // namespace platform::cf

/// A string: UTF-8 bytes stored right after the object in the same allocation.
struct __CFString {
    platform::cf::ObjectHeader header;
    CFIndex utf16Length;     ///< length as the platform counts characters
    std::size_t byteLength;  ///< UTF-8 bytes, without the NUL
    const char* bytes;       ///< NUL-terminated UTF-8
};

/// A UUID.
struct __CFUUID {
    platform::cf::ObjectHeader header;
    CFUUIDBytes bytes;
};

#endif
