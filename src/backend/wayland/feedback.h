// The compositor's word on every frame (wp_presentation feedback, asked for
// on the commit each swap makes and naming that swap's id), and the gate
// that keeps Mesa from waiting without a bound inside eglSwapBuffers.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "backend/wayland/connection.h"
#include "presentation.h"

struct wl_surface;
struct wp_presentation_feedback;

class FrameFeedback {
public:
    void start(WaylandConnection &connection, wl_surface *surface, bool vsync);
    // Just before the swap whose id is `id`: what its commit is to carry.
    void before_swap(uint64_t id);
    // Just after it: where the swap failed, no commit carries what was asked
    // for, and the next would, so it is dropped and cannot speak for the
    // next frame.
    void after_swap(bool swapped);
    // Frames swapped whose release has not come.
    unsigned in_flight() const { return callbacks_in_flight_ + syncs_in_flight_; }
    // Feeds the presents reported since the last call.
    void drain(PresentationFeed &feed);

    // What the compositor says; its listeners call these.
    void presented(uint64_t id, uint64_t ust, uint64_t refresh_ns, uint64_t seq, unsigned flags);
    void discarded(uint64_t id);
    void released_by_callback() { --callbacks_in_flight_; }
    void released_by_sync() { --syncs_in_flight_; }

    // One frame's request for feedback. Slots are reused, so that no
    // swap allocates once as many are out as the compositor keeps.
    struct Slot {
        FrameFeedback *owner;
        uint64_t id;
    };
    void free_slot(Slot *slot) { free_.push_back(slot); }

private:
    WaylandConnection *connection_ = nullptr;
    wl_surface *surface_ = nullptr;
    bool vsync_ = false;
    std::deque<Slot> slots_;     // stable addresses for the listeners' data
    std::vector<Slot *> free_;
    struct wp_presentation_feedback *asked_ = nullptr;  // for the swap under way
    Slot *asked_slot_ = nullptr;
    struct wl_callback *callback_ = nullptr;     // likewise
    // With vsync, frames committed whose wl_surface.frame callback has not
    // come: a compositor that is stalled, or hides the window, sends none.
    // Without, frames whose wl_display.sync has not been answered: one that
    // answers is alive, and releases buffers.
    unsigned callbacks_in_flight_ = 0, syncs_in_flight_ = 0;
    std::vector<Presentation> reported_;  // waiting for the next drain
};
