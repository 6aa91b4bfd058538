// One connection to a PulseAudio (or PipeWire pulse) server: a threaded mainloop, its context,
// and waits on the server that never block longer than a timeout.
//
// libpulse runs every callback on the mainloop's own thread with the mainloop lock held. Control
// threads take the lock (PulseLock) around every libpulse call and never wait while holding it:
// await() issues an operation under the lock, releases it, and waits on a condition variable for
// the operation to finish, to be cancelled (the server went away), or for its timeout, after which
// the operation is cancelled so that its callbacks cannot run later.
//
// Threads: every method may be called from any control thread; callbacks registered here run on
// the mainloop thread.
#ifndef CORVESSA_PLATFORM_PULSE_CONNECTION_H
#define CORVESSA_PLATFORM_PULSE_CONNECTION_H

#include <pulse/pulseaudio.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

namespace platform {

/// Longest a control thread waits for any answer of the server.
inline constexpr std::chrono::milliseconds kPulseOperationTimeout{1500};

/// Holds the mainloop lock of `mainloop` for its lifetime (nothing on the mainloop thread, which
/// holds it already).
class PulseLock {
  public:
    explicit PulseLock(pa_threaded_mainloop* mainloop) noexcept;
    ~PulseLock();
    PulseLock(const PulseLock&) = delete;
    PulseLock& operator=(const PulseLock&) = delete;

  private:
    pa_threaded_mainloop* mainloop_;
    bool locked_;
};

/// A flag one thread raises and another waits for, with a timeout.
class PulseSignal {
  public:
    void raise() noexcept;
    /// Whether the flag was raised within `timeout`.
    bool waitFor(std::chrono::milliseconds timeout);

  private:
    std::mutex mutex_;
    std::condition_variable raised_;
    bool up_ = false;
};

/// A connected client context with its mainloop thread.
class PulseConnection {
  public:
    /// What the server reports through the subscription: facility and kind bits, object index.
    using EventHandler = std::function<void(pa_subscription_event_type_t, uint32_t)>;

    /// Connects to the server libpulse finds (PULSE_SERVER, the user's runtime folder, ...),
    /// without spawning one; null when none answers within `timeout`.
    static std::shared_ptr<PulseConnection> open(const char* clientName,
                                                 std::chrono::milliseconds timeout);
    /// Disconnects and stops the mainloop thread.
    ~PulseConnection();
    PulseConnection(const PulseConnection&) = delete;
    PulseConnection& operator=(const PulseConnection&) = delete;

    pa_threaded_mainloop* mainloop() const noexcept { return mainloop_; }
    /// The context; use under PulseLock.
    pa_context* context() const noexcept { return context_; }
    /// False once the connection failed (the server went away); it never comes back.
    bool isReady() const noexcept { return ready_.load(std::memory_order_acquire); }

    /// Runs `start` under the lock; it returns an operation (null: could not be issued). Waits
    /// until the operation is done, for at most `timeout`; true when it completed.
    bool await(const std::function<pa_operation*(pa_context*)>& start,
               std::chrono::milliseconds timeout = kPulseOperationTimeout);

    /// Sets what runs on the mainloop thread for each event (null: nothing).
    void setEventHandler(EventHandler handler);
    /// Subscribes to source, sink and server events.
    bool subscribe();
    /// Runs `handler` on the mainloop thread once the connection fails (null: nothing).
    void onFailure(std::function<void()> handler);

  private:
    PulseConnection() = default;
    bool connect(const char* clientName, std::chrono::milliseconds timeout);
    static void stateChanged(pa_context* context, void* self) noexcept;
    static void eventArrived(pa_context* context, pa_subscription_event_type_t type, uint32_t index,
                             void* self) noexcept;

    pa_threaded_mainloop* mainloop_ = nullptr;
    pa_context* context_ = nullptr;
    std::atomic<bool> ready_{false};
    PulseSignal settled_;           // the context reached ready or failed
    EventHandler eventHandler_;     // mainloop thread only, after subscribe
    std::function<void()> failed_;  // mainloop thread only, after onFailure
};

}  // namespace platform

#endif
