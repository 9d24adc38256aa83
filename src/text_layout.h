// Geometry of the tick text, in normalized device coordinates, with no GL.
#pragma once

#include <array>
#include <cstdint>

// One glyph's quad: four vertices of x, y, s, t in triangle-strip order
// (top-left, top-right, bottom-left, bottom-right), s and t running from the
// bitmap's first pixel (0, 0) to its last (1, 1).
using GlyphQuad = std::array<float, 16>;

// The quad of a bitmap `width` by `rows` pixels whose top-left corner lies
// `left`, `top` bitmap pixels from the pen at (x, y); one bitmap pixel is
// sx by sy in device coordinates.
GlyphQuad glyph_quad(float x, float y, float sx, float sy, int left, int top,
                     unsigned width, unsigned rows);

// The pen step for a 26.6 fixed-point advance: whole pixels only, scaled.
float pen_step(long advance, float scale);

// Device units per bitmap pixel, so that one bitmap pixel covers three
// window pixels along a window side of `window_pixels`.
float pixel_scale(int window_pixels);

// Bitmap pixels from the top edge to the text baseline for frame number
// `frame`: 250, 200, 150, 100, 50, then again from 250.
unsigned text_row(uint64_t frame);

// A rectangle in window pixels, from the window's top-left corner.
struct PixelBox {
    int left, top, width, height;
};

// The white block that marks a frame answering a press: left of the
// digits, which start 24 pixels in, and as tall as they are, in the row
// whose baseline is `row` bitmap pixels down.
PixelBox input_marker_box(unsigned row);
