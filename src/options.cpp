#include "options.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

int32_t interval = 100000;
int vsync_on = 0;
int show_help = 0;
const char *fontfilename = nullptr;
const char short_options[] = "vh";

// The interval reads like "%d" (leading integer, the rest ignored, no integer
// means no change), but without "%d"'s undefined behaviour on overflow.
static void read_interval(const char *arg)
{
    printf("interval:%s\n", arg);
    char *end;
    errno = 0;
    long long value = strtoll(arg, &end, 10);
    if (end == arg)
        return;
    if (value < 0) {
        // Added to an unsigned tick, a negative interval wraps and no frame is ever paced.
        fprintf(stderr, "quorvel: interval %s is negative; using 0\n", arg);
        value = 0;
    } else if (value > INT32_MAX || errno == ERANGE) {
        fprintf(stderr, "quorvel: interval %s is too large; using %d\n", arg, INT32_MAX);
        value = INT32_MAX;
    }
    interval = static_cast<int32_t>(value);
}

void parse_options(int argc, char **argv)
{
    opterr = 0;
    optind = 0;  // glibc starts a fresh scan at 0, so a second parse sees every argument
    int c;
    while ((c = getopt(argc, argv, short_options)) != -1) {
        if (c == 'h')
            show_help = 1;
        else if (c == 'v')
            vsync_on = 1;
    }
    if (optind + 1 == argc)
        read_interval(argv[optind]);
}

void usage(int, char **argv)
{
    printf("Usage: %s [-%s] [interval]\n", argv[0], short_options);
    printf("    -v: enable vsync on.\n");
    printf("    -h: show usage.\n");
    printf("Example:\n");
    printf("Set Interval 5000\u03bcs and vsync on: quorvel -v 5000\n");
    printf("Set Interval 5000\u03bcs and vsync off: quorvel 5000\n");
}

char *vsync_request(int on)
{
    // putenv keeps the string itself, so it must outlive the process's use of it.
    static char sync_on[] = "__GL_SYNC_TO_VBLANK=1";
    static char sync_off[] = "__GL_SYNC_TO_VBLANK=0";
    return on ? sync_on : sync_off;
}
