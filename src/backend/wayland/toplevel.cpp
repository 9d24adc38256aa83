#include "backend/wayland/toplevel.h"

#include <libdecor.h>
#include <wayland-client.h>

#include <cstdio>

namespace {

// libdecor's interfaces have room reserved at their ends: they are filled field by field.
libdecor_interface *decor_interface()
{
    static libdecor_interface l{};
    l.error = [](libdecor *, libdecor_error, const char *message) { fprintf(stderr, "quorvel: libdecor: %s\n", message); };
    return &l;
}

libdecor_frame_interface *decoration_interface()
{
    static libdecor_frame_interface l{};
    l.configure = [](libdecor_frame *, libdecor_configuration *configuration, void *data) {
        static_cast<Toplevel *>(data)->configure(configuration);
    };
    l.close = [](libdecor_frame *, void *data) { static_cast<Toplevel *>(data)->close(); };
    l.commit = [](libdecor_frame *, void *data) { static_cast<Toplevel *>(data)->commit(); };
    l.dismiss_popup = [](libdecor_frame *, const char *, void *) {};
    return &l;
}

}  // namespace

Toplevel::~Toplevel()
{
    if (decoration_)
        libdecor_frame_unref(decoration_);
    if (decor_)
        libdecor_unref(decor_);
}

bool Toplevel::create(WaylandConnection &connection, WaylandSurface &surface, const char *title)
{
    surface_ = &surface;
    decor_ = libdecor_new(connection.display, decor_interface());
    if (decor_)
        decoration_ = libdecor_decorate(decor_, surface.surface(), decoration_interface(), this);
    if (!decoration_) {
        fprintf(stderr, "quorvel: libdecor cannot make a window on this compositor\n");
        return false;
    }
    connection.dispatch = [this] { return libdecor_dispatch(decor_, 0); };
    libdecor_frame_set_title(decoration_, title);
    libdecor_frame_set_app_id(decoration_, "quorvel");
    libdecor_frame_map(decoration_);
    return true;
}

void Toplevel::set_title(const char *title)
{
    libdecor_frame_set_title(decoration_, title);
}

void Toplevel::configure(libdecor_configuration *configuration)
{
    // No size leaves it to the client: the one asked for, or the current one.
    int width = 0, height = 0;
    if (!libdecor_configuration_get_content_size(configuration, decoration_, &width, &height) || width <= 0 ||
        height <= 0) {
        width = surface_->logical_width();
        height = surface_->logical_height();
    }
    libdecor_state *state = libdecor_state_new(width, height);
    libdecor_frame_commit(decoration_, state, configuration);
    libdecor_state_free(state);
    // Only a new size needs new content: the buffer stays on the surface,
    // and a configure that changes the state alone (activated, say) has
    // libdecor redraw its title bar, which the next frame's commit carries.
    configure_pending_ = configure_pending_ || !configured_ || width != surface_->logical_width() || height != surface_->logical_height();
    configured_ = true;
    surface_->apply_size(width, height);
}

bool Toplevel::take_configure()
{
    bool pending = configure_pending_;
    configure_pending_ = false;
    return pending;
}

void Toplevel::commit()
{
    if (!configured_)
        wl_surface_commit(surface_->surface());
}
