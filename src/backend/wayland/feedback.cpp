#include "backend/wayland/feedback.h"

#include <wayland-client.h>

#include "clock.h"
#include "presentation-time-client-protocol.h"

namespace {

const wp_presentation_feedback_listener feedback_listener = {
    [](void *, struct wp_presentation_feedback *, wl_output *) {},
    [](void *data, struct wp_presentation_feedback *feedback, uint32_t sec_hi, uint32_t sec_lo, uint32_t nsec,
       uint32_t refresh, uint32_t seq_hi, uint32_t seq_lo, uint32_t flags) {
        auto *slot = static_cast<FrameFeedback::Slot *>(data);
        uint64_t sec = (uint64_t(sec_hi) << 32) | sec_lo;
        slot->owner->presented(slot->id, sec * 1000000 + nsec / 1000, refresh, (uint64_t(seq_hi) << 32) | seq_lo, flags);
        slot->owner->free_slot(slot);
        wp_presentation_feedback_destroy(feedback);
    },
    [](void *data, struct wp_presentation_feedback *feedback) {
        auto *slot = static_cast<FrameFeedback::Slot *>(data);
        slot->owner->discarded(slot->id);
        slot->owner->free_slot(slot);
        wp_presentation_feedback_destroy(feedback);
    },
};

const wl_callback_listener callback_listener = {
    [](void *data, wl_callback *callback, uint32_t) {
        static_cast<FrameFeedback *>(data)->released_by_callback();
        wl_callback_destroy(callback);
    },
};

const wl_callback_listener sync_listener = {
    [](void *data, wl_callback *callback, uint32_t) {
        static_cast<FrameFeedback *>(data)->released_by_sync();
        wl_callback_destroy(callback);
    },
};

}  // namespace

void FrameFeedback::start(WaylandConnection &connection, wl_surface *surface, bool vsync)
{
    connection_ = &connection;
    surface_ = surface;
    vsync_ = vsync;
    reported_.reserve(256);
}

// With a swap interval of 1, Mesa waits inside eglSwapBuffers, without a
// bound, for the previous frame's callback. With 0 it asks for none, but
// waits, at the next swap, for a wl_display.sync of its own, and for a free
// buffer, which a compositor that holds them never gives. So with vsync a
// frame is released once the last one's callback has come; without, once a
// sync sent after the last swap, and so after Mesa's, is answered: a
// compositor that answers is alive and releases buffers, and one that is
// frozen answers nothing. Mesa then never waits, the compositor's pace
// holds only with vsync, and the run's own waits keep the deadline and the
// stop signals. Found by freezing Weston: two frames out without a gate
// were already enough for Mesa to wait for a buffer.
void FrameFeedback::before_swap(uint64_t id)
{
    if (connection_->presentation) {
        if (free_.empty()) {
            slots_.push_back({this, 0});
            free_.push_back(&slots_.back());
        }
        asked_slot_ = free_.back();
        free_.pop_back();
        asked_slot_->id = id;
        asked_ = wp_presentation_feedback(connection_->presentation, surface_);
        wp_presentation_feedback_add_listener(asked_, &feedback_listener, asked_slot_);
    }
    if (vsync_) {
        callback_ = wl_surface_frame(surface_);
        wl_callback_add_listener(callback_, &callback_listener, this);
        ++callbacks_in_flight_;
    }
}

void FrameFeedback::after_swap(bool swapped)
{
    if (swapped && !vsync_) {
        wl_callback_add_listener(wl_display_sync(connection_->display), &sync_listener, this);
        ++syncs_in_flight_;
    }
    if (!swapped && asked_) {
        wl_proxy_destroy(reinterpret_cast<wl_proxy *>(asked_));
        free_slot(asked_slot_);
    }
    if (!swapped && callback_) {
        wl_callback_destroy(callback_);
        --callbacks_in_flight_;
    }
    asked_ = nullptr;
    asked_slot_ = nullptr;
    callback_ = nullptr;
}

// The time on the compositor's clock, for the log; on CLOCK_MONOTONIC, where
// the frames' swap ends are, for latency: the two clocks' offset is read now.
void FrameFeedback::presented(uint64_t id, uint64_t ust, uint64_t refresh_ns, uint64_t seq, unsigned flags)
{
    clockid_t clock = connection_->clock;
    Presentation p;
    p.frame_id = id;
    p.ust_mono = clock == CLOCK_MONOTONIC ? ust : ust + clock_us(CLOCK_MONOTONIC) - clock_us(clock);
    p.msc = seq;
    p.mode = flags & flag_zero_copy ? mode_flip : mode_copy;
    p.flags = flags;
    p.refresh_ns = refresh_ns;
    reported_.push_back(p);
}

void FrameFeedback::discarded(uint64_t id)
{
    Presentation p;
    p.mode = mode_skip;
    p.frame_id = id;
    reported_.push_back(p);
}

void FrameFeedback::drain(PresentationFeed &feed)
{
    for (const Presentation &p : reported_)
        feed.presented(p);
    reported_.clear();
}
