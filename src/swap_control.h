// Asks the GL for vsync on or off through the GLX swap-control extensions.
#pragma once

// Needs a current context and an initialised GLEW. Does nothing where
// neither GLX_EXT_swap_control nor GLX_MESA_swap_control is offered.
void request_swap_interval(int on);
