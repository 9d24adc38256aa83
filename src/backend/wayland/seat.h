// Presses on the window's own surface: keys while it has the keyboard
// focus, buttons while the pointer is on it, not on libdecor's title bar.
// Everything else a seat says is of no use here.
#pragma once

#include <vector>

#include "backend/backend.h"
#include "backend/wayland/connection.h"

struct wl_keyboard;
struct wl_pointer;
struct wl_seat;
struct wl_surface;

class WaylandSeat {
public:
    // Binds the first seat, if any, and listens to its keyboard and pointer.
    void listen(WaylandConnection &connection, wl_surface *surface);
    // The presses since the last call.
    std::vector<Press> take();

    // What the seat says; its listeners call these.
    void keyboard_entered(wl_surface *surface) { keyboard_focus_ = surface == surface_; }
    void keyboard_left() { keyboard_focus_ = false; }
    void key_pressed();
    void pointer_entered(wl_surface *surface) { pointer_inside_ = surface == surface_; }
    void pointer_left() { pointer_inside_ = false; }
    void button_pressed();
    void capabilities(wl_seat *seat, uint32_t caps);

private:
    wl_surface *surface_ = nullptr;
    wl_keyboard *keyboard_ = nullptr;
    wl_pointer *pointer_ = nullptr;
    bool keyboard_focus_ = false, pointer_inside_ = false;
    std::vector<Press> presses_;
};
