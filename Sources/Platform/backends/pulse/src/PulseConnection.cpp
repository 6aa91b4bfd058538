// Threaded-mainloop client context with timed waits.
#include "PulseConnection.h"

namespace platform {
namespace {

void operationSettled(pa_operation* operation, void* signal) noexcept {
    if (pa_operation_get_state(operation) != PA_OPERATION_RUNNING) {
        static_cast<PulseSignal*>(signal)->raise();
    }
}

}  // namespace

PulseLock::PulseLock(pa_threaded_mainloop* mainloop) noexcept
    : mainloop_(mainloop), locked_(!pa_threaded_mainloop_in_thread(mainloop)) {
    if (locked_) {
        pa_threaded_mainloop_lock(mainloop_);
    }
}

PulseLock::~PulseLock() {
    if (locked_) {
        pa_threaded_mainloop_unlock(mainloop_);
    }
}

void PulseSignal::raise() noexcept {
    {
        std::lock_guard lock(mutex_);
        up_ = true;
    }
    raised_.notify_all();
}

bool PulseSignal::waitFor(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return raised_.wait_for(lock, timeout, [this] { return up_; });
}

std::shared_ptr<PulseConnection> PulseConnection::open(const char* clientName,
                                                       std::chrono::milliseconds timeout) {
    std::shared_ptr<PulseConnection> connection(new PulseConnection());
    return connection->connect(clientName, timeout) ? connection : nullptr;
}

bool PulseConnection::connect(const char* clientName, std::chrono::milliseconds timeout) {
    mainloop_ = pa_threaded_mainloop_new();
    if (mainloop_ == nullptr) {
        return false;
    }
    context_ = pa_context_new(pa_threaded_mainloop_get_api(mainloop_), clientName);
    if (context_ == nullptr) {
        return false;
    }
    pa_context_set_state_callback(context_, &PulseConnection::stateChanged, this);
    // A null server lets libpulse honour PULSE_SERVER and the usual places, as every client does.
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0 ||
        pa_threaded_mainloop_start(mainloop_) < 0) {
        return false;
    }
    return settled_.waitFor(timeout) && isReady();
}

PulseConnection::~PulseConnection() {
    if (mainloop_ == nullptr) {
        return;
    }
    if (context_ != nullptr) {
        PulseLock lock(mainloop_);
        pa_context_set_state_callback(context_, nullptr, nullptr);
        pa_context_set_subscribe_callback(context_, nullptr, nullptr);
        pa_context_disconnect(context_);
        pa_context_unref(context_);
    }
    pa_threaded_mainloop_stop(mainloop_);
    pa_threaded_mainloop_free(mainloop_);
}

void PulseConnection::stateChanged(pa_context* context, void* self) noexcept {
    auto& connection = *static_cast<PulseConnection*>(self);
    switch (pa_context_get_state(context)) {
        case PA_CONTEXT_READY:
            connection.ready_.store(true, std::memory_order_release);
            connection.settled_.raise();
            break;
        case PA_CONTEXT_FAILED:
        case PA_CONTEXT_TERMINATED:
            connection.ready_.store(false, std::memory_order_release);
            connection.settled_.raise();
            if (connection.failed_) {
                connection.failed_();
            }
            break;
        default:
            break;
    }
}

bool PulseConnection::await(const std::function<pa_operation*(pa_context*)>& start,
                            std::chrono::milliseconds timeout) {
    PulseSignal done;
    pa_operation* operation = nullptr;
    {
        PulseLock lock(mainloop_);
        if (!isReady() || (operation = start(context_)) == nullptr) {
            return false;
        }
        // Set under the lock: the operation cannot have progressed yet.
        pa_operation_set_state_callback(operation, &operationSettled, &done);
    }
    done.waitFor(timeout);
    PulseLock lock(mainloop_);
    const bool completed = pa_operation_get_state(operation) == PA_OPERATION_DONE;
    if (pa_operation_get_state(operation) == PA_OPERATION_RUNNING) {
        pa_operation_cancel(operation);  // no callback of it runs after this
    }
    pa_operation_set_state_callback(operation, nullptr, nullptr);
    pa_operation_unref(operation);
    return completed;
}

void PulseConnection::setEventHandler(EventHandler handler) {
    PulseLock lock(mainloop_);
    eventHandler_ = std::move(handler);
    pa_context_set_subscribe_callback(context_, &PulseConnection::eventArrived, this);
}

bool PulseConnection::subscribe() {
    return await([](pa_context* c) {
        constexpr auto mask = static_cast<pa_subscription_mask_t>(
            PA_SUBSCRIPTION_MASK_SOURCE | PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SERVER);
        return pa_context_subscribe(c, mask, nullptr, nullptr);
    });
}

void PulseConnection::onFailure(std::function<void()> handler) {
    PulseLock lock(mainloop_);
    failed_ = std::move(handler);
}

void PulseConnection::eventArrived(pa_context*, pa_subscription_event_type_t type, uint32_t index,
                                   void* self) noexcept {
    auto& connection = *static_cast<PulseConnection*>(self);
    if (connection.eventHandler_) {
        try {
            connection.eventHandler_(type, index);
        } catch (...) {
            // An event that cannot be handled (out of memory) is dropped; the next refresh heals.
        }
    }
}

}  // namespace platform
