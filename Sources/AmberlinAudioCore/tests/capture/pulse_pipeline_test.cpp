// The capture pipeline and the device manager on the real PulseAudio backend: a private server's
// test source, listed with the virtual microphone left out of the physical choice, captured,
// converted to mono and cut into 10 ms frames stamped on the host clock.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <vector>

#include "AmberlinAudioCore/AudioPipeline.h"
#include "AmberlinAudioCore/DeviceManager.h"
#include "CaptureTestDoubles.h"
#include "platform/HostTime.h"
#include "platform/PulseAudioSystem.h"
#include "platform/testing/PrivatePulseServer.h"

namespace {

using namespace capture_test;

std::vector<float> stereoSine(double hz, float amplitude, double seconds) {
    std::vector<float> samples(static_cast<std::size_t>(seconds * 48'000.0) * 2);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const double t = static_cast<double>(i / 2) / 48'000.0;
        samples[i] = amplitude * static_cast<float>(std::sin(2.0 * M_PI * hz * t));
    }
    return samples;
}

TEST(PulsePipeline, CapturesAPhysicalSourceIntoTimedFramesPastTheVirtualMicrophone) {
    CORVESSA_START_PULSE_SERVER_OR_SKIP(server);
    server->exportToThisProcess();
    ASSERT_TRUE(server->addTestSource("desk_mic", "Desk Mic", 2));
    // The virtual microphone is the system default, as when a meeting app records from it.
    const std::string virtualUID(amberlin::DeviceManager::virtualDeviceUID);
    ASSERT_TRUE(server->addTestSource(virtualUID, "Corvessa Mic"));
    ASSERT_TRUE(server->setDefaultSource(virtualUID));
    auto system = platform::PulseAudioSystem::connect();
    ASSERT_TRUE(system);
    platform::ScopedAudioSystem installed(system);

    const auto devices = amberlin::DeviceManager().listInputDevices();
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[0].name, "Corvessa Mic");
    EXPECT_TRUE(devices[0].isDefault);
    EXPECT_EQ(devices[1].uid, "desk_mic");
    EXPECT_EQ(amberlin::DeviceManager().resolvePhysicalInputDevice(std::nullopt)->uid, "desk_mic");

    EventLog log;
    auto sink = std::make_shared<RecordingSink>(log);
    auto processor = std::make_shared<ScriptedProcessor>(log);
    const std::string lockPath = (std::filesystem::temp_directory_path() /
                                  ("corvessa-pulse-pipeline-" + std::to_string(getpid()) + ".lock"))
                                     .string();
    auto pipeline = amberlin::AudioPipeline::make(
        processor, sink, std::make_shared<amberlin::DeviceManager>(), std::nullopt, lockPath);
    pipeline->start();
    const auto startNanos = AudioConvertHostTimeToNanos(AudioGetCurrentHostTime());
    auto playback = server->play("desk_mic.feed", stereoSine(440.0, 0.4f, 1.5), 2);
    ASSERT_TRUE(playback->waitUntilDone(5000));
    ASSERT_TRUE(sink->waitForFrames(120));
    pipeline->stop();
    std::filesystem::remove(lockPath);

    // Frames carry the tone at its level (both channels alike, so any downmix keeps it) and
    // times 10 ms apart on the host clock, from the start of the capture on.
    const auto frames = sink->frames();
    const auto times = processor->times();
    ASSERT_EQ(times.size(), frames.size());
    std::vector<float> levels;
    for (const auto& frame : frames) {
        if (frame.rms() > 0.05f) {
            levels.push_back(frame.rms());
        }
    }
    ASSERT_GT(levels.size(), 50u);
    std::sort(levels.begin(), levels.end());
    EXPECT_NEAR(levels[levels.size() / 2], 0.4 / std::sqrt(2.0), 0.03);
    EXPECT_GE(times.front() + 50'000'000, startNanos);
    std::size_t tenMs = 0;
    for (std::size_t i = 1; i < times.size(); ++i) {
        ASSERT_GT(times[i], times[i - 1]);
        tenMs += std::llabs(static_cast<long long>(times[i] - times[i - 1]) - 10'000'000) < 100'000;
    }
    EXPECT_GE(tenMs, times.size() * 9 / 10);
}

}  // namespace
