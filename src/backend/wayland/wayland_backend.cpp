// Wayland: an xdg-shell toplevel with an EGL window surface and a desktop
// OpenGL context, and the compositor's own presentation feedback for every
// frame. This room orders the others: the connection, the surface and its
// scale, the toplevel, the feedback and its gate, and the seat.
#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <unistd.h>
#include <wayland-client.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "backend/backend.h"
#include "backend/egl_context.h"
#include "backend/wayland/connection.h"
#include "backend/wayland/feedback.h"
#include "backend/wayland/seat.h"
#include "backend/wayland/surface.h"
#include "backend/wayland/toplevel.h"
#include "stop.h"
#include "tearing-control-v1-client-protocol.h"

std::string wayland_inject_refusal();

namespace {

const char *clock_text(clockid_t clock)
{
    switch (clock) {
    case CLOCK_MONOTONIC: return "CLOCK_MONOTONIC";
    case CLOCK_MONOTONIC_RAW: return "CLOCK_MONOTONIC_RAW";
    case CLOCK_REALTIME: return "CLOCK_REALTIME";
    case CLOCK_BOOTTIME: return "CLOCK_BOOTTIME";
    default: return "unknown";
    }
}

class WaylandBackend final : public Backend {
public:
    int open(const WindowRequest &request) override;
    DisplayDescription describe() override;
    WindowResults results() override { return {surface_.scale(), tearing_hint_}; }
    Events pump(uint64_t timeout_us, const volatile sig_atomic_t *stop) override;
    unsigned in_flight() override { return feedback_.in_flight(); }
    uint64_t swap() override;
    void size(int &width, int &height) override
    {
        width = surface_.logical_width();
        height = surface_.logical_height();
    }
    // Reaches the compositor with the next frame's commit, never by a commit of its own.
    void set_title(const char *title) override { pending_title_ = title; }
    void poll_presentation(PresentationFeed &feed) override
    {
        connection_.pump(0, nullptr);
        feedback_.drain(feed);
    }
    // XTest has no Wayland counterpart; the program refuses --inject here before any window.
    uint64_t inject_press(int) override { return 0; }

private:
    void request_swap_interval(int on);

    // Destroyed in the reverse order: EGL before its window, the toplevel
    // before the surface, the connection last.
    WaylandConnection connection_;
    WaylandSurface surface_;
    Toplevel toplevel_;
    FrameFeedback feedback_;
    WaylandSeat seat_;
    EglContext egl_;
    bool swap_control_ = false, tearing_hint_ = false;
    uint64_t swaps_ = 0;
    std::string pending_title_;
};

int WaylandBackend::open(const WindowRequest &r)
{
    if (int status = connection_.open(r.start_limit_s))
        return status;
    surface_.create(connection_);
    surface_.apply_size(r.width, r.height);
    // libdecor's set-up makes round trips of its own, which no signal ends; a
    // round trip of the program's, bounded, goes first, so that a compositor
    // frozen already is found there. So does EGL's, after the configure.
    if (!connection_.roundtrip())
        return 1;
    if (!toplevel_.create(connection_, surface_, r.title) ||
        !connection_.wait_for_start([this] { return toplevel_.configured() || toplevel_.closed(); }) ||
        !connection_.roundtrip())
        return 1;
    if (int status = egl_.open(EGL_PLATFORM_WAYLAND_KHR, connection_.display, surface_.egl_window(), 0, 0))
        return status;
    swap_control_ = egl_.swap_control_offered();
    request_swap_interval(r.vsync);
    feedback_.start(connection_, surface_.surface(), r.vsync);
    if (r.input)
        seat_.listen(connection_, surface_.surface());
    return 0;
}

// Without vsync, a compositor that offers tearing control is asked to show
// each frame at once, tearing or not; the hint goes with the first frame.
void WaylandBackend::request_swap_interval(int on)
{
    egl_.swap_interval(on);
    if (!on && connection_.tearing_manager) {
        wp_tearing_control_v1_set_presentation_hint(
            wp_tearing_control_manager_v1_get_tearing_control(connection_.tearing_manager, surface_.surface()),
            WP_TEARING_CONTROL_V1_PRESENTATION_HINT_ASYNC);
        tearing_hint_ = true;
    }
}

Events WaylandBackend::pump(uint64_t timeout_us, const volatile sig_atomic_t *stop)
{
    if (timeout_us)
        sleep_unless_stopped(stop, [&](const sigset_t *mask) { connection_.pump(timeout_us, mask); });
    else
        connection_.pump(0, nullptr);
    Events events;
    bool configured = toplevel_.take_configure(), rescaled = surface_.take_scale_change();
    events.redraw = configured || rescaled;
    events.closed = toplevel_.closed();
    events.lost = connection_.lost();
    events.presses = seat_.take();
    return events;
}

uint64_t WaylandBackend::swap()
{
    // A title bar that libdecor redraws commits through the same commit.
    if (!pending_title_.empty()) {
        toplevel_.set_title(pending_title_.c_str());
        pending_title_.clear();
    }
    feedback_.before_swap(++swaps_);
    bool swapped = egl_.swap();
    feedback_.after_swap(swapped);
    if (!swapped)
        connection_.check_error();
    return swaps_;
}

// Whether or not the compositor gives feedback, its sequence would be
// meant to count refresh cycles, and the summary says what it flags of its clock.
DisplayDescription WaylandBackend::describe()
{
    DisplayDescription d;
    d.identity.window_system = "wayland";
    d.identity.server = connection_.server;
    d.identity.presentation_clock = connection_.clock_announced ? clock_text(connection_.clock) : "";
    d.identity.output_refresh_hz = connection_.refresh_mhz / 1000.0;
    d.identity.facts.globals = connection_.globals;
    d.identity.facts.width = connection_.width, d.identity.facts.height = connection_.height;
    d.can.feedback = connection_.presentation ? Feedback::per_frame : Feedback::none;
    d.can.refresh_sequence = true;
    d.can.in_flight_limit = 1;
    d.can.swap_control = swap_control_;
    d.can.tearing_control = connection_.tearing_manager != nullptr;
    d.can.inject_refusal = wayland_inject_refusal();
    d.words.named = d.words.tells_clock = true;
    d.words.feedback_source = "Wayland compositor, wp_presentation";
    d.words.no_presents = connection_.presentation
                              ? "none reported by the compositor for this window"
                              : "none: the compositor gives no presentation feedback (no wp_presentation)";
    return d;
}

}  // namespace

// XTest has no Wayland counterpart; presses would have to come from a
// uinput device, which is not built yet. What is missing, in one line.
std::string wayland_inject_refusal()
{
    if (access("/dev/uinput", W_OK) != 0)
        return std::string("--inject on Wayland needs a writable /dev/uinput: ") + strerror(errno);
    return "--inject on Wayland needs a uinput keyboard, which this build does not make";
}

std::unique_ptr<Backend> wayland_backend()
{
    return std::make_unique<WaylandBackend>();
}
