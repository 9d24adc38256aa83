// What a window system tells of itself once the window is open, in three
// parts: what it and its server are, what it can give, and the summary's
// words for it; and what it did with the window, asked again at the end.
// The pipeline, the display watch and the figures read these, never its name.
#pragma once

#include <optional>
#include <string>
#include <vector>

// How a window system tells what the display did with the frames.
enum class Feedback {
    none,          // nothing at all
    vblank_clock,  // a vblank clock to phase the swaps against, and presents where the driver uses it (X Present)
    per_frame,     // the display's word on every frame: presented when and how, or discarded
};

// The server and its output as the window system tells them, for the
// report's fingerprint: what makes two runs comparable or not.
struct ServerFacts {
    std::string version;               // the X server's vendor and release; empty where not told
    std::vector<std::string> globals;  // the globals a Wayland compositor offered
    std::string output;                // the output's name, where told
    int width = 0, height = 0;         // the output's size in pixels; 0 where not told
};

// What the window system and its server are.
struct DisplayIdentity {
    std::string window_system;       // the --winsys word, or what the server turned out to be (xwayland)
    std::string server;              // Xvfb, Xwayland, or the compositor as its globals tell it
    std::string presentation_clock;  // the clock of the presentation times, where announced
    double output_refresh_hz = 0;    // the output's current mode, where the server tells; 0 unknown
    bool software_clock = false;     // the server's vblank clock is known to be a software timer
    ServerFacts facts;
};

// What the window system can give, each on its own.
struct DisplayCapabilities {
    Feedback feedback = Feedback::none;
    // The per-frame feedback's sequence is meant to count refresh cycles,
    // so the run checks whether it did, and counts missed cycles by it if so.
    bool refresh_sequence = false;
    // Frames swapped and not yet released that make the next one wait: the
    // swap would otherwise block inside the driver for as long as the
    // window system holds its buffers. 0 for no such wait.
    unsigned in_flight_limit = 0;
    bool swap_control = false;       // the swap interval can be set: vsync asked for where it counts
    bool tearing_control = false;    // frames may be presented without waiting for vsync, where asked
    std::string inject_refusal;      // why presses cannot be injected here; empty where they can
};

// How the summary speaks of the window system.
struct DisplayWording {
    bool named = false;              // the summary names the window system
    std::string note;                // a caveat it gives with the name, or empty
    bool tells_clock = false;        // without a caveat, it says whether the clock is a hardware one
    std::string feedback_source;     // what the refresh and the presents come from
    std::string no_presents = "none reported";  // its words where no present came
};

struct DisplayDescription {
    DisplayIdentity identity;
    DisplayCapabilities can;
    DisplayWording words;
};

// What the window system did with the window, as it stands at the end of
// the run; unset where it has no such thing.
struct WindowResults {
    std::optional<double> buffer_scale;  // buffer pixels per logical pixel, as last drawn
    std::optional<bool> tearing_hint;    // vsync off asked the display to present without waiting
};
