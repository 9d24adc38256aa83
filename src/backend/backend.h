// The window system behind one small seam. The frame pipeline owns the
// loop's logic: each pass pumps the backend's events, asks whether a frame
// may be drawn and paces; it draws and swaps when asked. A backend paces
// nothing, and what it has to say comes back as values. One whose toolkit
// must run its own main loop (GLUT) runs the pipeline's passes under it.
#pragma once

#include <csignal>
#include <cstdint>
#include <vector>

#include "presentation.h"
#include "press.h"
#include "window_system.h"

struct WindowRequest {
    int x, y, width, height;
    const char *title;
    char *program;                  // the invocation name
    std::vector<char *> options;    // this window system's own command-line options
    bool keep_on_screen = false;    // move left as far as the window needs to fit the screen
    double start_limit_s = 0;       // how long the window may take to show; 0 for no limit
    int vsync = 0;                  // the swap interval to ask for, where one can be set
    bool input = false;             // pass key and button presses on the window back
};

// What a pump found.
struct Events {
    bool redraw = false;  // the window system needs a frame drawn, as an expose or a configure does
    bool closed = false;  // the window was closed
    bool lost = false;    // the connection to the display is gone
    std::vector<Press> presses;
};

constexpr uint64_t press_held = UINT64_MAX;

// What a pass of the frame loop leaves to do: nothing until the next pass,
// a frame to draw, or nothing more, the run being over.
enum class Next { pass, draw, end };

// The frame pipeline as the loop sees it.
class FrameLoop {
public:
    // Takes what the window system has sent, ends the run once it is over,
    // and says whether a frame is to be drawn; where none is, does the work
    // that can wait. The pass that ends the run finishes its records, so a
    // window system may take its window down once it returns Next::end.
    virtual Next pass() = 0;
    // Draws a frame, asked for or needed by the window system, unless the
    // run is over; then the work that can wait, as far from the next frame
    // as it can be.
    virtual void display() = 0;

protected:
    ~FrameLoop() = default;
};

class Backend {
public:
    virtual ~Backend() = default;

    // Opens the window with an OpenGL context of version 2.0 current, the
    // swap interval asked for and the presentation watched. Returns 0, or
    // the exit status after a message on standard error.
    virtual int open(const WindowRequest &request) = 0;
    // What the window system is, can give, and the summary's words for it.
    virtual DisplayDescription describe() = 0;
    // What it did with the window, as it stands now.
    virtual WindowResults results() = 0;
    // Handles what the window system has sent, first waiting up to
    // `timeout_us` for something to come, unless a stop signal has set
    // `*stop` or does so during the wait.
    virtual Events pump(uint64_t timeout_us, const volatile sig_atomic_t *stop) = 0;
    // Runs `loop` under the window system's own main loop until a pass ends
    // the run; false, running nothing, where the window system needs no
    // loop of its own and the pipeline runs the passes itself.
    virtual bool run(FrameLoop &) { return false; }
    // Frames swapped that the window system has not yet released.
    virtual unsigned in_flight() = 0;
    // Shows the frame drawn; returns its id, from 1 up, which its presents carry.
    virtual uint64_t swap() = 0;
    // The size to draw in, in logical pixels; the viewport covers the whole buffer.
    virtual void size(int &width, int &height) = 0;
    virtual void set_title(const char *title) = 0;
    // Feeds what the display has reported so far.
    virtual void poll_presentation(PresentationFeed &feed) = 0;
    // Presses and releases key `key` (0 to press_keys - 1) on the window
    // while it is viewable and has the keyboard focus; returns the raw tick
    // taken just before the press leaves, press_held when the window cannot
    // take it now, 0 when no press can ever be sent.
    virtual uint64_t inject_press(int key) = 0;
};
