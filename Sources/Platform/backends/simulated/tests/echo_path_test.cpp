// The simulated echo path: a click on the speaker bus reaches the microphone after the room's
// delay with its gain, followed by a decaying tail, over the microphone's own signal and a noise
// floor of the configured level.
#include <gtest/gtest.h>

#include <cmath>
#include <numeric>
#include <vector>

#include "platform/AudioHardware.h"
#include "platform/HostClock.h"
#include "platform/HostTime.h"
#include "platform/SimulatedAudioSystem.h"
#include "platform/SimulatedEchoPath.h"
#include "platform/testing/SignalMeasures.h"

namespace {

using namespace platform;
using corvessa::testing::rmsOf;

constexpr UInt64 kStartNanos = 1'000'000'000;  // bus frame 48 000
constexpr AudioObjectID kMic = 40;

/// `frames` frames of `device`'s input stream starting at host time `nanos`.
std::vector<float> record(AudioDeviceProvider& device, UInt64 nanos, UInt32 frames) {
    auto stream = device.startInput();
    EXPECT_TRUE(stream.has_value());
    std::vector<float> samples(static_cast<std::size_t>(frames) * device.inputFormat().channels);
    AudioTimeStamp time{};
    time.mHostTime = AudioConvertNanosToHostTime(nanos);
    (*stream)->read(samples.data(), frames, time);
    return samples;
}

class EchoPathTest : public ::testing::Test {
  protected:
    std::shared_ptr<AudioDeviceProvider> addMic(const RoomEcho& room, Float64 rate = 48'000.0,
                                                std::shared_ptr<SignalSource> source = {}) {
        SimulatedDeviceConfig config{.id = kMic, .uid = "mic", .name = "Room Mic"};
        config.nominalSampleRate = rate;
        config.source = std::move(source);
        EXPECT_TRUE(addMicrophoneWithEcho(*system, config, room));
        return system->device(kMic);
    }

    ManualHostClock clock{kStartNanos};
    ScopedHostClock installed{clock};
    std::shared_ptr<SimulatedAudioSystem> system = SimulatedAudioSystem::create();
};

TEST_F(EchoPathTest, AClickArrivesAfterTheDelayWithItsGainAndADecayingTail) {
    // Without noise, the microphone hears nothing before the direct path, the direct path at
    // exactly the delay with the room's gain, and a tail whose first half carries more energy
    // than its second.
    const RoomEcho room{
        .delayMs = 20.0, .gain = 0.4f, .tailMs = 100.0, .tailDecayMs = 20.0, .noiseFloorRMS = 0.0f};
    auto mic = addMic(room);
    ASSERT_TRUE(system->speakerBus()->play({{1.0f}, 1}, kStartNanos));
    const std::vector<float> heard = record(*mic, kStartNanos, 9600);

    for (std::size_t i = 0; i < 960; ++i) {
        ASSERT_EQ(heard[i], 0.0f) << i;
    }
    EXPECT_FLOAT_EQ(heard[960], 0.4f);
    const double early = rmsOf(heard, 961, 961 + 2400);
    const double late = rmsOf(heard, 961 + 2400, 961 + 4800);
    EXPECT_GT(early, 2.0 * late);
    EXPECT_GT(late, 0.0);
    EXPECT_EQ(rmsOf(heard, 961 + 4800, heard.size()), 0.0);
}

TEST_F(EchoPathTest, TheMicrophonesOwnSignalAndTheNoiseFloorAreAddedToTheEcho) {
    // With nothing playing, the microphone delivers its own sine plus white noise of the room's
    // RMS; its properties are the wrapped device's.
    const RoomEcho room{.noiseFloorRMS = 0.01f};
    auto mic = addMic(room, 48'000.0, std::make_shared<SineSource>(1000.0, 0.5f));
    const std::vector<float> heard = record(*mic, kStartNanos, 48'000);
    std::vector<float> noise(heard.size());
    for (std::size_t i = 0; i < heard.size(); ++i) {
        const double t = static_cast<double>(i) / 48'000.0;
        noise[i] =
            heard[i] - static_cast<float>(0.5 * std::sin(2.0 * 3.141592653589793 * 1000.0 * t));
    }
    EXPECT_NEAR(rmsOf(noise, 0, noise.size()), 0.01, 0.0005);

    const AudioObjectPropertyAddress name{kAudioObjectPropertyName, kAudioObjectPropertyScopeGlobal,
                                          kAudioObjectPropertyElementMain};
    ScopedAudioSystem scoped(system);
    CFStringRef value = nullptr;
    UInt32 size = sizeof(value);
    ASSERT_EQ(AudioObjectGetPropertyData(kMic, &name, 0, nullptr, &size, &value), 0);
    EXPECT_STREQ(CFStringGetCStringPtr(value, kCFStringEncodingUTF8), "Room Mic");
    CFRelease(value);
}

TEST_F(EchoPathTest, AMicrophoneAtAnotherRateHearsTheBusAtItsOwnRate) {
    // A 16 kHz microphone hears a click 20 ms late at its own sample 320.
    const RoomEcho room{.delayMs = 20.0, .gain = 0.5f, .reflections = 0, .noiseFloorRMS = 0.0f};
    auto mic = addMic(room, 16'000.0);
    ASSERT_TRUE(system->speakerBus()->play({{1.0f, 1.0f, 1.0f}, 1}, kStartNanos));
    const std::vector<float> heard = record(*mic, kStartNanos, 640);
    EXPECT_EQ(heard[319], 0.0f);
    EXPECT_FLOAT_EQ(heard[320], 0.5f);
    EXPECT_EQ(std::accumulate(heard.begin() + 321, heard.end(), 0.0f), 0.0f);
}

}  // namespace
