#include "presentation.h"

const char *mode_name(PresentMode m)
{
    static const char *const names[] = {"copy", "flip", "skip", "suboptimal_copy"};
    return names[m];
}

std::string flags_text(unsigned flags)
{
    static const char *const names[] = {"vsync", "hw_clock", "hw_completion", "zero_copy"};
    std::string text;
    for (unsigned bit = 0; bit < 4; ++bit)
        if (flags & (1u << bit))
            text += (text.empty() ? "" : "|") + std::string(names[bit]);
    return text;
}
