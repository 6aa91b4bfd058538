// In-process single-producer single-consumer ring of fixed-length f32 frames.
//
// The same index discipline as the shared ring (one slot kept empty; each side owns one index,
// loads the other's with acquire ordering and publishes its own with release ordering after
// copying), without a header, counters or flags. Write and read are lock-free and allocation-free;
// create and destroy allocate. `am_ring_buffer_clear` is for a quiescent buffer.
#ifndef AMBERLIN_AM_RING_BUFFER_H
#define AMBERLIN_AM_RING_BUFFER_H

#include <stdint.h>

#include "amberlin/am_export.h"

AM_EXTERN_C_BEGIN

/// Opaque ring buffer handle, owned by the caller between create and destroy.
typedef struct am_ring_buffer am_ring_buffer;

/// Creates a buffer of `capacity` frames of `frame_length` samples, zero-initialised; null when
/// either is 0 or memory cannot be obtained.
AM_EXPORT am_ring_buffer* am_ring_buffer_create(uint32_t capacity,
                                                uint32_t frame_length) AM_NOEXCEPT;
/// Frees the buffer; null is allowed.
AM_EXPORT void am_ring_buffer_destroy(am_ring_buffer* buffer) AM_NOEXCEPT;
/// 1 when the frame was stored; 0 when full, on a length mismatch or null arguments.
AM_EXPORT int32_t am_ring_buffer_write(am_ring_buffer* buffer, const float* samples,
                                       int32_t frame_length) AM_NOEXCEPT;
/// 1 when a frame was copied out; an empty buffer zero-fills `destination` and returns 0; a
/// mismatched length or null argument returns 0 and leaves the destination untouched.
AM_EXPORT int32_t am_ring_buffer_read(am_ring_buffer* buffer, float* destination,
                                      uint32_t frame_length) AM_NOEXCEPT;
/// Frames buffered (0 for null).
AM_EXPORT uint32_t am_ring_buffer_available_read(am_ring_buffer* buffer) AM_NOEXCEPT;
/// Free slots: capacity minus frames buffered (0 for null).
AM_EXPORT uint32_t am_ring_buffer_available_write(am_ring_buffer* buffer) AM_NOEXCEPT;
/// Frames the buffer can hold (0 for null).
AM_EXPORT uint32_t am_ring_buffer_capacity(am_ring_buffer* buffer) AM_NOEXCEPT;
/// Sets the read index, then the write index, to 0.
AM_EXPORT void am_ring_buffer_clear(am_ring_buffer* buffer) AM_NOEXCEPT;

AM_EXTERN_C_END

#endif
