// The QR code of --qr, with no GL: what it holds, its bitmap and its place.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

constexpr int qr_module_px = 4;   // window pixels a module
constexpr int qr_quiet = 4;       // light modules round the code, as readers expect
constexpr int qr_version = 2;     // 25 modules: room for any tick and frame up to 12 digits
// Window pixels between the code, quiet zone included, and the window's top
// and right edges: a tilted camera cuts into a window's edges first. Up to
// this, the code stays clear of a 14-digit tick's digits.
constexpr int qr_margin_px = 32;
// Window pixels added to the right of the text for the code to sit in: the
// digits, 81 pixels apart, end left of it up to a 14-digit tick (three years
// of uptime).
constexpr int qr_column_px = 300;

// "TICK FRAME" in decimal, as the code holds it.
std::string qr_text(uint64_t tick, uint64_t frame);

// A coverage bitmap, one byte a module, rows top first: 0 for a dark module
// and 255 for a light one, quiet zone included. `dark(x, y)` tells a module
// of the `modules`-wide code.
template <typename Dark>
std::vector<uint8_t> qr_bitmap(int modules, Dark dark)
{
    int side = modules + 2 * qr_quiet;
    std::vector<uint8_t> bitmap(size_t(side) * size_t(side), 255);
    for (int y = 0; y < modules; ++y)
        for (int x = 0; x < modules; ++x)
            if (dark(x, y))
                bitmap[size_t(y + qr_quiet) * size_t(side) + size_t(x + qr_quiet)] = 0;
    return bitmap;
}

// The left edge, in window pixels, of a code `side` modules wide in the top
// right corner of a window `window_width` pixels wide, the margin apart.
int qr_left_px(int window_width, int side);
