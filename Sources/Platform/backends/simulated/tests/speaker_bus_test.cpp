// The simulated speaker bus: sounds placed on the host-time line, mixed by position at any rate,
// stopped in the present, and reached through the system-output call.
#include <gtest/gtest.h>

#include <vector>

#include "platform/HostClock.h"
#include "platform/SimulatedAudioSystem.h"
#include "platform/SimulatedSpeakerBus.h"
#include "platform/SystemOutput.h"

namespace {

using namespace platform;

constexpr UInt64 kStartNanos = 2'000'000'000;  // bus frame 96 000
constexpr double kStartFrame = 96'000.0;
constexpr UInt64 kNanosPerFrame = 20'833;  // rounded down; positions snap to whole frames

class SpeakerBusTest : public ::testing::Test {
  protected:
    /// `frames` of the bus from `start` at `step`, in `channels` channels.
    std::vector<float> mix(double start, std::size_t frames, UInt32 channels = 2,
                           double step = 1.0) const {
        std::vector<float> out(frames * channels);
        bus->mixInto(out, channels, start, step, 1.0f);
        return out;
    }

    ManualHostClock clock{kStartNanos};
    ScopedHostClock installed{clock};
    std::shared_ptr<SimulatedSpeakerBus> bus = std::make_shared<SimulatedSpeakerBus>();
};

TEST_F(SpeakerBusTest, SoundsPlayFromTheirFrameAndOverlappingSoundsAdd) {
    // A mono sound plays on both channels from its start frame; a stereo sound on top adds to
    // it; a mono reader hears the average of left and right.
    ASSERT_TRUE(bus->play({{0.1f, 0.2f, 0.3f}, 1}, kStartNanos));
    ASSERT_TRUE(bus->play({{1.0f, -1.0f, 0.5f, 0.0f}, 2}, kStartNanos + kNanosPerFrame));
    EXPECT_EQ(bus->soundCount(), 2u);

    const std::vector<float> stereo = mix(kStartFrame - 1.0, 5);
    const std::vector<float> expected{0.0f, 0.0f, 0.1f, 0.1f, 1.2f, -0.8f, 0.8f, 0.3f, 0.0f, 0.0f};
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_FLOAT_EQ(stereo[i], expected[i]) << i;
    }
    const std::vector<float> mono = mix(kStartFrame + 1.0, 1, 1);
    EXPECT_FLOAT_EQ(mono[0], 0.2f);
}

TEST_F(SpeakerBusTest, FractionalStepsInterpolateBetweenFrames) {
    // Reading at half-frame steps yields the midpoints of a ramp; past the last frame the sound
    // fades to silence over one frame.
    ASSERT_TRUE(bus->play({{0.0f, 1.0f, 2.0f}, 1}, kStartNanos));
    const std::vector<float> out = mix(kStartFrame, 7, 1, 0.5);
    const std::vector<float> expected{0.0f, 0.5f, 1.0f, 1.5f, 2.0f, 1.0f, 0.0f};
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_FLOAT_EQ(out[i], expected[i]) << i;
    }
}

TEST_F(SpeakerBusTest, PlaybackEndsOnTimeOrWhenStopped) {
    // A sound plays in real time from now plus the output latency; stopping it silences the
    // rest at once and ends its playback.
    const auto playback = bus->play(OutputSound{std::vector<float>(48'000, 0.5f), 1});
    ASSERT_TRUE(playback);
    const double start = kStartFrame + 0.05 * 48'000.0;
    EXPECT_TRUE(playback->isPlaying());
    clock.advance(500'000'000);  // 0.5 s: 0.45 s into the sound
    EXPECT_TRUE(playback->isPlaying());
    EXPECT_FLOAT_EQ(mix(start + 21'000.0, 1, 1)[0], 0.5f);
    playback->stop();
    EXPECT_FALSE(playback->isPlaying());
    EXPECT_FLOAT_EQ(mix(start + 21'000.0, 1, 1)[0], 0.5f);  // the past stays as it was
    EXPECT_FLOAT_EQ(mix(start + 22'000.0, 1, 1)[0], 0.0f);

    const auto whole = bus->play({{0.5f, 0.5f}, 1});
    clock.advance(60'000'000);
    EXPECT_FALSE(whole->isPlaying());
}

TEST_F(SpeakerBusTest, SystemOutputReachesTheInstalledBusAndRefusesBadSounds) {
    // The system-output call plays onto the installed simulated system's bus; an empty sound or
    // a third channel is refused, and a full bus says so instead of dropping a sound silently.
    auto system = SimulatedAudioSystem::create();
    ScopedAudioSystem scoped(system);
    std::shared_ptr<SystemOutputPlayback> playback;
    EXPECT_EQ(playOnSystemOutput({{0.25f}, 1}, playback), 0);
    ASSERT_TRUE(playback);
    EXPECT_EQ(system->speakerBus()->soundCount(), 1u);
    EXPECT_EQ(playOnSystemOutput({{}, 1}, playback), kAudio_ParamError);
    EXPECT_EQ(playOnSystemOutput({{0.1f, 0.1f, 0.1f}, 3}, playback), kAudio_ParamError);

    for (std::size_t k = bus->soundCount(); k < SimulatedSpeakerBus::kMaxSounds; ++k) {
        ASSERT_TRUE(bus->play({{0.0f}, 1}, kStartNanos));
    }
    EXPECT_FALSE(bus->play({{0.0f}, 1}, kStartNanos));
}

}  // namespace
