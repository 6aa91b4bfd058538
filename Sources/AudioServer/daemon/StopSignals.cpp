// signalfd-based stop requests.
#include "StopSignals.h"

#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include "DaemonLog.h"

namespace audioserver::daemon {

StopSignals::StopSignals(pa_mainloop_api* api, bool& stopRequested)
    : api_(api), stopRequested_(stopRequested) {
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stops, &previousMask_);
    fd_ = signalfd(-1, &stops, SFD_NONBLOCK | SFD_CLOEXEC);
    if (fd_ >= 0) {
        event_ = api_->io_new(api_, fd_, PA_IO_EVENT_INPUT, onReadable, this);
    }
}

StopSignals::~StopSignals() {
    if (event_ != nullptr) {
        api_->io_free(event_);
    }
    if (fd_ >= 0) {
        close(fd_);
    }
    pthread_sigmask(SIG_SETMASK, &previousMask_, nullptr);
}

void StopSignals::onReadable(pa_mainloop_api*, pa_io_event*, int fd, pa_io_event_flags_t,
                             void* userdata) {
    auto* self = static_cast<StopSignals*>(userdata);
    signalfd_siginfo info{};
    while (read(fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        logLine(info.ssi_signo == SIGTERM ? "stopping on SIGTERM" : "stopping on SIGINT");
        self->stopRequested_ = true;
    }
}

}  // namespace audioserver::daemon
