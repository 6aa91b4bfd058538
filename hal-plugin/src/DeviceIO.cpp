// Device IO: running clients, ring handle and the frame carry-over of the input operation.
#include "DeviceIO.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>

#include "DeviceClock.h"
#include "PluginObjects.h"
#include "amberlin/am_shared_ring.h"

namespace corvessa::hal {
namespace {

std::atomic<UInt32> gRunningClients{0};
// Opened once, never closed: the consumer handle lives as long as the process.
std::atomic<am_shared_ring*> gSharedRing{nullptr};
// The ring frame being handed out and the next sample of it; IO thread only.
std::array<Float32, kRingFrameLength> gCurrentFrame{};
UInt32 gCurrentFrameOffset = kRingFrameLength;

void publishRunningClients(UInt32 count) noexcept {
    am_shared_ring* ring = gSharedRing.load(std::memory_order_acquire);
    if (ring != nullptr) {
        am_shared_ring_set_consumer_running_count(ring, count);
    }
}

void refillCurrentFrame() noexcept {
    am_shared_ring* ring = gSharedRing.load(std::memory_order_acquire);
    if (ring != nullptr) {
        // An empty ring zero-fills the frame and counts an underrun; the result is not needed.
        am_shared_ring_read_latest(ring, gCurrentFrame.data(), kRingFrameLength,
                                   kMaxBufferedFrames);
    } else {
        gCurrentFrame.fill(0.0f);
    }
    gCurrentFrameOffset = 0;
}

}  // namespace

void ensure_shared_ring() noexcept {
    if (gSharedRing.load(std::memory_order_acquire) != nullptr) {
        return;
    }
    am_shared_ring* opened =
        am_shared_ring_open(am_shared_ring_default_name(), true, kRingCapacity, kRingFrameLength);
    am_shared_ring* expected = nullptr;
    if (opened != nullptr &&
        !gSharedRing.compare_exchange_strong(expected, opened, std::memory_order_acq_rel)) {
        am_shared_ring_close(opened);  // another control thread opened it first
    }
}

void startIO() noexcept {
    gRunningClients.fetch_add(1, std::memory_order_acq_rel);
    reset_zero_time_stamp();
    ensure_shared_ring();
    publishRunningClients(gRunningClients.load(std::memory_order_acquire));
}

void stopIO() noexcept {
    UInt32 count = gRunningClients.load(std::memory_order_acquire);
    while (count > 0 &&
           !gRunningClients.compare_exchange_weak(count, count - 1, std::memory_order_acq_rel)) {
    }
    publishRunningClients(count > 0 ? count - 1 : 0);
}

UInt32 runningClientCount() noexcept {
    return gRunningClients.load(std::memory_order_acquire);
}

void readInput(Float32* out, UInt32 frames) noexcept {
    UInt32 written = 0;
    while (written < frames) {
        if (gCurrentFrameOffset >= kRingFrameLength) {
            refillCurrentFrame();
        }
        const UInt32 run = std::min(frames - written, kRingFrameLength - gCurrentFrameOffset);
        std::memcpy(out + written, gCurrentFrame.data() + gCurrentFrameOffset,
                    run * sizeof(Float32));
        gCurrentFrameOffset += run;
        written += run;
    }
}

}  // namespace corvessa::hal
