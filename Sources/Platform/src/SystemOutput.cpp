// Playback on the installed system's output.
#include "platform/SystemOutput.h"

#include <utility>

#include "platform/AudioHardware.h"
#include "platform/AudioSystem.h"

namespace platform {

SystemOutputPlayback::~SystemOutputPlayback() = default;

SystemOutputBackend::~SystemOutputBackend() = default;

OSStatus playOnSystemOutput(OutputSound sound,
                            std::shared_ptr<SystemOutputPlayback>& outPlayback) noexcept {
    try {
        const auto system = installedAudioSystem();
        SystemOutputBackend* output = system->systemOutput();
        return output != nullptr ? output->play(std::move(sound), outPlayback)
                                 : kAudioHardwareUnsupportedOperationError;
    } catch (...) {
        return kAudioHardwareUnspecifiedError;
    }
}

}  // namespace platform
