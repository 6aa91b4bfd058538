// Pumped or paced IO cycles on a dedicated thread.
#include "SimulatedIOThread.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <utility>

namespace platform {

SimulatedIOThread::SimulatedIOThread(SimulatedIOClock clock, Float64 sampleRate, Cycle cycle)
    : clock_(clock), sampleRate_(sampleRate), cycle_(std::move(cycle)) {
    std::lock_guard join(joinMutex_);
    thread_ = std::thread([this] { run(); });
}

SimulatedIOThread::~SimulatedIOThread() {
    stop();
}

UInt32 SimulatedIOThread::pump(UInt32 cycles, UInt32 frames) {
    if (clock_.mode != SimulatedIOClock::Mode::pump || isCurrent() || cycles == 0) {
        return 0;
    }
    std::unique_lock lock(mutex_);
    if (stopping_) {
        return 0;
    }
    const std::uint64_t before = requested_;
    requested_ += cycles;
    const std::uint64_t target = requested_;
    requests_.push_back({cycles, frames});
    changed_.notify_all();
    changed_.wait(lock, [&] { return completed_ >= target || stopping_; });
    const std::uint64_t done = std::clamp(completed_, before, target) - before;
    return static_cast<UInt32>(done);
}

void SimulatedIOThread::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    std::lock_guard join(joinMutex_);
    if (thread_.joinable() && !isCurrent()) {
        thread_.join();
    }
}

bool SimulatedIOThread::isCurrent() const noexcept {
    return std::this_thread::get_id() == id_.load(std::memory_order_acquire);
}

void SimulatedIOThread::run() {
    id_.store(std::this_thread::get_id(), std::memory_order_release);
    pthread_setname_np(pthread_self(), "sim-audio-io");
    if (clock_.mode == SimulatedIOClock::Mode::pump) {
        runPumped();
    } else {
        runPaced();
    }
}

void SimulatedIOThread::runPumped() {
    std::unique_lock lock(mutex_);
    while (true) {
        changed_.wait(lock, [&] { return stopping_ || !requests_.empty(); });
        if (stopping_) {
            return;
        }
        Request& request = requests_.front();
        lock.unlock();
        cycle_(request.frames);  // the request stays queued, so the reference stays valid
        lock.lock();
        ++completed_;
        if (--request.cycles == 0) {
            requests_.pop_front();
        }
        changed_.notify_all();
    }
}

void SimulatedIOThread::runPaced() {
    using Clock = std::chrono::steady_clock;
    const double speed = clock_.speed > 0.0 ? clock_.speed : 1.0;
    auto deadline = Clock::now();
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        lock.unlock();
        const UInt32 frames = std::max<UInt32>(cycle_(0), 1);
        lock.lock();
        const std::chrono::duration<double> period(frames / sampleRate_ / speed);
        deadline += std::chrono::duration_cast<Clock::duration>(period);
        changed_.wait_until(lock, deadline, [&] { return stopping_; });
    }
}

}  // namespace platform
