// What a display says of the window's presents, and what a window system
// can tell at all, as the window systems report it and the pipeline, the
// display watch and the records read it: no window system, no JSON.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

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

// How a window system tells what the display did with the frames.
enum class Feedback {
    none,          // nothing at all
    vblank_clock,  // a vblank clock to phase the swaps against, and presents where the driver uses it (X Present)
    per_frame,     // the compositor's word on every frame: presented when and how, or discarded
};

// The server and its output as the window system tells them, for the
// report's fingerprint: what makes two runs comparable or not.
struct ServerFacts {
    std::string version;               // the X server's vendor and release; empty where not told
    std::vector<std::string> globals;  // the globals a Wayland compositor offered
    std::string output;                // the output's name, where told
    int width = 0, height = 0;         // the output's size in pixels; 0 where not told
};

// What the window system is and what it offers, as it can be told before
// any frame; the pipeline, the figures and the records read these, never
// its name.
struct DisplayIdentity {
    std::string window_system;       // the --winsys word, or what the server turned out to be (xwayland)
    std::string server;              // Xvfb, Xwayland, or the compositor as its globals tell it
    bool named_in_summary = false;   // the summary names the window system and what it can tell
    std::string note;                // a caveat the summary gives with that name, or empty
    Feedback feedback = Feedback::none;
    std::string feedback_source;     // what the refresh and the presents come from, in the summary's words
    std::string no_presents = "none reported";  // the summary's words where no present came
    // Frames swapped and not yet released that make the next one wait: the
    // swap would otherwise block inside the driver for as long as the
    // window system holds its buffers. 0 for no such wait.
    unsigned in_flight_limit = 0;
    bool swap_interval = false;      // the swap interval can be set: vsync asked for where it counts
    std::string presentation_clock;  // the clock of the presentation times, where announced
    std::string inject_refusal;      // why presses cannot be injected here; empty where they can
    // A compositor scales the window, may be asked not to wait for vsync,
    // and flags its own clock: the summary and the report say what it did.
    bool compositor = false;
    int hardware_clock = -1;         // -1 unknown until feedback says, 0 no, 1 yes
    double output_refresh_hz = 0;    // the output's current mode, where the window system tells; 0 unknown
    double buffer_scale = 1;         // buffer pixels per logical pixel, as last drawn
    bool tearing_control = false;    // the compositor offers to present without waiting for vsync
    bool tearing_hint = false;       // vsync off asked the compositor for async presentation
    ServerFacts facts;
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
