#include "display_watch.h"

#include <xcb/present.h>
#include <xcb/xcb.h>

#include <cstdlib>

#include "record.h"
#include "vblank.h"

namespace {

xcb_connection_t *connection = nullptr;
xcb_window_t watched = 0;
uint8_t present_opcode = 0;
VblankFit fit;
PhaseStats phases;
DisplayFigures presents;

void forget_connection()
{
    if (connection)
        xcb_disconnect(connection);
    connection = nullptr;
}

// One NotifyMSC at a time, for the vblank after the last one seen: the
// server answers at that vblank, and the answer is read with the next frame.
void ask_for_vblank(uint64_t msc)
{
    xcb_present_notify_msc(connection, watched, 0, msc, 0, 0);
    xcb_flush(connection);
}

void take_complete(const xcb_present_complete_notify_event_t *e)
{
    if (e->kind == XCB_PRESENT_COMPLETE_KIND_NOTIFY_MSC) {
        fit.add(e->msc, e->ust);
        ask_for_vblank(e->msc + 1);
        return;
    }
    PresentMode mode = e->mode < mode_count ? PresentMode(e->mode) : mode_copy;
    PresentedFrame frame = record_present(e->ust, e->msc, mode);
    // A present is late when it missed the first vblank after its swap ended.
    uint64_t missed = frame.found && fit.known() && mode != mode_skip
        ? fit.vblanks_late(e->msc, frame.swap_end_mono_us) : 0;
    add_present(presents, mode, missed,
                frame.found && e->ust >= frame.start_mono_us ? int64_t(e->ust - frame.start_mono_us) : -1);
}

void take_event(xcb_generic_event_t *e)
{
    if ((e->response_type & 0x7f) != XCB_GE_GENERIC)
        return;
    auto *generic = reinterpret_cast<xcb_ge_generic_event_t *>(e);
    if (generic->extension == present_opcode && generic->event_type == XCB_PRESENT_COMPLETE_NOTIFY)
        take_complete(reinterpret_cast<xcb_present_complete_notify_event_t *>(e));
}

}  // namespace

void watch_display(const char *display_name, uint32_t window)
{
    connection = xcb_connect(display_name, nullptr);
    const xcb_query_extension_reply_t *ext =
        xcb_connection_has_error(connection) ? nullptr : xcb_get_extension_data(connection, &xcb_present_id);
    if (!ext || !ext->present) {
        forget_connection();
        return;
    }
    present_opcode = ext->major_opcode;
    free(xcb_present_query_version_reply(connection, xcb_present_query_version(connection, 1, 0), nullptr));
    watched = window;
    xcb_present_select_input(connection, xcb_generate_id(connection), window,
                             XCB_PRESENT_EVENT_MASK_COMPLETE_NOTIFY);
    ask_for_vblank(0);
}

bool watching_presents()
{
    return connection != nullptr;
}

void watch_events()
{
    if (!connection)
        return;
    while (xcb_generic_event_t *e = xcb_poll_for_event(connection)) {
        take_event(e);
        free(e);
    }
    // A lost connection only ends what it reports; the frames go on.
    if (xcb_connection_has_error(connection))
        forget_connection();
}

void watch_frame(uint64_t swap_end_mono_us, bool measured)
{
    watch_events();
    if (measured && fit.known())
        phases.add(swap_end_mono_us, fit.last_vblank_ust(), fit.period_us());
}

DisplayFigures display_figures(const FrameFigures &frames, int32_t requested_us)
{
    DisplayFigures d = presents;
    double period = fit.known() ? fit.period_us() : 0;
    if (period > 0) {
        d.refresh_hz = 1e6 / period;
        d.refresh_source = "Present vblank clock";
    }
    d.vsync = vsync_verdict(phases, period, frames.interval.mean(), requested_us);
    return d;
}
