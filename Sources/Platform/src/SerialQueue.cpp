#include "platform/SerialQueue.h"

#include <pthread.h>

#include <condition_variable>
#include <cstdint>
#include <future>
#include <mutex>
#include <set>

namespace platform {

namespace {

/// A pending task, ordered by deadline and then by submission.
struct Entry {
    SerialQueue::Clock::time_point due;
    uint64_t sequence;
    mutable SerialQueue::Task task;
    bool operator<(const Entry& other) const noexcept {
        return due != other.due ? due < other.due : sequence < other.sequence;
    }
};

}  // namespace

/// Everything the worker touches; owned jointly by the queue object and its worker thread.
struct SerialQueue::State {
    std::string label;
    std::mutex mutex;
    std::condition_variable wake;
    std::set<Entry> entries;
    uint64_t next_sequence = 0;
    bool stopping = false;

    void enqueue(Clock::time_point due, Task task) {
        // Notifying under the lock: the worker may release the last owner of this state as
        // soon as the lock is free.
        std::lock_guard lock(mutex);
        entries.insert(Entry{due, next_sequence++, std::move(task)});
        wake.notify_all();
    }

    // Waits for the earliest entry to become due. While stopping, due entries still run and the
    // rest are dropped. Returns false when the worker should exit.
    bool next_due(std::unique_lock<std::mutex>& lock, Task& task) {
        for (;;) {
            if (!entries.empty() && entries.begin()->due <= Clock::now()) {
                task = std::move(entries.begin()->task);
                entries.erase(entries.begin());
                return true;
            }
            if (stopping) {
                entries.clear();
                return false;
            }
            if (entries.empty()) {
                wake.wait(lock);
            } else {
                wake.wait_until(lock, entries.begin()->due);
            }
        }
    }

    static void run(const std::shared_ptr<State>& state) {
        const std::string& name = state->label;
        pthread_setname_np(pthread_self(),
                           name.substr(name.size() > 15 ? name.size() - 15 : 0).c_str());
        std::unique_lock lock(state->mutex);
        Task task;
        while (state->next_due(lock, task)) {
            lock.unlock();
            task();
            task = nullptr;
            lock.lock();
        }
    }
};

SerialQueue::SerialQueue(std::string label) : state_(std::make_shared<State>()) {
    state_->label = std::move(label);
    worker_ = std::thread([state = state_] { State::run(state); });
    worker_id_ = worker_.get_id();
}

SerialQueue::~SerialQueue() {
    {
        std::lock_guard lock(state_->mutex);
        state_->stopping = true;
        state_->wake.notify_all();
    }
    if (isCurrent()) {
        worker_.detach();  // released from inside one of its own tasks: the worker ends alone
    } else {
        worker_.join();
    }
}

const std::string& SerialQueue::label() const noexcept {
    return state_->label;
}

void SerialQueue::async(Task task) {
    state_->enqueue(Clock::now(), std::move(task));
}

void SerialQueue::asyncAfter(Clock::duration delay, Task task) {
    state_->enqueue(Clock::now() + delay, std::move(task));
}

void SerialQueue::sync(const Task& task) {
    if (isCurrent()) {
        task();
        return;
    }
    std::promise<void> done;
    std::future<void> finished = done.get_future();
    async([&] {
        task();
        done.set_value();
    });
    finished.wait();
}

bool SerialQueue::isCurrent() const noexcept {
    return worker_id_ == std::this_thread::get_id();
}

}  // namespace platform
