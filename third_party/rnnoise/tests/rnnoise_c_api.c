// A plain C caller of the rnnoise interface: proves the header compiles as C and links.
#include <math.h>
#include <stddef.h>

#include "rnnoise.h"

int rnnoise_c_api_round_trip(void);

// Returns 1 when a state processes a frame of a 440 Hz tone into finite output, else 0.
int rnnoise_c_api_round_trip(void) {
    DenoiseState* st = rnnoise_create(NULL);
    if (st == NULL) {
        return 0;
    }
    float in[480];
    float out[480];
    for (int i = 0; i < 480; ++i) {
        in[i] = 8000.0f * sinf(2.0f * 3.14159265f * 440.0f * (float)i / 48000.0f);
    }
    float probability = rnnoise_process_frame(st, out, in);
    int ok = probability >= 0.0f && probability <= 1.0f;
    for (int i = 0; i < 480; ++i) {
        ok = ok && isfinite(out[i]);
    }
    rnnoise_destroy(st);
    return ok;
}
