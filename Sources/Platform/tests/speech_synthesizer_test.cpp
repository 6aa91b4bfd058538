// The speech synthesiser: espeak-ng speech at 48 kHz, played on the simulated speaker bus, with
// isSpeaking following the playback and stop silencing it.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <thread>

#include "platform/HostClock.h"
#include "platform/SimulatedAudioSystem.h"
#include "platform/SpeechSynthesizer.h"
#include "platform/testing/Eventually.h"

namespace {

using namespace platform;
using namespace std::chrono_literals;

using corvessa::testing::eventually;

TEST(SpeechSynthesizerTest, RendersASentenceAsAudibleSpeechAt48kHz) {
    // A short sentence becomes about a second of audible 48 kHz audio.
    const auto speech = SpeechSynthesizer::render("Hello from the speakers.");
    ASSERT_TRUE(speech.has_value());
    const double seconds = static_cast<double>(speech->size()) / 48'000.0;
    EXPECT_GT(seconds, 0.5);
    EXPECT_LT(seconds, 4.0);
    double energy = 0.0;
    for (float s : *speech) {
        energy += static_cast<double>(s) * static_cast<double>(s);
    }
    EXPECT_GT(std::sqrt(energy / static_cast<double>(speech->size())), 0.01);
}

TEST(SpeechSynthesizerTest, SpeaksOnTheSpeakerBusUntilThePlaybackEnds) {
    // speak() returns at once and reports speaking while rendering and playing; the sound lands
    // on the bus, and speaking ends when the host clock has passed the sound's end.
    ManualHostClock clock(5'000'000'000);
    ScopedHostClock clockInstalled(clock);
    auto system = SimulatedAudioSystem::create();
    ScopedAudioSystem installed(system);
    SpeechSynthesizer synthesizer;
    synthesizer.speak("Testing one two three.");
    EXPECT_TRUE(synthesizer.isSpeaking());
    ASSERT_TRUE(eventually([&] { return system->speakerBus()->soundCount() == 1; }, 20s));
    EXPECT_TRUE(synthesizer.isSpeaking());
    clock.advance(10'000'000'000);
    EXPECT_FALSE(synthesizer.isSpeaking());
}

TEST(SpeechSynthesizerTest, StopEndsSpeakingAtOnceAndSilencesTheBus) {
    // After stop() nothing is reported as speaking and whatever reached the bus is silent from
    // the stop on.
    ManualHostClock clock(5'000'000'000);
    ScopedHostClock clockInstalled(clock);
    auto system = SimulatedAudioSystem::create();
    ScopedAudioSystem installed(system);
    SpeechSynthesizer synthesizer;
    synthesizer.speak("This sentence is cut short.");
    ASSERT_TRUE(eventually([&] { return system->speakerBus()->soundCount() == 1; }, 20s));
    synthesizer.stop();
    EXPECT_FALSE(synthesizer.isSpeaking());
    std::vector<float> after(48'000);
    system->speakerBus()->mixInto(after, 1, SimulatedSpeakerBus::positionAt(5'000'000'000), 1.0,
                                  1.0f);
    for (float s : after) {
        ASSERT_EQ(s, 0.0f);
    }
}

}  // namespace
