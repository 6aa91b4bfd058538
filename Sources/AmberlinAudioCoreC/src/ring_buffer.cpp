// In-process single-producer single-consumer frame ring (see amberlin/am_ring_buffer.h).
#include <atomic>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include "amberlin/am_ring_buffer.h"

/// Storage and indices; one slot always stays empty so full and empty differ.
struct am_ring_buffer {
    uint32_t slot_count;
    uint32_t frame_length;
    std::vector<float> samples;  // slot_count * frame_length, zero-initialised
    std::atomic<uint32_t> read_index{0};
    std::atomic<uint32_t> write_index{0};
};

namespace {

float* slot(am_ring_buffer* buffer, uint32_t index) noexcept {
    return buffer->samples.data() + static_cast<size_t>(index) * buffer->frame_length;
}

uint32_t buffered(const am_ring_buffer* buffer) noexcept {
    const uint32_t read = buffer->read_index.load(std::memory_order_acquire);
    const uint32_t write = buffer->write_index.load(std::memory_order_acquire);
    const uint64_t difference = uint64_t{write} + buffer->slot_count - read;
    return static_cast<uint32_t>(difference % buffer->slot_count);
}

}  // namespace

extern "C" {

am_ring_buffer* am_ring_buffer_create(uint32_t capacity, uint32_t frame_length) noexcept {
    if (capacity == 0 || frame_length == 0 || capacity == std::numeric_limits<uint32_t>::max()) {
        return nullptr;
    }
    try {
        auto* buffer = new am_ring_buffer{capacity + 1, frame_length, {}};
        try {
            buffer->samples.assign(static_cast<size_t>(capacity + 1) * frame_length, 0.0f);
        } catch (...) {
            delete buffer;
            return nullptr;
        }
        return buffer;
    } catch (...) {
        return nullptr;
    }
}

void am_ring_buffer_destroy(am_ring_buffer* buffer) noexcept {
    delete buffer;
}

int32_t am_ring_buffer_write(am_ring_buffer* buffer, const float* samples,
                             int32_t frame_length) noexcept {
    if (buffer == nullptr || samples == nullptr || frame_length < 0 ||
        static_cast<uint32_t>(frame_length) != buffer->frame_length) {
        return 0;
    }
    const uint32_t write = buffer->write_index.load(std::memory_order_relaxed);
    const uint32_t next = (write + 1) % buffer->slot_count;
    if (next == buffer->read_index.load(std::memory_order_acquire)) {
        return 0;
    }
    std::memcpy(slot(buffer, write), samples, sizeof(float) * buffer->frame_length);
    buffer->write_index.store(next, std::memory_order_release);
    return 1;
}

int32_t am_ring_buffer_read(am_ring_buffer* buffer, float* destination,
                            uint32_t frame_length) noexcept {
    if (buffer == nullptr || destination == nullptr || frame_length != buffer->frame_length) {
        return 0;
    }
    const uint32_t read = buffer->read_index.load(std::memory_order_relaxed);
    if (buffer->write_index.load(std::memory_order_acquire) == read) {
        std::memset(destination, 0, sizeof(float) * buffer->frame_length);
        return 0;
    }
    std::memcpy(destination, slot(buffer, read), sizeof(float) * buffer->frame_length);
    buffer->read_index.store((read + 1) % buffer->slot_count, std::memory_order_release);
    return 1;
}

uint32_t am_ring_buffer_available_read(am_ring_buffer* buffer) noexcept {
    return buffer == nullptr ? 0 : buffered(buffer);
}

uint32_t am_ring_buffer_available_write(am_ring_buffer* buffer) noexcept {
    return buffer == nullptr ? 0 : buffer->slot_count - 1 - buffered(buffer);
}

uint32_t am_ring_buffer_capacity(am_ring_buffer* buffer) noexcept {
    return buffer == nullptr ? 0 : buffer->slot_count - 1;
}

void am_ring_buffer_clear(am_ring_buffer* buffer) noexcept {
    if (buffer == nullptr) {
        return;
    }
    buffer->read_index.store(0, std::memory_order_release);
    buffer->write_index.store(0, std::memory_order_release);
}

}  // extern "C"
