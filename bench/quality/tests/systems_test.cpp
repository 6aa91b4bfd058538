// Every adapter drives its system the way the tables assume: echo cancellers receive the far end
// lined up with the microphone, noise suppressors are switched on, and Corvessa's measured delays
// are the ones its voice core documents.
#include <gtest/gtest.h>

#include "correlation.h"
#include "corvessa_echo_stage_system.h"
#include "corvessa_pipeline_system.h"
#include "levels.h"
#include "metrics.h"
#include "noise.h"
#include "room_response.h"
#include "runner.h"
#include "speex_denoise_system.h"
#include "speex_echo_system.h"
#include "webrtc_apm_system.h"

namespace corvessa::quality {
namespace {

constexpr std::size_t kSeconds = 6;

Scenario blank(std::size_t n) {
    Scenario s;
    s.name = "test";
    s.length = n;
    s.mic.assign(n, 0.0F);
    s.far.assign(n, 0.0F);
    s.near.assign(n, 0.0F);
    s.echo.assign(n, 0.0F);
    return s;
}

// Continuous white noise from the speaker, heard through the room at -25 dBFS over the floor.
Scenario noiseEcho() {
    Scenario s = blank(kSeconds * kSampleRate);
    s.far = whiteNoise(s.length, -20.0, 11);
    s.echo = convolve(s.far, roomResponse(RoomShape{}));
    s.echo.resize(s.length);
    applyGainDb(s.echo, -25.0 - rmsDbfs(s.echo));
    const Signal floor = whiteNoise(s.length, -60.0, 12);
    for (std::size_t i = 0; i < s.length; ++i) {
        s.mic[i] = s.echo[i] + floor[i];
    }
    return s;
}

// A near-end "talker" of 200 ms noise bursts every half second, loud enough to pass as voice.
Scenario bursts() {
    Scenario s = blank(kSeconds * kSampleRate);
    const Signal noise = whiteNoise(s.length, -20.0, 13);
    for (std::size_t i = 0; i < s.length; ++i) {
        s.near[i] = (i % 24000) < 9600 ? noise[i] : 0.0F;
        s.mic[i] = s.near[i];
    }
    return s;
}

// ERLE over the last two seconds of `scenario` for a fresh system from `entry`.
double lastErleDb(const SystemEntry& entry, const Scenario& scenario) {
    const auto system = entry.make();
    const RunOutput run = runScenario(*system, scenario);
    EXPECT_EQ(run.frameMicros.size(), scenario.mic.size() / kFrame);
    const Range lastTwoSeconds{scenario.length - 2 * kSampleRate, scenario.length - 4 * kFrame};
    return erleDb(scenario.mic, Aligned{run.out, system->nominalDelay().value_or(0)},
                  lastTwoSeconds);
}

TEST(QualitySystems, EchoCancellersHearTheFarEndTheHarnessFeedsThem) {
    // Each system removes far more of the echo when the far end reaches it than when it is
    // withheld (what is left without it is noise suppression of a stationary echo).
    const Scenario echo = noiseEcho();
    Scenario withheld = echo;
    withheld.far.assign(withheld.far.size(), 0.0F);
    const std::vector<SystemEntry> entries = {
        {"corvessa pipeline",
         [] {
             return makeCorvessaPipeline({false, true, 1, 0});
         }},
        {"corvessa stage", makeCorvessaEchoStage},
        {"speex", [] { return makeSpeexEcho(false); }},
        {"webrtc",
         [] {
             return makeWebrtcApm({true, false, 40});
         }},
    };
    for (const SystemEntry& entry : entries) {
        SCOPED_TRACE(entry.name);
        const double fed = lastErleDb(entry, echo);
        EXPECT_GT(fed, 15.0);
        EXPECT_GT(fed - lastErleDb(entry, withheld), 10.0);
    }
}

TEST(QualitySystems, CorvessaDelaysMeasureAsDocumented) {
    const Scenario talker = bursts();
    const std::vector<SystemEntry> entries = {
        {"spectral",
         [] {
             return makeCorvessaPipeline({false, false, 1, 0});
         }},
        {"spectral + echo canceller",
         [] {
             return makeCorvessaPipeline({false, true, 1, 0});
         }},
        {"echo canceller stage", makeCorvessaEchoStage},
    };
    for (const SystemEntry& entry : entries) {
        SCOPED_TRACE(entry.name);
        const DelayEstimate measured = measureDelay(entry, talker);
        EXPECT_EQ(measured.lag, entry.make()->nominalDelay().value());
        EXPECT_GT(measured.correlation, 0.8);
    }
}

TEST(QualitySystems, NoiseSuppressorsAreSwitchedOn) {
    Scenario noise = blank(kSeconds * kSampleRate);
    noise.mic = whiteNoise(noise.length, -40.0, 14);
    const std::vector<SystemEntry> entries = {
        {"corvessa spectral",
         [] {
             return makeCorvessaPipeline({false, false, 1, 0});
         }},
        {"speex", makeSpeexDenoise},
        {"webrtc",
         [] {
             return makeWebrtcApm({false, true, 40});
         }},
    };
    for (const SystemEntry& entry : entries) {
        SCOPED_TRACE(entry.name);
        const auto system = entry.make();
        const RunOutput run = runScenario(*system, noise);
        const Range lastTwoSeconds{noise.length - 2 * kSampleRate, noise.length - 2 * kFrame};
        EXPECT_GT(erleDb(noise.mic, Aligned{run.out, 0}, lastTwoSeconds), 6.0);
    }
}

}  // namespace
}  // namespace corvessa::quality
