// Signal levels in dBFS (0 dBFS = RMS 1.0, a full-scale square wave) and scaling to a level.
#ifndef CORVESSA_BENCH_QUALITY_LEVELS_H
#define CORVESSA_BENCH_QUALITY_LEVELS_H

#include <span>

namespace corvessa::quality {

/// Sum of squares in double precision.
double energyOf(std::span<const float> s);
/// RMS level in dBFS; -200 for silence or an empty span.
double rmsDbfs(std::span<const float> s);
/// 10 log10(numerator / denominator) with both floored at 1e-20, so silence gives a finite dB.
double ratioDb(double numerator, double denominator);
/// Active level in dBFS: the RMS over 10 ms frames no more than 20 dB below the overall RMS, so
/// the gaps between words and sentences do not pull the level of speech down.
double activeLevelDbfs(std::span<const float> s);
/// Multiplies `s` by a gain in dB.
void applyGainDb(std::span<float> s, double gainDb);

}  // namespace corvessa::quality

#endif
