// Stop for an impossible internal state of the voice core: message on stderr, then abort.
#ifndef AMBERLIN_CORE_FATAL_H
#define AMBERLIN_CORE_FATAL_H

#include <cstdio>
#include <cstdlib>

namespace amberlin::core {

/// Writes `message` and a newline to stderr and aborts the process; never returns.
[[noreturn]] inline void fatal(const char* message) noexcept {
    std::fputs(message, stderr);
    std::fputc('\n', stderr);
    std::abort();
}

}  // namespace amberlin::core

#endif
