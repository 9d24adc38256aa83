// The window as an xdg-shell toplevel with its title bar, through libdecor:
// the compositor's own where it offers server-side decorations, drawn by
// libdecor's plugin in subsurfaces elsewhere (Mutter, Weston).
#pragma once

#include "backend/wayland/connection.h"
#include "backend/wayland/surface.h"

struct libdecor;
struct libdecor_frame;

class Toplevel {
public:
    ~Toplevel();
    // Decorates `surface` and maps it; each configure sizes it. False, said
    // on standard error, where libdecor cannot.
    bool create(WaylandConnection &connection, WaylandSurface &surface, const char *title);
    // Reaches the compositor with the next commit of the window's surface.
    void set_title(const char *title);

    bool configured() const { return configured_; }
    bool closed() const { return closed_; }
    // Whether the first configure, or one with a new size, came since the
    // last call: the window then needs a new frame, as an expose does on X11.
    bool take_configure();

    // What libdecor says; its listeners call these.
    void configure(struct libdecor_configuration *configuration);
    void close() { closed_ = true; }
    // libdecor asks for a commit of the window's surface. Before the first
    // configure it is made at once; after, the next frame's commit carries
    // it, so that no commit without a buffer takes the place of a frame's
    // and its feedback, and no decoration is ever drawn as a frame of its own.
    void commit();

private:
    WaylandSurface *surface_ = nullptr;
    libdecor *decor_ = nullptr;
    libdecor_frame *decoration_ = nullptr;
    bool configured_ = false, closed_ = false, configure_pending_ = false;
};
