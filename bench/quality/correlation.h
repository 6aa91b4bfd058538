// FFT-based linear convolution and cross-correlation of long signals (tens of seconds at 48 kHz),
// in double precision so that million-sample sums keep their small terms.
#ifndef CORVESSA_BENCH_QUALITY_CORRELATION_H
#define CORVESSA_BENCH_QUALITY_CORRELATION_H

#include <cstddef>
#include <span>
#include <vector>

namespace corvessa::quality {

/// Full linear convolution of `x` with `h`: x.size() + h.size() - 1 samples (empty if either is).
std::vector<float> convolve(std::span<const float> x, std::span<const float> h);

/// Cross-correlation r[lag] = sum_n y[n + lag] * x[n] for lag = 0 ... maxLag (samples by which
/// `y` trails `x`); lags past the end of `y` contribute nothing.
std::vector<double> crossCorrelation(std::span<const float> x, std::span<const float> y,
                                     std::size_t maxLag);

/// Where `y` best matches `x` delayed, and how well.
struct DelayEstimate {
    std::size_t lag = 0;       ///< samples by which `y` trails `x`
    double correlation = 0.0;  ///< normalised correlation at that lag, -1 ... 1
};

/// The lag 0 ... maxLag with the largest cross-correlation of `y` against `x`.
DelayEstimate estimateDelay(std::span<const float> x, std::span<const float> y, std::size_t maxLag);

}  // namespace corvessa::quality

#endif
