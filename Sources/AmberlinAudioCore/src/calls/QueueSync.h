// Runs a body synchronously on a serial queue and hands its result or its exception back to the
// caller, so that failures inside queued bodies reach the thread that asked for the work.
#ifndef AMBERLINAUDIOCORE_QUEUESYNC_H
#define AMBERLINAUDIOCORE_QUEUESYNC_H

#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

#include "platform/SerialQueue.h"

namespace amberlin {

/// Runs `body` on `queue`, waits for it and returns its result; an exception thrown by the body
/// is rethrown on the caller's thread instead of escaping on the queue's worker.
template <class Body>
auto syncOnQueue(platform::SerialQueue& queue, Body&& body) -> std::invoke_result_t<Body&> {
    using Result = std::invoke_result_t<Body&>;
    std::exception_ptr failure;
    if constexpr (std::is_void_v<Result>) {
        queue.sync([&] {
            try {
                body();
            } catch (...) {
                failure = std::current_exception();
            }
        });
        if (failure) {
            std::rethrow_exception(failure);
        }
    } else {
        std::optional<Result> result;
        queue.sync([&] {
            try {
                result.emplace(body());
            } catch (...) {
                failure = std::current_exception();
            }
        });
        if (failure) {
            std::rethrow_exception(failure);
        }
        return std::move(*result);
    }
}

}  // namespace amberlin

#endif
