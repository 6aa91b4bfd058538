// The soak's scene: sentences rendered once, laid out in loops of different lengths.
#include "SoakScene.h"

#include <string>

#include "noise.h"
#include "speech_synth.h"

namespace corvessa::soak {
namespace {

constexpr std::size_t kSecond = 48000;  // samples
constexpr double kNoiseDbfs = -38.0;    // about 15 dB under the active speech
constexpr float kFarGain = 0.7f;        // far end a little under the near talker
constexpr std::size_t kNoiseLoop = 37 * kSecond;
// Echo paths from the speakers to the microphone: delay (samples) and linear gain.
constexpr std::uint64_t kEchoDelay1 = 1440;  // 30 ms
constexpr float kEchoGain1 = 0.3f;
constexpr std::uint64_t kEchoDelay2 = 2160;  // 45 ms
constexpr float kEchoGain2 = 0.12f;

/// The sentences, each followed by `pause` samples of silence, scaled by `gain`.
std::vector<float> talkerLoop(quality::SpeechSynth& synth, const std::vector<std::string>& lines,
                              const quality::Voice& voice, std::size_t pause, float gain) {
    std::vector<float> loop;
    for (const std::string& line : lines) {
        for (const float x : synth.render(line, voice)) {
            loop.push_back(x * gain);
        }
        loop.resize(loop.size() + pause, 0.0f);
    }
    return loop;
}

float looped(const std::vector<float>& loop, std::uint64_t n) noexcept {
    return loop[static_cast<std::size_t>(n % loop.size())];
}

}  // namespace

SoakScene SoakScene::build() {
    quality::SpeechSynth synth;
    SoakScene scene;
    scene.near_ = talkerLoop(synth,
                             {"Good morning everyone, thanks for joining the planning call.",
                              "The release candidate passed every test last night.",
                              "Please send me your notes after the meeting."},
                             quality::Voice{}, 3 * kSecond / 2, 1.0f);
    scene.far_ = talkerLoop(synth,
                            {"Thanks, I can hear you clearly now.",
                             "The supplier promised the new parts by the end of next week.",
                             "Let me check the calendar for the lab."},
                            quality::Voice{"en+m3", 40, 150}, 4 * kSecond, kFarGain);
    scene.noise_ = quality::pinkNoise(kNoiseLoop, kNoiseDbfs, 11);
    return scene;
}

float SoakScene::farSample(std::uint64_t n) const noexcept {
    return looped(far_, n);
}

float SoakScene::micSample(std::uint64_t n) const noexcept {
    float echo = 0.0f;
    if (n >= kEchoDelay1) {
        echo += kEchoGain1 * farSample(n - kEchoDelay1);
    }
    if (n >= kEchoDelay2) {
        echo += kEchoGain2 * farSample(n - kEchoDelay2);
    }
    return looped(near_, n) + looped(noise_, n) + echo;
}

void SoakScene::farBlock(std::uint64_t first, std::span<float> out) const noexcept {
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = farSample(first + i);
    }
}

}  // namespace corvessa::soak
