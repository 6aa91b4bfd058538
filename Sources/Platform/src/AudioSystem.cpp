// Process-wide installation of the audio system behind the platform calls.
#include "platform/AudioSystem.h"

#include <chrono>
#include <mutex>
#include <utility>

#include "platform/PulseAudioSystem.h"
#include "platform/SimulatedAudioSystem.h"

namespace platform {
namespace {

/// Guards gInstalled; held only to copy or swap the pointer, never across a call into a system.
std::mutex gInstallMutex;
std::shared_ptr<AudioSystem> gInstalled;

/// How long a program waits for a sound server to answer before it goes on without one.
constexpr std::chrono::milliseconds kDefaultConnectTimeout{1500};

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

std::shared_ptr<AudioSystem> makeDefaultAudioSystem() {
    if (auto pulse = PulseAudioSystem::connect(kDefaultConnectTimeout)) {
        return pulse;
    }
    // No sound server answers: a system with no devices answers every query consistently (an
    // empty device list, no default input, a capture unit that cannot bind a device).
    return SimulatedAudioSystem::create();
}

ScopedAudioSystem::ScopedAudioSystem(std::shared_ptr<AudioSystem> system)
    : previous_(installAudioSystem(std::move(system))) {}

ScopedAudioSystem::~ScopedAudioSystem() {
    installAudioSystem(std::move(previous_));
}

}  // namespace platform
