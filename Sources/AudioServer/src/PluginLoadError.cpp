// Plug-in load failures.
#include "audioserver/PluginLoadError.h"

#include <utility>

namespace audioserver {

PluginLoadError::PluginLoadError(Reason reason, std::string detail, OSStatus status)
    : reason_(reason), detail_(std::move(detail)), status_(status) {}

const char* PluginLoadError::what() const noexcept {
    switch (reason_) {
        case Reason::cannotOpen:
            return "cannotOpen";
        case Reason::bundleUnreadable:
            return "bundleUnreadable";
        case Reason::factoryMissing:
            return "factoryMissing";
        case Reason::factoryRefused:
            return "factoryRefused";
        case Reason::interfaceUnavailable:
            return "interfaceUnavailable";
    }
    return "unknown";
}

}  // namespace audioserver
