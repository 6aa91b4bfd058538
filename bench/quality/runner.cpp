#include "runner.h"

#include <algorithm>
#include <chrono>

namespace corvessa::quality {

RunOutput runScenario(SystemUnderTest& system, const Scenario& scenario) {
    RunOutput run;
    run.out.assign(scenario.mic.size(), 0.0F);
    run.frameMicros.reserve(scenario.mic.size() / kFrame);
    for (std::size_t start = 0; start + kFrame <= scenario.mic.size(); start += kFrame) {
        const FrameIn mic(scenario.mic.data() + start, kFrame);
        const FrameIn far(scenario.far.data() + start, kFrame);
        const FrameOut out(run.out.data() + start, kFrame);
        const auto before = std::chrono::steady_clock::now();
        system.process(mic, far, out);
        const auto after = std::chrono::steady_clock::now();
        run.frameMicros.push_back(
            std::chrono::duration<double, std::micro>(after - before).count());
    }
    return run;
}

DelayEstimate measureDelay(const SystemEntry& entry, const Scenario& calibration) {
    const auto system = entry.make();
    const RunOutput run = runScenario(*system, calibration);
    return estimateDelay(calibration.near, run.out, kMaxDelay);
}

double median(std::vector<double> values) {
    if (values.empty()) {
        return 0.0;
    }
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

}  // namespace corvessa::quality
