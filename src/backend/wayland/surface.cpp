#include "backend/wayland/surface.h"

#include <EGL/egl.h>
#include <GL/gl.h>
#include <wayland-client.h>
#include <wayland-egl.h>

#include <algorithm>
#include <cmath>

#include "fractional-scale-v1-client-protocol.h"
#include "viewporter-client-protocol.h"

namespace {

// Newer libwayland adds events to the end, which the version bound never
// asks for: filled field by field, the listener builds against either.
const wl_surface_listener *surface_listener()
{
    static wl_surface_listener l{};
    l.enter = [](void *data, wl_surface *, wl_output *output) { static_cast<WaylandSurface *>(data)->entered(output); };
    l.leave = [](void *data, wl_surface *, wl_output *output) { static_cast<WaylandSurface *>(data)->left(output); };
    return &l;
}

const wp_fractional_scale_v1_listener fractional_listener = {
    [](void *data, wp_fractional_scale_v1 *, uint32_t scale_120) {
        static_cast<WaylandSurface *>(data)->prefer_scale(scale_120);
    },
};

}  // namespace

WaylandSurface::~WaylandSurface()
{
    if (egl_window_)
        wl_egl_window_destroy(egl_window_);
}

void WaylandSurface::create(WaylandConnection &connection)
{
    connection_ = &connection;
    surface_ = wl_compositor_create_surface(connection.compositor);
    wl_surface_add_listener(surface_, surface_listener(), this);
    if (connection.viewporter && connection.fractional_manager) {
        viewport_ = wp_viewporter_get_viewport(connection.viewporter, surface_);
        wp_fractional_scale_v1_add_listener(
            wp_fractional_scale_manager_v1_get_fractional_scale(connection.fractional_manager, surface_),
            &fractional_listener, this);
    }
    connection.outputs_changed = [this] { rescale(); };
}

void WaylandSurface::entered(wl_output *output)
{
    entered_.push_back(output);
    rescale();
}

void WaylandSurface::left(wl_output *output)
{
    entered_.erase(std::remove(entered_.begin(), entered_.end(), output), entered_.end());
    rescale();
}

void WaylandSurface::prefer_scale(uint32_t scale_120)
{
    fractional_120_ = scale_120;
    rescale();
}

// The compositor's preferred fractional scale where it gives one (drawn
// through a viewport); else the largest integer scale of the outputs the
// window is on, or of the first output before it is on any. A compositor
// bound below version 3 cannot take a buffer scale: 1 there.
double WaylandSurface::wanted_scale() const
{
    if (fractional_120_ && viewport_)
        return fractional_120_ / 120.0;
    if (connection_->compositor_version < 3)
        return 1;
    int scale = 1;
    const std::vector<WaylandOutput> &outputs = connection_->outputs;
    for (const WaylandOutput &o : outputs)
        if (entered_.empty() ? &o == &outputs.front()
                             : std::find(entered_.begin(), entered_.end(), o.output) != entered_.end())
            scale = std::max(scale, o.scale);
    return scale;
}

void WaylandSurface::apply_size(int logical_width, int logical_height)
{
    logical_width_ = logical_width;
    logical_height_ = logical_height;
    double scale = wanted_scale();
    if (viewport_)
        wp_viewport_set_destination(viewport_, logical_width, logical_height);
    if (connection_->compositor_version >= 3)
        wl_surface_set_buffer_scale(surface_, fractional_120_ && viewport_ ? 1 : int(scale));
    scale_changed_ = scale_changed_ || scale != scale_;
    scale_ = scale;
    resize(int(std::lround(logical_width * scale)), int(std::lround(logical_height * scale)));
}

bool WaylandSurface::take_scale_change()
{
    bool changed = scale_changed_;
    scale_changed_ = false;
    return changed;
}

wl_egl_window *WaylandSurface::egl_window()
{
    if (!egl_window_)
        egl_window_ = wl_egl_window_create(surface_, width_, height_);
    return egl_window_;
}

// The buffer's size; GL draws in logical pixels over all of it.
void WaylandSurface::resize(int width, int height)
{
    if (width == width_ && height == height_)
        return;
    width_ = width;
    height_ = height;
    if (egl_window_)
        wl_egl_window_resize(egl_window_, width, height, 0, 0);
    // GLUT keeps the viewport on the whole window; so does this.
    if (eglGetCurrentContext() != EGL_NO_CONTEXT)
        glViewport(0, 0, width, height);
}
