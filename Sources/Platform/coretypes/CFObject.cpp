// Reference counting and equality shared by every foundation object.
#include <cstring>

#include "CFObject.h"

using platform::cf::headerOf;
using platform::cf::ObjectHeader;
using platform::cf::TypeTag;

namespace {

bool stringsEqual(CFTypeRef left, CFTypeRef right) noexcept {
    const auto* a = static_cast<const __CFString*>(left);
    const auto* b = static_cast<const __CFString*>(right);
    return a->byteLength == b->byteLength && std::memcmp(a->bytes, b->bytes, a->byteLength) == 0;
}

bool uuidsEqual(CFTypeRef left, CFTypeRef right) noexcept {
    const auto* a = static_cast<const __CFUUID*>(left);
    const auto* b = static_cast<const __CFUUID*>(right);
    return std::memcmp(&a->bytes, &b->bytes, sizeof(CFUUIDBytes)) == 0;
}

}  // namespace

CFTypeRef CFRetain(CFTypeRef object) noexcept {
    if (object != nullptr && headerOf(object)->destroy != nullptr) {
        headerOf(object)->refCount.fetch_add(1, std::memory_order_relaxed);
    }
    return object;
}

void CFRelease(CFTypeRef object) noexcept {
    if (object == nullptr) {
        return;
    }
    ObjectHeader* header = headerOf(object);
    if (header->destroy == nullptr) {
        return;
    }
    // acq_rel: the thread that drops the last reference sees every other thread's writes.
    if (header->refCount.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        header->destroy(header);
    }
}

CFIndex CFGetRetainCount(CFTypeRef object) noexcept {
    if (object == nullptr) {
        return 0;
    }
    const ObjectHeader* header = headerOf(object);
    if (header->destroy == nullptr) {
        return platform::cf::kConstantRetainCount;
    }
    return header->refCount.load(std::memory_order_relaxed);
}

bool CFEqual(CFTypeRef left, CFTypeRef right) noexcept {
    if (left == nullptr || right == nullptr) {
        return false;
    }
    if (left == right) {
        return true;
    }
    const TypeTag tag = headerOf(left)->tag;
    if (tag != headerOf(right)->tag) {
        return false;
    }
    return tag == TypeTag::string ? stringsEqual(left, right) : uuidsEqual(left, right);
}
