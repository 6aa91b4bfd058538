// Info.plist lookup through libplist.
#include "audioserver/BundleDescription.h"

#include <plist/plist.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>

#include "audioserver/PluginLoadError.h"

namespace audioserver {
namespace {

using Reason = PluginLoadError::Reason;

struct PlistDeleter {
    void operator()(plist_t node) const noexcept { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

/// The whole file, or nothing when it cannot be read.
std::optional<std::string> readFile(const std::filesystem::path& path) {
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(path, error);
    std::ifstream file(path, std::ios::binary);
    if (error || !file.is_open() || size > UINT32_MAX) {
        return std::nullopt;
    }
    std::string bytes(static_cast<std::size_t>(size), '\0');
    if (!file.read(bytes.data(), static_cast<std::streamsize>(size))) {
        return std::nullopt;
    }
    return bytes;
}

PlistPtr readPlist(const std::filesystem::path& path) {
    const std::optional<std::string> bytes = readFile(path);
    if (!bytes) {
        throw PluginLoadError(Reason::bundleUnreadable, path.string());
    }
    plist_t root = nullptr;
    plist_from_memory(bytes->data(), static_cast<uint32_t>(bytes->size()), &root);
    if (root == nullptr || plist_get_node_type(root) != PLIST_DICT) {
        plist_free(root);
        throw PluginLoadError(Reason::bundleUnreadable, path.string());
    }
    return PlistPtr(root);
}

plist_t dictionaryItem(plist_t dict, const char* key, const std::filesystem::path& path) {
    plist_t item = plist_dict_get_item(dict, key);
    if (item == nullptr || plist_get_node_type(item) != PLIST_DICT) {
        throw PluginLoadError(Reason::bundleUnreadable, path.string() + ": " + key);
    }
    return item;
}

std::optional<std::string> stringOf(plist_t node) {
    if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) {
        return std::nullopt;
    }
    uint64_t length = 0;
    const char* text = plist_get_string_ptr(node, &length);
    return std::string(text, length);
}

bool sameUUID(const std::string& text, CFUUIDRef uuid) {
    CFStringRef string = CFStringCreateWithCString(nullptr, text.c_str(), kCFStringEncodingUTF8);
    CFUUIDRef parsed = CFUUIDCreateFromString(nullptr, string);
    const bool same = CFEqual(parsed, uuid);
    CFRelease(parsed);
    CFRelease(string);
    return same;
}

/// The value stored under the dictionary key whose text is the UUID `uuid`, or null.
plist_t itemForUUID(plist_t dict, CFUUIDRef uuid) {
    plist_dict_iter iter = nullptr;
    plist_dict_new_iter(dict, &iter);
    plist_t found = nullptr;
    for (;;) {
        char* key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(dict, iter, &key, &value);
        if (key == nullptr) {
            break;
        }
        const bool match = sameUUID(key, uuid);
        std::free(key);
        if (match) {
            found = value;
            break;
        }
    }
    std::free(iter);
    return found;
}

/// Factory UUID texts registered for `type`.
std::optional<std::string> firstFactoryUUID(plist_t types, CFUUIDRef type) {
    plist_t factories = itemForUUID(types, type);
    if (factories == nullptr || plist_get_node_type(factories) != PLIST_ARRAY ||
        plist_array_get_size(factories) == 0) {
        return std::nullopt;
    }
    return stringOf(plist_array_get_item(factories, 0));
}

}  // namespace

std::string factoryNameForType(const std::filesystem::path& infoPlist, CFUUIDRef type) {
    const PlistPtr root = readPlist(infoPlist);
    plist_t types = dictionaryItem(root.get(), "CFPlugInTypes", infoPlist);
    plist_t factories = dictionaryItem(root.get(), "CFPlugInFactories", infoPlist);
    const std::optional<std::string> factoryUUID = firstFactoryUUID(types, type);
    if (!factoryUUID) {
        throw PluginLoadError(Reason::factoryMissing, infoPlist.string());
    }
    CFStringRef text =
        CFStringCreateWithCString(nullptr, factoryUUID->c_str(), kCFStringEncodingUTF8);
    CFUUIDRef factory = CFUUIDCreateFromString(nullptr, text);
    const std::optional<std::string> name = stringOf(itemForUUID(factories, factory));
    CFRelease(factory);
    CFRelease(text);
    if (!name || name->empty()) {
        throw PluginLoadError(Reason::factoryMissing, *factoryUUID);
    }
    return *name;
}

}  // namespace audioserver
