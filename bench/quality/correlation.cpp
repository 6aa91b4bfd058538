#include "correlation.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <complex>
#include <numbers>
#include <utility>

namespace corvessa::quality {
namespace {

using Spectrum = std::vector<std::complex<double>>;

void bitReverse(Spectrum& a) {
    const std::size_t n = a.size();
    for (std::size_t i = 1, j = 0; i < n; ++i) {
        std::size_t bit = n >> 1U;
        for (; (j & bit) != 0; bit >>= 1U) {
            j ^= bit;
        }
        j ^= bit;
        if (i < j) {
            std::swap(a[i], a[j]);
        }
    }
}

// In-place radix-2 transform; the inverse is scaled by 1/N. a.size() is a power of two.
void fft(Spectrum& a, bool inverse) {
    bitReverse(a);
    const double sign = inverse ? 1.0 : -1.0;
    for (std::size_t len = 2; len <= a.size(); len <<= 1U) {
        const double angle = sign * 2.0 * std::numbers::pi / static_cast<double>(len);
        const std::complex<double> step(std::cos(angle), std::sin(angle));
        for (std::size_t start = 0; start < a.size(); start += len) {
            std::complex<double> w(1.0, 0.0);
            for (std::size_t k = 0; k < len / 2; ++k) {
                const std::complex<double> u = a[start + k];
                const std::complex<double> v = a[start + k + len / 2] * w;
                a[start + k] = u + v;
                a[start + k + len / 2] = u - v;
                w *= step;
            }
        }
    }
    if (inverse) {
        const double scale = 1.0 / static_cast<double>(a.size());
        for (auto& value : a) {
            value *= scale;
        }
    }
}

Spectrum transformed(std::span<const float> x, std::size_t size) {
    Spectrum a(size);
    for (std::size_t i = 0; i < x.size(); ++i) {
        a[i] = double{x[i]};
    }
    fft(a, false);
    return a;
}

double energy(std::span<const float> s) {
    double e = 0.0;
    for (const float v : s) {
        e += double{v} * double{v};
    }
    return e;
}

}  // namespace

std::vector<float> convolve(std::span<const float> x, std::span<const float> h) {
    if (x.empty() || h.empty()) {
        return {};
    }
    const std::size_t length = x.size() + h.size() - 1;
    const std::size_t size = std::bit_ceil(length);
    Spectrum a = transformed(x, size);
    const Spectrum b = transformed(h, size);
    for (std::size_t k = 0; k < size; ++k) {
        a[k] *= b[k];
    }
    fft(a, true);
    std::vector<float> out(length);
    for (std::size_t i = 0; i < length; ++i) {
        out[i] = static_cast<float>(a[i].real());
    }
    return out;
}

std::vector<double> crossCorrelation(std::span<const float> x, std::span<const float> y,
                                     std::size_t maxLag) {
    // Zero padding to x.size() + y.size() keeps the circular product free of wrapped terms.
    const std::size_t size = std::bit_ceil(std::max<std::size_t>(x.size() + y.size(), 2));
    Spectrum a = transformed(y, size);
    const Spectrum b = transformed(x, size);
    for (std::size_t k = 0; k < size; ++k) {
        a[k] *= std::conj(b[k]);
    }
    fft(a, true);
    std::vector<double> r(maxLag + 1, 0.0);
    for (std::size_t lag = 0; lag <= maxLag && lag < size; ++lag) {
        r[lag] = a[lag].real();
    }
    return r;
}

DelayEstimate estimateDelay(std::span<const float> x, std::span<const float> y,
                            std::size_t maxLag) {
    const std::vector<double> r = crossCorrelation(x, y, maxLag);
    const auto best = std::max_element(r.begin(), r.end());
    const double norm = std::sqrt(energy(x) * energy(y));
    DelayEstimate estimate;
    estimate.lag = static_cast<std::size_t>(best - r.begin());
    estimate.correlation = norm > 0.0 ? *best / norm : 0.0;
    return estimate;
}

}  // namespace corvessa::quality
