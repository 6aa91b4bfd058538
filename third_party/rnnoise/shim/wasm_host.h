// Host side of the translated RNNoise module: the emscripten imports it calls.
//
// Threads: every function here touches only the instance it is given, so instances run
// concurrently on different threads.
// Real time: nothing here allocates, locks or makes a system call, except growing linear memory
// (only ever requested while a state is created).
#ifndef RNNOISE_WASM_HOST_H
#define RNNOISE_WASM_HOST_H

#include "rnnoise_wasm_bindings.h"

#ifdef __cplusplus
extern "C" {
#endif

/** What the module's imports act on: the linear memory of the instance that imported them. */
struct RNNOISE_WASM_HOST_INSTANCE {
    wasm_rt_memory_t* memory;
};

/** Import emscripten_resize_heap: grows memory to at least `requested` bytes; 1 on success. */
u32 RNNOISE_WASM_IMPORT_emscripten_resize_heap(struct RNNOISE_WASM_HOST_INSTANCE* host,
                                               u32 requested);

/** Import emscripten_memcpy_big: memmove of `size` bytes inside linear memory (traps if OOB). */
void RNNOISE_WASM_IMPORT_emscripten_memcpy_big(struct RNNOISE_WASM_HOST_INSTANCE* host, u32 dest,
                                               u32 src, u32 size);

#ifdef __cplusplus
}
#endif

#endif
