// The connection to a Wayland compositor: its globals and outputs, and the
// reading of what it sends. Every wait before the first frame is bounded by
// the run's time and ended by the first stop signal.
#pragma once

#include <csignal>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

struct wl_compositor;
struct wl_display;
struct wl_output;
struct wl_registry;
struct wp_fractional_scale_manager_v1;
struct wp_presentation;
struct wp_tearing_control_manager_v1;
struct wp_viewporter;

struct WaylandOutput {
    wl_output *output;
    int scale;
};

class WaylandConnection {
public:
    ~WaylandConnection();
    // Connects to the compositor in WAYLAND_DISPLAY and learns its globals
    // and outputs, within `limit_s` seconds (0 for no limit). Returns 0, or
    // the exit status after a message on standard error.
    int open(double limit_s);
    // wl_display_roundtrip, within the start's bounds.
    bool roundtrip();
    // Reads the connection until `done` holds. False, after a line on
    // standard error, when the compositor went away or the start's time ran
    // out first; false, silently, on a stop signal.
    bool wait_for_start(const std::function<bool()> &done);
    // Reads and handles what the compositor has sent, waiting up to
    // `timeout_us` for it; with `mask`, only the stop signals end the wait.
    void pump(uint64_t timeout_us, const sigset_t *mask);
    bool lost() const { return lost_; }
    // Takes a failed request's error as the loss it is.
    void check_error();
    // A global the registry announces: bound where it is of use.
    void global(uint32_t name, const char *interface, uint32_t version);

    // libdecor's plugins expect their own dispatch to read the connection,
    // as the GTK one's main loop runs from there: once set, this reads and
    // handles the events, without a wait; below 0 on an error.
    std::function<int()> dispatch;
    // The outputs' scales changed: the window may need another.
    std::function<void()> outputs_changed;

    wl_display *display = nullptr;
    wl_registry *registry = nullptr;
    wl_compositor *compositor = nullptr;
    uint32_t compositor_version = 1;
    wp_viewporter *viewporter = nullptr;
    wp_fractional_scale_manager_v1 *fractional_manager = nullptr;
    wp_tearing_control_manager_v1 *tearing_manager = nullptr;
    bool wm_base_offered = false;
    wp_presentation *presentation = nullptr;
    clockid_t clock = CLOCK_MONOTONIC;  // of the presentation times, as announced
    bool clock_announced = false;
    uint32_t seat_name = 0;  // the first seat's registry name; bound only to listen for presses
    std::vector<WaylandOutput> outputs;  // every output; the first gives the refresh
    int32_t refresh_mhz = 0;
    std::string server = "unknown compositor";
    std::vector<std::string> globals;  // every interface offered, in the order offered
    int32_t width = 0, height = 0;     // the first output's current mode

private:
    void notice_compositor(const char *interface);

    bool lost_ = false;
    uint64_t start_deadline_us_ = 0;  // CLOCK_MONOTONIC; 0 for none
    double start_limit_s_ = 0;
};
