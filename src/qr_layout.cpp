#include "qr_layout.h"

#include <cstdio>

std::string qr_text(uint64_t tick, uint64_t frame)
{
    char text[48];
    snprintf(text, sizeof text, "%llu %llu", (unsigned long long)tick, (unsigned long long)frame);
    return text;
}

int qr_left_px(int window_width, int side)
{
    return window_width - side * qr_module_px - qr_margin_px;
}
