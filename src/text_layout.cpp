#include "text_layout.h"

GlyphQuad glyph_quad(float x, float y, float sx, float sy, int left, int top,
                     unsigned width, unsigned rows)
{
    float x2 = x + left * sx;
    float top_y = y + top * sy;
    float right = x2 + width * sx;
    float bottom = top_y - rows * sy;
    return {x2, top_y, 0, 0,  right, top_y, 1, 0,  x2, bottom, 0, 1,  right, bottom, 1, 1};
}

float pen_step(long advance, float scale)
{
    return (advance >> 6) * scale;
}

float pixel_scale(int window_pixels)
{
    return static_cast<float>(6.0 / window_pixels);
}

unsigned text_row(uint64_t frame)
{
    return 250 - 50 * static_cast<unsigned>(frame % 5);
}

PixelBox input_marker_box(unsigned row)
{
    // A digit of the 48-pixel face stands 35 bitmap pixels, 3 window pixels each.
    const int digit_height = 35 * 3;
    return {2, int(row) * 3 - digit_height, 18, digit_height};
}
