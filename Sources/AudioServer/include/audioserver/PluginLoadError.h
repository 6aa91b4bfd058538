// Why a plug-in could not be brought up by the host.
#ifndef CORVESSA_AUDIOSERVER_PLUGIN_LOAD_ERROR_H
#define CORVESSA_AUDIOSERVER_PLUGIN_LOAD_ERROR_H

#include <exception>
#include <string>

#include "platform/CoreAudioTypes.h"

namespace audioserver {

/// Failure to load a plug-in: the case, the loader's own detail text (dlerror, file or symbol
/// name) and, for a refused interface query, the status it returned.
class PluginLoadError : public std::exception {
  public:
    /// The step that failed.
    enum class Reason {
        cannotOpen,            ///< the shared object could not be loaded
        bundleUnreadable,      ///< the Info.plist is missing, malformed or lacks the plug-in maps
        factoryMissing,        ///< no factory for the plug-in type, or no such symbol
        factoryRefused,        ///< the factory returned null for the plug-in type
        interfaceUnavailable,  ///< QueryInterface for the driver interface failed
    };

    PluginLoadError(Reason reason, std::string detail, OSStatus status = 0);

    /// The case name, e.g. "factoryMissing".
    const char* what() const noexcept override;
    Reason reason() const noexcept { return reason_; }
    /// Loader-supplied detail (dlerror text, path, factory name).
    const std::string& detail() const noexcept { return detail_; }
    /// Status returned by the failing call, 0 where none applies.
    OSStatus status() const noexcept { return status_; }

    bool operator==(const PluginLoadError& other) const noexcept {
        return reason_ == other.reason_ && detail_ == other.detail_ && status_ == other.status_;
    }

  private:
    Reason reason_;
    std::string detail_;
    OSStatus status_;
};

}  // namespace audioserver

#endif
