#include "frame.h"

Frame make_frame(uint64_t number, uint64_t start_us, uint64_t swap_end_us, uint64_t swap_end_mono_us,
                 uint64_t previous_swap_end_us)
{
    Frame f;
    f.number = number;
    f.start_us = start_us;
    f.swap_end_us = swap_end_us;
    f.swap_end_mono_us = swap_end_mono_us;
    f.interval_us = number > 1 ? swap_end_us - previous_swap_end_us : 0;
    f.duration_us = swap_end_us - start_us;
    f.measured = number > warmup_frames + 1;
    return f;
}
