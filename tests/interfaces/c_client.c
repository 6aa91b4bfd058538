/* A plain C program on the voice core's and the ring's flat interfaces, as a C client would use
 * them: it includes only their C headers (and the test CHECK macro), is compiled as C and makes
 * real calls whose results it checks, so a header that stops being C, or a symbol that loses its C
 * linkage, fails here. */
#include <math.h>
#include <stdio.h>
#include <string.h>

#include "amberlin/am_noise_processor.h"
#include "amberlin_core.h"
#include "platform/testing/CCheck.h"

enum { kFrame = 480 };

/* A 1 kHz tone of peak `amplitude` at 48 kHz (a whole number of periods per frame). */
static void fill_tone(float* samples, float amplitude) {
    for (int i = 0; i < kFrame; ++i) {
        samples[i] = amplitude * (float)sin(2.0 * 3.14159265358979 * 1000.0 * i / 48000.0);
    }
}

/* The voice core's pipeline: bad arguments are refused without touching the output, a frame is
 * processed in place, and the metrics describe it. */
static int check_pipeline(void) {
    float frame[kFrame];
    float untouched[kFrame];
    fill_tone(frame, 0.5f);

    CHECK(amr_pipeline_process(NULL, frame, frame, kFrame, 0) == 0);
    CHECK(amr_pipeline_metrics(NULL).input_rms == 0.0f);
    amr_pipeline_destroy(NULL);

    amr_pipeline* pipeline = amr_pipeline_create(1, 0, 0);
    CHECK(pipeline != NULL);
    CHECK(amr_pipeline_uses_neural(pipeline) == CORVESSA_EXPECT_NEURAL);

    memset(untouched, 0x5a, sizeof untouched);
    float copy[kFrame];
    memcpy(copy, untouched, sizeof copy);
    CHECK(amr_pipeline_process(pipeline, frame, untouched, kFrame - 1, 0) == 0);
    CHECK(memcmp(copy, untouched, sizeof copy) == 0);
    CHECK(amr_pipeline_metrics(pipeline).input_rms == 0.0f);

    CHECK(amr_pipeline_process(pipeline, frame, frame, kFrame, 10000000u) == 1);
    const PipelineMetrics metrics = amr_pipeline_metrics(pipeline);
    CHECK(fabsf(metrics.input_rms - 0.5f / sqrtf(2.0f)) < 0.01f);
    CHECK(metrics.echo_delay_ms == 0.0f && !metrics.far_end_active);
    CHECK(metrics.voice_gate_gain == 1.0f);
    for (int i = 0; i < kFrame; ++i) {
        CHECK(isfinite(frame[i]) && fabsf(frame[i]) <= 0.98f + 1e-6f);
    }
    amr_pipeline_destroy(pipeline);
    return 0;
}

/* The ring library's fallback suppressor and frame helpers. */
static int check_noise_processor(void) {
    float input[kFrame];
    float output[kFrame];
    fill_tone(input, 0.5f);

    CHECK(am_noise_processor_create(AM_NOISE_MODE_BALANCED, 0, kFrame) == NULL);
    AMNoiseProcessor* processor = am_noise_processor_create(AM_NOISE_MODE_BALANCED, 48000, kFrame);
    CHECK(processor != NULL);
    CHECK(am_noise_processor_process(processor, input, output, kFrame - 1) == 0);
    /* The first frame comes back silent (the engine's delay is one frame plus one hop). */
    CHECK(am_noise_processor_process(processor, input, output, kFrame) == 1);
    CHECK(am_frame_rms(output, kFrame) == 0.0f);
    CHECK(fabsf(am_noise_processor_last_input_rms(processor) - am_frame_rms(input, kFrame)) <
          1e-6f);
    CHECK(am_noise_processor_uses_neural() == 0);
    am_noise_processor_destroy(processor);

    const float pair[2] = {0.6f, 0.8f};
    CHECK(fabsf(am_frame_rms(pair, 2) - sqrtf(0.5f)) < 1e-6f);
    CHECK(am_frame_rms(NULL, 2) == 0.0f);
    float loud[2] = {2.0f, -1.0f};
    am_limiter_process(loud, 2, 0.98f);
    CHECK(fabsf(loud[0] - 0.98f) < 1e-6f && fabsf(loud[1] + 0.49f) < 1e-6f);
    return 0;
}

int main(void) {
    if (check_pipeline() != 0 || check_noise_processor() != 0) {
        return 1;
    }
    printf("voice core C client passed\n");
    return 0;
}
