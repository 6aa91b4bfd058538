// Quality and cost of Corvessa's voice core side by side with SpeexDSP and WebRTC audio
// processing, every system fed the same generated frames. Prints one echo-cancellation table and
// one noise-suppression table per noise kind.
//
//   cmake --preset release -B build/<dir> && cmake --build build/<dir> --target voice_quality
//   build/<dir>/bench/voice_quality
#include <fmt/format.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <vector>

#include "corvessa_echo_stage_system.h"
#include "corvessa_pipeline_system.h"
#include "evaluation.h"
#include "report.h"
#include "scenarios.h"
#include "speech_synth.h"
#include "speex_denoise_system.h"
#include "speex_echo_system.h"
#include "webrtc_apm_system.h"

namespace {

using namespace corvessa::quality;

SystemEntry corvessa(std::string name, CorvessaSettings settings) {
    return {std::move(name), [settings] { return makeCorvessaPipeline(settings); }};
}

SystemEntry webrtc(std::string name, WebrtcSettings settings) {
    return {std::move(name), [settings] { return makeWebrtcApm(settings); }};
}

std::vector<SystemEntry> echoSystems() {
    return {
        corvessa("Corvessa pipeline: AEC + neural", {true, true, 1, 0}),
        corvessa("Corvessa pipeline: AEC + neural + gate (defaults)", {true, true, 1, 2}),
        corvessa("Corvessa pipeline: AEC + spectral", {false, true, 1, 0}),
        {"Corvessa echo canceller stage alone", makeCorvessaEchoStage},
        {"SpeexDSP AEC", [] { return makeSpeexEcho(false); }},
        {"SpeexDSP AEC + residual suppression", [] { return makeSpeexEcho(true); }},
        webrtc("WebRTC AEC", {true, false, 40}),
        webrtc("WebRTC AEC + NS", {true, true, 40}),
    };
}

std::vector<SystemEntry> noiseSystems() {
    return {
        corvessa("Corvessa pipeline: neural", {true, false, 1, 0}),
        corvessa("Corvessa pipeline: neural + gate (defaults)", {true, false, 1, 2}),
        corvessa("Corvessa pipeline: spectral", {false, false, 1, 0}),
        {"SpeexDSP preprocessor denoiser", makeSpeexDenoise},
        webrtc("WebRTC NS (moderate)", {false, true, 40}),
    };
}

// Evaluates every entry with `evaluate`; a system that cannot be built is reported and skipped.
template <typename Row, typename Evaluate>
std::vector<Row> evaluateAll(const std::vector<SystemEntry>& entries, Evaluate evaluate) {
    std::vector<Row> rows;
    for (const SystemEntry& entry : entries) {
        try {
            rows.push_back(evaluate(entry));
        } catch (const std::exception& e) {
            fmt::print(stderr, "skipped \"{}\": {}\n", entry.name, e.what());
        }
    }
    return rows;
}

void printLegend() {
    fmt::print(
        "\nAll systems get identical 480-sample frames at 48 kHz; Corvessa runs in balanced mode, "
        "with the voice gate (voice isolation) off unless marked \"gate\".\n"
        "delay ms (doc): output delay found by cross-correlation with the clean talker (and the "
        "delay the system documents, ? if none);\n"
        "match: normalised correlation at that delay (1.00 = clean speech passes unchanged).\n"
        "ERLE: microphone over output energy, delay-compensated; first/stays: end of the first "
        "200 ms window at or above the level, and of the first window after which it never falls "
        "below (windows with echo >= -40 dBFS only).\n"
        "double-talk loss / speech: energy of the clean near-end talker over the part of it the "
        "output still carries (least-squares gain per 10 ms frame), speaking frames only.\n"
        "noise: input over output energy in the talker's pauses (after the first second).\n"
        "us/frame: median wall time of one process call on this machine.\n");
}

}  // namespace

int main() {
    try {
        const auto start = std::chrono::steady_clock::now();
        ScenarioSet scenarios = [] {
            SpeechSynth synth;
            return buildScenarios(synth);
        }();
        fmt::print("Signals: near-end talker {:.1f} s, far end {:.1f} s\n",
                   static_cast<double>(scenarios.calibration.length) / kSampleRate,
                   static_cast<double>(scenarios.farEndOnly.length) / kSampleRate);
        const auto echoRows = evaluateAll<EchoRow>(
            echoSystems(), [&](const SystemEntry& e) { return evaluateEcho(e, scenarios); });
        echoTable(echoRows).print(stdout);
        const auto noiseRows = evaluateAll<NoiseRow>(
            noiseSystems(), [&](const SystemEntry& e) { return evaluateNoise(e, scenarios); });
        for (const NoiseKind kind : kNoiseKinds) {
            noiseTable(noiseRows, kind).print(stdout);
        }
        printLegend();
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        fmt::print("\nRun time {:.0f} s\n", elapsed.count());
        return 0;
    } catch (const std::exception& e) {
        fmt::print(stderr, "voice_quality: {}\n", e.what());
        return 1;
    }
}
