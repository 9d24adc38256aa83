// Command-line settings: the pacing interval, the vsync request and the help flag.
#pragma once

#include <cstdint>

extern int32_t interval;          // microseconds between paced redisplays
extern int vsync_on;              // 1 when -v was given
extern int show_help;             // 1 when -h was given
extern const char *fontfilename;  // set at start-up, opened from the working directory
extern const char short_options[];

// Reads -v, -h and the optional interval. Echoes the interval argument on
// standard output; a negative or out-of-range value is reported on standard
// error and replaced.
void parse_options(int argc, char **argv);

// Prints the usage text on standard output.
void usage(int argc, char **argv);

// The environment entry that asks the GL driver for vsync on or off.
char *vsync_request(int on);
