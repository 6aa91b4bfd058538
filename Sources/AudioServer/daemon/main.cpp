// corvessa-audio-server: hosts libAmberlinHALPlugin and publishes its "Corvessa Mic" device to
// the user's sound server. Exit status: 0 after SIGTERM/SIGINT or --help, 1 when the plug-in or
// the source cannot be brought up, 2 on a bad command line.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <span>

#include "AudioServerDaemon.h"
#include "DaemonLog.h"
#include "DaemonOptions.h"
#include "SourceDescription.h"
#include "audioserver/PluginLoadError.h"

namespace {

using namespace audioserver::daemon;

constexpr const char* kDeviceUID = "com.halvern.corvessa.mic.device";

std::filesystem::path resolvePlugin(const DaemonOptions& options) {
    if (!options.pluginPath.empty()) {
        return options.pluginPath;
    }
    std::error_code error;
    const auto program = std::filesystem::read_symlink("/proc/self/exe", error);
    for (const auto& candidate :
         defaultPluginCandidates(error ? std::filesystem::path{} : program)) {
        if (std::filesystem::exists(candidate, error)) {
            return candidate;
        }
    }
    return {};
}

/// The pid file, written at start and removed when the daemon ends.
class PidFile {
  public:
    explicit PidFile(std::filesystem::path path) : path_(std::move(path)) {
        if (!path_.empty()) {
            std::ofstream(path_) << getpid() << '\n';
        }
    }
    ~PidFile() {
        std::error_code ignored;
        if (!path_.empty()) {
            std::filesystem::remove(path_, ignored);
        }
    }
    PidFile(const PidFile&) = delete;
    PidFile& operator=(const PidFile&) = delete;

  private:
    std::filesystem::path path_;
};

int runDaemon(const DaemonOptions& options) {
    const std::filesystem::path plugin = resolvePlugin(options);
    if (plugin.empty()) {
        logLine("no plug-in found; pass --plugin PATH");
        return 1;
    }
    const std::filesystem::path plist = plugin.parent_path() / "Info.plist";
    std::error_code error;
    auto host = std::make_shared<audioserver::PluginHost>(
        plugin, std::filesystem::exists(plist, error) ? std::optional(plist) : std::nullopt);
    if (const OSStatus status = host->initialize(); status != kAudioHardwareNoError) {
        logLine("the plug-in refused Initialize: " + std::to_string(status));
        return 1;
    }
    const auto device = host->deviceWithUID(kDeviceUID);
    if (!device) {
        logLine(std::string("the plug-in has no device ") + kDeviceUID);
        return 1;
    }
    auto source = describeDevice(host->properties(), *device);
    if (!source) {
        logLine(source.error());
        return 1;
    }
    logLine("loaded " + plugin.string());
    PidFile pidFile(options.pidFile);
    AudioServerDaemon daemon(options, host, *device, std::move(*source));
    return daemon.run();
}

}  // namespace

int main(int argc, char** argv) {
    const auto options = parseDaemonOptions(
        std::span<const char* const>(argv + 1, static_cast<std::size_t>(argc - 1)));
    if (!options) {
        std::fprintf(stderr, "corvessa-audio-server: %s\n%s", options.error().c_str(),
                     daemonUsage().c_str());
        return 2;
    }
    if (options->help) {
        std::fputs(daemonUsage().c_str(), stdout);
        return 0;
    }
    std::signal(SIGPIPE, SIG_IGN);  // a FIFO whose reader died reports EPIPE instead
    try {
        return runDaemon(*options);
    } catch (const audioserver::PluginLoadError& error) {
        logLine(std::string("cannot load the plug-in: ") + error.what() + " (" + error.detail() +
                ")");
    } catch (const std::exception& error) {
        logLine(std::string("failed: ") + error.what());
    }
    return 1;
}
