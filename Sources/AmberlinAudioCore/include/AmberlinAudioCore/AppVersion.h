// The program's version text, shared by the helper's report and the diagnostics snapshot.
//
// Threads: `current()` is computed once per process, on first use, even when first read from
// several threads at once; the other functions hold no state.
#ifndef AMBERLINAUDIOCORE_APPVERSION_H
#define AMBERLINAUDIOCORE_APPVERSION_H

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace amberlin {

/// Finds the short version string of the application bundle the program runs from; a namespace
/// without instances.
struct AppVersion {
    AppVersion() = delete;

    /// The property-list key that holds the version text.
    static constexpr std::string_view shortVersionKey = "CFBundleShortVersionString";
    /// What a program outside any bundle reports.
    static constexpr std::string_view fallback = "dev";

    /// The version of this process: `resolve` for the running executable. Fixed for the life of
    /// the process; never empty.
    static const std::string& current();

    /// The version in "Info.plist" two directory levels above `executable` once its symbolic
    /// links are resolved (the bundle's Contents directory when the executable lies in a
    /// directory directly inside it), else "dev". Programs on this platform carry no information
    /// dictionary of their own, so the enclosing bundle is the only source. An empty version
    /// text counts as none, so the result is never empty; every failure gives "dev".
    static std::string resolve(const std::filesystem::path& executable);

    /// The short version string of the property-list dictionary (XML or binary) in `file`, when
    /// the file can be read, holds a dictionary and the value is a string.
    static std::optional<std::string> shortVersion(const std::filesystem::path& file);

    /// The location of the running executable (links resolved), if the system tells it.
    static std::optional<std::filesystem::path> executablePath();
};

}  // namespace amberlin

#endif
