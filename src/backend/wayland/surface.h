// The window's surface and its scale: the outputs it is on, or the
// compositor's fractional scale, decide how many buffer pixels a logical
// pixel takes, so that the digits stay sharp and the compositor need not
// scale the buffer.
#pragma once

#include <cstdint>
#include <vector>

#include "backend/wayland/connection.h"

struct wl_egl_window;
struct wl_surface;
struct wp_viewport;

class WaylandSurface {
public:
    ~WaylandSurface();
    // Makes the surface, and its viewport where the compositor scales by fractions.
    void create(WaylandConnection &connection);
    // Sets the window's logical size, drawn at the wanted scale; the buffer
    // scale and the viewport, like the new buffer, take effect with the next commit.
    void apply_size(int logical_width, int logical_height);
    // Follows a change of the outputs or of the preferred scale.
    void rescale() { apply_size(logical_width_, logical_height_); }
    // The window that EGL draws into, of the buffer's size.
    wl_egl_window *egl_window();
    // Whether the scale changed since the last call: the window then needs a new frame.
    bool take_scale_change();

    wl_surface *surface() const { return surface_; }
    int logical_width() const { return logical_width_; }
    int logical_height() const { return logical_height_; }
    double scale() const { return scale_; }

    // What the compositor says of the surface.
    void entered(wl_output *output);
    void left(wl_output *output);
    void prefer_scale(uint32_t scale_120);

private:
    double wanted_scale() const;
    void resize(int width, int height);

    WaylandConnection *connection_ = nullptr;
    wl_surface *surface_ = nullptr;
    wp_viewport *viewport_ = nullptr;
    wl_egl_window *egl_window_ = nullptr;
    std::vector<wl_output *> entered_;  // the outputs the window is on
    uint32_t fractional_120_ = 0;       // the compositor's preferred scale in 120ths; 0 until it says
    int width_ = 0, height_ = 0, logical_width_ = 0, logical_height_ = 0;
    double scale_ = 1;
    bool scale_changed_ = false;
};
