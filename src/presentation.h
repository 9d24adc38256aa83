// What a display says of the window's presents, as the window systems report
// it and the display watch takes it in: no window system, no JSON.
#pragma once

#include <cstdint>
#include <string>

enum PresentMode { mode_copy, mode_flip, mode_skip, mode_suboptimal_copy, mode_count };

// What a compositor says of a presentation, with the values of Wayland's
// presentation-time protocol.
enum PresentFlag : unsigned { flag_vsync = 1, flag_hw_clock = 2, flag_hw_completion = 4, flag_zero_copy = 8 };

// One present of the window, as the display reported it.
struct Presentation {
    uint64_t ust_mono = 0;    // when, in CLOCK_MONOTONIC μs, whatever the display's own clock; 0 for a discard
    uint64_t msc = 0;         // the vblank count; 0 where the display counts none
    PresentMode mode = mode_copy;
    unsigned flags = 0;       // PresentFlag bits
    uint64_t refresh_ns = 0;  // the refresh period the compositor gave; 0 for none
    uint64_t frame = 0;       // the frame presented, or its low 32 bits (X's serial); 0 for none
};

// What is known of the display before any frame.
struct DisplayIdentity {
    std::string window_system = "x11";  // x11, xwayland or wayland
    std::string server = "X server";    // Xvfb, Xwayland, or the compositor as its globals tell it
    std::string clock_name = "Present vblank clock";
    std::string presentation_clock;     // the clock of the presentation times, where announced
    bool compositor_feedback = false;   // each frame gets its own feedback
    int hardware_clock = -1;            // -1 unknown until feedback says, 0 no, 1 yes
    double output_refresh_hz = 0;       // the output's current mode, where the window system tells; 0 unknown
    double buffer_scale = 1;            // buffer pixels per logical pixel, as last drawn
    bool tearing_hint = false;          // vsync off asked the compositor for async presentation
};

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
