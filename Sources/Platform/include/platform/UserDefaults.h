// Per-user key/value database of one domain: our stand-in for the system's user defaults.
//
// Each domain is a directory under a root (normally "$XDG_CONFIG_HOME/corvessa/defaults", or
// "~/.config/corvessa/defaults"); each key is one file in it holding the value's bytes. Writes go
// to a temporary file that is flushed to disk and then renamed over the key's file, so a reader
// (another thread or process) sees either the old or the new value, never part of one, and a
// crash never leaves a half-written record.
//
// Threads: every method may be called from any thread at any time; the object holds no mutable
// state of its own.
#ifndef PLATFORM_USER_DEFAULTS_H
#define PLATFORM_USER_DEFAULTS_H

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

/// One domain of the per-user defaults database; values are binary data.
class UserDefaults {
  public:
    /// Domain of the standard database, shared by every Corvessa program.
    static constexpr std::string_view standardDomain = "com.halvern.corvessa";

    /// The database of the program's own domain under the user's configuration root. Always the
    /// same object, so identity tells the standard database apart from any other.
    static const std::shared_ptr<UserDefaults>& standard();

    /// A separate database for the suite `name` under the user's configuration root; null for an
    /// empty name. Never the standard object, even for the standard domain's name.
    static std::shared_ptr<UserDefaults> suite(std::string_view name);

    /// The user's configuration root: "$XDG_CONFIG_HOME/corvessa/defaults" when that variable
    /// holds an absolute path, else "<home>/.config/corvessa/defaults".
    static std::filesystem::path userRoot();

    /// A database for `domain` whose files live under `root` (used by tests and tools).
    UserDefaults(std::filesystem::path root, std::string_view domain);

    /// The bytes stored under `key`, or nothing when the key has no value or cannot be read.
    std::optional<std::vector<std::uint8_t>> data(std::string_view key) const;

    /// Replaces the value under `key` atomically and durably; false when it could not be stored.
    bool setData(std::string_view key, std::span<const std::uint8_t> value) const;

    /// Removes the value under `key`; true when no value remains.
    bool removeObject(std::string_view key) const;

    /// The directory that holds this domain's files.
    const std::filesystem::path& directory() const { return directory_; }

  private:
    std::filesystem::path directory_;
};

}  // namespace platform

#endif
