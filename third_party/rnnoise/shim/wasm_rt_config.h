// Configuration of the wasm2c runtime, forced into every translation unit of the translated module
// (generated code, runtime and shim) so that all of them agree on it.
#ifndef RNNOISE_WASM_RT_CONFIG_H
#define RNNOISE_WASM_RT_CONFIG_H

// Explicit bounds checks on every linear-memory access instead of guard pages: no process-wide
// SIGSEGV handler that would capture other code's crashes, and no 8 GiB reservation per instance;
// linear memory is a plain heap block of which only the touched pages become resident.
#define WASM_RT_MEMCHECK_SIGNAL_HANDLER 0

// The runtime's call-depth counter is one process-wide variable, a data race as soon as two
// instances run on two threads. The translated module is a fixed, pinned program whose native
// call depth is bounded (its only recursion is the FFT factor table, a few levels deep).
#define WASM_RT_USE_STACK_DEPTH_COUNT 0

// Traps unwind to the caller's own guard (a per-thread jump target) instead of the runtime's
// single process-wide jump buffer.
#define WASM_RT_TRAP_HANDLER rnnoise_wasm_trap

#include "wasm-rt.h"

#ifdef __cplusplus
extern "C" {
#endif

/** Leaves the running module call: jumps to the calling thread's active guard, else aborts. */
WASM_RT_NO_RETURN void rnnoise_wasm_trap(wasm_rt_trap_t code);

#ifdef __cplusplus
}
#endif

#endif
