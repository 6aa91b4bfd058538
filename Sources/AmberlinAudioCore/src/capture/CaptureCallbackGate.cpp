// Capture callback gate: forwarding while open, closing with a wait for calls in progress.
#include "CaptureCallbackGate.h"

#include <thread>

namespace amberlin {

OSStatus CaptureCallbackGate::forward(void* context, AudioUnitRenderActionFlags* flags,
                                      const AudioTimeStamp* timeStamp, UInt32 bus, UInt32 frames,
                                      AudioBufferList* data) noexcept {
    auto& gate = *static_cast<CaptureCallbackGate*>(context);
    gate.inside_.fetch_add(1);
    OSStatus status = 0;
    if (gate.open_.load()) {
        status = gate.callback_(gate.context_, flags, timeStamp, bus, frames, data);
    }
    gate.inside_.fetch_sub(1);
    return status;
}

void CaptureCallbackGate::close() noexcept {
    open_.store(false);
    while (inside_.load() != 0) {
        std::this_thread::yield();  // a call inside runs one bounded render and hand-off
    }
}

}  // namespace amberlin
