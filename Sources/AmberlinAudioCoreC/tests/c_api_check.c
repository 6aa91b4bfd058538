/* A plain C program that links the ring library through its C headers, as a C client would. */
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include "amberlin/am_ring_buffer.h"
#include "amberlin/am_shared_ring.h"
#include "platform/testing/CCheck.h"

int main(void) {
    char name[64];
    float frame[480];
    float out[480];
    snprintf(name, sizeof name, "/amvmic-c-check-%d", (int)getpid());
    for (int i = 0; i < 480; ++i) {
        frame[i] = (float)i / 480.0f;
    }

    am_shared_ring* ring = am_shared_ring_open(name, true, 4, 480);
    CHECK(ring != NULL);
    CHECK(am_shared_ring_write_latest(ring, frame, 480) == 1);
    CHECK(am_shared_ring_read_latest(ring, out, 480, 3) == 1);
    CHECK(memcmp(frame, out, sizeof frame) == 0);
    am_shared_ring_health_info health = am_shared_ring_health(ring);
    CHECK(health.available_write_frames == 4);
    CHECK(strcmp(am_shared_ring_default_name(), "/amvmic") == 0);
    am_shared_ring_close(ring);
    shm_unlink(name);

    am_ring_buffer* buffer = am_ring_buffer_create(2, 480);
    CHECK(buffer != NULL);
    CHECK(am_ring_buffer_write(buffer, frame, 480) == 1);
    CHECK(am_ring_buffer_read(buffer, out, 480) == 1);
    CHECK(memcmp(frame, out, sizeof frame) == 0);
    am_ring_buffer_destroy(buffer);
    printf("c api check passed\n");
    return 0;
}
