// Configuration of the wasm2c runtime, forced into every translation unit of the translated module
// (generated code, runtime and shim) so that all of them agree on it.
#ifndef RNNOISE_WASM_RT_CONFIG_H
#define RNNOISE_WASM_RT_CONFIG_H

// No bounds check on linear-memory accesses. Each memory is a reservation of address space that
// covers every address a load or store can form (32-bit base + 32-bit offset + access width, see
// wasm_memory.h), so no access can reach anything but its own instance's memory; one past the
// memory's size lands on an inaccessible page of that reservation and faults. The checks cost
// roughly 30 % of the network's run time.
#define WASM_RT_MEMCHECK_SIGNAL_HANDLER 1

// The runtime's own SIGSEGV handler is not installed: it would turn every fault of the process,
// wherever it comes from, into a trap. wasm_guard.c installs a narrower one that claims only
// faults inside the memory of the module call running on the faulting thread.
#define WASM_RT_SKIP_SIGNAL_RECOVERY 1

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
