// A serial task queue: one worker thread runs submitted tasks one at a time, in submission order
// (delayed tasks when their deadline has passed, in deadline order).
//
// Threads: every method may be called from any thread. `sync` blocks the caller until its task
// has run; called from the queue's own thread it runs the task inline instead of deadlocking.
// Destruction runs every task that is already due, drops delayed tasks that are not, and joins
// the worker (or detaches it when the last owner is released from inside one of its own tasks).
#ifndef CORVESSA_PLATFORM_SERIAL_QUEUE_H
#define CORVESSA_PLATFORM_SERIAL_QUEUE_H

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace platform {

/// Serial queue with a label, asynchronous, synchronous and delayed submission.
class SerialQueue {
  public:
    using Task = std::function<void()>;
    using Clock = std::chrono::steady_clock;

    /// Starts the worker thread; `label` names the queue (and, shortened, its thread).
    explicit SerialQueue(std::string label);
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    /// The label given at creation.
    const std::string& label() const noexcept;
    /// Enqueues `task` to run after every task enqueued before it.
    void async(Task task);
    /// Enqueues `task` to run once `delay` has elapsed.
    void asyncAfter(Clock::duration delay, Task task);
    /// Runs `task` on the queue and waits for it; inline when already on the queue's thread.
    void sync(const Task& task);
    /// True when called from a task running on this queue.
    bool isCurrent() const noexcept;

  private:
    struct State;

    std::shared_ptr<State> state_;  // shared with the worker, which may outlive this object
    std::thread::id worker_id_;
    std::thread worker_;
};

}  // namespace platform

#endif
