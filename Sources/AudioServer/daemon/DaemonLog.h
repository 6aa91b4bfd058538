// Log lines of the daemon: one line per call on standard error, prefixed with the program name.
// Control thread only (never the IO thread: formatting allocates and stderr may block).
#ifndef CORVESSA_AUDIOSERVER_DAEMON_LOG_H
#define CORVESSA_AUDIOSERVER_DAEMON_LOG_H

#include <cstdio>
#include <string>

namespace audioserver::daemon {

inline void logLine(const std::string& line) {
    std::fprintf(stderr, "corvessa-audio-server: %s\n", line.c_str());
    std::fflush(stderr);
}

}  // namespace audioserver::daemon

#endif
