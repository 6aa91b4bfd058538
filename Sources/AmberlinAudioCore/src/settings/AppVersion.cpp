// Version lookup through the enclosing bundle's property list, read with libplist.
#include "AmberlinAudioCore/AppVersion.h"

#include <plist/plist.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <memory>
#include <system_error>

namespace amberlin {
namespace {

namespace fs = std::filesystem;

/// A property list larger than this (bytes) is not a bundle's information file.
constexpr std::uintmax_t kMaxPropertyListBytes = 16u * 1024u * 1024u;

struct PlistDeleter {
    void operator()(plist_t node) const noexcept { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

/// The whole regular file, or nothing when it is missing, unreadable or implausibly large.
std::optional<std::string> readSmallFile(const fs::path& path) {
    std::error_code error;
    if (!fs::is_regular_file(path, error) || fs::file_size(path, error) > kMaxPropertyListBytes ||
        error) {
        return std::nullopt;
    }
    std::ifstream file(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (file.bad()) {
        return std::nullopt;
    }
    return bytes;
}

/// The parsed property list when its root is a dictionary.
PlistPtr parseDictionary(const std::string& bytes) {
    plist_t root = nullptr;
    plist_from_memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &root);
    PlistPtr owned(root);
    if (root == nullptr || plist_get_node_type(root) != PLIST_DICT) {
        return nullptr;
    }
    return owned;
}

/// A non-empty text; empty text counts as no version.
std::optional<std::string> nonEmpty(std::optional<std::string> text) {
    return text && !text->empty() ? text : std::nullopt;
}

/// "Info.plist" two levels above the executable after resolving its links.
std::optional<fs::path> enclosingPropertyList(const fs::path& executable) {
    std::error_code error;
    const fs::path resolved = fs::canonical(executable, error);
    if (error || resolved.empty()) {
        return std::nullopt;
    }
    return resolved.parent_path().parent_path() / "Info.plist";
}

}  // namespace

const std::string& AppVersion::current() {
    // A function-local static is initialised exactly once even under concurrent first use.
    static const std::string version = resolve(executablePath().value_or(fs::path()));
    return version;
}

std::string AppVersion::resolve(const fs::path& executable) {
    if (const auto file = enclosingPropertyList(executable)) {
        if (auto version = nonEmpty(shortVersion(*file))) {
            return *version;
        }
    }
    return std::string(fallback);
}

std::optional<std::string> AppVersion::shortVersion(const fs::path& file) {
    const std::optional<std::string> bytes = readSmallFile(file);
    if (!bytes || bytes->empty()) {
        return std::nullopt;
    }
    const PlistPtr root = parseDictionary(*bytes);
    if (!root) {
        return std::nullopt;
    }
    plist_t item = plist_dict_get_item(root.get(), std::string(shortVersionKey).c_str());
    if (item == nullptr || plist_get_node_type(item) != PLIST_STRING) {
        return std::nullopt;
    }
    std::uint64_t length = 0;
    const char* text = plist_get_string_ptr(item, &length);
    return text == nullptr ? std::nullopt : std::optional<std::string>(std::string(text, length));
}

std::optional<fs::path> AppVersion::executablePath() {
    std::error_code error;
    fs::path path = fs::read_symlink("/proc/self/exe", error);
    if (error || path.empty()) {
        return std::nullopt;
    }
    return path;
}

}  // namespace amberlin
