#include "options.h"

#include <getopt.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "backend/table.h"
#include "frame.h"

int32_t interval = 100000;
int vsync_on = 0;
int show_help = 0;
const char *fontfilename = nullptr;
const char short_options[] = "vh";

namespace {

// getopt_long's codes for the long options, out of the range of letters.
enum { opt_frames = 256, opt_duration, opt_log, opt_report, opt_summary, opt_pace, opt_qr, opt_winsys, opt_input,
       opt_inject, opt_version, opt_help };

const struct option long_options[] = {
    {"frames", required_argument, nullptr, opt_frames},
    {"duration", required_argument, nullptr, opt_duration},
    {"log", required_argument, nullptr, opt_log},
    {"report", required_argument, nullptr, opt_report},
    {"summary", no_argument, nullptr, opt_summary},
    {"pace", required_argument, nullptr, opt_pace},
    {"qr", no_argument, nullptr, opt_qr},
    {"winsys", required_argument, nullptr, opt_winsys},
    {"input", no_argument, nullptr, opt_input},
    {"inject", required_argument, nullptr, opt_inject},
    {"version", no_argument, nullptr, opt_version},
    {"help", no_argument, nullptr, opt_help},
    {nullptr, 0, nullptr, 0},
};

const char *long_name(int code)
{
    for (const struct option *o = long_options; o->name; ++o)
        if (o->val == code)
            return o->name;
    return "?";
}

// The interval reads like "%d" (leading integer, the rest ignored, no integer
// means no change), but without "%d"'s undefined behaviour on overflow.
void read_interval(const char *arg)
{
    char *end;
    errno = 0;
    long long value = strtoll(arg, &end, 10);
    bool out_of_range = errno == ERANGE;
    printf("interval:%s\n", arg);
    if (end == arg)
        return;
    if (value < 0) {
        // Added to an unsigned tick, a negative interval wraps and no frame is ever paced.
        fprintf(stderr, "quorvel: interval %s is negative; using 0\n", arg);
        value = 0;
    } else if (value > INT32_MAX || out_of_range) {
        fprintf(stderr, "quorvel: interval %s is too large; using %d\n", arg, INT32_MAX);
        value = INT32_MAX;
    }
    interval = static_cast<int32_t>(value);
}

bool bad_value(int code, const char *arg, const char *wanted)
{
    fprintf(stderr, "quorvel: --%s needs %s, not '%s'\n", long_name(code), wanted, arg);
    return false;
}

// Unlike the interval, long option values must be whole and well formed.
bool read_count(int code, const char *arg, uint64_t &count, const char *wanted)
{
    char *end;
    errno = 0;
    unsigned long long value = strtoull(arg, &end, 10);
    if (!isdigit(static_cast<unsigned char>(arg[0])) || *end || errno == ERANGE || value == 0)
        return bad_value(code, arg, wanted);
    count = value;
    return true;
}

// The presses come after the warm-up, at most four periods apart, and must
// fit in the run's own limits.
bool check_inject(const Settings &s)
{
    uint64_t frames = warmup_frames + 1 + 4 * s.inject;
    double seconds = double(frames) * double(press_period_us(interval)) / 1e6;
    if (s.frame_limit && s.frame_limit < frames) {
        fprintf(stderr, "quorvel: --inject %llu needs --frames of at least %llu\n", (unsigned long long)s.inject,
                (unsigned long long)frames);
        return false;
    }
    if (s.duration_limit > 0 && s.duration_limit < seconds) {
        fprintf(stderr, "quorvel: --inject %llu needs --duration of at least %.3f at this interval\n",
                (unsigned long long)s.inject, seconds);
        return false;
    }
    return true;
}

bool read_duration(const char *arg, Settings &s)
{
    char *end;
    double value = strtod(arg, &end);
    if (end == arg || *end || !std::isfinite(value) || value <= 0)
        return bad_value(opt_duration, arg, "a number of seconds above 0");
    s.duration_limit = value;
    return true;
}

bool read_pace(const char *arg, Settings &s)
{
    if (strcmp(arg, "busy") == 0)
        s.pace = Pace::busy;
    else if (strcmp(arg, "hybrid") == 0)
        s.pace = Pace::hybrid;
    else
        return bad_value(opt_pace, arg, "busy or hybrid");
    return true;
}

bool read_winsys(const char *arg, Settings &s)
{
    if (left_out(arg)) {
        fprintf(stderr, "quorvel: --winsys %s: this build was made without %s\n", arg, arg);
        return false;
    }
    if (!choose_backend(arg, [](const char *) { return nullptr; }))
        return bad_value(opt_winsys, arg, backend_words(", ", " or ").c_str());
    s.winsys = arg;
    return true;
}

bool read_option(int c, const char *arg, Settings &s)
{
    switch (c) {
    case 'h': show_help = 1; return true;
    case 'v': vsync_on = 1; return true;
    case opt_frames: return read_count(opt_frames, arg, s.frame_limit, "a whole number of frames above 0");
    case opt_duration: return read_duration(arg, s);
    case opt_log: s.log_path = arg; return true;
    case opt_report: s.report_path = arg; return true;
    case opt_summary: s.summary = true; return true;
    case opt_pace: return read_pace(arg, s);
    case opt_qr: s.qr = true; return true;
    case opt_winsys: return read_winsys(arg, s);
    case opt_input: s.input = true; return true;
    case opt_inject: return read_count(opt_inject, arg, s.inject, "a whole number of presses above 0");
    case ':':
        fprintf(stderr, "quorvel: --%s needs a value\n", long_name(optopt));
        return false;
    default: return true;  // unknown options are ignored, as they always were; --version and --help come first
    }
}

// The command line without the window systems' options, which go to window_system_args.
std::vector<char *> program_args(int argc, char **argv, std::vector<char *> &window_system_args)
{
    std::vector<char *> args{argv[0]};
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--") == 0) {
            args.insert(args.end(), argv + i, argv + argc);
            break;
        }
        int words = option_words(argv[i]);
        if (words && i + words <= argc)
            window_system_args.insert(window_system_args.end(), argv + i, argv + i + words), i += words - 1;
        else
            args.push_back(argv[i]);
    }
    args.push_back(nullptr);
    return args;
}

// The next option of `args`, as getopt_long gives it; -1 after the last.
// A fresh scan starts with `first`.
int next_option(std::vector<char *> &args, bool first)
{
    // A leading ':' makes a missing value its own case instead of an unknown option.
    static const std::string letters = std::string(":") + short_options;
    opterr = 0;
    if (first)
        optind = 0;  // glibc starts a fresh scan at 0, so a second parse sees every argument
    return getopt_long(int(args.size()) - 1, args.data(), letters.c_str(), long_options, nullptr);
}

}  // namespace

Settings parse_options(int argc, char **argv)
{
    Settings s;
    std::vector<char *> args = program_args(argc, argv, s.window_system_args);
    for (int c = next_option(args, true); c != -1; c = next_option(args, false))
        s.ok = read_option(c, optarg, s) && s.ok;
    if (optind + 2 == int(args.size()))
        read_interval(args[size_t(optind)]);
    s.input = s.input || s.inject;
    s.ok = s.ok && (!s.inject || check_inject(s));
    return s;
}

Request early_request(int argc, char **argv)
{
    // Read as the run's options are, so that "--log --help" names a log and "--he" asks for help.
    std::vector<char *> taken;
    std::vector<char *> args = program_args(argc, argv, taken);
    for (int c = next_option(args, true); c != -1; c = next_option(args, false)) {
        if (c == opt_version)
            return Request::version;
        if (c == opt_help)
            return Request::help;
        if (c == opt_winsys && strcmp(optarg, "list") == 0)
            return Request::list_backends;
    }
    return Request::run;
}

void usage(int, char **argv)
{
    printf("Usage: %s [-%s] [interval]\n", argv[0], short_options);
    printf("    -v: enable vsync on.\n");
    printf("    -h: show usage.\n");
    printf("Example:\n");
    printf("Set Interval 5000\u03bcs and vsync on: quorvel -v 5000\n");
    printf("Set Interval 5000\u03bcs and vsync off: quorvel 5000\n");
    printf("Long options:\n");
    printf("    --frames N: end the run after N frames.\n");
    printf("    --duration SECONDS: end the run after SECONDS seconds.\n");
    printf("    --log FILE: write a CSV row for every frame to FILE.\n");
    printf("    --summary: print the run's figures when it ends.\n");
    printf("    --report FILE: write the run's figures as JSON to FILE.\n");
    printf("    --pace busy|hybrid: poll the clock, or sleep and then poll (default busy).\n");
    printf("    --qr: also draw the tick and the frame number as a QR code.\n");
    printf("    --winsys %s: the window system (default auto: the first whose session the environment names).\n",
           backend_words("|", "|").c_str());
    printf("    --input: time key and button presses to the frame that answers them.\n");
    printf("    --inject N: send N key presses to the window and time them (implies --input).\n");
    printf("    --version: print the version and end.\n");
}

void help(int argc, char **argv)
{
    usage(argc, argv);
    printf("    --help: print this text and end.\n");
    printf("    --winsys list: print this build's window systems as JSON and end.\n");
    printf("The interval is in microseconds (\u03bcs), 100000 by default; 0 draws as fast as the stack allows.\n");
    std::string rows;
    for (const BackendRow &row : backend_table()) {
        std::string options;
        for (const RowOption &option : row.options)
            options += (options.empty() ? " (its own options: " : ", ") + option_text(option);
        rows += (rows.empty() ? " " : ", ") + std::string(row.name) + options + (options.empty() ? "" : ")");
    }
    printf("Window systems in this build:%s.\n", rows.c_str());
    if (*left_out_backends())
        printf("Left out of this build: %s.\n", left_out_backends());
}

char *vsync_request(int on)
{
    // putenv keeps the string itself, so it must outlive the process's use of it.
    static char sync_on[] = "__GL_SYNC_TO_VBLANK=1";
    static char sync_off[] = "__GL_SYNC_TO_VBLANK=0";
    return on ? sync_on : sync_off;
}

uint64_t press_period_us(int32_t interval_us)
{
    return interval_us > 0 ? uint64_t(interval_us) : 16667;
}

const char *pace_name(Pace p)
{
    return p == Pace::hybrid ? "hybrid" : "busy";
}
