// Process-wide installation of the audio system behind the platform calls.
#include "platform/AudioSystem.h"

#include <mutex>
#include <utility>

namespace platform {
namespace {

/// Guards gInstalled; held only to copy or swap the pointer, never across a call into a system.
std::mutex gInstallMutex;
std::shared_ptr<AudioSystem> gInstalled;

}  // namespace

AudioSystem::~AudioSystem() = default;

AudioUnitInstance::~AudioUnitInstance() = default;

std::shared_ptr<AudioSystem> installedAudioSystem() {
    std::lock_guard lock(gInstallMutex);
    if (!gInstalled) {
        gInstalled = makeDefaultAudioSystem();
    }
    return gInstalled;
}

std::shared_ptr<AudioSystem> installAudioSystem(std::shared_ptr<AudioSystem> system) {
    std::lock_guard lock(gInstallMutex);
    return std::exchange(gInstalled, std::move(system));
}

ScopedAudioSystem::ScopedAudioSystem(std::shared_ptr<AudioSystem> system)
    : previous_(installAudioSystem(std::move(system))) {}

ScopedAudioSystem::~ScopedAudioSystem() {
    installAudioSystem(std::move(previous_));
}

}  // namespace platform
