// What GLUT leaves undone for the current GLX window: the vsync request
// through the swap-control extensions, a UTF-8 window title, the GL's
// identity, and waiting on the window's X connection.
#pragma once

#include <csignal>
#include <cstdint>
#include <string>

// Whether the screen of the current context offers a GLX swap-control
// extension. Needs a current context.
bool swap_control_offered();

// Asks for vsync on or off where the screen offers swap control. Needs a
// current context and an initialised GLEW.
void request_swap_interval(int on);

// Sets the current window's _NET_WM_NAME to `title` as UTF-8.
void set_utf8_window_title(const char *title);

// The current context's renderer, vendor and version strings.
std::string gl_string(unsigned name);

// Sleeps up to `timeout_us` on GLUT's X connection; returns at once when X
// events are waiting, or when a stop signal has set `*stop` or does so
// during the sleep. Timer slack is set to 1 ns on the first call, so the
// sleep ends when asked.
void wait_for_x(uint64_t timeout_us, const volatile sig_atomic_t *stop);

// The current window and the name of its X server, for a second connection to watch.
uint32_t current_window();
const char *current_display_name();
