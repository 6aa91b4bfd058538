// Wakes the processing side when the real-time thread has queued audio, without the real-time
// thread allocating or taking a lock: it only posts a semaphore (no system call unless the relay
// thread sleeps on it), and the relay thread, an ordinary thread, does the posting to the queue.
//
// Threads: notify() on the real-time thread; start() and stop() on the owner's thread; the wake
// function runs on the relay's own thread, one call at a time.
#ifndef AMBERLINAUDIOCORE_CAPTUREWAKERELAY_H
#define AMBERLINAUDIOCORE_CAPTUREWAKERELAY_H

#include <semaphore.h>

#include <atomic>
#include <functional>
#include <thread>

namespace amberlin {

/// A thread that calls a function whenever notified; notifications that arrive while it runs are
/// merged into one further call.
class CaptureWakeRelay {
  public:
    /// Starts the relay thread, which calls `onWake` after notifications.
    explicit CaptureWakeRelay(std::function<void()> onWake);
    /// Stops and joins the thread.
    ~CaptureWakeRelay();
    CaptureWakeRelay(const CaptureWakeRelay&) = delete;
    CaptureWakeRelay& operator=(const CaptureWakeRelay&) = delete;

    /// Asks for one call of the wake function; real-time safe (lock-free, allocation-free).
    void notify() noexcept;

  private:
    void run();
    void swallowPending() noexcept;

    std::function<void()> onWake_;
    sem_t semaphore_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

}  // namespace amberlin

#endif
