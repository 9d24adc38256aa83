// What GLUT leaves undone for the current GLX window: the vsync request
// through the swap-control extensions and a UTF-8 window title.
#pragma once

// Asks for vsync on or off. Needs a current context and an initialised GLEW;
// does nothing where neither GLX_EXT_swap_control nor GLX_MESA_swap_control
// is offered.
void request_swap_interval(int on);

// Sets the current window's _NET_WM_NAME to `title` as UTF-8.
void set_utf8_window_title(const char *title);
