// The test fixture's private sound server: isolated, with test sources that carry sound.
#include <gtest/gtest.h>

#include <cmath>

#include "platform/testing/PrivatePulseServer.h"

using platform::testing::PrivatePulseServer;

TEST(PrivatePulseServer, TestSourceIsAnOrdinarySourceThatCarriesPlayedSound) {
    CORVESSA_START_PULSE_SERVER_OR_SKIP(server);
    ASSERT_TRUE(server->addTestSource("test_mic", "Test Mic"));
    const auto sources = server->pactl({"list", "short", "sources"});
    ASSERT_EQ(sources.exitStatus, 0);
    EXPECT_NE(sources.output.find("test_mic\t"), std::string::npos) << sources.output;
    const auto full = server->pactl({"list", "sources"});
    EXPECT_NE(full.output.find("Description: Test Mic\n"), std::string::npos);

    std::vector<float> tone(48'000);
    for (size_t i = 0; i < tone.size(); ++i) {
        tone[i] = 0.5F * static_cast<float>(std::sin(2.0 * M_PI * 440.0 * double(i) / 48'000.0));
    }
    auto playback = server->play("test_mic.feed", tone);
    platform::testing::PulseRecorder recorder(server->address(), "test_mic");
    ASSERT_TRUE(recorder.isRecording());
    ASSERT_TRUE(recorder.waitForFrames(24'000, 5000));
    const auto recorded = recorder.stop();
    float peak = 0.0F;
    for (const float sample : recorded) {
        peak = std::max(peak, std::fabs(sample));
    }
    EXPECT_NEAR(peak, 0.5F, 0.05F);
}

TEST(PrivatePulseServer, KilledServerIsNoLongerRunning) {
    CORVESSA_START_PULSE_SERVER_OR_SKIP(server);
    EXPECT_TRUE(server->isRunning());
    server->kill();
    EXPECT_FALSE(server->isRunning());
    EXPECT_NE(server->pactl({"info"}).exitStatus, 0);
}
