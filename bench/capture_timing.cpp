// Timing of the PulseAudio backend's capture callbacks, on a private sound server: the block
// size the server settles on once 128-frame buffers are asked for, the callback period and its
// jitter, and how old a block's first frame is when its callback runs.
//
// Each session starts a capture unit on a test source, plays a tone into it for the session's
// length and reads the callbacks' arrival times (host clock) and the blocks' host times. Figures
// only: the tests check that the timeline is consistent, never how regular the machine is.
//
//   build/<dir>/bench/capture_timing [sessions=3] [seconds=5]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numbers>
#include <thread>
#include <vector>

#include "CaptureRecording.h"
#include "platform/AudioHardware.h"
#include "platform/AudioSystem.h"
#include "platform/PulseAudioSystem.h"
#include "platform/testing/PrivatePulseServer.h"

namespace {

using namespace platform;
using platform::testing::CaptureRecording;

constexpr double kRate = 48'000.0;
constexpr UInt32 kRequestedFrames = 128;

template <class T>
T median(std::vector<T> values) {
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
}

/// The system's default input device.
AudioObjectID defaultInput() {
    const AudioObjectPropertyAddress where{kAudioHardwarePropertyDefaultInputDevice,
                                           kAudioObjectPropertyScopeGlobal,
                                           kAudioObjectPropertyElementMain};
    AudioObjectID device = kAudioObjectUnknown;
    UInt32 size = sizeof(device);
    AudioObjectGetPropertyData(kAudioObjectSystemObject, &where, 0, nullptr, &size, &device);
    return device;
}

/// Asks `device` for `frames`-frame buffers, as the capture pipeline does once started.
void requestBufferFrames(AudioObjectID device, UInt32 frames) {
    const AudioObjectPropertyAddress where{kAudioDevicePropertyBufferFrameSize,
                                           kAudioObjectPropertyScopeGlobal,
                                           kAudioObjectPropertyElementMain};
    AudioObjectSetPropertyData(device, &where, 0, nullptr, sizeof(frames), &frames);
}

std::vector<float> tone(double seconds) {
    std::vector<float> samples(static_cast<std::size_t>(seconds * kRate));
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = 0.5f * static_cast<float>(std::sin(2.0 * std::numbers::pi * 1000.0 *
                                                        static_cast<double>(i) / kRate));
    }
    return samples;
}

/// Prints one session's figures; false when it recorded too little to say anything.
bool report(int session, const CaptureRecording& recording) {
    const std::size_t blocks = recording.arrivalNanos.size();
    if (blocks < 20) {
        std::printf("session %d: only %zu blocks arrived\n", session, blocks);
        return false;
    }
    std::vector<double> intervalsMs;
    std::vector<double> agesMs;
    for (std::size_t i = 0; i < blocks; ++i) {
        const auto arrival = static_cast<double>(recording.arrivalNanos[i]);
        agesMs.push_back((arrival - static_cast<double>(recording.hostNanos[i])) / 1e6);
        if (i > 0) {
            intervalsMs.push_back((arrival - static_cast<double>(recording.arrivalNanos[i - 1])) /
                                  1e6);
        }
    }
    double mean = 0.0;
    for (const double interval : intervalsMs) {
        mean += interval / static_cast<double>(intervalsMs.size());
    }
    double spread = 0.0;
    for (const double interval : intervalsMs) {
        spread += (interval - mean) * (interval - mean);
    }
    std::vector<double> sorted = intervalsMs;
    std::sort(sorted.begin(), sorted.end());
    std::printf(
        "session %d: %zu blocks, median %u frames, callback period %.2f ms, jitter (sd) "
        "%.2f ms, longest gap %.2f ms, median age at arrival %.2f ms, %d failures\n",
        session, blocks, median(recording.frames), mean,
        std::sqrt(spread / static_cast<double>(intervalsMs.size())), sorted.back(), median(agesMs),
        recording.failures.load());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const int sessions = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    const double seconds = argc > 2 ? std::max(1.0, std::atof(argv[2])) : 5.0;
    auto started = platform::testing::PrivatePulseServer::start();
    if (!started) {
        std::fprintf(stderr, "no private sound server: %s\n", started.error().c_str());
        return 1;
    }
    auto server = std::move(*started);
    server->exportToThisProcess();
    if (!server->addTestSource("mic", "Test Mic", 1) || !server->setDefaultSource("mic")) {
        std::fprintf(stderr, "the test source could not be set up\n");
        return 1;
    }
    auto system = PulseAudioSystem::connect();
    if (!system) {
        std::fprintf(stderr, "could not connect to the private server\n");
        return 1;
    }
    ScopedAudioSystem installed(system);
    const AudioObjectID mic = defaultInput();
    bool ok = true;
    for (int session = 1; session <= sessions; ++session) {
        CaptureRecording recording(static_cast<std::size_t>(seconds) + 2);
        const std::string failure = platform::testing::startCaptureRecording(mic, recording);
        if (!failure.empty()) {
            std::fprintf(stderr, "capture did not start: %s\n", failure.c_str());
            return 1;
        }
        requestBufferFrames(mic, kRequestedFrames);
        auto playback = server->play("mic.feed", tone(seconds));
        playback->waitUntilDone(static_cast<int>(seconds * 1000) + 5000);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        ok = platform::testing::stopCaptureRecording(recording) && ok;
        ok = report(session, recording) && ok;
    }
    return ok ? 0 : 1;
}
