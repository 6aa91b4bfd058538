// The audio system a program gets when none was installed: the one place that knows every backend.
#include <chrono>

#include "platform/AudioSystem.h"
#include "platform/PulseAudioSystem.h"
#include "platform/SimulatedAudioSystem.h"

namespace platform {
namespace {

/// How long a program waits for a sound server to answer before it goes on without one.
constexpr std::chrono::milliseconds kDefaultConnectTimeout{1500};

}  // namespace

std::shared_ptr<AudioSystem> makeDefaultAudioSystem() {
    if (auto pulse = PulseAudioSystem::connect(kDefaultConnectTimeout)) {
        return pulse;
    }
    // No sound server answers: a system with no devices answers every query consistently (an
    // empty device list, no default input, a capture unit that cannot bind a device).
    return SimulatedAudioSystem::create();
}

}  // namespace platform
