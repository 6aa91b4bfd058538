// The translated module compiled as one unit with its native kernels: wasm2c's translation
// (prepared by cmake/RnnoiseNativeKernels.cmake), followed by the native compute_gru taking the
// place of the translated one when the translation is the verified one.
#include "rnnoise_wasm_native.c"

#include "native_gru.h"
#include "rnnoise_module.h"

#if RNNOISE_WASM_NATIVE_GRU

static float rnnoise_module_sigmoid(void* instance, float x) {
    return w2c_sigmoid_approx(instance, x);
}

static float rnnoise_module_tansig(void* instance, float x) {
    return w2c_tansig_approx(instance, x);
}

static float rnnoise_module_rectifier(void* instance, float x) {
    return w2c_relu(instance, x);
}

// What the native kernel needs of `instance`, at the moment of the call.
static RnnoiseGruModule rnnoise_module_gru(Z_rnnoise_wasm_instance_t* instance) {
    RnnoiseGruModule module = {instance,
                               &instance->w2c_c,
                               instance->w2c___stack_pointer,
                               rnnoise_module_sigmoid,
                               rnnoise_module_tansig,
                               rnnoise_module_rectifier};
    return module;
}

// Called by the translated code wherever it calls compute_gru.
static void w2c_compute_gru(Z_rnnoise_wasm_instance_t* instance, u32 layer, u32 state, u32 input) {
    RnnoiseGruModule module = rnnoise_module_gru(instance);
    if (!rnnoise_native_gru(&module, layer, state, input)) {
        w2c_compute_gru_translated(instance, layer, state, input);
    }
}

const bool rnnoise_module_has_native_gru = true;

void rnnoise_module_translated_gru(RNNOISE_WASM_INSTANCE* instance, u32 layer, u32 state,
                                   u32 input) {
    w2c_compute_gru_translated(instance, layer, state, input);
}

bool rnnoise_module_native_gru(RNNOISE_WASM_INSTANCE* instance, u32 layer, u32 state, u32 input) {
    RnnoiseGruModule module = rnnoise_module_gru(instance);
    return rnnoise_native_gru(&module, layer, state, input);
}

u32* rnnoise_module_stack_pointer(RNNOISE_WASM_INSTANCE* instance) {
    return &instance->w2c___stack_pointer;
}

#else

// Another translation: none of its internals can be assumed, so the entry points do nothing.
const bool rnnoise_module_has_native_gru = false;

void rnnoise_module_translated_gru(RNNOISE_WASM_INSTANCE* instance, u32 layer, u32 state,
                                   u32 input) {
    (void)instance, (void)layer, (void)state, (void)input;
}

bool rnnoise_module_native_gru(RNNOISE_WASM_INSTANCE* instance, u32 layer, u32 state, u32 input) {
    (void)instance, (void)layer, (void)state, (void)input;
    return false;
}

u32* rnnoise_module_stack_pointer(RNNOISE_WASM_INSTANCE* instance) {
    (void)instance;
    return NULL;
}

#endif
