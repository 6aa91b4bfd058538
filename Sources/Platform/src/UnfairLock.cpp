#include "platform/UnfairLock.h"

namespace platform {

void UnfairLock::lock() {
    mutex_.lock();
}

bool UnfairLock::try_lock() noexcept {
    return mutex_.try_lock();
}

void UnfairLock::unlock() noexcept {
    mutex_.unlock();
}

}  // namespace platform
