// What a display says of the window's presents, as the window systems
// report it and the pipeline, the display watch and the log read it: no
// window system, no JSON.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum PresentMode { mode_copy, mode_flip, mode_skip, mode_suboptimal_copy, mode_count };

// What a compositor says of a presentation, with the values of Wayland's
// presentation-time protocol.
enum PresentFlag : unsigned { flag_vsync = 1, flag_hw_clock = 2, flag_hw_completion = 4, flag_zero_copy = 8 };

// "copy", "flip" and so on, as the log and the report name the modes.
const char *mode_name(PresentMode m);
// "vsync|hw_clock" and so on; empty for none.
std::string flags_text(unsigned flags);

// One present of the window, as the display reported it.
struct Presentation {
    uint64_t ust_mono = 0;    // when, in CLOCK_MONOTONIC μs, whatever the display's own clock; 0 for a discard
    uint64_t msc = 0;         // the vblank count; 0 where the display counts none
    PresentMode mode = mode_copy;
    unsigned flags = 0;       // PresentFlag bits
    uint64_t refresh_ns = 0;  // the refresh period the compositor gave; 0 for none
    uint64_t frame_id = 0;    // the id the swap of the frame presented returned; 0 for none of ours
};

// The id of the swap whose serial, cut to 32 bits as X Present carries it,
// is `serial`, the latest swap's id being `latest`: the nearest at or before
// it; 0 for one that would come before the first swap.
inline uint64_t swap_id(uint32_t serial, uint64_t latest)
{
    uint32_t back = uint32_t(latest) - serial;
    return back < latest ? latest - back : 0;
}

// Where the window system's presentation feedback goes.
class PresentationFeed {
public:
    // A vblank of the window's display: its count and its CLOCK_MONOTONIC time.
    virtual void vblank(uint64_t msc, uint64_t ust) = 0;
    // A present of the window, completed or discarded.
    virtual void presented(const Presentation &p) = 0;

protected:
    ~PresentationFeed() = default;
};
