// Relay thread over a POSIX semaphore: sem_post is lock-free and async-signal-safe, and enters the
// kernel only to wake a sleeping waiter.
#include "CaptureWakeRelay.h"

#include <pthread.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace amberlin {

CaptureWakeRelay::CaptureWakeRelay(std::function<void()> onWake) : onWake_(std::move(onWake)) {
    if (sem_init(&semaphore_, 0, 0) != 0) {
        std::fputs("CaptureWakeRelay: cannot create its semaphore\n", stderr);
        std::abort();
    }
    thread_ = std::thread([this] { run(); });
}

CaptureWakeRelay::~CaptureWakeRelay() {
    stopping_.store(true, std::memory_order_release);
    sem_post(&semaphore_);
    thread_.join();
    sem_destroy(&semaphore_);
}

void CaptureWakeRelay::notify() noexcept {
    sem_post(&semaphore_);
}

void CaptureWakeRelay::run() {
    pthread_setname_np(pthread_self(), "capture-relay");
    for (;;) {
        while (sem_wait(&semaphore_) != 0 && errno == EINTR) {
        }
        swallowPending();
        if (stopping_.load(std::memory_order_acquire)) {
            return;
        }
        onWake_();
    }
}

void CaptureWakeRelay::swallowPending() noexcept {
    while (sem_trywait(&semaphore_) == 0) {
    }
}

}  // namespace amberlin
