// The tap and aggregate-device calls: argument checks, then the installed system's tap backend.
#include "platform/AudioTap.h"

#include <utility>

#include "platform/AudioSystem.h"

namespace {

/// Runs `call` on the installed system's tap backend; unsupported when it has none. Obtaining
/// the system can fail only for lack of memory, which is reported as a status.
template <typename Call>
OSStatus withTaps(Call&& call) noexcept {
    try {
        const auto system = platform::installedAudioSystem();
        platform::ProcessTapBackend* taps = system->processTaps();
        return taps != nullptr ? call(*taps) : kAudioHardwareUnsupportedOperationError;
    } catch (...) {
        return kAudioHardwareUnspecifiedError;
    }
}

}  // namespace

namespace platform {

ProcessTapBackend::~ProcessTapBackend() = default;

TapDescription TapDescription::stereoGlobalTapButExcludeProcesses(
    std::vector<AudioObjectID> excluded) {
    TapDescription description;
    description.processes = std::move(excluded);
    description.isExclusive = true;
    description.isMono = false;
    return description;
}

}  // namespace platform

bool AudioHardwareSupportsProcessTaps() noexcept {
    try {
        return platform::installedAudioSystem()->processTaps() != nullptr;
    } catch (...) {
        return false;
    }
}

OSStatus AudioHardwareCreateProcessTap(const platform::TapDescription* inDescription,
                                       AudioObjectID* outTapID) noexcept {
    if (inDescription == nullptr || outTapID == nullptr) {
        return kAudio_ParamError;
    }
    return withTaps([&](platform::ProcessTapBackend& taps) {
        return taps.createProcessTap(*inDescription, *outTapID);
    });
}

OSStatus AudioHardwareDestroyProcessTap(AudioObjectID inTapID) noexcept {
    return withTaps(
        [&](platform::ProcessTapBackend& taps) { return taps.destroyProcessTap(inTapID); });
}

OSStatus AudioHardwareCreateAggregateDevice(
    const platform::AggregateDeviceDescription* inDescription,
    AudioObjectID* outDeviceID) noexcept {
    if (inDescription == nullptr || outDeviceID == nullptr) {
        return kAudio_ParamError;
    }
    return withTaps([&](platform::ProcessTapBackend& taps) {
        return taps.createAggregateDevice(*inDescription, *outDeviceID);
    });
}

OSStatus AudioHardwareDestroyAggregateDevice(AudioObjectID inDeviceID) noexcept {
    return withTaps(
        [&](platform::ProcessTapBackend& taps) { return taps.destroyAggregateDevice(inDeviceID); });
}

OSStatus AudioDeviceCreateIOProcIDWithBlock(AudioDeviceIOProcID* outIOProcID,
                                            AudioObjectID inDevice,
                                            std::shared_ptr<platform::SerialQueue> inDispatchQueue,
                                            platform::AudioDeviceIOBlock inIOBlock) noexcept {
    if (outIOProcID == nullptr || !inDispatchQueue || !inIOBlock) {
        return kAudio_ParamError;
    }
    return withTaps([&](platform::ProcessTapBackend& taps) {
        return taps.createIOProcID(inDevice, std::move(inDispatchQueue), std::move(inIOBlock),
                                   *outIOProcID);
    });
}

OSStatus AudioDeviceDestroyIOProcID(AudioObjectID inDevice,
                                    AudioDeviceIOProcID inIOProcID) noexcept {
    if (inIOProcID == nullptr) {
        return kAudio_ParamError;
    }
    return withTaps([&](platform::ProcessTapBackend& taps) {
        return taps.destroyIOProcID(inDevice, inIOProcID);
    });
}

OSStatus AudioDeviceStart(AudioObjectID inDevice, AudioDeviceIOProcID inIOProcID) noexcept {
    if (inIOProcID == nullptr) {
        return kAudio_ParamError;
    }
    return withTaps(
        [&](platform::ProcessTapBackend& taps) { return taps.startDevice(inDevice, inIOProcID); });
}

OSStatus AudioDeviceStop(AudioObjectID inDevice, AudioDeviceIOProcID inIOProcID) noexcept {
    if (inIOProcID == nullptr) {
        return kAudio_ParamError;
    }
    return withTaps(
        [&](platform::ProcessTapBackend& taps) { return taps.stopDevice(inDevice, inIOProcID); });
}
