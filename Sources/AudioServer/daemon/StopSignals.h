// SIGTERM and SIGINT delivered as events of the daemon's main loop.
//
// The signals are blocked in the calling thread (and so in every thread it starts afterwards,
// the IO thread included) and read from a signalfd watched by the main loop, so a stop request
// is handled on the control thread between two loop iterations, never inside a handler.
#ifndef CORVESSA_AUDIOSERVER_STOP_SIGNALS_H
#define CORVESSA_AUDIOSERVER_STOP_SIGNALS_H

#include <pulse/mainloop-api.h>

#include <csignal>
#include <string>

namespace audioserver::daemon {

class StopSignals {
  public:
    /// Watches SIGTERM and SIGINT on `api`'s loop; `stopRequested` turns true when one arrives.
    StopSignals(pa_mainloop_api* api, bool& stopRequested);
    /// Stops watching and restores the signal mask that was in force before.
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

  private:
    static void onReadable(pa_mainloop_api*, pa_io_event*, int fd, pa_io_event_flags_t,
                           void* userdata);

    pa_mainloop_api* api_;
    bool& stopRequested_;
    sigset_t previousMask_{};
    int fd_ = -1;
    pa_io_event* event_ = nullptr;
};

}  // namespace audioserver::daemon

#endif
