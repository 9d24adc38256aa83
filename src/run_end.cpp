#include "run_end.h"

#include <sys/resource.h>

#include "display_watch.h"
#include "frame_stats.h"
#include "options.h"

volatile sig_atomic_t stop_signal = 0;

static void on_stop_signal(int sig)
{
    stop_signal = sig;
}

void catch_stop_signals()
{
    struct sigaction action = {};
    action.sa_handler = on_stop_signal;
    action.sa_flags = SA_RESETHAND;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

void end_by_signal()
{
    signal(stop_signal, SIG_DFL);
    raise(stop_signal);
}

static double cpu_seconds(int who)
{
    struct rusage usage = {};
    getrusage(who, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

RunFigures gather_figures(const GlIdentity &gl)
{
    RunFigures r;
    r.interval_us = interval;
    r.vsync_requested = vsync_on;
    r.pace = pace_name(pace);
    r.frames = frame_figures;
    r.display = display_figures(frame_figures, interval);
    r.display.swap_control = gl.swap_control;
    r.gl_renderer = gl.renderer;
    r.gl_vendor = gl.vendor;
    r.gl_version = gl.version;
    r.cpu_main_thread_s = cpu_seconds(RUSAGE_THREAD);
    r.cpu_process_s = cpu_seconds(RUSAGE_SELF);
    return r;
}
