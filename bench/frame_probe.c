/* LD_PRELOAD probe for the benchmark: records, for every frame, the raw
 * monotonic time of its first glClear and of the end of its glutSwapBuffers,
 * as two native 64-bit nanosecond counts appended to $QUORVEL_PROBE_OUT.
 * Each frame is written at once, so a run ended by a signal loses nothing. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

typedef unsigned int GLbitfield;

static uint64_t frame_start;
static int out_fd = -2;

static uint64_t now_ns(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC_RAW, &ts);
    return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}

void glClear(GLbitfield mask)
{
    static void (*real)(GLbitfield);
    if (!real)
        real = (void (*)(GLbitfield))dlsym(RTLD_NEXT, "glClear");
    if (!frame_start)
        frame_start = now_ns();
    real(mask);
}

void glutSwapBuffers(void)
{
    static void (*real)(void);
    if (!real)
        real = (void (*)(void))dlsym(RTLD_NEXT, "glutSwapBuffers");
    real();
    uint64_t record[2] = {frame_start, now_ns()};
    frame_start = 0;
    if (out_fd == -2) {
        const char *path = getenv("QUORVEL_PROBE_OUT");
        out_fd = path ? open(path, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644) : -1;
    }
    if (out_fd >= 0 && write(out_fd, record, sizeof record) != (ssize_t)sizeof record)
        out_fd = -1;
}
