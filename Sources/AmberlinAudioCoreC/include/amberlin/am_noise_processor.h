// Fallback spectral-subtraction noise suppressor for 48 kHz mono f32 audio, plus frame RMS and
// peak-limiter routines.
//
// The engine runs a DC-blocking filter, a 512-point STFT with 50 % overlap (hop 256 samples) and
// square-root Hann windows, a per-bin noise-floor estimate, a clamped and smoothed spectral gain,
// overlap-add resynthesis and a peak limiter at 0.98. Its algorithmic delay is one frame plus one
// hop: with 480-sample frames the first call returns silence and every later call returns the
// filtered input delayed by 736 samples.
//
// Threads: a handle is processed by one thread at a time. `am_noise_processor_set_mode` may be
// called from any thread; it stores one atomic integer that the next process call reads.
//
// Allocation: create allocates every buffer; process, reset and set_mode never allocate.
//
// Ownership: a handle is created by `am_noise_processor_create` and released only by
// `am_noise_processor_destroy`. A null handle makes every function a no-op with a neutral result.
#ifndef AMBERLIN_AM_NOISE_PROCESSOR_H
#define AMBERLIN_AM_NOISE_PROCESSOR_H

#include <stdbool.h>
#include <stdint.h>

#include "amberlin/am_export.h"

AM_EXTERN_C_BEGIN

/// Suppression strength, numbered like the front end's suppression modes. Any value other than
/// light and max behaves as balanced.
typedef int32_t AMNoiseMode;
enum {
    AM_NOISE_MODE_LIGHT = 0,     ///< gain floor 0.3, subtraction factor 1.0
    AM_NOISE_MODE_BALANCED = 1,  ///< gain floor 0.14, subtraction factor 1.6
    AM_NOISE_MODE_MAX = 2        ///< gain floor 0.05, subtraction factor 2.4
};

/// Opaque engine handle.
typedef struct AMNoiseProcessor AMNoiseProcessor;

/// Creates an engine for frames of exactly `frame_size` samples. `sample_rate` (Hz) is stored
/// only. Null when the rate or frame size is 0 or memory cannot be obtained.
AM_EXPORT AMNoiseProcessor* am_noise_processor_create(AMNoiseMode mode, uint32_t sample_rate,
                                                      uint32_t frame_size) AM_NOEXCEPT;
/// Frees the engine; null is allowed.
AM_EXPORT void am_noise_processor_destroy(AMNoiseProcessor* processor) AM_NOEXCEPT;
/// Clears all adaptive state (filters, queues, noise estimate, gains, metrics); the next frame is
/// silent again. Mode, rate and frame size stay.
AM_EXPORT void am_noise_processor_reset(AMNoiseProcessor* processor) AM_NOEXCEPT;
/// Posts a new mode; it takes effect at the next `am_noise_processor_process`.
AM_EXPORT void am_noise_processor_set_mode(AMNoiseProcessor* processor,
                                           AMNoiseMode mode) AM_NOEXCEPT;
/// Processes one frame of `sample_count` samples from `input` into `output` (they may alias).
/// Returns 1 on success; 0 for a null argument or a count other than the frame size, in which
/// case nothing is written.
AM_EXPORT int32_t am_noise_processor_process(AMNoiseProcessor* processor, const float* input,
                                             float* output, uint32_t sample_count) AM_NOEXCEPT;
/// RMS of the raw input of the last processed frame (0 for null).
AM_EXPORT float am_noise_processor_last_input_rms(const AMNoiseProcessor* processor) AM_NOEXCEPT;
/// RMS of the limited output of the last processed frame (0 for null).
AM_EXPORT float am_noise_processor_last_output_rms(const AMNoiseProcessor* processor) AM_NOEXCEPT;
/// Whether any analysis block of the last processed frame counted as speech (false for null).
AM_EXPORT bool am_noise_processor_last_voice_active(const AMNoiseProcessor* processor) AM_NOEXCEPT;
/// Whether the engine has a neural path: always 0.
AM_EXPORT int32_t am_noise_processor_uses_neural(void) AM_NOEXCEPT;
/// Whether a neural model is available to this library: always 0.
AM_EXPORT int32_t am_rnnoise_available(void) AM_NOEXCEPT;
/// sqrt(sum of x^2 / count); 0 for null samples or a count of 0.
AM_EXPORT float am_frame_rms(const float* samples, uint32_t count) AM_NOEXCEPT;
/// When the peak magnitude exceeds `ceiling` (> 0), scales all samples by ceiling / peak so that
/// the peak becomes exactly the ceiling. Null samples, a count of 0 or a ceiling <= 0 do nothing.
AM_EXPORT void am_limiter_process(float* samples, uint32_t count, float ceiling) AM_NOEXCEPT;

AM_EXTERN_C_END

#endif
