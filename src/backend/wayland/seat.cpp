#include "backend/wayland/seat.h"

#include <unistd.h>
#include <wayland-client.h>

#include <utility>

#include "clock.h"

namespace {

wl_keyboard_listener keyboard_listener()
{
    wl_keyboard_listener l{};
    l.keymap = [](void *, wl_keyboard *, uint32_t, int32_t fd, uint32_t) { close(fd); };
    l.enter = [](void *data, wl_keyboard *, uint32_t, wl_surface *surface, wl_array *) {
        static_cast<WaylandSeat *>(data)->keyboard_entered(surface);
    };
    l.leave = [](void *data, wl_keyboard *, uint32_t, wl_surface *) { static_cast<WaylandSeat *>(data)->keyboard_left(); };
    // Key repeats are not presses.
    l.key = [](void *data, wl_keyboard *, uint32_t, uint32_t, uint32_t, uint32_t state) {
        if (state == WL_KEYBOARD_KEY_STATE_PRESSED)
            static_cast<WaylandSeat *>(data)->key_pressed();
    };
    l.modifiers = [](void *, wl_keyboard *, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t) {};
    return l;
}

// Bound at version 1, which sends only the first five pointer events.
wl_pointer_listener pointer_listener()
{
    wl_pointer_listener l{};
    l.enter = [](void *data, wl_pointer *, uint32_t, wl_surface *surface, wl_fixed_t, wl_fixed_t) {
        static_cast<WaylandSeat *>(data)->pointer_entered(surface);
    };
    l.leave = [](void *data, wl_pointer *, uint32_t, wl_surface *) { static_cast<WaylandSeat *>(data)->pointer_left(); };
    l.motion = [](void *, wl_pointer *, uint32_t, wl_fixed_t, wl_fixed_t) {};
    l.button = [](void *data, wl_pointer *, uint32_t, uint32_t, uint32_t, uint32_t state) {
        if (state == WL_POINTER_BUTTON_STATE_PRESSED)
            static_cast<WaylandSeat *>(data)->button_pressed();
    };
    l.axis = [](void *, wl_pointer *, uint32_t, uint32_t, wl_fixed_t) {};
    return l;
}

const wl_seat_listener seat_listener = {
    [](void *data, wl_seat *seat, uint32_t caps) { static_cast<WaylandSeat *>(data)->capabilities(seat, caps); },
    [](void *, wl_seat *, const char *) {},
};

}  // namespace

void WaylandSeat::listen(WaylandConnection &connection, wl_surface *surface)
{
    surface_ = surface;
    if (!connection.seat_name)
        return;
    auto *seat = static_cast<wl_seat *>(wl_registry_bind(connection.registry, connection.seat_name, &wl_seat_interface, 1));
    wl_seat_add_listener(seat, &seat_listener, this);
}

void WaylandSeat::capabilities(wl_seat *seat, uint32_t caps)
{
    static const wl_pointer_listener pointer = pointer_listener();
    static const wl_keyboard_listener keyboard = keyboard_listener();
    if ((caps & WL_SEAT_CAPABILITY_KEYBOARD) && !keyboard_) {
        keyboard_ = wl_seat_get_keyboard(seat);
        wl_keyboard_add_listener(keyboard_, &keyboard, this);
    }
    if ((caps & WL_SEAT_CAPABILITY_POINTER) && !pointer_) {
        pointer_ = wl_seat_get_pointer(seat);
        wl_pointer_add_listener(pointer_, &pointer, this);
    }
}

void WaylandSeat::key_pressed()
{
    if (keyboard_focus_)
        presses_.push_back({getsystemtick(), user_key});
}

void WaylandSeat::button_pressed()
{
    if (pointer_inside_)
        presses_.push_back({getsystemtick(), user_key});
}

std::vector<Press> WaylandSeat::take()
{
    return std::exchange(presses_, {});
}
