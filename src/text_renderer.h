// Draws the frame's tick text with FreeType glyphs through the text shader.
#pragma once

#include "text_layout.h"

// Opens the font and builds the shader program and vertex buffer.
// Returns 1 on success, 0 after printing why it failed.
int init_resources();

// Draws `text` with its first glyph's origin at (x, y) in device
// coordinates, one bitmap pixel being sx by sy.
void render_text(const char *text, float x, float y, float sx, float sy);

// Draws a coverage bitmap `side` pixels square with its top-left corner at
// (x, y), sharp-edged, in the text colour.
void render_square(const unsigned char *pixels, unsigned side, float x, float y, float sx, float sy);

// Clears a window `width` by `height` pixels and draws the current frame's
// tick in its row.
void draw_tick_text(int width, int height);

// Draws the white block beside the current frame's tick that marks an
// answer to a key or button press.
void draw_input_marker(int width, int height);

// Clears `box`, in logical pixels from the top left of a `width` x `height`
// window, to grey level `grey`, whatever the buffer's scale.
void clear_box(int width, int height, const PixelBox &box, float grey);

void free_resources();
