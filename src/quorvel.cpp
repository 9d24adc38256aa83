// quorvel: redraws the raw monotonic tick at a fixed pace and reports how
// evenly the frames arrive. This unit holds main() and the GLUT callbacks.
#include <GL/glew.h>
#include <GL/freeglut.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "clock.h"
#include "data_files.h"

#include "display_watch.h"
#include "fps_title.h"
#include "frame_stats.h"
#include "glx_window.h"
#include "options.h"
#include "pacing.h"
#include "qr_code.h"
#include "qr_layout.h"
#include "record.h"
#include "run_end.h"
#include "stopwatch.h"
#include "text_renderer.h"

// Times every display cycle for the title's Elapsed figure.
static StopWatchInterface *timer = nullptr;

static GlIdentity gl;

// The hybrid pace wakes this long before a frame is due and polls the clock
// for the rest. Measured on a loaded two-core machine: a sleep wakes up to
// about this late at p99; a longer margin spins long enough to take the
// cores from the X server and the driver's threads, and frames come later.
static const uint64_t hybrid_margin_us = 300;

// Sleeps on the X connection until shortly before the next event or the
// records' next deadline, then polls the clock up to it. X events or a
// signal cut the sleep short so that GLUT can handle them at once.
static void wait_for_next_event()
{
    uint64_t wake = std::min(next_event_tick(totalcount), record_deadline());
    uint64_t now = getsystemtick();
    if (uint64_t budget = sleep_budget(now, wake, hybrid_margin_us)) {
        wait_for_x(budget, &stop_signal);
        now = getsystemtick();
        if (sleep_budget(now, wake, hybrid_margin_us))
            return;
    }
    while (now < wake && !stop_signal)
        now = getsystemtick();
}

// With the busy pace, GLUT calls this whenever it has no events, so pacing is
// as fine as the clock and costs one core.
static void idle()
{
    if (pace == Pace::hybrid)
        wait_for_next_event();
    uint64_t now = getsystemtick();
    if (now >= record_deadline()) {
        watch_events();
        record_catch_up(now);
    }
    if (stop_signal || run_over(totalcount, now))
        glutLeaveMainLoop();
    else if (redisplay_due(now))
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
    uint64_t start = getsystemtick();
    begin_frame(start);
    draw_tick_text();
    if (qr_on)
        draw_tick_qr(start, totalcount + 1);
    glutSwapBuffers();
    uint64_t swap_end = getsystemtick();
    uint64_t swap_end_mono = monotonic_us();
    end_frame(swap_end);
    watch_stdout();
    record_frame(totalcount, start, swap_end, swap_end_mono, watching_presents());
    watch_frame(swap_end_mono, totalcount > warmup_frames + 1);
    sdkStopTimer(&timer);
    computeFPS();
}

// Runs when the process exits from inside a library, as Xlib does when the
// X server goes away, so that the records still hold every finished frame.
static void finish_at_exit()
{
    finish_records(gather_figures(gl));
}

static void open_window(char *program)
{
    std::vector<char *> args{program};
    args.insert(args.end(), window_system_args.begin(), window_system_args.end());
    int count = static_cast<int>(args.size());
    args.push_back(nullptr);
    glutInit(&count, args.data());
    // Closing the window ends the run like any other end, records and all.
    glutSetOption(GLUT_ACTION_ON_WINDOW_CLOSE, GLUT_ACTION_GLUTMAINLOOP_RETURNS);
    glutInitContextVersion(2, 0);
    glutInitDisplayMode(GLUT_RGBA | GLUT_DOUBLE);
    glutInitWindowPosition(400, 30);
    // The code gets a column of its own, right of where the longest ticks end.
    glutInitWindowSize(1024 + (qr_on ? qr_column_px : 0), 800);
    glutCreateWindow("High Resolution Timer");
}

static int check_gl()
{
    GLenum err = glewInit();
    if (err != GLEW_OK) {
        fprintf(stderr, "Error: %s\n", reinterpret_cast<const char *>(glewGetErrorString(err)));
        return 1;
    }
    if (!GLEW_VERSION_2_0) {
        fprintf(stderr, "No support for OpenGL 2.0 found\n");
        return 1;
    }
    gl = {gl_string(GL_RENDERER), gl_string(GL_VENDOR), gl_string(GL_VERSION), swap_control_offered()};
    return 0;
}

int main(int argc, char **argv)
{
    // Line buffering keeps every finished statistics line when a pipe or file
    // reader stops the run with a signal, the usual way to end it.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    guard_standard_streams();
    catch_stop_signals();
    if (version_requested(argc, argv)) {
        printf("quorvel %s\n", QUORVEL_VERSION);
        return finish_stdout() ? 0 : 1;
    }
    // Each write to standard output is checked before errno can change.
    printf("\nquorvel is running...\n");
    watch_stdout();
    bool parsed = parse_options(argc, argv);
    watch_stdout();
    if (!parsed || !open_records())
        return 2;
    atexit(finish_at_exit);
    // The driver reads this when the context is made, so it must come first.
    putenv(vsync_request(vsync_on));
    if (show_help)
        usage(argc, argv);
    watch_stdout();
    open_window(argv[0]);
    static const std::string font = data_file("FreeSans.ttf");
    fontfilename = font.c_str();
    if (int status = check_gl())
        return status;
    request_swap_interval(vsync_on);
    watch_display(current_display_name(), current_window());
    sdkCreateTimer(&timer);

    if (init_resources()) {
        glutDisplayFunc(display);
        glutIdleFunc(idle);
        start_run(getsystemtick());
        glutMainLoop();
    }
    bool written = finish_records(gather_figures(gl));
    written = finish_stdout() && written;
    free_resources();
    if (stop_signal)
        end_by_signal();
    return written ? 0 : 1;
}
