#include "backend/wayland/connection.h"

#include <poll.h>
#include <wayland-client.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "clock.h"
#include "fractional-scale-v1-client-protocol.h"
#include "presentation-time-client-protocol.h"
#include "stop.h"
#include "tearing-control-v1-client-protocol.h"
#include "viewporter-client-protocol.h"
#include "xdg-shell-client-protocol.h"

namespace {

const wl_registry_listener registry_listener = {
    [](void *data, wl_registry *, uint32_t name, const char *interface, uint32_t version) {
        static_cast<WaylandConnection *>(data)->global(name, interface, version);
    },
    [](void *, wl_registry *, uint32_t) {},
};

const wp_presentation_listener presentation_listener = {
    [](void *data, wp_presentation *, uint32_t clock) {
        auto *c = static_cast<WaylandConnection *>(data);
        c->clock = clockid_t(clock);
        c->clock_announced = true;
    },
};

// Bound at version 2: no name or description comes.
wl_output_listener output_listener()
{
    wl_output_listener l{};
    l.geometry = [](void *, wl_output *, int32_t, int32_t, int32_t, int32_t, int32_t, const char *, const char *,
                    int32_t) {};
    l.mode = [](void *data, wl_output *output, uint32_t flags, int32_t width, int32_t height, int32_t refresh) {
        auto *c = static_cast<WaylandConnection *>(data);
        if ((flags & WL_OUTPUT_MODE_CURRENT) && output == c->outputs.front().output)
            c->refresh_mhz = refresh, c->width = width, c->height = height;
    };
    l.done = [](void *, wl_output *) {};
    l.scale = [](void *data, wl_output *output, int32_t factor) {
        auto *c = static_cast<WaylandConnection *>(data);
        for (WaylandOutput &o : c->outputs)
            if (o.output == output)
                o.scale = std::max(factor, 1);
        if (c->outputs_changed)
            c->outputs_changed();
    };
    return l;
}

}  // namespace

void WaylandConnection::global(uint32_t name, const char *interface, uint32_t version)
{
    auto bind = [&](const wl_interface &i, uint32_t v) { return wl_registry_bind(registry, name, &i, v); };
    notice_compositor(interface);
    if (std::find(globals.begin(), globals.end(), interface) == globals.end())
        globals.emplace_back(interface);
    if (strcmp(interface, wl_compositor_interface.name) == 0) {
        // Version 3 brings set_buffer_scale, 4 damage_buffer.
        compositor_version = std::min(version, 4u);
        compositor = static_cast<wl_compositor *>(bind(wl_compositor_interface, compositor_version));
    } else if (strcmp(interface, wp_viewporter_interface.name) == 0) {
        viewporter = static_cast<wp_viewporter *>(bind(wp_viewporter_interface, 1));
    } else if (strcmp(interface, wp_fractional_scale_manager_v1_interface.name) == 0) {
        fractional_manager = static_cast<wp_fractional_scale_manager_v1 *>(bind(wp_fractional_scale_manager_v1_interface, 1));
    } else if (strcmp(interface, wp_tearing_control_manager_v1_interface.name) == 0) {
        tearing_manager = static_cast<wp_tearing_control_manager_v1 *>(bind(wp_tearing_control_manager_v1_interface, 1));
    } else if (strcmp(interface, xdg_wm_base_interface.name) == 0) {
        wm_base_offered = true;  // libdecor binds it
    } else if (strcmp(interface, wp_presentation_interface.name) == 0) {
        // Version 1 keeps a refresh of 0 as the sign of a variable rate. The
        // clock is announced at once, so the listener must be there first.
        presentation = static_cast<wp_presentation *>(bind(wp_presentation_interface, 1));
        wp_presentation_add_listener(presentation, &presentation_listener, this);
    } else if (strcmp(interface, wl_seat_interface.name) == 0 && !seat_name) {
        seat_name = name;
    } else if (strcmp(interface, wl_output_interface.name) == 0) {
        static const wl_output_listener listener = output_listener();
        auto *output = static_cast<wl_output *>(bind(wl_output_interface, 2));
        wl_output_add_listener(output, &listener, this);
        outputs.push_back({output, 1});
    }
}

// Compositors name some globals of their own; which one this is, is told by them.
void WaylandConnection::notice_compositor(const char *interface)
{
    static const std::pair<const char *, const char *> own[] = {
        {"weston_", "Weston"}, {"gtk_shell", "Mutter"}, {"org_kde_kwin_", "KWin"}, {"zwlr_", "sway"}};
    for (auto [prefix, name] : own)
        if (strncmp(interface, prefix, strlen(prefix)) == 0)
            server = name;
}

WaylandConnection::~WaylandConnection()
{
    if (display)
        wl_display_disconnect(display);
}

int WaylandConnection::open(double limit_s)
{
    display = wl_display_connect(nullptr);
    if (!display) {
        const char *name = getenv("WAYLAND_DISPLAY");
        fprintf(stderr, "quorvel: cannot connect to the Wayland compositor WAYLAND_DISPLAY=%s: %s\n", name ? name : "",
                strerror(errno));
        return 1;
    }
    start_limit_s_ = limit_s;
    if (limit_s > 0)
        start_deadline_us_ = clock_us(CLOCK_MONOTONIC) + uint64_t(std::min(limit_s, 4.6e9) * 1e6);
    registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &registry_listener, this);
    // The bound globals' first events too: the outputs' modes and scales.
    if (!roundtrip() || !roundtrip())
        return 1;
    if (!compositor || !wm_base_offered) {
        fprintf(stderr, "quorvel: the Wayland compositor offers no %s\n", compositor ? "xdg_wm_base" : "wl_compositor");
        return 1;
    }
    return 0;
}

bool WaylandConnection::wait_for_start(const std::function<bool()> &done)
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

bool WaylandConnection::roundtrip()
{
    static const wl_callback_listener answered = {
        [](void *data, wl_callback *callback, uint32_t) {
            *static_cast<bool *>(data) = true;
            wl_callback_destroy(callback);
        },
    };
    bool done = false;
    wl_callback *callback = wl_display_sync(display);
    wl_callback_add_listener(callback, &answered, &done);
    if (wait_for_start([&done] { return done; }))
        return true;
    wl_callback_destroy(callback);
    return false;
}

void WaylandConnection::pump(uint64_t timeout_us, const sigset_t *mask)
{
    if (lost_)
        return;
    // Once the display has an error, dispatching fails for good and the
    // queue never empties: that is a lost connection, not a loop.
    while (wl_display_prepare_read(display) != 0)
        if (wl_display_dispatch_pending(display) < 0) {
            lost_ = true;
            return;
        }
    wl_display_flush(display);
    struct pollfd fd = {wl_display_get_fd(display), POLLIN, 0};
    struct timespec timeout = {time_t(timeout_us / 1000000), long(timeout_us % 1000000) * 1000};
    bool readable = ppoll(&fd, 1, &timeout, mask) > 0 && (fd.revents & POLLIN);
    if (dispatch) {
        wl_display_cancel_read(display);
        lost_ = dispatch() < 0;
    } else {
        if (readable)
            wl_display_read_events(display);
        else
            wl_display_cancel_read(display);
        wl_display_dispatch_pending(display);
    }
    lost_ = lost_ || (fd.revents & (POLLHUP | POLLERR));
    check_error();
}

void WaylandConnection::check_error()
{
    lost_ = lost_ || wl_display_get_error(display) != 0;
}
