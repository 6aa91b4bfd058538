#include "scenarios.h"

#include <algorithm>
#include <stdexcept>

#include "correlation.h"
#include "levels.h"
#include "noise.h"
#include "room_response.h"

namespace corvessa::quality {
namespace {

constexpr double kNearLevelDbfs = -26.0;
constexpr double kFarLevelDbfs = -20.0;
constexpr double kEchoLevelDbfs = -25.0;
constexpr double kFloorDbfs = -60.0;
constexpr std::size_t kFlushSamples = 20 * kFrame;  // 200 ms of silence to drain every delay

const std::vector<std::string> kNearText = {
    "Good morning everyone, thanks for joining the weekly planning call on such short notice.",
    "Before we start, could somebody share the latest numbers from the build farm?",
    "The release candidate passed every test last night, but the installer still needs review.",
    "I would like to move the design review to Thursday afternoon if that works for the team.",
    "Please send me your notes after the meeting, and I will collect them in one document.",
};

const std::vector<std::string> kFarText = {
    "Thanks, I can hear you clearly now, the connection seems much better than yesterday.",
    "We looked at the measurements again and the second prototype is definitely quieter.",
    "The supplier promised the new batch of parts by the end of next week at the latest.",
    "If the schedule slips again, we should tell the customer as early as possible.",
    "Let me check the calendar, I think the lab is free on Monday and Tuesday morning.",
    "One more thing, the budget spreadsheet is in the shared folder under finance.",
};

const std::vector<std::string> kBabbleText = {
    "Did you see the game last night, it went to overtime twice before anyone scored.",
    "The coffee machine on the third floor has been broken since Monday, nobody fixed it.",
    "We are thinking about a trip to the mountains in spring, maybe for a whole week.",
    "My sister just adopted a puppy and now she sends me pictures every single hour.",
    "Traffic on the bridge was terrible this morning, it took me forty minutes to get here.",
};

// Sentences spoken one after another with `gapSeconds` of silence before each.
Signal talk(SpeechSynth& synth, const std::vector<std::string>& sentences, const Voice& voice,
            double gapSeconds) {
    const auto gap = static_cast<std::size_t>(gapSeconds * kSampleRate);
    Signal out;
    for (const std::string& sentence : sentences) {
        out.insert(out.end(), gap, 0.0F);
        const Signal spoken = synth.render(sentence, voice);
        out.insert(out.end(), spoken.begin(), spoken.end());
    }
    return out;
}

void setActiveLevel(Signal& s, double levelDbfs) {
    applyGainDb(s, levelDbfs - activeLevelDbfs(s));
}

// Length with the flush, rounded up to whole frames.
std::size_t paddedLength(std::size_t content) {
    const std::size_t total = content + kFlushSamples;
    return (total + kFrame - 1) / kFrame * kFrame;
}

Scenario makeScenario(std::string name, std::size_t content) {
    Scenario s;
    s.name = std::move(name);
    s.length = content;
    const std::size_t total = paddedLength(content);
    s.mic.assign(total, 0.0F);
    s.far.assign(total, 0.0F);
    s.near.assign(total, 0.0F);
    s.echo.assign(total, 0.0F);
    return s;
}

// Copies `source` into `target` from `offset` on, as far as the content length allows.
void place(Signal& target, const Signal& source, std::size_t offset, std::size_t content) {
    const std::size_t count = std::min(source.size(), content > offset ? content - offset : 0);
    std::copy_n(source.begin(), count, target.begin() + static_cast<std::ptrdiff_t>(offset));
}

void addInto(Signal& target, const Signal& source, std::size_t content) {
    for (std::size_t i = 0; i < content && i < source.size(); ++i) {
        target[i] += source[i];
    }
}

Signal noiseOf(NoiseKind kind, std::size_t n, double levelDbfs,
               const std::vector<Signal>& talkers) {
    switch (kind) {
        case NoiseKind::white:
            return whiteNoise(n, levelDbfs, 101);
        case NoiseKind::pink:
            return pinkNoise(n, levelDbfs, 202);
        case NoiseKind::babble:
            return babble(talkers, n, levelDbfs);
    }
    throw std::logic_error("unknown noise kind");
}

std::vector<Signal> babbleTalkers(SpeechSynth& synth) {
    const std::vector<Voice> voices = {{"en+m3", 35, 170},
                                       {"en-us+f2", 65, 180},
                                       {"en+m7", 45, 150},
                                       {"en-us+f4", 75, 175},
                                       {"en+m1", 55, 190}};
    std::vector<Signal> talkers;
    for (std::size_t t = 0; t < voices.size(); ++t) {
        std::vector<std::string> text = kBabbleText;
        std::rotate(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(t), text.end());
        talkers.push_back(talk(synth, text, voices[t], 0.2));
    }
    return talkers;
}

std::vector<Scenario> noisyScenarios(const Signal& near, const std::vector<Signal>& talkers) {
    std::vector<Scenario> out;
    for (const NoiseKind kind : kNoiseKinds) {
        for (const int snr : kSnrsDb) {
            Scenario s = makeScenario(
                std::string(noiseName(kind)) + " " + std::to_string(snr) + " dB SNR", near.size());
            place(s.near, near, 0, s.length);
            s.mic = s.near;
            addInto(s.mic, noiseOf(kind, s.length, kNearLevelDbfs - snr, talkers), s.length);
            out.push_back(std::move(s));
        }
    }
    return out;
}

// Far end, its echo through the room, and the noise floor; `near` joins from `nearStart` on.
Scenario echoScenario(std::string name, const Signal& far, const Signal* near,
                      std::size_t nearStart) {
    Scenario s = makeScenario(std::move(name), far.size());
    place(s.far, far, 0, s.length);
    Signal echo = convolve(far, roomResponse(RoomShape{}));
    echo.resize(s.length);
    setActiveLevel(echo, kEchoLevelDbfs);
    place(s.echo, echo, 0, s.length);
    if (near != nullptr) {
        place(s.near, *near, nearStart, s.length);
    }
    for (std::size_t i = 0; i < s.length; ++i) {
        s.mic[i] = s.echo[i] + s.near[i];
    }
    addInto(s.mic, whiteNoise(s.length, kFloorDbfs, 303), s.length);
    return s;
}

// Near-end speech over the noise floor alone: the cleanest signal from which to measure delays.
Scenario calibrationScenario(const Signal& near) {
    Scenario s = makeScenario("calibration", near.size());
    place(s.near, near, 0, s.length);
    s.mic = s.near;
    addInto(s.mic, whiteNoise(s.length, kFloorDbfs, 404), s.length);
    return s;
}

}  // namespace

const char* noiseName(NoiseKind kind) {
    switch (kind) {
        case NoiseKind::white:
            return "white";
        case NoiseKind::pink:
            return "pink";
        case NoiseKind::babble:
            return "babble";
    }
    return "?";
}

const Scenario& ScenarioSet::noisyAt(NoiseKind kind, int snrDb) const {
    const auto k = static_cast<std::size_t>(
        std::find(kNoiseKinds.begin(), kNoiseKinds.end(), kind) - kNoiseKinds.begin());
    const auto j = static_cast<std::size_t>(std::find(kSnrsDb.begin(), kSnrsDb.end(), snrDb) -
                                            kSnrsDb.begin());
    return noisy.at(k * kSnrsDb.size() + j);
}

ScenarioSet buildScenarios(SpeechSynth& synth) {
    Signal near = talk(synth, kNearText, Voice{"en-us", 45, 165}, 1.2);
    setActiveLevel(near, kNearLevelDbfs);
    Signal far = talk(synth, kFarText, Voice{"en+f3", 60, 175}, 0.5);
    setActiveLevel(far, kFarLevelDbfs);
    ScenarioSet set;
    set.calibration = calibrationScenario(near);
    set.noisy = noisyScenarios(near, babbleTalkers(synth));
    set.farEndOnly = echoScenario("far end only", far, nullptr, 0);
    set.doubleTalk = echoScenario("double talk", far, &near, ScenarioSet::kDoubleTalkStart);
    return set;
}

}  // namespace corvessa::quality
