// Host side of the translated RNNoise module: emscripten imports, trap handler and call guard.
#include "wasm_host.h"

#include <setjmp.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum { kWasmPageBytes = 65536 };

// The guard active on this thread, or NULL outside module calls. Initial-exec TLS is a fixed
// offset from the thread pointer: reading it never allocates, not even on a thread's first call.
static _Thread_local jmp_buf* rnnoise_wasm_trap_target __attribute__((tls_model("initial-exec"))) =
    NULL;

void rnnoise_wasm_trap(wasm_rt_trap_t code) {
    jmp_buf* target = rnnoise_wasm_trap_target;
    if (target != NULL) {
        longjmp(*target, (int)code);
    }
    fprintf(stderr, "rnnoise: WebAssembly trap outside a guarded call: %s\n",
            wasm_rt_strerror(code));
    abort();
}

// glibc's setjmp does not save the signal mask, so entering a guard makes no system call.
wasm_rt_trap_t rnnoise_wasm_guarded(rnnoise_wasm_call call, void* context) {
    jmp_buf buffer;
    jmp_buf* volatile outer = rnnoise_wasm_trap_target;
    int trap = setjmp(buffer);
    if (trap != 0) {
        rnnoise_wasm_trap_target = outer;
        return (wasm_rt_trap_t)trap;
    }
    rnnoise_wasm_trap_target = &buffer;
    call(context);
    rnnoise_wasm_trap_target = outer;
    return WASM_RT_TRAP_NONE;
}

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
