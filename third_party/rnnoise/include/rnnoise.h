// RNNoise neural noise suppressor with its built-in model.
//
// Audio: mono, 48 kHz, frames of exactly 480 samples (10 ms), samples in 16-bit scale (full scale
// is +-32768) stored as float. The output frame is the denoised input delayed by one frame.
//
// Ownership: `rnnoise_create` returns a state that the caller owns and releases only with
// `rnnoise_destroy`.
//
// Threads: every state is independent of every other (its own memory, globals and stack), so
// different states may be processed on different threads at the same time; one state is
// processed by one thread at a time.
//
// Real time: `rnnoise_process_frame` never allocates, locks or makes a system call; all memory is
// reserved by `rnnoise_create`.
//
// Memory: each state reserves 8 GiB of address space, not memory: only the few hundred KiB it
// uses become resident. Under an address-space limit (RLIMIT_AS) too small for that,
// `rnnoise_create` returns NULL.
//
// Signals: the first `rnnoise_create` installs a SIGSEGV handler. It acts only on a fault inside a
// state's own memory while that state processes a frame (the state then passes frames through,
// see `rnnoise_process_frame`); any other SIGSEGV goes on to the handler installed before it, or
// to the default action. A handler installed later should pass on the signals it does not handle.
#ifndef CORVESSA_RNNOISE_H
#define CORVESSA_RNNOISE_H

#if defined(__GNUC__)
#define RNNOISE_EXPORT __attribute__((visibility("default")))
#else
#define RNNOISE_EXPORT
#endif

#ifdef __cplusplus
#define RNNOISE_NOEXCEPT noexcept
extern "C" {
#else
#define RNNOISE_NOEXCEPT
#endif

/** One suppressor's state: analysis buffers, recurrent network state and history (opaque). */
typedef struct DenoiseState DenoiseState;

/** A network model (opaque). Only the built-in model is available: pass NULL. */
typedef struct RNNModel RNNModel;

/**
 * Creates a suppressor using the built-in model when `model` is NULL.
 * Returns NULL when memory cannot be reserved or when a model other than NULL is passed.
 */
RNNOISE_EXPORT DenoiseState* rnnoise_create(RNNModel* model) RNNOISE_NOEXCEPT;

/** Releases a state created by `rnnoise_create`; NULL is ignored. */
RNNOISE_EXPORT void rnnoise_destroy(DenoiseState* st) RNNOISE_NOEXCEPT;

/**
 * Denoises one frame of 480 samples from `in` into `out` (they may be the same buffer).
 * Returns the probability (0..1) that the frame holds voice. Non-finite input samples are read
 * as silence so that they cannot poison the network's state. Returns 0 and writes nothing when
 * any argument is NULL. Should the network ever fault internally, that state copies every later
 * frame through unchanged and returns 0.
 */
RNNOISE_EXPORT float rnnoise_process_frame(DenoiseState* st, float* out,
                                           const float* in) RNNOISE_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
