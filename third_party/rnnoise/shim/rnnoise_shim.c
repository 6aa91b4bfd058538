// rnnoise_create / rnnoise_process_frame / rnnoise_destroy on top of the translated module: one
// module instance (linear memory, globals, shadow stack) per state.
#include "rnnoise.h"

#include <math.h>
#include <pthread.h>
#include <stdbool.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "wasm_guard.h"
#include "wasm_host.h"

enum {
    kFrameSamples = 480,                              // 10 ms at 48 kHz
    kFrameBytes = kFrameSamples * (int)sizeof(float)  // one frame in linear memory
};

// One suppressor: the module instance and the addresses of its state and frame buffers inside
// that instance's linear memory. Allocated by rnnoise_create and never moved, because the host
// imports keep a pointer to `module`'s memory.
struct DenoiseState {
    RNNOISE_WASM_INSTANCE module;
    struct RNNOISE_WASM_HOST_INSTANCE host;
    u32 state_address;   // the module's own DenoiseState
    u32 input_address;   // kFrameSamples floats
    u32 output_address;  // kFrameSamples floats
    bool failed;         // a trap left the module's memory undefined; frames pass through
};

// Argument block of one guarded process call.
typedef struct {
    DenoiseState* state;
    float voice_probability;
} ProcessCall;

static pthread_once_t rnnoise_module_once = PTHREAD_ONCE_INIT;
static bool rnnoise_module_ready;  // written once under rnnoise_module_once, read after it

// Process-wide runtime and module set-up (function-type registry, fault handler), done once for
// all threads. Without the fault handler a stray access would end the process, so no state is
// created then.
static void rnnoise_init_module(void) {
    wasm_rt_init();
    RNNOISE_WASM_INIT_MODULE();
    rnnoise_module_ready = rnnoise_wasm_guard_install();
}

// Creates the module instance: globals, linear memory with its data segments, table.
static void rnnoise_call_instantiate(void* context) {
    DenoiseState* st = context;
    RNNOISE_WASM_INSTANTIATE(&st->module, &st->host);
    st->host.memory = RNNOISE_WASM_EXPORT_memory(&st->module);
}

// Runs the module's constructors and creates its state plus the two frame buffers.
static void rnnoise_call_setup(void* context) {
    DenoiseState* st = context;
    RNNOISE_WASM_EXPORT___wasm_call_ctors(&st->module);
    st->state_address = RNNOISE_WASM_EXPORT_rnnoise_create(&st->module, 0);
    st->input_address = RNNOISE_WASM_EXPORT_malloc(&st->module, kFrameBytes);
    st->output_address = RNNOISE_WASM_EXPORT_malloc(&st->module, kFrameBytes);
}

static void rnnoise_call_process(void* context) {
    ProcessCall* call = context;
    DenoiseState* st = call->state;
    call->voice_probability = RNNOISE_WASM_EXPORT_rnnoise_process_frame(
        &st->module, st->state_address, st->output_address, st->input_address);
}

// True when the module returned usable addresses for the state and both whole frames.
static bool rnnoise_addresses_valid(const DenoiseState* st) {
    const wasm_rt_memory_t* memory = st->host.memory;
    return st->state_address != 0 && st->input_address != 0 && st->output_address != 0 &&
           (uint64_t)st->input_address + kFrameBytes <= memory->size &&
           (uint64_t)st->output_address + kFrameBytes <= memory->size;
}

// Copies a frame into linear memory, reading non-finite samples as silence.
static void rnnoise_copy_in(uint8_t* destination, const float* in) {
    for (int i = 0; i < kFrameSamples; ++i) {
        float sample = isfinite(in[i]) ? in[i] : 0.0f;
        memcpy(destination + (size_t)i * sizeof(float), &sample, sizeof sample);
    }
}

DenoiseState* rnnoise_create(RNNModel* model) {
    if (model != NULL) {
        return NULL;
    }
    pthread_once(&rnnoise_module_once, rnnoise_init_module);
    DenoiseState* st = rnnoise_module_ready ? calloc(1, sizeof *st) : NULL;
    if (st == NULL) {
        return NULL;
    }
    if (rnnoise_wasm_guarded(NULL, rnnoise_call_instantiate, st) != WASM_RT_TRAP_NONE ||
        rnnoise_wasm_guarded(st->host.memory, rnnoise_call_setup, st) != WASM_RT_TRAP_NONE ||
        !rnnoise_addresses_valid(st)) {
        rnnoise_destroy(st);
        return NULL;
    }
    return st;
}

void rnnoise_destroy(DenoiseState* st) {
    if (st == NULL) {
        return;
    }
    RNNOISE_WASM_FREE(&st->module);
    free(st);
}

float rnnoise_process_frame(DenoiseState* st, float* out, const float* in) {
    if (st == NULL || out == NULL || in == NULL) {
        return 0.0f;
    }
    uint8_t* base = st->host.memory->data;
    rnnoise_copy_in(base + st->input_address, in);
    ProcessCall call = {st, 0.0f};
    if (st->failed ||
        rnnoise_wasm_guarded(st->host.memory, rnnoise_call_process, &call) != WASM_RT_TRAP_NONE) {
        st->failed = true;
        memcpy(out, st->host.memory->data + st->input_address, kFrameBytes);
        return 0.0f;
    }
    memcpy(out, st->host.memory->data + st->output_address, kFrameBytes);
    return call.voice_probability;
}
