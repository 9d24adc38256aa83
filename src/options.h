// Command-line settings: the pacing interval, the vsync request and the help
// flag, and the long options that end a run, record it and choose the pacing.
#pragma once

#include <cstdint>
#include <vector>

extern int32_t interval;          // microseconds between paced redisplays
extern int vsync_on;              // 1 when -v was given
extern int show_help;             // 1 when -h was given
extern const char *fontfilename;  // set at start-up, opened from the working directory
extern const char short_options[];

enum class Pace { busy, hybrid };

extern uint64_t frame_limit;      // --frames: end after this many frames; 0 for no limit
extern double duration_limit;     // --duration: end after this many seconds; 0 for no limit
extern const char *log_path;      // --log: CSV of every frame, or null
extern const char *report_path;   // --report: JSON figures, or null
extern int summary_on;            // --summary: figures on standard output at the end
extern Pace pace;                 // --pace: how the idle callback waits
extern int qr_on;                 // --qr: the tick as a QR code too

// GLUT's own options, such as -display NAME, taken out of the command line
// by parse_options in their order, for glutInit: the program's parser would
// otherwise tear them apart.
extern std::vector<char *> window_system_args;

// Reads -v, -h, the long options and the optional interval. Echoes the
// interval argument on standard output; a negative or out-of-range interval
// is reported on standard error and replaced. Returns false after a line on
// standard error when a long option's value is missing or unusable.
bool parse_options(int argc, char **argv);

// Whether the command line asks for the version alone: --version before any "--".
bool version_requested(int argc, char **argv);

// Prints the usage text on standard output.
void usage(int argc, char **argv);

// The environment entry that asks the GL driver for vsync on or off.
char *vsync_request(int on);

// "busy" or "hybrid".
const char *pace_name(Pace p);
