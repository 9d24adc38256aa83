#include "run_end.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "options.h"

static int stdout_errno = 0;

void guard_standard_streams()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // open takes the lowest free descriptor: this one.
        if (open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY) == fd && fd == 1)
            stdout_errno = EBADF;
    }
}

void watch_stdout()
{
    if (stdout_errno || !ferror(stdout))
        return;
    stdout_errno = errno ? errno : EIO;
    if (stdout_errno == EPIPE && !stop_signal)
        stop_signal = SIGPIPE;
}

void watch_stdout_reader()
{
    struct pollfd fd = {STDOUT_FILENO, 0, 0};
    if (stdout_errno || poll(&fd, 1, 0) != 1 || !(fd.revents & POLLERR))
        return;
    stdout_errno = EPIPE;
    if (!stop_signal)
        stop_signal = SIGPIPE;
}

bool finish_stdout()
{
    if (fflush(stdout) != 0 || ferror(stdout))
        watch_stdout();
    // A reader that took what it wanted and left is no failure worth a line: the process
    // ends by SIGPIPE, as a filter of coreutils does.
    if (stdout_errno && stdout_errno != EPIPE)
        fprintf(stderr, "quorvel: cannot write standard output: %s\n", strerror(stdout_errno));
    return stdout_errno == 0;
}

static double cpu_seconds(int who)
{
    struct rusage usage = {};
    getrusage(who, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

RunFigures gather_figures(const GlIdentity &gl, const char *pace, const FrameFigures &frames,
                          const DisplayFigures &display)
{
    RunFigures r;
    r.interval_us = interval;
    r.vsync_requested = vsync_on;
    r.pace = pace;
    r.frames = frames;
    r.display = display;
    r.gl_renderer = gl.renderer;
    r.gl_vendor = gl.vendor;
    r.gl_version = gl.version;
    r.cpu_main_thread_s = cpu_seconds(RUSAGE_THREAD);
    r.cpu_process_s = cpu_seconds(RUSAGE_SELF);
    return r;
}
