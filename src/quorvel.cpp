// quorvel: redraws the raw monotonic tick at a fixed pace and reports how
// evenly the frames arrive. This unit holds main() and the GLUT callbacks.
#include <GL/glew.h>
#include <GL/freeglut.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "fps_title.h"
#include "frame_stats.h"
#include "glx_window.h"
#include "options.h"
#include "pacing.h"
#include "stopwatch.h"
#include "text_renderer.h"

// Times every display cycle for the title's Elapsed figure.
static StopWatchInterface *timer = nullptr;

// Microseconds from the raw monotonic clock, which NTP never slews.
uint64_t getsystemtick()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC_RAW, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000 + static_cast<uint64_t>(ts.tv_nsec) / 1000;
}

// A busy poll: GLUT calls this whenever it has no events, so pacing is as
// fine as the clock and costs one core.
static void idle()
{
    if (redisplay_due(getsystemtick()))
        glutPostRedisplay();
}

static void computeFPS()
{
    if (fps_frame(getsystemtick(), sdkGetAverageTimerValue(&timer))) {
        glutSetWindowTitle(fps);
        set_utf8_window_title(fps);
    }
    sdkResetTimer(&timer);
}

static void display()
{
    sdkStartTimer(&timer);
    begin_frame(getsystemtick());
    draw_tick_text();
    glutSwapBuffers();
    end_frame(getsystemtick());
    sdkStopTimer(&timer);
    computeFPS();
}

static void open_window(int *argc, char **argv)
{
    glutInit(argc, argv);
    glutInitContextVersion(2, 0);
    glutInitDisplayMode(GLUT_RGBA | GLUT_DOUBLE);
    glutInitWindowPosition(400, 30);
    glutInitWindowSize(1024, 800);
    glutCreateWindow("High Resolution Timer");
}

int main(int argc, char **argv)
{
    // Line buffering keeps every finished statistics line when a pipe or file
    // reader stops the run with a signal, the usual way to end it.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    printf("\nquorvel is running...\n");
    parse_options(argc, argv);
    // The driver reads this when the context is made, so it must come first.
    putenv(vsync_request(vsync_on));
    if (show_help)
        usage(argc, argv);
    open_window(&argc, argv);
    fontfilename = "FreeSans.ttf";

    GLenum err = glewInit();
    if (err != GLEW_OK) {
        fprintf(stderr, "Error: %s\n", reinterpret_cast<const char *>(glewGetErrorString(err)));
        return 1;
    }
    if (!GLEW_VERSION_2_0) {
        fprintf(stderr, "No support for OpenGL 2.0 found\n");
        return 1;
    }
    request_swap_interval(vsync_on);
    sdkCreateTimer(&timer);

    if (init_resources()) {
        glutDisplayFunc(display);
        glutIdleFunc(idle);
        glutMainLoop();
    }
    free_resources();
    return 0;
}
