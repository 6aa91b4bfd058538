// File-backed per-user defaults database with atomic, durable writes.
#include "platform/UserDefaults.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <system_error>
#include <utility>

namespace platform {
namespace {

// Encodes a key or domain as one safe file name: letters, digits, '-', '_' and (except at the
// start) '.' stay; every other byte becomes %XX. Temporary files start with '.', so they can
// never collide with an encoded name.
std::string encodeName(std::string_view name) {
    static constexpr std::array<char, 16> hex = {'0', '1', '2', '3', '4', '5', '6', '7',
                                                 '8', '9', 'A', 'B', 'C', 'D', 'E', 'F'};
    std::string encoded;
    encoded.reserve(name.size());
    for (std::size_t i = 0; i < name.size(); ++i) {
        const auto byte = static_cast<unsigned char>(name[i]);
        const bool plain = (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
                           (byte >= '0' && byte <= '9') || byte == '-' || byte == '_' ||
                           (byte == '.' && i > 0);
        if (plain) {
            encoded.push_back(static_cast<char>(byte));
        } else {
            encoded.push_back('%');
            encoded.push_back(hex[byte >> 4]);
            encoded.push_back(hex[byte & 0x0F]);
        }
    }
    return encoded;
}

// The user's home directory: $HOME when absolute, else the password database.
std::filesystem::path homeDirectory() {
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/') {
        return home;
    }
    std::array<char, 4096> buffer{};
    passwd entry{};
    passwd* result = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &result) == 0 &&
        result != nullptr && result->pw_dir != nullptr) {
        return result->pw_dir;
    }
    return std::filesystem::temp_directory_path() / ("corvessa-" + std::to_string(getuid()));
}

// Writes all bytes, retrying short writes and interruptions.
bool writeAll(int fd, std::span<const std::uint8_t> bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Reads a whole regular file; nothing when it does not exist, cannot be read or is anything but
// a regular file: opening a FIFO would block until a writer came, and a device (a value replaced
// by a link to /dev/zero) may never end. The open itself never blocks.
std::optional<std::vector<std::uint8_t>> readAll(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return std::nullopt;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return std::nullopt;
    }
    std::vector<std::uint8_t> bytes;
    std::array<std::uint8_t, 8192> chunk{};
    for (;;) {
        const ssize_t n = ::read(fd, chunk.data(), chunk.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            ::close(fd);
            return n == 0 ? std::optional(std::move(bytes)) : std::nullopt;
        }
        bytes.insert(bytes.end(), chunk.begin(), chunk.begin() + n);
    }
}

// Flushes a directory's entries so that a rename or unlink in it survives a crash.
void syncDirectory(const std::filesystem::path& directory) {
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

// Creates the domain directory and any missing parents, owner-only, since defaults are private
// to the user.
bool ensureDirectory(const std::filesystem::path& directory) {
    std::filesystem::path prefix;
    for (const auto& part : directory) {
        prefix /= part;
        if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) {
            return false;
        }
    }
    std::error_code error;
    return std::filesystem::is_directory(directory, error);
}

// Writes `bytes` to a fresh temporary file in `directory`, flushed to disk; its path or nothing.
std::optional<std::string> writeTemporary(const std::filesystem::path& directory,
                                          const std::string& name,
                                          std::span<const std::uint8_t> bytes) {
    std::string path = (directory / ("." + name + ".XXXXXX")).string();
    const int fd = ::mkostemp(path.data(), O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    const bool written = writeAll(fd, bytes) && ::fsync(fd) == 0;
    const bool closed = ::close(fd) == 0;
    if (!written || !closed) {
        ::unlink(path.c_str());
        return std::nullopt;
    }
    return path;
}

}  // namespace

const std::shared_ptr<UserDefaults>& UserDefaults::standard() {
    static const auto instance = std::make_shared<UserDefaults>(userRoot(), standardDomain);
    return instance;
}

std::shared_ptr<UserDefaults> UserDefaults::suite(std::string_view name) {
    if (name.empty()) {
        return nullptr;
    }
    return std::make_shared<UserDefaults>(userRoot(), name);
}

std::filesystem::path UserDefaults::userRoot() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    std::filesystem::path base = (xdg != nullptr && xdg[0] == '/') ? std::filesystem::path(xdg)
                                                                   : homeDirectory() / ".config";
    return base / "corvessa" / "defaults";
}

UserDefaults::UserDefaults(std::filesystem::path root, std::string_view domain)
    : directory_(std::move(root) / encodeName(domain)) {}

std::optional<std::vector<std::uint8_t>> UserDefaults::data(std::string_view key) const {
    if (key.empty()) {
        return std::nullopt;
    }
    return readAll(directory_ / encodeName(key));
}

bool UserDefaults::setData(std::string_view key, std::span<const std::uint8_t> value) const {
    const std::string name = encodeName(key);
    if (name.empty() || !ensureDirectory(directory_)) {
        return false;
    }
    const std::optional<std::string> temporary = writeTemporary(directory_, name, value);
    if (!temporary) {
        return false;
    }
    const std::filesystem::path target = directory_ / name;
    if (::rename(temporary->c_str(), target.c_str()) != 0) {
        ::unlink(temporary->c_str());
        return false;
    }
    syncDirectory(directory_);
    return true;
}

bool UserDefaults::removeObject(std::string_view key) const {
    if (key.empty()) {
        return true;
    }
    const std::filesystem::path target = directory_ / encodeName(key);
    if (::unlink(target.c_str()) != 0) {
        return errno == ENOENT;
    }
    syncDirectory(directory_);
    return true;
}

}  // namespace platform
