// Binary layout of the "/amvmic" shared-memory object and the per-process handle on it.
//
// The header format is shared with another process and is binding: every offset is pinned
// below. Fields are only ever accessed through std::atomic_ref, so the two processes never race
// in the C++ sense; the geometry a handle uses for addressing is the one it validated at open,
// never the live header, so a corrupted header cannot move a copy outside the mapping.
#ifndef AMBERLIN_SHARED_RING_LAYOUT_H
#define AMBERLIN_SHARED_RING_LAYOUT_H

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace amberlin::ring {

/// 'AMSH' as a little-endian u32 (bytes 48 53 4D 41 in memory).
inline constexpr uint32_t kMagic = 0x414D5348u;

/// Header at offset 0 of the shared object.
struct SharedHeader {
    uint32_t magic;
    uint32_t slot_count;
    uint32_t frame_length;
    uint32_t read_index;
    uint32_t write_index;
    uint32_t reserved;
    uint64_t underrun_count;
    uint64_t overrun_count;
    uint32_t producer_attached;
    uint32_t consumer_running_count;
};

static_assert(offsetof(SharedHeader, magic) == 0);
static_assert(offsetof(SharedHeader, slot_count) == 4);
static_assert(offsetof(SharedHeader, frame_length) == 8);
static_assert(offsetof(SharedHeader, read_index) == 12);
static_assert(offsetof(SharedHeader, write_index) == 16);
static_assert(offsetof(SharedHeader, reserved) == 20);
static_assert(offsetof(SharedHeader, underrun_count) == 24);
static_assert(offsetof(SharedHeader, overrun_count) == 32);
static_assert(offsetof(SharedHeader, producer_attached) == 40);
static_assert(offsetof(SharedHeader, consumer_running_count) == 44);
static_assert(sizeof(SharedHeader) == 48);
static_assert(std::atomic_ref<uint32_t>::is_always_lock_free);
static_assert(std::atomic_ref<uint64_t>::is_always_lock_free);
static_assert(sizeof(float) == 4);

/// Byte offset of slot 0.
inline constexpr uint64_t kSlotsOffset = sizeof(SharedHeader);

/// Ring geometry validated when a handle opened the object; fixed for the handle's lifetime.
struct Geometry {
    uint32_t slot_count;    ///< S = capacity + 1
    uint32_t frame_length;  ///< L, samples per slot
    uint64_t object_size;   ///< 48 + S * L * 4 bytes
};

}  // namespace amberlin::ring

/// Per-process handle: descriptor, mapping and the geometry validated at open.
struct am_shared_ring {
    int fd;
    uint64_t mapped_length;
    void* base;
    float* slots;
    amberlin::ring::Geometry geometry;
};

#endif
