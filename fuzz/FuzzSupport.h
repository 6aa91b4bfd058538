// Shared pieces of the fuzz harnesses: a private scratch directory, file writing, invariant
// checks that libFuzzer records as crashes, and a little-endian reader over the fuzz input.
#ifndef CORVESSA_FUZZ_SUPPORT_H
#define CORVESSA_FUZZ_SUPPORT_H

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>
#include <system_error>

namespace corvessa::fuzz {

/// Stops the run with `what`: libFuzzer keeps the input that broke the invariant.
[[noreturn]] inline void fail(const char* what) {
    std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
    std::abort();
}

inline void check(bool holds, const char* what) {
    if (!holds) {
        fail(what);
    }
}

/// This process's own directory (on tmpfs when there is one, so durable writes stay cheap),
/// created on first use and removed when the process exits normally. The path is never
/// destroyed: the exit handler that removes the directory runs after static destructors would.
inline const std::filesystem::path& scratchDirectory() {
    static const auto* const directory = [] {
        const std::filesystem::path base = std::filesystem::is_directory("/dev/shm")
                                               ? std::filesystem::path("/dev/shm")
                                               : std::filesystem::temp_directory_path();
        auto* path =
            new std::filesystem::path(base / ("corvessa-fuzz-" + std::to_string(getpid())));
        std::filesystem::create_directories(*path);
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(scratchDirectory(), ignored);
        });
        return path;
    }();
    return *directory;
}

/// Replaces `path` with `bytes`.
inline void writeFile(const std::filesystem::path& path, std::span<const std::uint8_t> bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    check(static_cast<bool>(out), "scratch file written");
}

/// Reads fixed-width little-endian fields from the front of the input; past the end every read
/// yields zeros, so any input is a complete script.
class InputReader {
  public:
    explicit InputReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    template <typename T>
    T take() {
        T value{};
        const std::size_t count = std::min(sizeof(T), bytes_.size());
        std::memcpy(&value, bytes_.data(), count);
        bytes_ = bytes_.subspan(count);
        return value;
    }
    /// Up to `count` bytes, fewer at the end of the input.
    std::span<const std::uint8_t> takeBytes(std::size_t count) {
        const auto taken = bytes_.first(std::min(count, bytes_.size()));
        bytes_ = bytes_.subspan(taken.size());
        return taken;
    }
    bool empty() const { return bytes_.empty(); }
    std::span<const std::uint8_t> rest() const { return bytes_; }

  private:
    std::span<const std::uint8_t> bytes_;
};

}  // namespace corvessa::fuzz

#endif
