// The Wayland window system: an xdg-shell toplevel with an EGL window
// surface and a desktop OpenGL context, and the compositor's own
// presentation feedback for every frame (wp_presentation).
#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <libdecor.h>
#include <GL/gl.h>
#include <poll.h>
#include <unistd.h>
#include <wayland-client.h>
#include <wayland-egl.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <functional>
#include <string>

#include "clock.h"
#include "fractional-scale-v1-client-protocol.h"
#include "presentation-time-client-protocol.h"
#include "run_end.h"
#include "tearing-control-v1-client-protocol.h"
#include "viewporter-client-protocol.h"
#include "window_system.h"
#include "xdg-shell-client-protocol.h"

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

class WaylandWindowSystem final : public WindowSystem {
public:
    ~WaylandWindowSystem() override;
    int open(const WindowRequest &request) override;
    void run(FrameLoop &loop) override;
    bool connection_lost() override { return lost_; }
    void redisplay() override { redisplay_ = true; }
    void leave() override { leave_ = true; }
    void swap() override;
    // Reaches the compositor with the next frame's commit, never by a commit of its own.
    void set_title(const char *title) override { pending_title_ = title; }
    void size(int &width, int &height) override
    {
        width = logical_width_;
        height = logical_height_;
    }
    void wait(uint64_t timeout_us, const volatile sig_atomic_t *stop) override;
    bool swap_control_offered() override;
    void request_swap_interval(int on) override;
    void watch_presentation() override {}
    void poll_presentation(PresentationFeed &feed) override;
    bool presents_may_come() override { return presentation_ && !lost_; }
    DisplayIdentity identity() override;
    void listen_for_input() override;
    // XTest has no Wayland counterpart; the program refuses --inject here before any window.
    uint64_t inject_press(int) override { return 0; }

private:
    static const wl_registry_listener registry_listener;
    static libdecor_interface *decor_interface();
    static libdecor_frame_interface *frame_interface();
    static const wp_presentation_listener presentation_listener;
    static const wp_presentation_feedback_listener feedback_listener;
    static const wl_seat_listener seat_listener;
    static const wl_callback_listener frame_listener;
    static const wl_callback_listener sync_listener;
    static const wl_surface_listener surface_listener;
    static const wp_fractional_scale_v1_listener fractional_listener;
    static wl_output_listener output_listener();
    static wl_keyboard_listener keyboard_listener();
    static wl_pointer_listener pointer_listener();

    void notice_compositor(const char *interface);
    int open_surface(const WindowRequest &r);
    int open_egl();
    bool wait_for_start(const std::function<bool()> &done);
    bool roundtrip();
    void pump(uint64_t timeout_us, const sigset_t *mask);
    double wanted_scale() const;
    void apply_size(int logical_width, int logical_height);
    void resize(int width, int height);
    void take_presented(uint64_t frame, uint64_t ust, uint64_t refresh_ns, uint64_t seq, unsigned flags);
    bool ready_for_frame() const;

    // Each swap asks for feedback on its own commit, so the feedback names its frame.
    struct FeedbackTag {
        WaylandWindowSystem *self;
        uint64_t frame;
    };
    uint64_t swaps_ = 0;
    // With vsync, frames committed whose wl_surface.frame callback has not
    // come: a compositor that is stalled, or hides the window, sends none.
    // Without, frames whose wl_display.sync has not been answered: one that
    // answers is alive, and releases buffers.
    unsigned frames_in_flight_ = 0, syncs_in_flight_ = 0;
    bool vsync_ = false;
    std::string pending_title_;
    // libdecor asks for commits of the window's surface; once the window is
    // configured, they wait for the next frame's, so that no commit without
    // a buffer can take the place of a frame's and its feedback.
    bool decor_commits_at_once_ = true;
    uint64_t start_deadline_us_ = 0;  // CLOCK_MONOTONIC; 0 for none
    double start_limit_s_ = 0;

    wl_display *display_ = nullptr;
    wl_registry *registry_ = nullptr;
    wl_compositor *compositor_ = nullptr;
    uint32_t compositor_version_ = 1;
    wp_viewporter *viewporter_ = nullptr;
    wp_fractional_scale_manager_v1 *fractional_manager_ = nullptr;
    wp_viewport *viewport_ = nullptr;
    uint32_t fractional_120_ = 0;  // the compositor's preferred scale in 120ths; 0 until it says
    wp_tearing_control_manager_v1 *tearing_manager_ = nullptr;
    bool tearing_hint_ = false;
    bool wm_base_offered_ = false;
    wp_presentation *presentation_ = nullptr;
    wl_surface *surface_ = nullptr;
    uint32_t seat_name_ = 0;  // the first seat's registry name; bound only to listen for presses
    wl_seat *seat_ = nullptr;
    wl_keyboard *keyboard_ = nullptr;
    wl_pointer *pointer_ = nullptr;
    bool keyboard_focus_ = false, pointer_inside_ = false;  // on the window's own surface
    FrameLoop *loop_ = nullptr;
    // The toplevel with its title bar: server-side where the compositor
    // offers it, drawn by libdecor's plugin elsewhere (Mutter, Weston).
    libdecor *decor_ = nullptr;
    libdecor_frame *frame_ = nullptr;
    wl_egl_window *egl_window_ = nullptr;
    EGLDisplay egl_display_ = EGL_NO_DISPLAY;
    EGLContext context_ = EGL_NO_CONTEXT;
    EGLSurface egl_surface_ = EGL_NO_SURFACE;
    EGLConfig config_ = nullptr;

    // The size in buffer pixels, the scale times the compositor's logical
    // size, so that the picture stays sharp on a scaled screen and a buffer
    // can be scanned out as it is. The digits keep their logical size.
    int width_ = 0, height_ = 0, logical_width_ = 0, logical_height_ = 0;
    double scale_ = 1;
    struct Output {
        wl_output *output;
        int scale;
    };
    std::vector<Output> outputs_;         // every output; the first gives the refresh
    std::vector<wl_output *> entered_;    // the outputs the window is on
    int32_t output_refresh_mhz_ = 0;
    std::string server_ = "unknown compositor";
    bool configured_ = false, closed_ = false, lost_ = false, leave_ = false, redisplay_ = false;
    clockid_t clock_ = CLOCK_MONOTONIC;
    bool clock_announced_ = false;
    std::deque<Presentation> reported_;  // feedback waiting for the next poll
};

const wl_registry_listener WaylandWindowSystem::registry_listener = {
    [](void *data, wl_registry *registry, uint32_t name, const char *interface, uint32_t version) {
        auto *self = static_cast<WaylandWindowSystem *>(data);
        self->notice_compositor(interface);
        // Version 3 brings set_buffer_scale, 4 damage_buffer.
        if (strcmp(interface, wl_compositor_interface.name) == 0) {
            self->compositor_version_ = std::min(version, 4u);
            self->compositor_ = static_cast<wl_compositor *>(
                wl_registry_bind(registry, name, &wl_compositor_interface, self->compositor_version_));
        } else if (strcmp(interface, wp_viewporter_interface.name) == 0) {
            self->viewporter_ = static_cast<wp_viewporter *>(wl_registry_bind(registry, name, &wp_viewporter_interface, 1));
        } else if (strcmp(interface, wp_fractional_scale_manager_v1_interface.name) == 0) {
            self->fractional_manager_ = static_cast<wp_fractional_scale_manager_v1 *>(
                wl_registry_bind(registry, name, &wp_fractional_scale_manager_v1_interface, 1));
        } else if (strcmp(interface, wp_tearing_control_manager_v1_interface.name) == 0) {
            self->tearing_manager_ = static_cast<wp_tearing_control_manager_v1 *>(
                wl_registry_bind(registry, name, &wp_tearing_control_manager_v1_interface, 1));
        } else if (strcmp(interface, xdg_wm_base_interface.name) == 0)
            self->wm_base_offered_ = true;  // libdecor binds it
        else if (strcmp(interface, wp_presentation_interface.name) == 0) {
            // The clock is announced at once, so the listener must be there first.
            self->presentation_ = static_cast<wp_presentation *>(wl_registry_bind(registry, name, &wp_presentation_interface, 1));
            wp_presentation_add_listener(self->presentation_, &presentation_listener, self);
        } else if (strcmp(interface, wl_seat_interface.name) == 0 && !self->seat_name_) {
            self->seat_name_ = name;
        } else if (strcmp(interface, wl_output_interface.name) == 0) {
            auto *output = static_cast<wl_output *>(wl_registry_bind(registry, name, &wl_output_interface, 2));
            static const wl_output_listener listener = output_listener();
            wl_output_add_listener(output, &listener, self);
            self->outputs_.push_back({output, 1});
        }
    },
    [](void *, wl_registry *, uint32_t) {},
};

// Compositors name some globals of their own; which one this is, is told by them.
void WaylandWindowSystem::notice_compositor(const char *interface)
{
    static const std::pair<const char *, const char *> own[] = {
        {"weston_", "Weston"}, {"gtk_shell", "Mutter"}, {"org_kde_kwin_", "KWin"}, {"zwlr_", "sway"}};
    for (auto [prefix, name] : own)
        if (strncmp(interface, prefix, strlen(prefix)) == 0)
            server_ = name;
}

// Bound at version 2: no name or description comes.
wl_output_listener WaylandWindowSystem::output_listener()
{
    wl_output_listener l{};
    l.geometry = [](void *, wl_output *, int32_t, int32_t, int32_t, int32_t, int32_t, const char *, const char *,
                    int32_t) {};
    l.mode = [](void *data, wl_output *output, uint32_t flags, int32_t, int32_t, int32_t refresh) {
        auto *self = static_cast<WaylandWindowSystem *>(data);
        if ((flags & WL_OUTPUT_MODE_CURRENT) && output == self->outputs_.front().output)
            self->output_refresh_mhz_ = refresh;
    };
    l.done = [](void *, wl_output *) {};
    l.scale = [](void *data, wl_output *output, int32_t factor) {
        auto *self = static_cast<WaylandWindowSystem *>(data);
        for (Output &o : self->outputs_)
            if (o.output == output)
                o.scale = std::max(factor, 1);
        if (self->surface_)
            self->apply_size(self->logical_width_, self->logical_height_);
    };
    return l;
}

// The outputs the window is on decide its scale.
const wl_surface_listener WaylandWindowSystem::surface_listener = {
    [](void *data, wl_surface *, wl_output *output) {
        auto *self = static_cast<WaylandWindowSystem *>(data);
        self->entered_.push_back(output);
        self->apply_size(self->logical_width_, self->logical_height_);
    },
    [](void *data, wl_surface *, wl_output *output) {
        auto *self = static_cast<WaylandWindowSystem *>(data);
        self->entered_.erase(std::remove(self->entered_.begin(), self->entered_.end(), output), self->entered_.end());
        self->apply_size(self->logical_width_, self->logical_height_);
    },
};

const wp_fractional_scale_v1_listener WaylandWindowSystem::fractional_listener = {
    [](void *data, wp_fractional_scale_v1 *, uint32_t scale_120) {
        auto *self = static_cast<WaylandWindowSystem *>(data);
        self->fractional_120_ = scale_120;
        self->apply_size(self->logical_width_, self->logical_height_);
    },
};

// The compositor's preferred fractional scale where it gives one (drawn
// through a viewport); else the largest integer scale of the outputs the
// window is on, or of the first output before it is on any. A compositor
// bound below version 3 cannot take a buffer scale: 1 there.
double WaylandWindowSystem::wanted_scale() const
{
    if (fractional_120_ && viewport_)
        return fractional_120_ / 120.0;
    if (compositor_version_ < 3)
        return 1;
    int scale = 1;
    for (const Output &o : outputs_)
        if (entered_.empty() ? &o == &outputs_.front()
                             : std::find(entered_.begin(), entered_.end(), o.output) != entered_.end())
            scale = std::max(scale, o.scale);
    return scale;
}

// The window's logical size, drawn at the wanted scale. The buffer scale and
// the viewport, like the new buffer, take effect with the next commit.
void WaylandWindowSystem::apply_size(int logical_width, int logical_height)
{
    logical_width_ = logical_width;
    logical_height_ = logical_height;
    double scale = wanted_scale();
    if (viewport_)
        wp_viewport_set_destination(viewport_, logical_width, logical_height);
    if (compositor_version_ >= 3)
        wl_surface_set_buffer_scale(surface_, fractional_120_ && viewport_ ? 1 : int(scale));
    if (scale != scale_)
        redisplay_ = true;
    scale_ = scale;
    resize(int(std::lround(logical_width * scale)), int(std::lround(logical_height * scale)));
}

// libdecor's interfaces have room reserved at their ends: they are filled field by field.
libdecor_interface *WaylandWindowSystem::decor_interface()
{
    static libdecor_interface l{};
    l.error = [](libdecor *, libdecor_error, const char *message) {
        fprintf(stderr, "quorvel: libdecor: %s\n", message);
    };
    return &l;
}

libdecor_frame_interface *WaylandWindowSystem::frame_interface()
{
    static libdecor_frame_interface l{};
    l.configure = [](libdecor_frame *frame, libdecor_configuration *configuration, void *data) {
        auto *self = static_cast<WaylandWindowSystem *>(data);
        // No size leaves it to the client: the one asked for, or the current one.
        int width = 0, height = 0;
        if (!libdecor_configuration_get_content_size(configuration, frame, &width, &height) || width <= 0 ||
            height <= 0) {
            width = self->logical_width_;
            height = self->logical_height_;
        }
        libdecor_state *state = libdecor_state_new(width, height);
        libdecor_frame_commit(frame, state, configuration);
        libdecor_state_free(state);
        self->configured_ = true;
        self->decor_commits_at_once_ = false;
        self->apply_size(width, height);
        self->redisplay_ = true;  // as an expose does on X11
    };
    l.close = [](libdecor_frame *, void *data) { static_cast<WaylandWindowSystem *>(data)->closed_ = true; };
    l.commit = [](libdecor_frame *, void *data) {
        auto *self = static_cast<WaylandWindowSystem *>(data);
        if (self->decor_commits_at_once_)
            wl_surface_commit(self->surface_);
        else
            self->redisplay_ = true;  // the next frame's commit carries it
    };
    l.dismiss_popup = [](libdecor_frame *, const char *, void *) {};
    return &l;
}

const wp_presentation_listener WaylandWindowSystem::presentation_listener = {
    [](void *data, wp_presentation *, uint32_t clock) {
        auto *self = static_cast<WaylandWindowSystem *>(data);
        self->clock_ = clockid_t(clock);
        self->clock_announced_ = true;
    },
};

const wp_presentation_feedback_listener WaylandWindowSystem::feedback_listener = {
    [](void *, struct wp_presentation_feedback *, wl_output *) {},
    [](void *data, struct wp_presentation_feedback *feedback, uint32_t sec_hi, uint32_t sec_lo, uint32_t nsec,
       uint32_t refresh, uint32_t seq_hi, uint32_t seq_lo, uint32_t flags) {
        auto *tag = static_cast<FeedbackTag *>(data);
        uint64_t sec = (uint64_t(sec_hi) << 32) | sec_lo;
        tag->self->take_presented(tag->frame, sec * 1000000 + nsec / 1000, refresh, (uint64_t(seq_hi) << 32) | seq_lo,
                                  flags);
        delete tag;
        wp_presentation_feedback_destroy(feedback);
    },
    [](void *data, struct wp_presentation_feedback *feedback) {
        auto *tag = static_cast<FeedbackTag *>(data);
        Presentation p;
        p.mode = mode_skip;
        p.frame = tag->frame;
        tag->self->reported_.push_back(p);
        delete tag;
        wp_presentation_feedback_destroy(feedback);
    },
};

const wl_callback_listener WaylandWindowSystem::frame_listener = {
    [](void *data, wl_callback *callback, uint32_t) {
        --static_cast<WaylandWindowSystem *>(data)->frames_in_flight_;
        wl_callback_destroy(callback);
    },
};

const wl_callback_listener WaylandWindowSystem::sync_listener = {
    [](void *data, wl_callback *callback, uint32_t) {
        --static_cast<WaylandWindowSystem *>(data)->syncs_in_flight_;
        wl_callback_destroy(callback);
    },
};

// With a swap interval of 1, Mesa waits inside eglSwapBuffers, without a
// bound, for the previous frame's callback. With 0 it asks for none, but
// waits, at the next swap, for a wl_display.sync of its own, and for a free
// buffer, which a compositor that holds them never gives. So with vsync a
// frame is drawn once the last one's callback has come; without, once a
// sync sent after the last swap, and so after Mesa's, is answered: a
// compositor that answers is alive and releases buffers, and one that is
// frozen answers nothing. Mesa then never waits, the compositor's pace
// holds only with vsync, and the run's own waits keep the deadline and the
// stop signals. Found by freezing Weston: two frames out without a gate
// were already enough for Mesa to wait for a buffer.
bool WaylandWindowSystem::ready_for_frame() const
{
    return frames_in_flight_ == 0 && syncs_in_flight_ == 0;
}

// The time on the compositor's clock, for the log; on CLOCK_MONOTONIC, where
// the frames' swap ends are, for latency: the two clocks' offset is read now.
void WaylandWindowSystem::take_presented(uint64_t frame, uint64_t ust, uint64_t refresh_ns, uint64_t seq,
                                         unsigned flags)
{
    Presentation p;
    p.frame = frame;
    p.ust_mono = clock_ == CLOCK_MONOTONIC ? ust : ust + clock_us(CLOCK_MONOTONIC) - clock_us(clock_);
    p.msc = seq;
    p.mode = flags & flag_zero_copy ? mode_flip : mode_copy;
    p.flags = flags;
    p.refresh_ns = refresh_ns;
    reported_.push_back(p);
}

// Presses on the window's own surface reach the loop: keys while it has the
// keyboard focus, buttons while the pointer is on it, not on libdecor's
// title bar. Everything else a seat says is of no use here.
wl_keyboard_listener WaylandWindowSystem::keyboard_listener()
{
    wl_keyboard_listener l{};
    l.keymap = [](void *, wl_keyboard *, uint32_t, int32_t fd, uint32_t) { close(fd); };
    l.enter = [](void *data, wl_keyboard *, uint32_t, wl_surface *surface, wl_array *) {
        auto *self = static_cast<WaylandWindowSystem *>(data);
        self->keyboard_focus_ = surface == self->surface_;
    };
    l.leave = [](void *data, wl_keyboard *, uint32_t, wl_surface *) {
        static_cast<WaylandWindowSystem *>(data)->keyboard_focus_ = false;
    };
    l.key = [](void *data, wl_keyboard *, uint32_t, uint32_t, uint32_t, uint32_t state) {
        auto *self = static_cast<WaylandWindowSystem *>(data);
        if (self->loop_ && self->keyboard_focus_ && state == WL_KEYBOARD_KEY_STATE_PRESSED)
            self->loop_->input(user_key);
    };
    l.modifiers = [](void *, wl_keyboard *, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t) {};
    return l;
}

// Bound at version 1, which sends only the first five pointer events.
wl_pointer_listener WaylandWindowSystem::pointer_listener()
{
    wl_pointer_listener l{};
    l.enter = [](void *data, wl_pointer *, uint32_t, wl_surface *surface, wl_fixed_t, wl_fixed_t) {
        auto *self = static_cast<WaylandWindowSystem *>(data);
        self->pointer_inside_ = surface == self->surface_;
    };
    l.leave = [](void *data, wl_pointer *, uint32_t, wl_surface *) {
        static_cast<WaylandWindowSystem *>(data)->pointer_inside_ = false;
    };
    l.motion = [](void *, wl_pointer *, uint32_t, wl_fixed_t, wl_fixed_t) {};
    l.button = [](void *data, wl_pointer *, uint32_t, uint32_t, uint32_t, uint32_t state) {
        auto *self = static_cast<WaylandWindowSystem *>(data);
        if (self->loop_ && self->pointer_inside_ && state == WL_POINTER_BUTTON_STATE_PRESSED)
            self->loop_->input(user_key);
    };
    l.axis = [](void *, wl_pointer *, uint32_t, uint32_t, wl_fixed_t) {};
    return l;
}

const wl_seat_listener WaylandWindowSystem::seat_listener = {
    [](void *data, wl_seat *seat, uint32_t capabilities) {
        static const wl_pointer_listener pointer = pointer_listener();
        static const wl_keyboard_listener keyboard = keyboard_listener();
        auto *self = static_cast<WaylandWindowSystem *>(data);
        if ((capabilities & WL_SEAT_CAPABILITY_KEYBOARD) && !self->keyboard_) {
            self->keyboard_ = wl_seat_get_keyboard(seat);
            wl_keyboard_add_listener(self->keyboard_, &keyboard, self);
        }
        if ((capabilities & WL_SEAT_CAPABILITY_POINTER) && !self->pointer_) {
            self->pointer_ = wl_seat_get_pointer(seat);
            wl_pointer_add_listener(self->pointer_, &pointer, self);
        }
    },
    [](void *, wl_seat *, const char *) {},
};

void WaylandWindowSystem::listen_for_input()
{
    if (!seat_name_)
        return;
    seat_ = static_cast<wl_seat *>(wl_registry_bind(registry_, seat_name_, &wl_seat_interface, 1));
    wl_seat_add_listener(seat_, &seat_listener, this);
}

WaylandWindowSystem::~WaylandWindowSystem()
{
    if (egl_display_ != EGL_NO_DISPLAY) {
        eglMakeCurrent(egl_display_, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
        eglTerminate(egl_display_);
    }
    if (egl_window_)
        wl_egl_window_destroy(egl_window_);
    if (frame_)
        libdecor_frame_unref(frame_);
    if (decor_)
        libdecor_unref(decor_);
    if (display_)
        wl_display_disconnect(display_);
}

int WaylandWindowSystem::open(const WindowRequest &r)
{
    display_ = wl_display_connect(nullptr);
    if (!display_) {
        const char *name = getenv("WAYLAND_DISPLAY");
        fprintf(stderr, "quorvel: cannot connect to the Wayland compositor WAYLAND_DISPLAY=%s: %s\n",
                name ? name : "", strerror(errno));
        return 1;
    }
    start_limit_s_ = r.start_limit_s;
    if (r.start_limit_s > 0)
        start_deadline_us_ = clock_us(CLOCK_MONOTONIC) + uint64_t(std::min(r.start_limit_s, 4.6e9) * 1e6);
    registry_ = wl_display_get_registry(display_);
    wl_registry_add_listener(registry_, &registry_listener, this);
    // The bound globals' first events too: the outputs' modes and scales.
    if (!roundtrip() || !roundtrip())
        return 1;
    if (!compositor_ || !wm_base_offered_) {
        fprintf(stderr, "quorvel: the Wayland compositor offers no %s\n", compositor_ ? "xdg_wm_base" : "wl_compositor");
        return 1;
    }
    if (int status = open_surface(r))
        return status;
    return open_egl();
}

// libdecor's set-up makes round trips of its own, which no signal ends; a
// round trip of the program's, bounded, goes first, so that a compositor
// frozen already is found there.
int WaylandWindowSystem::open_surface(const WindowRequest &r)
{
    surface_ = wl_compositor_create_surface(compositor_);
    wl_surface_add_listener(surface_, &surface_listener, this);
    if (viewporter_ && fractional_manager_) {
        viewport_ = wp_viewporter_get_viewport(viewporter_, surface_);
        wp_fractional_scale_v1_add_listener(
            wp_fractional_scale_manager_v1_get_fractional_scale(fractional_manager_, surface_), &fractional_listener, this);
    }
    apply_size(r.width, r.height);
    if (!roundtrip())
        return 1;
    decor_ = libdecor_new(display_, decor_interface());
    frame_ = libdecor_decorate(decor_, surface_, frame_interface(), this);
    libdecor_frame_set_title(frame_, r.title);
    libdecor_frame_set_app_id(frame_, "quorvel");
    libdecor_frame_map(frame_);
    if (!wait_for_start([this] { return configured_ || closed_; }) || !roundtrip())
        return 1;
    egl_window_ = wl_egl_window_create(surface_, width_, height_);
    return 0;
}

// Reads the connection until `done` holds. False, after a line on standard
// error, when the compositor went away or the run's time ran out first;
// false, silently, on a stop signal.
bool WaylandWindowSystem::wait_for_start(const std::function<bool()> &done)
{
    while (!done()) {
        uint64_t now = clock_us(CLOCK_MONOTONIC);
        if (stop_signal)
            return false;
        if (lost_) {
            fprintf(stderr, "quorvel: the Wayland compositor went away\n");
            return false;
        }
        if (start_deadline_us_ && now >= start_deadline_us_) {
            fprintf(stderr, "quorvel: the Wayland compositor did not show the window within %g s\n", start_limit_s_);
            return false;
        }
        uint64_t timeout = start_deadline_us_ ? start_deadline_us_ - now : 1000000;
        sleep_unless_stopped(&stop_signal, [&](const sigset_t *mask) { pump(timeout, mask); });
    }
    return true;
}

// wl_display_roundtrip, within the run's bounds.
bool WaylandWindowSystem::roundtrip()
{
    static const wl_callback_listener answered = {
        [](void *data, wl_callback *callback, uint32_t) {
            *static_cast<bool *>(data) = true;
            wl_callback_destroy(callback);
        },
    };
    bool done = false;
    wl_callback *callback = wl_display_sync(display_);
    wl_callback_add_listener(callback, &answered, &done);
    if (wait_for_start([&done] { return done; }))
        return true;
    wl_callback_destroy(callback);
    return false;
}

// The same messages and statuses as GLX's failures give: "Error: ..." and 1.
int WaylandWindowSystem::open_egl()
{
    static const EGLint config_attribs[] = {EGL_SURFACE_TYPE, EGL_WINDOW_BIT, EGL_RED_SIZE, 8, EGL_GREEN_SIZE, 8,
                                            EGL_BLUE_SIZE, 8, EGL_RENDERABLE_TYPE, EGL_OPENGL_BIT, EGL_NONE};
    static const EGLint context_attribs[] = {EGL_CONTEXT_MAJOR_VERSION, 2, EGL_CONTEXT_MINOR_VERSION, 0, EGL_NONE};
    EGLConfig config;
    EGLint count = 0;
    // eglInitialize makes round trips that no signal ends: the compositor
    // has just answered one of the program's (open_surface's last).
    // eglGetDisplay would guess the platform, and follow EGL_PLATFORM where it names another.
    egl_display_ = eglGetPlatformDisplay(EGL_PLATFORM_WAYLAND_KHR, display_, nullptr);
    bool ok = egl_display_ != EGL_NO_DISPLAY && eglInitialize(egl_display_, nullptr, nullptr) &&
              eglBindAPI(EGL_OPENGL_API) && eglChooseConfig(egl_display_, config_attribs, &config, 1, &count) &&
              count == 1;
    config_ = ok ? config : nullptr;
    // Where no 2.0 context can be had, any context lets the GL check say so, as on X11.
    static const EGLint any_version[] = {EGL_NONE};
    for (const EGLint *attribs : {context_attribs, any_version})
        if (ok && context_ == EGL_NO_CONTEXT)
            context_ = eglCreateContext(egl_display_, config, EGL_NO_CONTEXT, attribs);
    if (context_ != EGL_NO_CONTEXT)
        egl_surface_ = eglCreateWindowSurface(egl_display_, config, reinterpret_cast<EGLNativeWindowType>(egl_window_), nullptr);
    if (egl_surface_ == EGL_NO_SURFACE || !eglMakeCurrent(egl_display_, egl_surface_, egl_surface_, context_)) {
        fprintf(stderr, "Error: no OpenGL context through EGL (EGL error 0x%04x)\n", unsigned(eglGetError()));
        return 1;
    }
    return 0;
}

// The buffer's size; GL draws in logical pixels over all of it.
void WaylandWindowSystem::resize(int width, int height)
{
    if (width == width_ && height == height_)
        return;
    width_ = width;
    height_ = height;
    if (egl_window_)
        wl_egl_window_resize(egl_window_, width, height, 0, 0);
    // GLUT keeps the viewport on the whole window; so does this.
    if (context_ != EGL_NO_CONTEXT)
        glViewport(0, 0, width, height);
}

// Reads and handles what the compositor has sent, waiting up to
// `timeout_us` for it; with `mask`, only the stop signals end the wait.
void WaylandWindowSystem::pump(uint64_t timeout_us, const sigset_t *mask)
{
    if (lost_)
        return;
    // Once the display has an error, dispatching fails for good and the
    // queue never empties: that is a lost connection, not a loop.
    while (wl_display_prepare_read(display_) != 0)
        if (wl_display_dispatch_pending(display_) < 0) {
            lost_ = true;
            return;
        }
    wl_display_flush(display_);
    struct pollfd fd = {wl_display_get_fd(display_), POLLIN, 0};
    struct timespec timeout = {time_t(timeout_us / 1000000), long(timeout_us % 1000000) * 1000};
    bool readable = ppoll(&fd, 1, &timeout, mask) > 0 && (fd.revents & POLLIN);
    // libdecor's plugins expect their own dispatch to read the connection,
    // as the GTK one's main loop runs from there; it polls without a wait.
    if (decor_) {
        wl_display_cancel_read(display_);
        lost_ = libdecor_dispatch(decor_, 0) < 0;
    } else {
        if (readable)
            wl_display_read_events(display_);
        else
            wl_display_cancel_read(display_);
        wl_display_dispatch_pending(display_);
    }
    lost_ = lost_ || wl_display_get_error(display_) != 0 || (fd.revents & (POLLHUP | POLLERR));
}

void WaylandWindowSystem::run(FrameLoop &loop)
{
    loop_ = &loop;
    while (!leave_ && !closed_ && !lost_) {
        pump(0, nullptr);
        if (redisplay_ && ready_for_frame()) {
            redisplay_ = false;
            loop.display();
        } else {
            loop.idle();
        }
    }
    loop_ = nullptr;
}

// The feedback and the callback are asked for on the commit that
// eglSwapBuffers makes. Where it fails, no commit carries them, and the next
// would: they are dropped, so that they cannot speak for the next frame.
void WaylandWindowSystem::swap()
{
    ++swaps_;
    // A title bar that libdecor redraws commits through the same commit.
    if (!pending_title_.empty()) {
        libdecor_frame_set_title(frame_, pending_title_.c_str());
        pending_title_.clear();
    }
    struct wp_presentation_feedback *feedback =
        presentation_ ? wp_presentation_feedback(presentation_, surface_) : nullptr;
    auto *tag = new FeedbackTag{this, swaps_};
    if (feedback)
        wp_presentation_feedback_add_listener(feedback, &feedback_listener, tag);
    wl_callback *callback = vsync_ ? wl_surface_frame(surface_) : nullptr;
    if (callback) {
        wl_callback_add_listener(callback, &frame_listener, this);
        ++frames_in_flight_;
    }
    if (eglSwapBuffers(egl_display_, egl_surface_)) {
        if (!feedback)
            delete tag;
        if (!vsync_) {
            wl_callback_add_listener(wl_display_sync(display_), &sync_listener, this);
            ++syncs_in_flight_;
        }
        return;
    }
    if (feedback)
        wl_proxy_destroy(reinterpret_cast<wl_proxy *>(feedback));
    delete tag;
    if (callback) {
        wl_callback_destroy(callback);
        --frames_in_flight_;
    }
    lost_ = wl_display_get_error(display_) != 0;
}

bool WaylandWindowSystem::swap_control_offered()
{
    EGLint most = 0;
    return config_ && eglGetConfigAttrib(egl_display_, config_, EGL_MAX_SWAP_INTERVAL, &most) && most >= 1;
}

// Without vsync, a compositor that offers tearing control is asked to show
// each frame at once, tearing or not; the hint goes with the first frame.
void WaylandWindowSystem::request_swap_interval(int on)
{
    vsync_ = on;
    if (!eglSwapInterval(egl_display_, on))
        fprintf(stderr, "quorvel: EGL refused swap interval %d (EGL error 0x%04x)\n", on, unsigned(eglGetError()));
    if (!on && tearing_manager_) {
        wp_tearing_control_v1_set_presentation_hint(
            wp_tearing_control_manager_v1_get_tearing_control(tearing_manager_, surface_),
            WP_TEARING_CONTROL_V1_PRESENTATION_HINT_ASYNC);
        tearing_hint_ = true;
    }
}

void WaylandWindowSystem::wait(uint64_t timeout_us, const volatile sig_atomic_t *stop)
{
    sleep_unless_stopped(stop, [&](const sigset_t *mask) { pump(timeout_us, mask); });
}

void WaylandWindowSystem::poll_presentation(PresentationFeed &feed)
{
    pump(0, nullptr);
    while (!reported_.empty()) {
        feed.presented(reported_.front());
        reported_.pop_front();
    }
}

DisplayIdentity WaylandWindowSystem::identity()
{
    DisplayIdentity id;
    id.window_system = "wayland";
    id.clock_name = "Wayland compositor, wp_presentation";
    id.presentation_clock = clock_announced_ ? clock_text(clock_) : "";
    id.compositor_feedback = presentation_ != nullptr;
    id.output_refresh_hz = output_refresh_mhz_ / 1000.0;
    id.server = server_;
    id.buffer_scale = scale_;
    id.tearing_hint = tearing_hint_;
    return id;
}

}  // namespace

std::unique_ptr<WindowSystem> wayland_window_system()
{
    return std::make_unique<WaylandWindowSystem>();
}
