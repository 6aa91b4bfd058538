// Cross-process frame ring in POSIX shared memory (see amberlin/am_shared_ring.h).
//
// Index protocol. The producer owns write_index, the consumer owns read_index; each loads the
// other's index with acquire ordering and publishes its own with release ordering after copying,
// so a published index always covers completely copied samples. The one exception is the
// producer's drop-oldest step on a full ring, which also advances read_index. Both sides
// therefore advance read_index only with compare-and-swap, and the consumer claims a frame only
// after copying it: if the producer advanced read_index during the copy (it may then be
// rewriting that very slot), the consumer's compare-and-swap fails and the copy is discarded and
// retried. Samples are copied with relaxed atomic word accesses, so such an overlap is never a
// data race, only a copy that is thrown away. A torn frame is never delivered.
//
// Robustness. Addressing always uses the geometry validated at open. Indices are range-checked
// against it on every load; an index out of range is treated as an empty ring and repaired.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <limits>
#include <new>
#include <optional>

#include "amberlin/am_shared_ring.h"
#include "shared_ring_layout.h"

// The health record crosses the C interface by value: its layout is part of the ABI.
static_assert(offsetof(am_shared_ring_health_info, available_write_frames) == 4);
static_assert(offsetof(am_shared_ring_health_info, underrun_count) == 8);
static_assert(offsetof(am_shared_ring_health_info, overrun_count) == 16);
static_assert(offsetof(am_shared_ring_health_info, producer_attached) == 24);
static_assert(offsetof(am_shared_ring_health_info, consumer_running_count) == 28);
static_assert(sizeof(am_shared_ring_health_info) == 32);

namespace {

using amberlin::ring::Geometry;
using amberlin::ring::kMagic;
using amberlin::ring::kSlotsOffset;
using amberlin::ring::SharedHeader;

constexpr const char* kDefaultName = "/amvmic";

template <typename T>
std::atomic_ref<T> field(T& value) noexcept {
    return std::atomic_ref<T>(value);
}

SharedHeader& header(const am_shared_ring* ring) noexcept {
    return *static_cast<SharedHeader*>(ring->base);
}

/// S = C + 1 and 48 + S * L * 4 bytes, refusing any geometry that overflows its types.
std::optional<Geometry> compute_geometry(uint32_t capacity, uint32_t frame_length) noexcept {
    if (capacity == 0 || frame_length == 0 || capacity == std::numeric_limits<uint32_t>::max()) {
        return std::nullopt;
    }
    const uint64_t slots = uint64_t{capacity} + 1;
    const uint64_t limit = static_cast<uint64_t>(std::numeric_limits<off_t>::max());
    const uint64_t samples = slots * frame_length;  // < 2^64: both factors are < 2^32
    if (samples > (limit - kSlotsOffset) / sizeof(float)) {
        return std::nullopt;
    }
    const uint64_t size = kSlotsOffset + samples * sizeof(float);
    if (size > std::numeric_limits<size_t>::max()) {
        return std::nullopt;
    }
    return Geometry{static_cast<uint32_t>(slots), frame_length, size};
}

/// Makes sure the object is at least `size` bytes. Without creation a smaller object is refused,
/// so the mapping never extends past the object's end.
bool ensure_object_size(int fd, uint64_t size, bool create) noexcept {
    struct stat info {};
    if (fstat(fd, &info) != 0) {
        return false;
    }
    if (static_cast<uint64_t>(info.st_size) >= size) {
        return true;
    }
    if (!create) {
        return false;
    }
    if (ftruncate(fd, static_cast<off_t>(size)) == 0) {
        return true;
    }
    // Another process may have sized the object meanwhile.
    return fstat(fd, &info) == 0 && static_cast<uint64_t>(info.st_size) >= size;
}

/// Zeroes the whole region word by word, then writes the geometry and, last, the magic.
void initialise_header(am_shared_ring* ring) noexcept {
    auto* words = static_cast<uint32_t*>(ring->base);
    const uint64_t count = ring->geometry.object_size / sizeof(uint32_t);
    for (uint64_t i = 0; i < count; ++i) {
        field(words[i]).store(0, std::memory_order_relaxed);
    }
    SharedHeader& h = header(ring);
    field(h.slot_count).store(ring->geometry.slot_count, std::memory_order_relaxed);
    field(h.frame_length).store(ring->geometry.frame_length, std::memory_order_relaxed);
    field(h.magic).store(kMagic, std::memory_order_release);
}

/// Joins a live ring of the same geometry, or re-initialises any other header.
void validate_or_initialise(am_shared_ring* ring) noexcept {
    SharedHeader& h = header(ring);
    const bool matches =
        field(h.magic).load(std::memory_order_acquire) == kMagic &&
        field(h.frame_length).load(std::memory_order_acquire) == ring->geometry.frame_length &&
        field(h.slot_count).load(std::memory_order_acquire) == ring->geometry.slot_count;
    if (!matches) {
        initialise_header(ring);
    }
}

float* slot(const am_shared_ring* ring, uint32_t index) noexcept {
    return ring->slots + static_cast<uint64_t>(index) * ring->geometry.frame_length;
}

void copy_into_slot(float* slot_samples, const float* samples, uint32_t length) noexcept {
    for (uint32_t i = 0; i < length; ++i) {
        field(slot_samples[i]).store(samples[i], std::memory_order_relaxed);
    }
}

void copy_from_slot(float* destination, float* slot_samples, uint32_t length) noexcept {
    for (uint32_t i = 0; i < length; ++i) {
        destination[i] = field(slot_samples[i]).load(std::memory_order_relaxed);
    }
}

bool length_matches(const am_shared_ring* ring, int64_t frame_length) noexcept {
    return frame_length >= 0 && static_cast<uint64_t>(frame_length) == ring->geometry.frame_length;
}

uint32_t available(uint32_t read, uint32_t write, uint32_t slots) noexcept {
    return write >= read ? write - read : static_cast<uint32_t>(uint64_t{write} + slots - read);
}

void add_counter(uint64_t& counter, uint64_t amount) noexcept {
    field(counter).fetch_add(amount, std::memory_order_relaxed);
}

/// Moves an out-of-range read index back into the ring as an empty ring (at the write index
/// when that one is valid). Only succeeds if nobody changed the index meanwhile.
void repair_read_index(SharedHeader& h, uint32_t bad_read, uint32_t write,
                       uint32_t slots) noexcept {
    uint32_t expected = bad_read;
    field(h.read_index)
        .compare_exchange_strong(expected, write < slots ? write : 0, std::memory_order_acq_rel,
                                 std::memory_order_relaxed);
}

/// Shared body of both writes; `drop_oldest` selects write-latest semantics.
int32_t write_frame(am_shared_ring* ring, const float* samples, int32_t frame_length,
                    bool drop_oldest) noexcept {
    if (ring == nullptr || samples == nullptr || !length_matches(ring, frame_length)) {
        return 0;
    }
    SharedHeader& h = header(ring);
    const uint32_t slots = ring->geometry.slot_count;
    uint32_t write = field(h.write_index).load(std::memory_order_relaxed);
    uint32_t read = field(h.read_index).load(std::memory_order_acquire);
    if (read >= slots) {
        repair_read_index(h, read, write, slots);
        read = field(h.read_index).load(std::memory_order_acquire);
        read = read < slots ? read : 0;
    }
    if (write >= slots) {
        write = read;  // an unusable write index: continue as an empty ring
    }
    const uint32_t next = (write + 1) % slots;
    if (next == read) {
        if (!drop_oldest) {
            add_counter(h.overrun_count, 1);
            return 0;
        }
        uint32_t expected = read;
        if (field(h.read_index)
                .compare_exchange_strong(expected, (read + 1) % slots, std::memory_order_acq_rel,
                                         std::memory_order_acquire)) {
            add_counter(h.overrun_count, 1);
        }
        // Otherwise the consumer took a frame meanwhile, which made the room itself.
    }
    copy_into_slot(slot(ring, write), samples, ring->geometry.frame_length);
    field(h.write_index).store(next, std::memory_order_release);
    return 1;
}

/// Result of one attempt to take a frame.
enum class Take { kFrame, kEmpty, kRetry };

/// Skips the oldest frames so that at most `max_buffered` stay; false when the read index moved.
bool trim(SharedHeader& h, uint32_t& read, uint32_t write, uint32_t slots,
          uint32_t max_buffered) noexcept {
    const uint32_t buffered = available(read, write, slots);
    if (max_buffered == 0 || buffered <= max_buffered) {
        return true;
    }
    const uint32_t skip = buffered - max_buffered;
    const uint32_t target = static_cast<uint32_t>((uint64_t{read} + skip) % slots);
    uint32_t expected = read;
    if (!field(h.read_index)
             .compare_exchange_strong(expected, target, std::memory_order_acq_rel,
                                      std::memory_order_relaxed)) {
        return false;
    }
    add_counter(h.overrun_count, skip);
    read = target;
    return true;
}

/// One attempt: trim, copy the oldest frame, then claim it with compare-and-swap.
Take take_frame(am_shared_ring* ring, float* destination, uint32_t max_buffered) noexcept {
    SharedHeader& h = header(ring);
    const uint32_t slots = ring->geometry.slot_count;
    uint32_t read = field(h.read_index).load(std::memory_order_acquire);
    const uint32_t write = field(h.write_index).load(std::memory_order_acquire);
    if (read >= slots || write >= slots) {
        if (read >= slots) {
            repair_read_index(h, read, write, slots);
        }
        return Take::kEmpty;
    }
    if (!trim(h, read, write, slots, max_buffered)) {
        return Take::kRetry;
    }
    if (read == write) {
        return Take::kEmpty;
    }
    const uint64_t overruns_before = field(h.overrun_count).load(std::memory_order_acquire);
    copy_from_slot(destination, slot(ring, read), ring->geometry.frame_length);
    uint32_t expected = read;
    if (!field(h.read_index)
             .compare_exchange_strong(expected, (read + 1) % slots, std::memory_order_acq_rel,
                                      std::memory_order_relaxed)) {
        return Take::kRetry;
    }
    // A successful claim after the producer evicted a whole lap of frames (the index came back
    // to the same value) would hide a rewrite; such a lap shows as at least S - 1 overruns.
    // The frame is then dropped and counted like any other evicted frame.
    const uint64_t overruns_after = field(h.overrun_count).load(std::memory_order_acquire);
    if (overruns_after - overruns_before >= slots - 1) {
        add_counter(h.overrun_count, 1);
        return Take::kRetry;
    }
    return Take::kFrame;
}

int32_t read_frame(am_shared_ring* ring, float* destination, int64_t frame_length,
                   uint32_t max_buffered) noexcept {
    if (ring == nullptr || destination == nullptr || !length_matches(ring, frame_length)) {
        return 0;
    }
    // Each retry means the producer moved the read index during this call; a bounded number of
    // attempts keeps the call wait-free. Giving up is reported like an empty ring.
    for (uint32_t attempt = 0; attempt < ring->geometry.slot_count; ++attempt) {
        const Take result = take_frame(ring, destination, max_buffered);
        if (result == Take::kFrame) {
            return 1;
        }
        if (result == Take::kEmpty) {
            break;
        }
    }
    std::memset(destination, 0, sizeof(float) * ring->geometry.frame_length);
    add_counter(header(ring).underrun_count, 1);
    return 0;
}

void release_mapping(void* base, uint64_t length, int fd) noexcept {
    if (base != nullptr) {
        munmap(base, static_cast<size_t>(length));
    }
    if (fd >= 0) {
        close(fd);
    }
}

}  // namespace

extern "C" {

am_shared_ring* am_shared_ring_open(const char* name, bool create, uint32_t capacity,
                                    uint32_t frame_length) noexcept {
    if (name == nullptr) {
        return nullptr;
    }
    const std::optional<Geometry> geometry = compute_geometry(capacity, frame_length);
    if (!geometry) {
        return nullptr;
    }
    const int fd = shm_open(name, O_RDWR | (create ? O_CREAT : 0), 0666);
    if (fd < 0) {
        return nullptr;
    }
    if (!ensure_object_size(fd, geometry->object_size, create)) {
        release_mapping(nullptr, 0, fd);
        return nullptr;
    }
    void* base = mmap(nullptr, static_cast<size_t>(geometry->object_size), PROT_READ | PROT_WRITE,
                      MAP_SHARED, fd, 0);
    if (base == MAP_FAILED) {
        release_mapping(nullptr, 0, fd);
        return nullptr;
    }
    auto* ring = new (std::nothrow) am_shared_ring{
        fd, geometry->object_size, base,
        reinterpret_cast<float*>(static_cast<char*>(base) + kSlotsOffset), *geometry};
    if (ring == nullptr) {
        release_mapping(base, geometry->object_size, fd);
        return nullptr;
    }
    validate_or_initialise(ring);
    return ring;
}

void am_shared_ring_close(am_shared_ring* ring) noexcept {
    if (ring == nullptr) {
        return;
    }
    release_mapping(ring->base, ring->mapped_length, ring->fd);
    delete ring;
}

int32_t am_shared_ring_write(am_shared_ring* ring, const float* samples,
                             int32_t frame_length) noexcept {
    return write_frame(ring, samples, frame_length, false);
}

int32_t am_shared_ring_write_latest(am_shared_ring* ring, const float* samples,
                                    int32_t frame_length) noexcept {
    return write_frame(ring, samples, frame_length, true);
}

int32_t am_shared_ring_read(am_shared_ring* ring, float* destination,
                            uint32_t frame_length) noexcept {
    return read_frame(ring, destination, frame_length, 0);
}

int32_t am_shared_ring_read_latest(am_shared_ring* ring, float* destination, int32_t frame_length,
                                   uint32_t max_buffered_frames) noexcept {
    return read_frame(ring, destination, frame_length, max_buffered_frames);
}

void am_shared_ring_clear(am_shared_ring* ring) noexcept {
    if (ring == nullptr) {
        return;
    }
    field(header(ring).read_index).store(0, std::memory_order_release);
    field(header(ring).write_index).store(0, std::memory_order_release);
}

void am_shared_ring_set_producer_attached(am_shared_ring* ring, uint32_t attached) noexcept {
    if (ring != nullptr) {
        field(header(ring).producer_attached).store(attached, std::memory_order_release);
    }
}

void am_shared_ring_set_consumer_running_count(am_shared_ring* ring, uint32_t count) noexcept {
    if (ring != nullptr) {
        field(header(ring).consumer_running_count).store(count, std::memory_order_release);
    }
}

am_shared_ring_health_info am_shared_ring_health(am_shared_ring* ring) noexcept {
    am_shared_ring_health_info info{};
    if (ring == nullptr) {
        return info;
    }
    SharedHeader& h = header(ring);
    const uint32_t slots = ring->geometry.slot_count;
    const uint32_t read = field(h.read_index).load(std::memory_order_acquire);
    const uint32_t write = field(h.write_index).load(std::memory_order_acquire);
    const bool valid = read < slots && write < slots;  // out of range reads as empty
    info.available_read_frames = valid ? available(read, write, slots) : 0;
    info.available_write_frames = slots - 1 - info.available_read_frames;
    info.underrun_count = field(h.underrun_count).load(std::memory_order_acquire);
    info.overrun_count = field(h.overrun_count).load(std::memory_order_acquire);
    info.producer_attached = field(h.producer_attached).load(std::memory_order_acquire) != 0;
    info.consumer_running_count = field(h.consumer_running_count).load(std::memory_order_acquire);
    return info;
}

const char* am_shared_ring_default_name(void) noexcept {
    return kDefaultName;
}

}  // extern "C"
