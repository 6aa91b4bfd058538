// Command-line parsing and the default locations of the plug-in and the runtime folder.
#include "DaemonOptions.h"

#include <unistd.h>

#include <charconv>
#include <cstdlib>
#include <string_view>
#include <vector>

namespace audioserver::daemon {
namespace {

constexpr std::uint32_t kMaxFramesPerCycle = 1024;  // keeps one cycle's write below PIPE_BUF

/// The value of "--name=value" or of "--name value" (advancing `index`), if `arg` is --name.
std::optional<std::string> valueOf(std::string_view arg, std::string_view name,
                                   std::span<const char* const> args, std::size_t& index,
                                   std::string& error) {
    if (arg.starts_with(name) && arg.size() > name.size() && arg[name.size()] == '=') {
        return std::string(arg.substr(name.size() + 1));
    }
    if (arg != name) {
        return std::nullopt;
    }
    if (index + 1 >= args.size() || args[index + 1] == nullptr) {
        error = std::string(name) + " needs a value";
        return std::nullopt;
    }
    return std::string(args[++index]);
}

std::expected<std::uint32_t, std::string> parseFrames(const std::string& text) {
    std::uint32_t frames = 0;
    const auto [end, status] = std::from_chars(text.data(), text.data() + text.size(), frames);
    if (status != std::errc{} || end != text.data() + text.size() || frames == 0 ||
        frames > kMaxFramesPerCycle) {
        return std::unexpected("--frames-per-cycle must be 1.." +
                               std::to_string(kMaxFramesPerCycle) + ", got '" + text + "'");
    }
    return frames;
}

}  // namespace

std::expected<DaemonOptions, std::string> parseDaemonOptions(std::span<const char* const> args) {
    DaemonOptions options;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == nullptr) {
            break;
        }
        const std::string_view arg = args[i];
        std::string error;
        if (arg == "--help" || arg == "-h") {
            options.help = true;
        } else if (auto plugin = valueOf(arg, "--plugin", args, i, error)) {
            options.pluginPath = *plugin;
        } else if (auto frames = valueOf(arg, "--frames-per-cycle", args, i, error)) {
            const auto parsed = parseFrames(*frames);
            if (!parsed) {
                return std::unexpected(parsed.error());
            }
            options.framesPerCycle = *parsed;
        } else if (auto folder = valueOf(arg, "--runtime-dir", args, i, error)) {
            options.runtimeFolder = *folder;
        } else if (auto server = valueOf(arg, "--server", args, i, error)) {
            options.server = *server;
        } else if (auto pidFile = valueOf(arg, "--pid-file", args, i, error)) {
            options.pidFile = *pidFile;
        } else {
            return std::unexpected(error.empty() ? "unknown argument '" + std::string(arg) + "'"
                                                 : error);
        }
        if (!error.empty()) {
            return std::unexpected(error);
        }
    }
    return options;
}

std::string daemonUsage() {
    return "Usage: corvessa-audio-server [options]\n"
           "Publishes the Corvessa Mic plug-in device to the sound server as an input.\n"
           "\n"
           "  --plugin PATH            libAmberlinHALPlugin.so (default: the installed copy\n"
           "                           in <bin>/../lib/corvessa/AmberlinHALPlugin/, else the\n"
           "                           build tree's)\n"
           "  --frames-per-cycle N     frames per IO cycle, 1..1024 (default 128 = 2.7 ms)\n"
           "  --runtime-dir DIR        private folder for the FIFO (default\n"
           "                           $XDG_RUNTIME_DIR/corvessa)\n"
           "  --server ADDRESS         sound server (default: PULSE_SERVER or the user's)\n"
           "  --pid-file FILE          write the process id there while running\n"
           "  -h, --help               this text\n"
           "\n"
           "Runs in the foreground; SIGTERM or SIGINT stop it cleanly. When the sound server\n"
           "goes away it keeps retrying (0.1 s up to every 5 s) and publishes again.\n";
}

std::vector<std::filesystem::path> defaultPluginCandidates(const std::filesystem::path& program) {
    std::vector<std::filesystem::path> candidates;
    if (!program.empty()) {
        candidates.push_back(program.parent_path().parent_path() / "lib" / "corvessa" /
                             "AmberlinHALPlugin" / "libAmberlinHALPlugin.so");
    }
#ifdef CORVESSA_BUILD_TREE_PLUGIN
    candidates.emplace_back(CORVESSA_BUILD_TREE_PLUGIN);
#endif
    return candidates;
}

std::filesystem::path defaultRuntimeFolder() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/') {
        return std::filesystem::path(runtime) / "corvessa";
    }
    return std::filesystem::path("/tmp") / ("corvessa-" + std::to_string(getuid()));
}

}  // namespace audioserver::daemon
