// The window system behind one small seam: a window with an OpenGL 2.0
// context, its events, its title, swap control and presentation feedback.
// The frame loop and main name no window system; each implementation lives
// in a room of its own.
#pragma once

#include <csignal>
#include <cstdint>
#include <memory>
#include <vector>

#include "input.h"
#include "presentation.h"

struct WindowRequest {
    int x, y, width, height;
    const char *title;
    char *program;                  // the invocation name
    std::vector<char *> options;    // the window system's own command-line options
    bool keep_on_screen = false;    // move left as far as the window needs to fit the screen
    double start_limit_s = 0;       // how long the window may take to show; 0 for no limit
};

// What the window system calls while it runs.
class FrameLoop {
public:
    // There is nothing else to do: pace, and ask for a frame when one is due.
    virtual void idle() = 0;
    // Draw one frame: one was asked for, by the loop or by the window system.
    virtual void display() = 0;
    // A key or a mouse button was pressed on the window, just now: one of
    // the keys injected presses use (0 to press_keys - 1), or user_key.
    virtual void input(int key) = 0;

protected:
    ~FrameLoop() = default;
};

constexpr uint64_t press_held = UINT64_MAX;

class WindowSystem {
public:
    virtual ~WindowSystem() = default;

    // Opens the window with an OpenGL context of version 2.0 current.
    // Returns 0, or the exit status after a message on standard error.
    virtual int open(const WindowRequest &request) = 0;
    // Calls the loop until leave(), until the window is closed, or until the
    // connection is lost. X11 ends the process through exit(1) then, from
    // inside Xlib, so that only atexit handlers can still finish the records.
    virtual void run(FrameLoop &loop) = 0;
    virtual bool connection_lost() = 0;
    virtual void redisplay() = 0;
    virtual void leave() = 0;

    virtual void swap() = 0;
    virtual void set_title(const char *title) = 0;
    // The size to draw in, in logical pixels; the viewport covers the whole buffer.
    virtual void size(int &width, int &height) = 0;
    // Sleeps up to `timeout_us`; returns at once when events are waiting, or
    // when a stop signal has set `*stop` or does so during the sleep.
    virtual void wait(uint64_t timeout_us, const volatile sig_atomic_t *stop) = 0;

    // Whether the display offers to set the swap interval; asks for vsync
    // on or off where it does.
    virtual bool swap_control_offered() = 0;
    virtual void request_swap_interval(int on) = 0;

    // Starts watching the window's presentation; then feeds what the display
    // has reported to `feed`, and tells whether presents may still come.
    virtual void watch_presentation() = 0;
    virtual void poll_presentation(PresentationFeed &feed) = 0;
    virtual bool presents_may_come() = 0;
    // What the display is, as far as it can be told before any frame.
    virtual DisplayIdentity identity() = 0;

    // Passes the window's key and button presses to the loop from now on.
    virtual void listen_for_input() = 0;
    // Presses and releases key `key` (0 to press_keys - 1) on the window
    // while it is viewable and has the keyboard focus; returns the raw tick
    // taken just before the press leaves for the server, press_held when
    // the window cannot take it now, 0 when no press can ever be sent.
    virtual uint64_t inject_press(int key) = 0;
};

// X11 through GLUT, GLX and xcb-present.
std::unique_ptr<WindowSystem> x11_window_system();
// Wayland through xdg-shell, EGL and presentation-time.
std::unique_ptr<WindowSystem> wayland_window_system();
