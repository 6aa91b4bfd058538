/*
 * Flat C interface of the Corvessa voice core: one 10 ms frame of microphone audio in, one frame
 * of cleaned voice out.
 *
 * Geometry is fixed: 48 000 Hz, mono, 32-bit float samples nominally in [-1, 1], 480 samples per
 * frame. Each frame runs through, in order: echo cancellation against the far-end reference (when
 * enabled; adds 512 samples of delay), noise processing (DC-blocking high-pass, RNNoise or the
 * spectral fallback, voice-probability gain, peak limiter at 0.98) and the voice gate ("voice
 * isolation").
 *
 * Ownership: `amr_pipeline_create` allocates an opaque handle that the caller owns until it passes
 * it to `amr_pipeline_destroy`. The library never keeps a pointer to caller memory beyond a call.
 * Every function accepts a null handle and then does nothing and returns its neutral value (0,
 * zero metrics). No function lets an exception escape; memory exhaustion while creating a pipeline
 * or switching echo cancellation on ends the process, as does an impossible internal state (with a
 * message on stderr). Booleans are returned as 32-bit integers 1 or 0.
 *
 * Threads:
 *  - `amr_pipeline_process` is called by one processing thread at a time. It does not allocate,
 *    except when it applies a posted echo-cancellation switch to "on" (a new canceller) or a
 *    posted reset (a fresh RNNoise state).
 *  - `amr_pipeline_push_reference` may run on another thread concurrently with processing; both
 *    take the reference queue's mutex, the only lock in the voice core.
 *  - The setters and `amr_pipeline_reset` may be called from any thread at any time: they only
 *    post a request (an atomic store) that the next `amr_pipeline_process` applies before its
 *    frame, so every frame is processed with one consistent configuration.
 *  - `amr_pipeline_metrics` may be called from any thread; every field is read as its own atomic
 *    value, so a reader may see fields of two consecutive frames but never a torn field.
 *  - `amr_pipeline_destroy` must not overlap any other call on the same handle.
 *
 * Numbers: suppression mode 0 light, 1 balanced, 2 max; voice isolation 0 off, 1 light,
 * 2 balanced, 3 strong.
 */
#ifndef AMBERLIN_CORE_H
#define AMBERLIN_CORE_H

#include <stdint.h>

#ifndef __cplusplus
#include <stdbool.h>
#endif

#if defined(__GNUC__)
#define AMR_EXPORT __attribute__((visibility("default")))
#else
#define AMR_EXPORT
#endif

#ifdef __cplusplus
#define AMR_NOEXCEPT noexcept
extern "C" {
#else
#define AMR_NOEXCEPT
#endif

/** Opaque pipeline handle, owned by the caller between create and destroy. */
typedef struct amr_pipeline amr_pipeline;

/** Figures of the last successfully processed frame (natural alignment, 32 bytes). */
typedef struct PipelineMetrics {
    float input_rms;         /**< RMS entering the noise processor (after echo cancellation) */
    float output_rms;        /**< RMS leaving the noise processor (before the voice gate) */
    float voice_probability; /**< 0 ... 1 from RNNoise, or exactly 0 / 1 on the spectral path */
    float echo_reduction_db; /**< smoothed echo reduction, dB; 0 when echo cancellation is off */
    float echo_delay_ms;     /**< estimated echo delay, ms; 0 when echo cancellation is off */
    float reference_lookback_ms; /**< far-end reference queue's lookback, ms */
    float voice_gate_gain; /**< voice gate's gain after the frame (1.0 when the gate is off) */
    bool far_end_active;   /**< far end carried signal in the frame; false when off */
} PipelineMetrics;

/**
 * Creates a pipeline. `mode`: 0 light, 2 max, anything else balanced. `echo_cancellation`:
 * non-zero builds the echo canceller. `voice_isolation`: 0 ... 3 kept, 4 or more balanced (2).
 * Never returns null; memory exhaustion ends the process.
 */
AMR_EXPORT amr_pipeline* amr_pipeline_create(uint32_t mode, int32_t echo_cancellation,
                                             uint32_t voice_isolation) AMR_NOEXCEPT;

/** Releases the pipeline and everything it holds. Null: nothing. */
AMR_EXPORT void amr_pipeline_destroy(amr_pipeline* pipeline) AMR_NOEXCEPT;

/**
 * Applies posted setting changes and a posted reset, then processes one frame from `input` into
 * `output` (both `frames` samples; `input` and `output` may be the same buffer). `host_time_ns`
 * is the host-clock time of the frame's first sample, used to line up the far-end reference.
 * Returns 1 on success; 0 for a null argument or `frames` other than 480, in which case the
 * output is left untouched and no metrics are published.
 */
AMR_EXPORT int32_t amr_pipeline_process(amr_pipeline* pipeline, const float* input, float* output,
                                        uint32_t frames, uint64_t host_time_ns) AMR_NOEXCEPT;

/**
 * Appends `count` far-end (speaker) samples whose first sample played at `host_time_ns` to the
 * reference queue (1 s is kept). Ignored when `samples` is null or `count` is 0.
 */
AMR_EXPORT void amr_pipeline_push_reference(amr_pipeline* pipeline, const float* samples,
                                            uint32_t count, uint64_t host_time_ns) AMR_NOEXCEPT;

/**
 * Posts a reset: before its next frame the pipeline clears the echo canceller, the noise
 * processor (with a fresh RNNoise state), the voice gate's learned state and the reference queue.
 */
AMR_EXPORT void amr_pipeline_reset(amr_pipeline* pipeline) AMR_NOEXCEPT;

/** Posts a suppression mode for the next frame: 0 light, 1 balanced, 2 or more max. */
AMR_EXPORT void amr_pipeline_set_mode(amr_pipeline* pipeline, uint32_t mode) AMR_NOEXCEPT;

/** Posts a voice-isolation level: 0 off, 1 light, 2 balanced, 3 or more strong. */
AMR_EXPORT void amr_pipeline_set_voice_isolation(amr_pipeline* pipeline,
                                                 uint32_t level) AMR_NOEXCEPT;

/**
 * Posts echo cancellation on (exactly 1) or off (any other value). Switching on starts a fresh
 * canceller, switching off discards it; posting the current state keeps its adaptation.
 */
AMR_EXPORT void amr_pipeline_set_echo_cancellation(amr_pipeline* pipeline,
                                                   int32_t enabled) AMR_NOEXCEPT;

/** Metrics of the last successful frame; all zero before the first and for a null handle. */
AMR_EXPORT PipelineMetrics amr_pipeline_metrics(const amr_pipeline* pipeline) AMR_NOEXCEPT;

/** 1 when the pipeline was created with an RNNoise state (fixed at creation), else 0. */
AMR_EXPORT int32_t amr_pipeline_uses_neural(const amr_pipeline* pipeline) AMR_NOEXCEPT;

#ifdef __cplusplus
}
#endif

/* The layout is part of the interface: pin it for both C and C++ callers. */
#ifdef __cplusplus
#include <cstddef>
#define AMR_STATIC_ASSERT static_assert
#define AMR_ALIGNOF alignof
#else
#include <stddef.h>
#define AMR_STATIC_ASSERT _Static_assert
#define AMR_ALIGNOF _Alignof
#endif
AMR_STATIC_ASSERT(sizeof(bool) == 1, "far_end_active must be one byte");
AMR_STATIC_ASSERT(sizeof(PipelineMetrics) == 32, "PipelineMetrics size");
AMR_STATIC_ASSERT(AMR_ALIGNOF(PipelineMetrics) == 4, "PipelineMetrics alignment");
AMR_STATIC_ASSERT(offsetof(PipelineMetrics, input_rms) == 0, "input_rms offset");
AMR_STATIC_ASSERT(offsetof(PipelineMetrics, output_rms) == 4, "output_rms offset");
AMR_STATIC_ASSERT(offsetof(PipelineMetrics, voice_probability) == 8, "voice_probability offset");
AMR_STATIC_ASSERT(offsetof(PipelineMetrics, echo_reduction_db) == 12, "echo_reduction_db offset");
AMR_STATIC_ASSERT(offsetof(PipelineMetrics, echo_delay_ms) == 16, "echo_delay_ms offset");
AMR_STATIC_ASSERT(offsetof(PipelineMetrics, reference_lookback_ms) == 20, "lookback offset");
AMR_STATIC_ASSERT(offsetof(PipelineMetrics, voice_gate_gain) == 24, "voice_gate_gain offset");
AMR_STATIC_ASSERT(offsetof(PipelineMetrics, far_end_active) == 28, "far_end_active offset");
#undef AMR_STATIC_ASSERT
#undef AMR_ALIGNOF

#endif
