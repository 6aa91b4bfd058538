// Armed faults: a locked list for control-thread calls, one atomic slot for render.
#include "platform/SimulatedFaults.h"

#include <algorithm>

namespace platform {
namespace {

constexpr std::uint64_t pack(UInt32 remaining, OSStatus status) noexcept {
    return (static_cast<std::uint64_t>(remaining) << 32) | static_cast<UInt32>(status);
}

bool matches(const Fault& fault, AudioCall call, AudioObjectID object,
             std::optional<UInt32> selector) {
    if (fault.call != call || fault.count == 0) {
        return false;
    }
    const bool objectOk = !fault.object || *fault.object == object;
    const bool selectorOk = !fault.selector || fault.selector == selector;
    return objectOk && selectorOk;
}

}  // namespace

void FaultTable::add(const Fault& fault) {
    if (fault.call == AudioCall::unitRender) {
        render_.store(pack(fault.count, fault.status), std::memory_order_release);
        return;
    }
    std::lock_guard lock(mutex_);
    faults_.push_back(fault);
}

void FaultTable::clear() {
    render_.store(0, std::memory_order_release);
    std::lock_guard lock(mutex_);
    faults_.clear();
}

std::optional<OSStatus> FaultTable::check(AudioCall call, AudioObjectID object,
                                          std::optional<UInt32> selector) {
    if (call == AudioCall::unitRender) {
        return checkRender();
    }
    std::lock_guard lock(mutex_);
    const auto found = std::find_if(faults_.begin(), faults_.end(), [&](const Fault& fault) {
        return matches(fault, call, object, selector);
    });
    if (found == faults_.end()) {
        return std::nullopt;
    }
    const OSStatus status = found->status;
    if (found->count != Fault::kEveryCall && --found->count == 0) {
        faults_.erase(found);
    }
    return status;
}

std::optional<OSStatus> FaultTable::checkRender() noexcept {
    std::uint64_t slot = render_.load(std::memory_order_acquire);
    while (true) {
        const auto remaining = static_cast<UInt32>(slot >> 32);
        const auto status = static_cast<OSStatus>(static_cast<UInt32>(slot));
        if (remaining == 0) {
            return std::nullopt;
        }
        const UInt32 next = remaining == Fault::kEveryCall ? remaining : remaining - 1;
        if (render_.compare_exchange_weak(slot, pack(next, status), std::memory_order_acq_rel)) {
            return status;
        }
    }
}

}  // namespace platform
