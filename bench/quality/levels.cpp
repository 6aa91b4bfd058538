#include "levels.h"

#include <algorithm>
#include <cmath>

#include "system_under_test.h"

namespace corvessa::quality {

double energyOf(std::span<const float> s) {
    double e = 0.0;
    for (const float v : s) {
        e += double{v} * double{v};
    }
    return e;
}

double rmsDbfs(std::span<const float> s) {
    if (s.empty()) {
        return -200.0;
    }
    const double meanSquare = energyOf(s) / static_cast<double>(s.size());
    return meanSquare > 1e-20 ? 10.0 * std::log10(meanSquare) : -200.0;
}

double ratioDb(double numerator, double denominator) {
    return 10.0 * std::log10(std::max(numerator, 1e-20) / std::max(denominator, 1e-20));
}

double activeLevelDbfs(std::span<const float> s) {
    const double gate = rmsDbfs(s) - 20.0;
    double e = 0.0;
    std::size_t counted = 0;
    for (std::size_t start = 0; start + kFrame <= s.size(); start += kFrame) {
        const auto frame = s.subspan(start, kFrame);
        if (rmsDbfs(frame) >= gate) {
            e += energyOf(frame);
            counted += kFrame;
        }
    }
    return counted == 0 ? -200.0 : ratioDb(e / static_cast<double>(counted), 1.0);
}

void applyGainDb(std::span<float> s, double gainDb) {
    const auto gain = static_cast<float>(std::pow(10.0, gainDb / 20.0));
    for (float& v : s) {
        v *= gain;
    }
}

}  // namespace corvessa::quality
