// Native equivalent of the translated module's compute_gru, the network's gated recurrent layer
// update and about half of its run time. It computes, on the instance's linear memory, exactly
// the float operations of the translated function, in the same order for every neuron, so its
// results are bit-identical. It only runs sixteen neurons side by side in SSE2 vectors, where the
// translation runs them one after another, each one long chain of dependent additions.
//
// It is built only into a module whose translated compute_gru is the one it was verified against
// (see cmake/RnnoiseNativeKernels.cmake). Calls it cannot prove equivalent (a layer larger than
// the module's scratch frame, ranges outside memory, scratch overlapping what it reads, a
// big-endian host) are left to the translated function.
//
// Real time: no allocation, no lock, no system call.
#ifndef RNNOISE_NATIVE_GRU_H
#define RNNOISE_NATIVE_GRU_H

#include <stdbool.h>
#include <stdint.h>

#include "wasm_rt_config.h"

#ifdef __cplusplus
extern "C" {
#endif

/** A scalar function of the module (sigmoid_approx, tansig_approx, relu) on `instance`. */
typedef float (*rnnoise_gru_activation)(void* instance, float x);

/** The module instance the update runs on: its memory, stack pointer and activations. */
typedef struct {
    void* instance;                    // passed to the activations
    const wasm_rt_memory_t* memory;    // linear memory
    uint32_t stack_pointer;            // the module's __stack_pointer global at the call
    rnnoise_gru_activation sigmoid;    // gates, and candidates of activation 1
    rnnoise_gru_activation tansig;     // candidates of activation 0
    rnnoise_gru_activation rectifier;  // candidates of any other activation
} RnnoiseGruModule;

/**
 * compute_gru(layer, state, input): updates the `neurons` floats at `state` from the `inputs`
 * floats at `input` with the GRU layer described at `layer`, and leaves the module's scratch
 * frame below the stack pointer as the translated function leaves it. Returns false, having
 * changed nothing, when the call is not one it can prove equivalent; the caller then runs the
 * translated function.
 */
bool rnnoise_native_gru(const RnnoiseGruModule* module, uint32_t layer, uint32_t state,
                        uint32_t input);

#ifdef __cplusplus
}
#endif

#endif
