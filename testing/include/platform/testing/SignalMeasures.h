// Level measurements on sample buffers, for tests and tools.
#ifndef CORVESSA_PLATFORM_TESTING_SIGNAL_MEASURES_H
#define CORVESSA_PLATFORM_TESTING_SIGNAL_MEASURES_H

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <span>

namespace corvessa::testing {

/// Root mean square of `samples`; 0 for an empty span.
inline double rmsOf(std::span<const float> samples) {
    if (samples.empty()) {
        return 0.0;
    }
    double sum = 0.0;
    for (const float sample : samples) {
        sum += double(sample) * double(sample);
    }
    return std::sqrt(sum / double(samples.size()));
}

/// Root mean square of samples [from, to), clamped to the buffer.
inline double rmsOf(std::span<const float> samples, std::size_t from, std::size_t to) {
    to = std::min(to, samples.size());
    from = std::min(from, to);
    return rmsOf(samples.subspan(from, to - from));
}

/// `value` relative to `reference` in dB; silence reads as -240 dB, so figures stay finite.
inline double decibels(double value, double reference = 1.0) {
    return 20.0 * std::log10(std::max(value / reference, 1e-12));
}

}  // namespace corvessa::testing

#endif  // CORVESSA_PLATFORM_TESTING_SIGNAL_MEASURES_H
