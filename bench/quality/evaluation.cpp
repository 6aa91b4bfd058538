#include "evaluation.h"

#include "runner.h"

namespace corvessa::quality {
namespace {

constexpr double kActiveDbfs = -46.0;                 // 20 dB under the talker's active level
constexpr double kSilenceDbfs = -70.0;                // 44 dB under it: a true pause
constexpr std::size_t kPauseGuard = 5;                // frames (50 ms) kept clear of word edges
constexpr std::size_t kSettleSamples = kSampleRate;   // 1 s left to the suppressors to settle
constexpr std::size_t kErleWindow = kSampleRate / 5;  // 200 ms
constexpr std::size_t kErleTail = 10 * kSampleRate;   // last 10 s
constexpr double kEchoActiveDbfs = -40.0;             // 20 dB above the noise floor

RowBasics basicsOf(const SystemEntry& entry, const ScenarioSet& scenarios) {
    RowBasics basics;
    basics.name = entry.name;
    basics.delay = measureDelay(entry, scenarios.calibration);
    basics.nominalDelay = entry.make()->nominalDelay();
    return basics;
}

RunOutput runFresh(const SystemEntry& entry, const Scenario& scenario) {
    const auto system = entry.make();
    return runScenario(*system, scenario);
}

void farEndOnlyFigures(EchoRow& row, const Scenario& s, const RunOutput& run) {
    const Aligned aligned{run.out, row.basics.delay.lag};
    const std::size_t tailStart = s.length > kErleTail ? s.length - kErleTail : 0;
    row.erleLast10sDb = erleDb(s.mic, aligned, {tailStart, s.length});
    const auto timeline =
        erleTimeline(s.mic, s.echo, aligned, kErleWindow, {0, s.length}, kEchoActiveDbfs);
    row.erle10 = convergence(timeline, 10.0);
    row.erle20 = convergence(timeline, 20.0);
}

NoiseCell noiseFigures(const Scenario& s, const RunOutput& run, std::size_t delay) {
    const Aligned aligned{run.out, delay};
    const Range range{kSettleSamples, s.length};
    NoiseCell cell;
    cell.noiseAttenuationDb =
        pauseAttenuationDb(s.mic, aligned, pauseFrames(s.near, kSilenceDbfs, kPauseGuard), range);
    cell.speechLossDb = speechLossDb(s.near, aligned, activeFrames(s.near, kActiveDbfs), range);
    return cell;
}

}  // namespace

EchoRow evaluateEcho(const SystemEntry& entry, const ScenarioSet& scenarios) {
    EchoRow row;
    row.basics = basicsOf(entry, scenarios);
    const RunOutput farOnly = runFresh(entry, scenarios.farEndOnly);
    farEndOnlyFigures(row, scenarios.farEndOnly, farOnly);
    const Scenario& dt = scenarios.doubleTalk;
    const RunOutput doubleTalk = runFresh(entry, dt);
    row.doubleTalkLossDb = speechLossDb(dt.near, Aligned{doubleTalk.out, row.basics.delay.lag},
                                        activeFrames(dt.near, kActiveDbfs),
                                        {ScenarioSet::kDoubleTalkStart, dt.length});
    std::vector<double> micros = farOnly.frameMicros;
    micros.insert(micros.end(), doubleTalk.frameMicros.begin(), doubleTalk.frameMicros.end());
    row.basics.medianMicros = median(std::move(micros));
    return row;
}

NoiseRow evaluateNoise(const SystemEntry& entry, const ScenarioSet& scenarios) {
    NoiseRow row;
    row.basics = basicsOf(entry, scenarios);
    std::vector<double> micros;
    for (const Scenario& s : scenarios.noisy) {
        const RunOutput run = runFresh(entry, s);
        row.cells.push_back(noiseFigures(s, run, row.basics.delay.lag));
        micros.insert(micros.end(), run.frameMicros.begin(), run.frameMicros.end());
    }
    row.basics.medianMicros = median(std::move(micros));
    return row;
}

}  // namespace corvessa::quality
