// Host side of the translated RNNoise module: the emscripten imports.
#include "wasm_host.h"

#include <stdint.h>
#include <string.h>

enum { kWasmPageBytes = 65536 };

u32 RNNOISE_WASM_IMPORT_emscripten_resize_heap(struct RNNOISE_WASM_HOST_INSTANCE* host,
                                               u32 requested) {
    wasm_rt_memory_t* memory = host->memory;
    uint64_t wanted_pages = ((uint64_t)requested + kWasmPageBytes - 1) / kWasmPageBytes;
    if (wanted_pages <= memory->pages) {
        return 1;
    }
    if (wanted_pages > memory->max_pages) {
        return 0;
    }
    uint32_t delta = (uint32_t)(wanted_pages - memory->pages);
    return wasm_rt_grow_memory(memory, delta) != UINT32_MAX ? 1u : 0u;
}

void RNNOISE_WASM_IMPORT_emscripten_memcpy_big(struct RNNOISE_WASM_HOST_INSTANCE* host, u32 dest,
                                               u32 src, u32 size) {
    const wasm_rt_memory_t* memory = host->memory;
    if ((uint64_t)dest + size > memory->size || (uint64_t)src + size > memory->size) {
        wasm_rt_trap(WASM_RT_TRAP_OOB);
    }
    memmove(memory->data + dest, memory->data + src, size);
}
