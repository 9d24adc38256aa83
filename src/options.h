// The command line: the pacing interval, the vsync request and the help
// flag, and the settings of the long options that end a run, record it and
// choose the pacing.
#pragma once

#include <cstdint>
#include <vector>

extern int32_t interval;          // microseconds between paced redisplays
extern int vsync_on;              // 1 when -v was given
extern int show_help;             // 1 when -h was given
extern const char *fontfilename;  // set at start-up, opened from the working directory
extern const char short_options[];

enum class Pace { busy, hybrid };

// What the long options ask of a run.
struct Settings {
    bool ok = true;                // false after a message about a bad value
    uint64_t frame_limit = 0;      // --frames: end after this many frames; 0 for no limit
    double duration_limit = 0;     // --duration: end after this many seconds; 0 for no limit
    const char *log_path = nullptr;     // --log: CSV of every frame, or null
    const char *report_path = nullptr;  // --report: JSON figures, or null
    bool summary = false;          // --summary: figures on standard output at the end
    Pace pace = Pace::busy;        // --pace: how the loop waits between frames
    bool qr = false;               // --qr: the tick as a QR code too
    const char *winsys = "auto";   // --winsys: the window system to run on, a word of the backend table
    bool input = false;            // --input: time key and button presses to the frames that answer them
    uint64_t inject = 0;           // --inject: presses to send to the window; 0 for none
    // The window systems' own options, such as GLUT's -display NAME, taken
    // out of the command line in their order: the program's parser would
    // tear them apart.
    std::vector<char *> window_system_args;
};

// Reads -v and -h into vsync_on and show_help, the interval into interval,
// and returns the long options. Echoes the interval argument on standard
// output; a negative or out-of-range interval is reported on standard error
// and replaced. A long option's missing or unusable value gets a line on
// standard error and makes the settings not ok.
Settings parse_options(int argc, char **argv);

// The period injected presses are spread over: the interval, or where it
// is 0, a 60 Hz refresh.
uint64_t press_period_us(int32_t interval_us);

// What the command line asks for instead of a run, each of which is
// answered at once, before any window: --version, --help or --winsys list,
// the first of them given; `run` for none.
enum class Request { run, version, help, list_backends };
Request early_request(int argc, char **argv);

// Prints the usage text on standard output.
void usage(int argc, char **argv);

// Prints the usage text and what it leaves out: the units, the options
// that end at once, and the window systems this build has.
void help(int argc, char **argv);

// The environment entry that asks the GL driver for vsync on or off.
char *vsync_request(int on);

// "busy" or "hybrid".
const char *pace_name(Pace p);
