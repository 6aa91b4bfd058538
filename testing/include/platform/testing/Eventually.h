// Polling for a condition that another thread or process makes true, for tests.
#ifndef CORVESSA_PLATFORM_TESTING_EVENTUALLY_H
#define CORVESSA_PLATFORM_TESTING_EVENTUALLY_H

#include <chrono>
#include <thread>

namespace corvessa::testing {

/// Polls `condition` every `poll` until it holds or `timeout` has passed; true once it holds.
/// The condition is evaluated once more at the deadline, so a slow last step still counts.
template <class Condition>
bool eventually(Condition&& condition,
                std::chrono::milliseconds timeout = std::chrono::milliseconds(5000),
                std::chrono::milliseconds poll = std::chrono::milliseconds(5)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return condition();
        }
        std::this_thread::sleep_for(poll);
    }
    return true;
}

}  // namespace corvessa::testing

#endif  // CORVESSA_PLATFORM_TESTING_EVENTUALLY_H
