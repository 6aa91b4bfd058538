// Linear memory as a reservation of inaccessible address space whose first `size` bytes are made
// readable and writable. Anonymous pages are zero and become resident only when touched, so a
// state costs the few hundred KiB the module uses, not the 16 MiB it declares; unmapping gives
// everything back. The inaccessible rest is address space only: the kernel charges commit only
// for the part opened read-write.
#include "wasm_memory.h"

#include <sys/mman.h>

enum { kWasmPageBytes = 65536 };

// Largest page count whose byte size fits the runtime's 32-bit size field.
static const uint64_t kMaxPages = UINT32_MAX / kWasmPageBytes;

// Reserves the whole span inaccessible and opens its first `bytes`. NULL when the kernel refuses.
static uint8_t* rnnoise_wasm_reserve(uint64_t bytes) {
    void* data =
        mmap(NULL, RNNOISE_WASM_RESERVED_BYTES, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (data == MAP_FAILED) {
        return NULL;
    }
    if (bytes > 0 && mprotect(data, bytes, PROT_READ | PROT_WRITE) != 0) {
        munmap(data, RNNOISE_WASM_RESERVED_BYTES);
        return NULL;
    }
    return data;
}

void wasm_rt_allocate_memory(wasm_rt_memory_t* memory, uint32_t initial_pages, uint32_t max_pages) {
    memory->data = NULL;
    memory->pages = 0;
    memory->size = 0;
    memory->max_pages = max_pages;
    if (initial_pages > kMaxPages || initial_pages > max_pages) {
        wasm_rt_trap(WASM_RT_TRAP_EXHAUSTION);
    }
    uint64_t bytes = (uint64_t)initial_pages * kWasmPageBytes;
    memory->data = rnnoise_wasm_reserve(bytes);
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
    uint64_t added = (uint64_t)delta * kWasmPageBytes;
    if (mprotect(memory->data + memory->size, added, PROT_READ | PROT_WRITE) != 0) {
        return UINT32_MAX;
    }
    memory->pages = (uint32_t)new_pages;
    memory->size = (uint32_t)(new_pages * kWasmPageBytes);
    return old_pages;
}

void wasm_rt_free_memory(wasm_rt_memory_t* memory) {
    if (memory->data != NULL) {
        munmap(memory->data, RNNOISE_WASM_RESERVED_BYTES);
    }
    memory->data = NULL;
    memory->pages = 0;
    memory->size = 0;
}

bool rnnoise_wasm_memory_contains(const wasm_rt_memory_t* memory, const void* address) {
    uintptr_t begin = (uintptr_t)memory->data;
    return memory->data != NULL && (uintptr_t)address - begin < RNNOISE_WASM_RESERVED_BYTES;
}
