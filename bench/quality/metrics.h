// Quality measurements of a processed signal against the known parts of its input: echo return
// loss enhancement (overall and its convergence over time), loss of the near-end talker, and
// attenuation of the noise in speech pauses. Every figure compares input sample i with output
// sample i + delay, the delay having been measured beforehand by cross-correlation.
#ifndef CORVESSA_BENCH_QUALITY_METRICS_H
#define CORVESSA_BENCH_QUALITY_METRICS_H

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

namespace corvessa::quality {

/// Half-open range of input samples [begin, end).
struct Range {
    std::size_t begin = 0;
    std::size_t end = 0;
};

/// A system's output lined up with its input: input sample i appears at out[i + delay].
struct Aligned {
    std::span<const float> out;
    std::size_t delay = 0;

    /// Output samples for input samples [begin, begin + n); empty when the output ends earlier.
    [[nodiscard]] std::span<const float> at(std::size_t begin, std::size_t n) const;
};

/// ERLE in dB over `range`: microphone energy over the aligned output's energy.
double erleDb(std::span<const float> mic, Aligned out, Range range);

/// ERLE of one short window, stamped with the time of the window's end.
struct ErleWindow {
    double endSeconds = 0.0;
    double erleDb = 0.0;
};

/// ERLE in consecutive windows of `window` samples over `range`, keeping only the windows in which
/// the echo alone reaches `echoActiveDbfs` RMS (so that pauses of the far end, where there is
/// nothing to remove, do not count as failures).
std::vector<ErleWindow> erleTimeline(std::span<const float> mic, std::span<const float> echo,
                                     Aligned out, std::size_t window, Range range,
                                     double echoActiveDbfs);

/// When a timeline first reached a threshold, and from when on it never fell below it again.
struct Convergence {
    std::optional<double> firstReachSeconds;  ///< end of the first window at or above
    std::optional<double> staysAboveSeconds;  ///< end of the first window of the final run at or
                                              ///< above; nothing when the last window is below
};

/// Convergence of `timeline` to `thresholdDb`.
Convergence convergence(std::span<const ErleWindow> timeline, double thresholdDb);

/// Per 10 ms frame: whether the clean signal's RMS reaches `thresholdDbfs`.
std::vector<bool> activeFrames(std::span<const float> clean, double thresholdDbfs);

/// Per 10 ms frame: whether it and every frame within `guardFrames` of it stay below
/// `silenceDbfs` (a pause, clear of the edges of words).
std::vector<bool> pauseFrames(std::span<const float> clean, double silenceDbfs,
                              std::size_t guardFrames);

/// Loss of the clean talker in dB (0 = kept whole) over the `active` frames inside `range`: in
/// each frame the least-squares gain of the clean speech within the aligned output is taken as
/// what survived of it, so noise and echo left in the output do not count as speech.
double speechLossDb(std::span<const float> clean, Aligned out, const std::vector<bool>& active,
                    Range range);

/// Attenuation in dB over the `pauses` frames inside `range`: input energy over aligned output
/// energy (what a suppressor does to the noise while nobody speaks).
double pauseAttenuationDb(std::span<const float> mic, Aligned out, const std::vector<bool>& pauses,
                          Range range);

}  // namespace corvessa::quality

#endif
