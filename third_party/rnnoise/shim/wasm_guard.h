// Guarded calls into the translated module: a trap inside a call (an explicit one such as an
// integer division by zero, or a fault on the inaccessible part of the instance's memory) ends
// that call and comes back as an error code instead of ending the process.
//
// Faults reach the guard through a SIGSEGV handler installed once per process. It claims a fault
// only when the faulting thread is inside a guarded call and the address lies in that call's own
// memory reservation; every other fault goes on to the handler installed before it (or to the
// default action), so crashes elsewhere in the process are reported exactly as without it.
//
// Threads: guards are per thread, so instances run concurrently on different threads.
// Real time: entering and leaving a guard makes no system call and does not allocate.
#ifndef RNNOISE_WASM_GUARD_H
#define RNNOISE_WASM_GUARD_H

#include <stdbool.h>

#include "wasm_rt_config.h"

#ifdef __cplusplus
extern "C" {
#endif

/** A module call run under a guard; `context` is the caller's argument block. */
typedef void (*rnnoise_wasm_call)(void* context);

/**
 * Installs the fault handler, keeping the current SIGSEGV disposition as the one unclaimed
 * faults go to; does nothing when the handler is already the current one. Call before the first
 * guarded call that touches memory, from one thread at a time. Returns false when the handler
 * cannot be installed.
 */
bool rnnoise_wasm_guard_install(void);

/**
 * Runs `call(context)` with a trap target for this thread. Faults inside the reservation of
 * `memory` (NULL: none) become WASM_RT_TRAP_OOB. Returns WASM_RT_TRAP_NONE when the call returned
 * normally, else the trap that ended it (the instance is then unusable).
 */
wasm_rt_trap_t rnnoise_wasm_guarded(const wasm_rt_memory_t* memory, rnnoise_wasm_call call,
                                    void* context);

#ifdef __cplusplus
}
#endif

#endif
