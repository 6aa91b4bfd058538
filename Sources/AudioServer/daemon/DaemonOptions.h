// The audio-server daemon's command line.
#ifndef CORVESSA_AUDIOSERVER_DAEMON_OPTIONS_H
#define CORVESSA_AUDIOSERVER_DAEMON_OPTIONS_H

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace audioserver::daemon {

/// What the daemon was asked to do.
struct DaemonOptions {
    bool help = false;
    /// The plug-in shared object; empty: the first of `defaultPluginCandidates` that exists.
    std::filesystem::path pluginPath;
    /// Frames per IO cycle: 128 (2.7 ms) adds the least wait for the last frame of a cycle.
    std::uint32_t framesPerCycle = 128;
    /// Private folder for the FIFO; empty: $XDG_RUNTIME_DIR/corvessa (or /tmp/corvessa-<uid>).
    std::filesystem::path runtimeFolder;
    /// Sound-server address; empty: libpulse's default (PULSE_SERVER, the user's server).
    std::string server;
    /// File the daemon writes its process id into (removed at exit); empty: none.
    std::filesystem::path pidFile;
};

/// Parses argv[1..]; the error text names the offending argument.
std::expected<DaemonOptions, std::string> parseDaemonOptions(std::span<const char* const> args);

/// The --help text.
std::string daemonUsage();

/// Where the plug-in is looked for when no --plugin is given, in order: the installed layout
/// beside the program (<bin>/../lib/corvessa/AmberlinHALPlugin/), then the build tree the
/// program was built in.
std::vector<std::filesystem::path> defaultPluginCandidates(const std::filesystem::path& program);

/// The folder used when no --runtime-dir is given.
std::filesystem::path defaultRuntimeFolder();

}  // namespace audioserver::daemon

#endif
