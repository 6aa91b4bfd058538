// What the daemon publishes: the plug-in device's identity and format, and the pipe-source
// module arguments that make the sound server show it as an input of that name and format.
#ifndef CORVESSA_AUDIOSERVER_SOURCE_DESCRIPTION_H
#define CORVESSA_AUDIOSERVER_SOURCE_DESCRIPTION_H

#include <expected>
#include <filesystem>
#include <string>

#include "audioserver/HostedDevice.h"
#include "audioserver/PropertyReader.h"

namespace audioserver::daemon {

/// The device as the sound server is to list it.
struct SourceDescription {
    std::string uid;         ///< source name
    std::string name;        ///< source description
    Float64 sampleRate = 0;  ///< Hz
    UInt32 channels = 0;     ///< interleaved channels
    bool operator==(const SourceDescription&) const = default;
};

/// Reads UID, name and input stream format of `device`. Only mono packed 32-bit float linear
/// PCM is forwarded; anything else (or an unreadable property) is an error.
std::expected<SourceDescription, std::string> describeDevice(const PropertyReader& reader,
                                                             const HostedDevice& device);

/// The module-pipe-source argument string for `source` fed through `fifo`. Values are quoted for
/// the server's argument parser; a name, UID or path it could not carry intact (quotes,
/// backslashes, control characters, spaces in the UID) is refused rather than mangled.
std::expected<std::string, std::string> pipeSourceArguments(const SourceDescription& source,
                                                            const std::filesystem::path& fifo);

}  // namespace audioserver::daemon

#endif
