// The translated module as built here: wasm2c's translation with native kernels in place of its
// hottest functions where they are provably equivalent (see native_gru.h). These entry points
// exist for tests that compare the two; they do nothing unless rnnoise_module_has_native_gru.
#ifndef RNNOISE_MODULE_H
#define RNNOISE_MODULE_H

#include <stdbool.h>

#include "rnnoise_wasm_bindings.h"

#ifdef __cplusplus
extern "C" {
#endif

/** True when the module was built with the native GRU kernel (its translation matched). */
extern const bool rnnoise_module_has_native_gru;

/** The translated compute_gru(layer, state, input) on `instance`. */
void rnnoise_module_translated_gru(RNNOISE_WASM_INSTANCE* instance, u32 layer, u32 state,
                                   u32 input);

/**
 * The native compute_gru(layer, state, input) on `instance`; false, having changed nothing, when
 * it declines the call (which the module then leaves to the translated function).
 */
bool rnnoise_module_native_gru(RNNOISE_WASM_INSTANCE* instance, u32 layer, u32 state, u32 input);

/** The module's __stack_pointer global; compute_gru's scratch frame lies just below it. */
u32* rnnoise_module_stack_pointer(RNNOISE_WASM_INSTANCE* instance);

#ifdef __cplusplus
}
#endif

#endif
