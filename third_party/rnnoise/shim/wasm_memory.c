// Linear memory of the translated module, mapped straight from the kernel (replaces the wabt
// runtime's heap-based version, which is compiled under other names).
//
// The module declares 16 MiB of memory but touches a few hundred KiB. An anonymous mapping makes
// only touched pages resident and gives everything back on free. A heap block would not: once a
// 16 MiB block has been freed, glibc raises its mmap threshold, serves the next one from the
// heap and calloc then clears (and so makes resident) all 16 MiB.
#include <stdint.h>
#include <sys/mman.h>

#include "wasm-rt.h"

enum { kWasmPageBytes = 65536 };

// Largest page count whose byte size fits the runtime's 32-bit size field.
static const uint64_t kMaxPages = UINT32_MAX / kWasmPageBytes;

// Maps `bytes` of zeroed memory, or moves `old` (of `old_bytes`) into a larger zero-extended
// mapping. NULL when the kernel refuses.
static uint8_t* rnnoise_wasm_map(uint8_t* old, uint64_t old_bytes, uint64_t bytes) {
    void* data = old == NULL
                     ? mmap(NULL, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                     : mremap(old, old_bytes, bytes, MREMAP_MAYMOVE);
    return data == MAP_FAILED ? NULL : data;
}

void wasm_rt_allocate_memory(wasm_rt_memory_t* memory, uint32_t initial_pages, uint32_t max_pages) {
    memory->data = NULL;
    memory->pages = 0;
    memory->size = 0;
    memory->max_pages = max_pages;
    if (initial_pages > kMaxPages || initial_pages > max_pages) {
        wasm_rt_trap(WASM_RT_TRAP_EXHAUSTION);
    }
    if (initial_pages == 0) {
        return;
    }
    uint64_t bytes = (uint64_t)initial_pages * kWasmPageBytes;
    memory->data = rnnoise_wasm_map(NULL, 0, bytes);
    if (memory->data == NULL) {
        wasm_rt_trap(WASM_RT_TRAP_EXHAUSTION);
    }
    memory->pages = initial_pages;
    memory->size = (uint32_t)bytes;
}

uint32_t wasm_rt_grow_memory(wasm_rt_memory_t* memory, uint32_t delta) {
    uint32_t old_pages = memory->pages;
    uint64_t new_pages = (uint64_t)old_pages + delta;
    if (delta == 0) {
        return old_pages;
    }
    if (new_pages > memory->max_pages || new_pages > kMaxPages) {
        return UINT32_MAX;
    }
    uint64_t bytes = new_pages * kWasmPageBytes;
    uint8_t* data = rnnoise_wasm_map(memory->data, memory->size, bytes);
    if (data == NULL) {
        return UINT32_MAX;
    }
    memory->data = data;
    memory->pages = (uint32_t)new_pages;
    memory->size = (uint32_t)bytes;
    return old_pages;
}

void wasm_rt_free_memory(wasm_rt_memory_t* memory) {
    if (memory->data != NULL) {
        munmap(memory->data, memory->size);
    }
    memory->data = NULL;
    memory->pages = 0;
    memory->size = 0;
}
