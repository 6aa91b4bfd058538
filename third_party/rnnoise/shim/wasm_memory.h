// Linear memory of the translated module: a reservation of address space per memory, of which
// only the memory's current size is accessible (replaces the wabt runtime's allocator, which is
// compiled under other names).
//
// The reservation spans every address a memory access can form: a 32-bit base plus a 32-bit
// constant offset (< 8 GiB) plus the access width. The translated code therefore needs no bounds
// check: an access beyond the memory's size faults on a page of the same reservation, which
// wasm_guard.c turns into an out-of-bounds trap. Memory never moves once allocated.
//
// The functions wasm_rt_allocate_memory, wasm_rt_grow_memory and wasm_rt_free_memory (declared by
// wasm-rt.h) are defined by wasm_memory.c.
#ifndef RNNOISE_WASM_MEMORY_H
#define RNNOISE_WASM_MEMORY_H

#include <stdbool.h>
#include <stdint.h>

#include "wasm_rt_config.h"

#ifdef __cplusplus
extern "C" {
#endif

/** Bytes of address space reserved per memory: 8 GiB plus one 64 KiB page of slack. */
#define RNNOISE_WASM_RESERVED_BYTES ((UINT64_C(1) << 33) + UINT64_C(65536))

/** True when `address` lies in the reservation of `memory` (accessible or not). */
bool rnnoise_wasm_memory_contains(const wasm_rt_memory_t* memory, const void* address);

#ifdef __cplusplus
}
#endif

#endif
