// Cross-process frame ring in POSIX shared memory.
//
// One producer process writes fixed-length frames of mono f32 samples, one consumer process reads
// them. The object starts with a 48-byte little-endian header (magic 'AMSH', slot count, frame
// length, read and write indices, underrun and overrun counters, producer-attached flag and
// consumer running count) followed by `slot_count` slots of `frame_length` samples. One slot is
// always kept empty, so a ring opened with capacity C holds at most C frames.
//
// Threads: `open` and `close` may block (system calls). Every other function is lock-free,
// allocation-free and makes no system call, so it may run on a real-time audio thread. Exactly
// one thread in one process writes and one thread in one process reads.
//
// Ownership: a handle is created by `am_shared_ring_open` and released only by
// `am_shared_ring_close`. A null handle makes every function a no-op with a neutral result.
//
// Robustness: each handle keeps the geometry it validated when it opened the object and never
// reads or writes outside its own mapping, whatever another process writes into the header. An
// index found out of range is treated as an empty ring and repaired.
#ifndef AMBERLIN_AM_SHARED_RING_H
#define AMBERLIN_AM_SHARED_RING_H

#include <stdbool.h>
#include <stdint.h>

#include "amberlin/am_export.h"

AM_EXTERN_C_BEGIN

/// Opaque per-process handle on a mapped ring.
typedef struct am_shared_ring am_shared_ring;

/// Snapshot of the ring's fill level, counters and flags.
typedef struct am_shared_ring_health_info {
    uint32_t available_read_frames;   ///< frames buffered (A)
    uint32_t available_write_frames;  ///< free slots (S - 1 - A)
    uint64_t underrun_count;          ///< reads that found the ring empty
    uint64_t overrun_count;           ///< frames dropped by a full ring or skipped by a latest-read
    bool producer_attached;           ///< the header flag is non-zero
    uint32_t consumer_running_count;  ///< IO clients running in the consumer
} am_shared_ring_health_info;

/// Opens (and with `create` non-zero, creates or grows) the shared-memory object `name` as a ring
/// of `capacity` frames of `frame_length` samples. Returns null on any failure, including a zero
/// capacity or frame length, a geometry whose size overflows, or (without creation) an object
/// smaller than the ring needs. A header whose magic, frame length or slot count differs is
/// re-initialised (zeroed); a matching one is joined with its live indices and counters.
AM_EXPORT am_shared_ring* am_shared_ring_open(const char* name, bool create, uint32_t capacity,
                                              uint32_t frame_length) AM_NOEXCEPT;

/// Unmaps the object and frees the handle. The shared object itself is never unlinked.
AM_EXPORT void am_shared_ring_close(am_shared_ring* ring) AM_NOEXCEPT;

/// Stores one frame unless the ring is full; a full ring drops this frame and counts an overrun.
/// Returns 1 when stored; 0 when full, on a length mismatch (nothing touched) or null arguments.
AM_EXPORT int32_t am_shared_ring_write(am_shared_ring* ring, const float* samples,
                                       int32_t frame_length) AM_NOEXCEPT;

/// Stores one frame; a full ring first evicts its oldest frame and counts an overrun.
/// Returns 1 when stored; 0 only on a length mismatch or null arguments.
AM_EXPORT int32_t am_shared_ring_write_latest(am_shared_ring* ring, const float* samples,
                                              int32_t frame_length) AM_NOEXCEPT;

/// Copies the oldest frame into `destination`. An empty ring zero-fills the destination, counts an
/// underrun and returns 0. A length mismatch returns 0 and leaves the destination untouched.
AM_EXPORT int32_t am_shared_ring_read(am_shared_ring* ring, float* destination,
                                      uint32_t frame_length) AM_NOEXCEPT;

/// As `am_shared_ring_read`, after first skipping (and counting as overruns) the oldest frames so
/// that at most `max_buffered_frames` are buffered; 0 disables the trimming.
AM_EXPORT int32_t am_shared_ring_read_latest(am_shared_ring* ring, float* destination,
                                             int32_t frame_length,
                                             uint32_t max_buffered_frames) AM_NOEXCEPT;

/// Empties the ring (read index, then write index, set to 0). Counters and flags are kept.
AM_EXPORT void am_shared_ring_clear(am_shared_ring* ring) AM_NOEXCEPT;

/// Publishes whether a producer is attached (stored unchanged).
AM_EXPORT void am_shared_ring_set_producer_attached(am_shared_ring* ring,
                                                    uint32_t attached) AM_NOEXCEPT;

/// Publishes how many IO clients the consumer runs (stored unchanged).
AM_EXPORT void am_shared_ring_set_consumer_running_count(am_shared_ring* ring,
                                                         uint32_t count) AM_NOEXCEPT;

/// Reads the header into a health record; all zeros for a null handle.
AM_EXPORT am_shared_ring_health_info am_shared_ring_health(am_shared_ring* ring) AM_NOEXCEPT;

/// The name both deliverables use: "/amvmic".
AM_EXPORT const char* am_shared_ring_default_name(void) AM_NOEXCEPT;

AM_EXTERN_C_END

#endif
