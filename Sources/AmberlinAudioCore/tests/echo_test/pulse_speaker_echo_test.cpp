// The speaker echo test against a real sound server: the sentence plays into the default sink,
// a loopback carries the sink's sound back into the test microphone (the room), and the
// reference comes through the tap of the sink's monitor.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <iostream>

#include "AmberlinAudioCore/DeviceManager.h"
#include "AmberlinAudioCore/SpeakerEchoTest.h"
#include "platform/PulseAudioSystem.h"
#include "platform/testing/PrivatePulseServer.h"

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

TEST(PulseSpeakerEcho, MeasuresTheEchoOfTheSpeakersThroughARealServer) {
    CORVESSA_START_PULSE_SERVER_OR_SKIP(server);
    server->exportToThisProcess();
    ASSERT_TRUE(server->addTestSource("room_mic", "Room Mic"));
    ASSERT_TRUE(server->setDefaultSource("room_mic"));
    // The room: everything the speakers play reaches the microphone about 30 ms later, 10 dB down
    // (a volume of 68 % is 0.68³ ≈ −10 dB).
    ASSERT_GE(server->loadModule("module-loopback",
                                 "source=corvessa_test_speakers.monitor sink=room_mic.feed "
                                 "latency_msec=30 source_dont_move=true sink_dont_move=true"),
              0);
    ASSERT_EQ(server->pactl({"set-sink-volume", "room_mic.feed", "68%"}).exitStatus, 0);
    auto system = platform::PulseAudioSystem::connect();
    ASSERT_TRUE(system);
    platform::ScopedAudioSystem installed(system);
    const auto lockPath = (std::filesystem::temp_directory_path() /
                           ("corvessa-pulse-echo-" + std::to_string(getpid()) + ".lock"))
                              .string();

    const auto result = amberlin::SpeakerEchoTest::run(
        std::nullopt, std::make_shared<amberlin::DeviceManager>(), lockPath);
    std::filesystem::remove(lockPath);
    std::cout << "echo at mic " << result.echoAtMicDB << " dBFS, floor " << result.noiseFloorDB
              << " dBFS, removed " << result.removedDB << " dB, delay " << result.echoDelayMS
              << " ms, lookback " << result.referenceLookbackMS << " ms\n"
              << result.summary() << "\n";

    EXPECT_TRUE(result.referenceArrived);
    EXPECT_GT(result.echoAtMicDB - result.noiseFloorDB, 20.0f);
    if (kSanitized) {
        GTEST_SKIP() << "removed " << result.removedDB << " dB: not judged under a sanitizer";
    }
    EXPECT_GT(result.removedDB, 8.0f);
}

}  // namespace
