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

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>

#include "clock.h"
#include "presentation-time-client-protocol.h"
#include "run_end.h"
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
    void set_title(const char *title) override { libdecor_frame_set_title(frame_, title); }
    void size(int &width, int &height) override
    {
        width = width_;
        height = height_;
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
    static wl_output_listener output_listener();

    int open_surface(const WindowRequest &r);
    int open_egl();
    void pump(uint64_t timeout_us, const sigset_t *mask);
    void resize(int width, int height);
    void take_presented(uint64_t frame, uint64_t ust, uint64_t refresh_ns, uint64_t seq, unsigned flags);
    bool ready_for_frame() const;

    // Each swap asks for feedback on its own commit, so the feedback names its frame.
    struct FeedbackTag {
        WaylandWindowSystem *self;
        uint64_t frame;
    };
    uint64_t swaps_ = 0;
    // Frames committed whose wl_surface.frame callback has not come: a
    // compositor that is stalled, or hides the window, sends none.
    unsigned frames_in_flight_ = 0;

    wl_display *display_ = nullptr;
    wl_registry *registry_ = nullptr;
    wl_compositor *compositor_ = nullptr;
    bool wm_base_offered_ = false;
    wp_presentation *presentation_ = nullptr;
    wl_surface *surface_ = nullptr;
    uint32_t seat_name_ = 0;  // the first seat's registry name; bound only to listen for presses
    wl_seat *seat_ = nullptr;
    wl_keyboard *keyboard_ = nullptr;
    wl_pointer *pointer_ = nullptr;
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

    // The size in buffer pixels, the output's scale times the compositor's
    // logical size, so that the digits stay sharp and a buffer can be scanned out as it is.
    int width_ = 0, height_ = 0;
    wl_output *output_ = nullptr;  // the first output: its scale and its current mode's refresh
    int scale_ = 1;
    int32_t output_refresh_mhz_ = 0;
    bool configured_ = false, closed_ = false, lost_ = false, leave_ = false, redisplay_ = false;
    clockid_t clock_ = CLOCK_MONOTONIC;
    bool clock_announced_ = false;
    std::deque<Presentation> reported_;  // feedback waiting for the next poll
};

const wl_registry_listener WaylandWindowSystem::registry_listener = {
    [](void *data, wl_registry *registry, uint32_t name, const char *interface, uint32_t) {
        auto *self = static_cast<WaylandWindowSystem *>(data);
        if (strcmp(interface, wl_compositor_interface.name) == 0)
            self->compositor_ = static_cast<wl_compositor *>(wl_registry_bind(registry, name, &wl_compositor_interface, 1));
        else if (strcmp(interface, xdg_wm_base_interface.name) == 0)
            self->wm_base_offered_ = true;  // libdecor binds it
        else if (strcmp(interface, wp_presentation_interface.name) == 0) {
            // The clock is announced at once, so the listener must be there first.
            self->presentation_ = static_cast<wp_presentation *>(wl_registry_bind(registry, name, &wp_presentation_interface, 1));
            wp_presentation_add_listener(self->presentation_, &presentation_listener, self);
        } else if (strcmp(interface, wl_seat_interface.name) == 0 && !self->seat_name_) {
            self->seat_name_ = name;
        } else if (strcmp(interface, wl_output_interface.name) == 0 && !self->output_) {
            self->output_ = static_cast<wl_output *>(wl_registry_bind(registry, name, &wl_output_interface, 2));
            static const wl_output_listener listener = output_listener();
            wl_output_add_listener(self->output_, &listener, self);
        }
    },
    [](void *, wl_registry *, uint32_t) {},
};

// Bound at version 2: no name or description comes.
wl_output_listener WaylandWindowSystem::output_listener()
{
    wl_output_listener l{};
    l.geometry = [](void *, wl_output *, int32_t, int32_t, int32_t, int32_t, int32_t, const char *, const char *,
                    int32_t) {};
    l.mode = [](void *data, wl_output *, uint32_t flags, int32_t, int32_t, int32_t refresh) {
        if (flags & WL_OUTPUT_MODE_CURRENT)
            static_cast<WaylandWindowSystem *>(data)->output_refresh_mhz_ = refresh;
    };
    l.done = [](void *, wl_output *) {};
    l.scale = [](void *data, wl_output *, int32_t factor) {
        static_cast<WaylandWindowSystem *>(data)->scale_ = factor > 0 ? factor : 1;
    };
    return l;
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
            width = self->width_ / self->scale_;
            height = self->height_ / self->scale_;
        }
        libdecor_state *state = libdecor_state_new(width, height);
        libdecor_frame_commit(frame, state, configuration);
        libdecor_state_free(state);
        self->configured_ = true;
        self->resize(width * self->scale_, height * self->scale_);
        self->redisplay_ = true;  // as an expose does on X11
    };
    l.close = [](libdecor_frame *, void *data) { static_cast<WaylandWindowSystem *>(data)->closed_ = true; };
    l.commit = [](libdecor_frame *, void *data) { wl_surface_commit(static_cast<WaylandWindowSystem *>(data)->surface_); };
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

// With a swap interval of 1, Mesa waits inside eglSwapBuffers, without a
// bound, for the previous frame's callback; with 0, for a free buffer, which
// a compositor that holds them never gives. So a frame is drawn only once
// the last one's callback has come: Mesa then never waits, and the run's
// own waits keep the deadline and the stop signals. Found by freezing
// Weston: two frames out were already enough for Mesa to wait for a buffer.
bool WaylandWindowSystem::ready_for_frame() const
{
    return frames_in_flight_ == 0;
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

// Presses reach the loop; everything else a seat says is of no use here.
void key_event(void *data, wl_keyboard *, uint32_t, uint32_t, uint32_t, uint32_t state)
{
    auto *loop = *static_cast<FrameLoop **>(data);
    if (loop && state == WL_KEYBOARD_KEY_STATE_PRESSED)
        loop->input(user_key);
}

void button_event(void *data, wl_pointer *, uint32_t, uint32_t, uint32_t, uint32_t state)
{
    auto *loop = *static_cast<FrameLoop **>(data);
    if (loop && state == WL_POINTER_BUTTON_STATE_PRESSED)
        loop->input(user_key);
}

const wl_keyboard_listener keyboard_listener = {
    [](void *, wl_keyboard *, uint32_t, int32_t fd, uint32_t) { close(fd); },
    [](void *, wl_keyboard *, uint32_t, wl_surface *, wl_array *) {},
    [](void *, wl_keyboard *, uint32_t, wl_surface *) {},
    key_event,
    [](void *, wl_keyboard *, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t) {},
    [](void *, wl_keyboard *, int32_t, int32_t) {},
};

// Bound at version 1, which sends only the first five pointer events.
wl_pointer_listener pointer_listener()
{
    wl_pointer_listener l{};
    l.enter = [](void *, wl_pointer *, uint32_t, wl_surface *, wl_fixed_t, wl_fixed_t) {};
    l.leave = [](void *, wl_pointer *, uint32_t, wl_surface *) {};
    l.motion = [](void *, wl_pointer *, uint32_t, wl_fixed_t, wl_fixed_t) {};
    l.button = button_event;
    l.axis = [](void *, wl_pointer *, uint32_t, uint32_t, wl_fixed_t) {};
    return l;
}

const wl_seat_listener WaylandWindowSystem::seat_listener = {
    [](void *data, wl_seat *seat, uint32_t capabilities) {
        static const wl_pointer_listener pointer = pointer_listener();
        auto *self = static_cast<WaylandWindowSystem *>(data);
        if ((capabilities & WL_SEAT_CAPABILITY_KEYBOARD) && !self->keyboard_) {
            self->keyboard_ = wl_seat_get_keyboard(seat);
            wl_keyboard_add_listener(self->keyboard_, &keyboard_listener, &self->loop_);
        }
        if ((capabilities & WL_SEAT_CAPABILITY_POINTER) && !self->pointer_) {
            self->pointer_ = wl_seat_get_pointer(seat);
            wl_pointer_add_listener(self->pointer_, &pointer, &self->loop_);
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
    registry_ = wl_display_get_registry(display_);
    wl_registry_add_listener(registry_, &registry_listener, this);
    wl_display_roundtrip(display_);
    wl_display_roundtrip(display_);  // the bound globals' first events: the output's mode and scale
    if (!compositor_ || !wm_base_offered_) {
        fprintf(stderr, "quorvel: the Wayland compositor offers no %s\n", compositor_ ? "xdg_wm_base" : "wl_compositor");
        return 1;
    }
    if (int status = open_surface(r))
        return status;
    return open_egl();
}

int WaylandWindowSystem::open_surface(const WindowRequest &r)
{
    width_ = r.width * scale_;
    height_ = r.height * scale_;
    surface_ = wl_compositor_create_surface(compositor_);
    if (scale_ > 1)
        wl_surface_set_buffer_scale(surface_, scale_);
    decor_ = libdecor_new(display_, decor_interface());
    frame_ = libdecor_decorate(decor_, surface_, frame_interface(), this);
    libdecor_frame_set_title(frame_, r.title);
    libdecor_frame_set_app_id(frame_, "quorvel");
    libdecor_frame_map(frame_);
    while (!configured_ && !closed_)
        if (wl_display_dispatch(display_) < 0) {
            fprintf(stderr, "quorvel: the Wayland compositor went away\n");
            return 1;
        }
    egl_window_ = wl_egl_window_create(surface_, width_, height_);
    return 0;
}

// The same messages and statuses as GLX's failures give: "Error: ..." and 1.
int WaylandWindowSystem::open_egl()
{
    static const EGLint config_attribs[] = {EGL_SURFACE_TYPE, EGL_WINDOW_BIT, EGL_RED_SIZE, 8, EGL_GREEN_SIZE, 8,
                                            EGL_BLUE_SIZE, 8, EGL_RENDERABLE_TYPE, EGL_OPENGL_BIT, EGL_NONE};
    static const EGLint context_attribs[] = {EGL_CONTEXT_MAJOR_VERSION, 2, EGL_CONTEXT_MINOR_VERSION, 0, EGL_NONE};
    EGLConfig config;
    EGLint count = 0;
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
    if (ppoll(&fd, 1, &timeout, mask) > 0 && (fd.revents & POLLIN))
        wl_display_read_events(display_);
    else
        wl_display_cancel_read(display_);
    wl_display_dispatch_pending(display_);
    lost_ = wl_display_get_error(display_) != 0 || (fd.revents & (POLLHUP | POLLERR));
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
    struct wp_presentation_feedback *feedback =
        presentation_ ? wp_presentation_feedback(presentation_, surface_) : nullptr;
    auto *tag = new FeedbackTag{this, swaps_};
    if (feedback)
        wp_presentation_feedback_add_listener(feedback, &feedback_listener, tag);
    wl_callback *callback = wl_surface_frame(surface_);
    wl_callback_add_listener(callback, &frame_listener, this);
    ++frames_in_flight_;
    if (eglSwapBuffers(egl_display_, egl_surface_)) {
        if (!feedback)
            delete tag;
        return;
    }
    if (feedback)
        wl_proxy_destroy(reinterpret_cast<wl_proxy *>(feedback));
    delete tag;
    wl_callback_destroy(callback);
    --frames_in_flight_;
    lost_ = wl_display_get_error(display_) != 0;
}

bool WaylandWindowSystem::swap_control_offered()
{
    EGLint most = 0;
    return config_ && eglGetConfigAttrib(egl_display_, config_, EGL_MAX_SWAP_INTERVAL, &most) && most >= 1;
}

void WaylandWindowSystem::request_swap_interval(int on)
{
    if (!eglSwapInterval(egl_display_, on))
        fprintf(stderr, "quorvel: EGL refused swap interval %d (EGL error 0x%04x)\n", on, unsigned(eglGetError()));
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
    return id;
}

}  // namespace

std::unique_ptr<WindowSystem> wayland_window_system()
{
    return std::make_unique<WaylandWindowSystem>();
}
