#include "x11_present.h"

#include <xcb/present.h>
#include <xcb/xcb.h>

#include <cstdlib>

X11Present::~X11Present()
{
    forget();
}

void X11Present::forget()
{
    if (connection_)
        xcb_disconnect(connection_);
    connection_ = nullptr;
}

// One NotifyMSC at a time, for the vblank after the last one seen: the
// server answers at that vblank, and the answer is read with the next poll.
void X11Present::ask_for_vblank(uint64_t msc)
{
    xcb_present_notify_msc(connection_, window_, 0, msc, 0, 0);
    xcb_flush(connection_);
}

void X11Present::watch(const char *display_name, uint32_t window)
{
    connection_ = xcb_connect(display_name, nullptr);
    const xcb_query_extension_reply_t *ext =
        xcb_connection_has_error(connection_) ? nullptr : xcb_get_extension_data(connection_, &xcb_present_id);
    if (!ext || !ext->present) {
        forget();
        return;
    }
    opcode_ = ext->major_opcode;
    free(xcb_present_query_version_reply(connection_, xcb_present_query_version(connection_, 1, 0), nullptr));
    window_ = window;
    xcb_present_select_input(connection_, xcb_generate_id(connection_), window,
                             XCB_PRESENT_EVENT_MASK_COMPLETE_NOTIFY);
    ask_for_vblank(0);
}

void X11Present::take(void *event, PresentationFeed &feed)
{
    auto *generic = static_cast<xcb_ge_generic_event_t *>(event);
    if ((generic->response_type & 0x7f) != XCB_GE_GENERIC || generic->extension != opcode_ ||
        generic->event_type != XCB_PRESENT_COMPLETE_NOTIFY)
        return;
    auto *e = static_cast<xcb_present_complete_notify_event_t *>(event);
    if (e->kind == XCB_PRESENT_COMPLETE_KIND_NOTIFY_MSC) {
        feed.vblank(e->msc, e->ust);
        ask_for_vblank(e->msc + 1);
    } else {
        feed.presented(e->ust, e->msc, e->mode < mode_count ? PresentMode(e->mode) : mode_copy);
    }
}

void X11Present::poll(PresentationFeed &feed)
{
    if (!connection_)
        return;
    while (xcb_generic_event_t *e = xcb_poll_for_event(connection_)) {
        take(e, feed);
        free(e);
    }
    // A lost connection only ends what it reports; the frames go on.
    if (xcb_connection_has_error(connection_))
        forget();
}
