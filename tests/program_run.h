// Runs the built program as a child process and watches its output and window.
#pragma once

#include <X11/Xlib.h>
#include <sys/types.h>

#include <string>
#include <vector>

class ProgramRun {
public:
    // Starts `program args...` in `dir` with `env` added to the environment.
    ProgramRun(const std::vector<std::string> &args, const std::vector<std::string> &env = {},
               const std::string &dir = QUORVEL_DATA_DIR, const std::string &program = QUORVEL_BIN);
    ~ProgramRun();

    // Reads output until standard output holds `needle`; false after `seconds`.
    bool wait_for(const std::string &needle, double seconds);
    // Waits for the program to end by itself; returns its wait status, or -1 on timeout.
    int wait_exit(double seconds);
    // Sends `sig`, waits for the end and returns the wait status.
    int stop(int sig);

    std::string out, err;

private:
    void pump(int timeout_ms);
    pid_t pid_ = -1;
    int status_ = -1;
    int out_fd_ = -1, err_fd_ = -1;
};

// A connection to the X server named by DISPLAY.
class XProbe {
public:
    XProbe();
    ~XProbe();
    // The first top-level window whose title starts with `prefix`, or 0 after `seconds`.
    Window find(const std::string &prefix, double seconds);
    std::string title(Window w);
    // The window's pixels as 0xRRGGBB, row by row; none if it cannot be read.
    std::vector<unsigned> grab(Window w, int &width, int &height);
    void resize(Window w, int width, int height);

    Display *dpy = nullptr;
};
