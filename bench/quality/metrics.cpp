#include "metrics.h"

#include <algorithm>

#include "levels.h"
#include "system_under_test.h"

namespace corvessa::quality {
namespace {

double dot(std::span<const float> a, std::span<const float> b) {
    double sum = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        sum += double{a[i]} * double{b[i]};
    }
    return sum;
}

// Calls `visit(start)` for every whole frame of `range` that `mask` marks.
template <typename Visit>
void forMarkedFrames(const std::vector<bool>& mask, Range range, Visit visit) {
    for (std::size_t f = (range.begin + kFrame - 1) / kFrame; f < mask.size(); ++f) {
        if ((f + 1) * kFrame > range.end) {
            break;
        }
        if (mask[f]) {
            visit(f * kFrame);
        }
    }
}

std::vector<double> frameLevels(std::span<const float> clean) {
    std::vector<double> levels(clean.size() / kFrame);
    for (std::size_t f = 0; f < levels.size(); ++f) {
        levels[f] = rmsDbfs(clean.subspan(f * kFrame, kFrame));
    }
    return levels;
}

}  // namespace

std::span<const float> Aligned::at(std::size_t begin, std::size_t n) const {
    if (begin + delay + n > out.size()) {
        return {};
    }
    return out.subspan(begin + delay, n);
}

double erleDb(std::span<const float> mic, Aligned out, Range range) {
    // The range is cut where the microphone or the delayed output ends.
    const std::size_t outputReach = out.out.size() > out.delay ? out.out.size() - out.delay : 0;
    const std::size_t end = std::min({range.end, mic.size(), outputReach});
    if (end <= range.begin) {
        return 0.0;
    }
    const std::size_t n = end - range.begin;
    return ratioDb(energyOf(mic.subspan(range.begin, n)), energyOf(out.at(range.begin, n)));
}

std::vector<ErleWindow> erleTimeline(std::span<const float> mic, std::span<const float> echo,
                                     Aligned out, std::size_t window, Range range,
                                     double echoActiveDbfs) {
    std::vector<ErleWindow> timeline;
    for (std::size_t start = range.begin; start + window <= range.end; start += window) {
        const auto output = out.at(start, window);
        if (output.empty()) {
            break;
        }
        if (rmsDbfs(echo.subspan(start, window)) < echoActiveDbfs) {
            continue;
        }
        const double end = static_cast<double>(start + window) / kSampleRate;
        timeline.push_back({end, ratioDb(energyOf(mic.subspan(start, window)), energyOf(output))});
    }
    return timeline;
}

Convergence convergence(std::span<const ErleWindow> timeline, double thresholdDb) {
    Convergence result;
    const auto above = [thresholdDb](const ErleWindow& w) { return w.erleDb >= thresholdDb; };
    const auto first = std::find_if(timeline.begin(), timeline.end(), above);
    if (first != timeline.end()) {
        result.firstReachSeconds = first->endSeconds;
    }
    // The final run of windows at or above the threshold, found from the back.
    const auto lastBelow = std::find_if_not(timeline.rbegin(), timeline.rend(), above);
    const auto runStart = lastBelow.base();
    if (runStart != timeline.end()) {
        result.staysAboveSeconds = runStart->endSeconds;
    }
    return result;
}

std::vector<bool> activeFrames(std::span<const float> clean, double thresholdDbfs) {
    const std::vector<double> levels = frameLevels(clean);
    std::vector<bool> active(levels.size());
    for (std::size_t f = 0; f < levels.size(); ++f) {
        active[f] = levels[f] >= thresholdDbfs;
    }
    return active;
}

std::vector<bool> pauseFrames(std::span<const float> clean, double silenceDbfs,
                              std::size_t guardFrames) {
    const std::vector<double> levels = frameLevels(clean);
    std::vector<bool> pause(levels.size(), true);
    for (std::size_t f = 0; f < levels.size(); ++f) {
        if (levels[f] < silenceDbfs) {
            continue;
        }
        const std::size_t from = f > guardFrames ? f - guardFrames : 0;
        const std::size_t to = std::min(levels.size(), f + guardFrames + 1);
        std::fill(pause.begin() + static_cast<std::ptrdiff_t>(from),
                  pause.begin() + static_cast<std::ptrdiff_t>(to), false);
    }
    return pause;
}

double speechLossDb(std::span<const float> clean, Aligned out, const std::vector<bool>& active,
                    Range range) {
    double cleanEnergy = 0.0;
    double keptEnergy = 0.0;
    forMarkedFrames(active, range, [&](std::size_t start) {
        const auto output = out.at(start, kFrame);
        if (output.empty()) {
            return;
        }
        const auto speech = clean.subspan(start, kFrame);
        const double energy = energyOf(speech);
        const double projection = dot(output, speech);
        cleanEnergy += energy;
        keptEnergy += energy > 0.0 ? projection * projection / energy : 0.0;
    });
    return ratioDb(cleanEnergy, keptEnergy);
}

double pauseAttenuationDb(std::span<const float> mic, Aligned out, const std::vector<bool>& pauses,
                          Range range) {
    double inEnergy = 0.0;
    double outEnergy = 0.0;
    forMarkedFrames(pauses, range, [&](std::size_t start) {
        const auto output = out.at(start, kFrame);
        if (output.empty()) {
            return;
        }
        inEnergy += energyOf(mic.subspan(start, kFrame));
        outEnergy += energyOf(output);
    });
    return ratioDb(inEnergy, outEnergy);
}

}  // namespace corvessa::quality
