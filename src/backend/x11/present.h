// The X server's Present extension on a connection of its own: the vblank
// clock of a window's screen and the presents completed on the window.
#pragma once

#include <cstdint>

#include "presentation.h"
#include "window_system.h"

struct xcb_connection_t;

class X11Present {
public:
    X11Present();
    ~X11Present();
    // Starts watching `window` on the X server named `display_name`. Without
    // the Present extension, or without the server, nothing is learnt.
    void watch(const char *display_name, uint32_t window);
    // Feeds what the server has reported so far; `latest_id` is the id of
    // the latest swap, against which the server's 32-bit serials are widened.
    void poll(PresentationFeed &feed, uint64_t latest_id);
    bool connected() const { return connection_ != nullptr; }
    // x11, or xwayland; a clock known to be a software one where the server
    // tells: Xvfb's and Xwayland's. A plain X server goes unnamed in the
    // summary: it is the usual case, and needs no word.
    DisplayIdentity identity() const { return identity_; }
    DisplayWording wording() const { return wording_; }

private:
    void forget();
    void ask_for_vblank(uint64_t msc);
    void take(void *event, PresentationFeed &feed, uint64_t latest_id);
    void identify(uint32_t root);

    xcb_connection_t *connection_ = nullptr;
    uint32_t window_ = 0;
    uint8_t opcode_ = 0;
    uint32_t vblank_serial_ = 0;             // of the request in flight
    uint64_t asked_at_ = 0;                  // CLOCK_MONOTONIC μs
    uint64_t last_msc_ = 0, last_ust_ = 0;   // the latest answer
    double period_us_ = 0;                   // between answers; 0 unknown
    DisplayIdentity identity_;
    DisplayWording wording_;
};
