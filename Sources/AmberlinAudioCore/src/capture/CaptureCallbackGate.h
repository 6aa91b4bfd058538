// The context a capture unit calls back through: it forwards each call to its owner's callback
// until closed, and does nothing afterwards.
//
// A capture unit keeps calling its input callback until it is stopped or disposed of. When the
// platform refuses both (a sound server that went away answers every call with an error), the
// unit may go on calling after its owner is gone. So the owner registers a gate rather than
// itself, closes it before letting go, and leaves the gate of a unit that could not be disposed
// of allocated and closed for the rest of the process (a few bytes per such failure).
//
// Threads: forward() runs on the unit's real-time thread: two atomic read-modify-writes and a
// load, no lock, allocation or system call. close() runs on the owner's thread and yields until
// no call is inside the owner's callback.
#ifndef AMBERLINAUDIOCORE_CAPTURECALLBACKGATE_H
#define AMBERLINAUDIOCORE_CAPTURECALLBACKGATE_H

#include <atomic>
#include <cstdint>

#include "platform/AudioUnit.h"

namespace amberlin {

/// Forwards input callbacks to `callback(context, ...)` while open.
class CaptureCallbackGate {
  public:
    CaptureCallbackGate(AURenderCallback callback, void* context) noexcept
        : callback_(callback), context_(context) {}
    CaptureCallbackGate(const CaptureCallbackGate&) = delete;
    CaptureCallbackGate& operator=(const CaptureCallbackGate&) = delete;

    /// The callback to register, with the gate as its context; 0 once the gate is closed.
    static OSStatus forward(void* gate, AudioUnitRenderActionFlags* flags,
                            const AudioTimeStamp* timeStamp, UInt32 bus, UInt32 frames,
                            AudioBufferList* data) noexcept;
    /// Lets no further call through and waits for a call already inside to return.
    void close() noexcept;

  private:
    AURenderCallback callback_;
    void* context_;
    // Sequentially consistent: a call announces itself before it checks `open_`, and close()
    // clears `open_` before it checks for calls, so one of the two always sees the other.
    std::atomic<bool> open_{true};
    std::atomic<std::uint32_t> inside_{0};
};

}  // namespace amberlin

#endif
