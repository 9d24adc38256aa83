#include "backend/x11/present.h"

#include <xcb/present.h>
#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "clock.h"
#include "vblank.h"

X11Present::X11Present()
{
    identity_.window_system = "x11";
    identity_.server = "X server";
}

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
// Its serial tells the answer from those to other clients' requests, which
// come to every client watching the window; Mesa's own count up from 1.
void X11Present::ask_for_vblank(uint64_t msc)
{
    vblank_serial_ = 0x80000000u | (vblank_serial_ + 1);
    xcb_present_notify_msc(connection_, window_, vblank_serial_, msc, 0, 0);
    xcb_flush(connection_);
    asked_at_ = monotonic_us();
}

namespace {

template <typename Reply>
struct Freed {
    Reply *reply;
    ~Freed() { free(reply); }
};

// The names of the screen's RandR outputs.
std::vector<std::string> output_names(xcb_connection_t *c, xcb_window_t root)
{
    std::vector<std::string> names;
    Freed<xcb_randr_query_version_reply_t> version{
        xcb_randr_query_version_reply(c, xcb_randr_query_version(c, 1, 3), nullptr)};
    if (!version.reply)
        return names;
    Freed<xcb_randr_get_screen_resources_current_reply_t> res{xcb_randr_get_screen_resources_current_reply(
        c, xcb_randr_get_screen_resources_current(c, root), nullptr)};
    if (!res.reply)
        return names;
    xcb_randr_output_t *outputs = xcb_randr_get_screen_resources_current_outputs(res.reply);
    for (int i = 0; i < xcb_randr_get_screen_resources_current_outputs_length(res.reply); ++i) {
        Freed<xcb_randr_get_output_info_reply_t> info{xcb_randr_get_output_info_reply(
            c, xcb_randr_get_output_info(c, outputs[i], res.reply->config_timestamp), nullptr)};
        if (info.reply)
            names.emplace_back(reinterpret_cast<const char *>(xcb_randr_get_output_info_name(info.reply)),
                               size_t(xcb_randr_get_output_info_name_length(info.reply)));
    }
    return names;
}

}  // namespace

// Xwayland has the XWAYLAND extension from 23.1 on; before, only its RandR
// outputs, XWAYLAND0 and on, give it away. Xvfb's one output is "screen".
void X11Present::identify(uint32_t root)
{
    const char *ext = "XWAYLAND";
    Freed<xcb_query_extension_reply_t> xwayland{
        xcb_query_extension_reply(connection_, xcb_query_extension(connection_, uint16_t(strlen(ext)), ext), nullptr)};
    bool is_xwayland = xwayland.reply && xwayland.reply->present, is_xvfb = false;
    std::vector<std::string> outputs = output_names(connection_, root);
    if (!outputs.empty())
        identity_.facts.output = outputs.front();
    for (const std::string &name : outputs) {
        is_xwayland = is_xwayland || name.rfind("XWAYLAND", 0) == 0;
        is_xvfb = is_xvfb || name == "screen";
    }
    if (is_xwayland) {
        identity_.window_system = "xwayland", identity_.server = "Xwayland";
        wording_.named = true;
        wording_.note = "Xwayland's vblank clock and presents imitate the compositor's; "
                        "--winsys wayland measures the compositor itself";
    }
    if (is_xvfb)
        identity_.server = "Xvfb";
    identity_.software_clock = is_xwayland || is_xvfb;
}

void X11Present::watch(const char *display_name, uint32_t window)
{
    int screen = 0;
    connection_ = xcb_connect(display_name, &screen);
    const xcb_query_extension_reply_t *ext =
        xcb_connection_has_error(connection_) ? nullptr : xcb_get_extension_data(connection_, &xcb_present_id);
    if (!ext || !ext->present) {
        forget();
        return;
    }
    opcode_ = ext->major_opcode;
    xcb_screen_iterator_t roots = xcb_setup_roots_iterator(xcb_get_setup(connection_));
    for (; screen > 0 && roots.rem > 1; --screen)
        xcb_screen_next(&roots);
    const xcb_setup_t *setup = xcb_get_setup(connection_);
    identity_.facts.version = std::string(xcb_setup_vendor(setup), size_t(xcb_setup_vendor_length(setup))) + " " +
                              std::to_string(setup->release_number);
    identity_.facts.width = roots.data->width_in_pixels, identity_.facts.height = roots.data->height_in_pixels;
    identify(roots.data->root);
    free(xcb_present_query_version_reply(connection_, xcb_present_query_version(connection_, 1, 0), nullptr));
    window_ = window;
    xcb_present_select_input(connection_, xcb_generate_id(connection_), window,
                             XCB_PRESENT_EVENT_MASK_COMPLETE_NOTIFY);
    ask_for_vblank(0);
}

void X11Present::take(void *event, PresentationFeed &feed, uint64_t latest_id)
{
    auto *generic = static_cast<xcb_ge_generic_event_t *>(event);
    if ((generic->response_type & 0x7f) != XCB_GE_GENERIC || generic->extension != opcode_ ||
        generic->event_type != XCB_PRESENT_COMPLETE_NOTIFY)
        return;
    auto *e = static_cast<xcb_present_complete_notify_event_t *>(event);
    if (e->kind == XCB_PRESENT_COMPLETE_KIND_NOTIFY_MSC) {
        feed.vblank(e->msc, e->ust);
        if (e->serial == vblank_serial_) {
            period_us_ = vblank_period(last_msc_, last_ust_, e->msc, e->ust, period_us_);
            last_msc_ = e->msc;
            last_ust_ = e->ust;
            ask_for_vblank(e->msc + 1);
        }
    } else {
        // GL's swaps carry the swap count as the serial, in 32 bits.
        Presentation p;
        p.frame_id = swap_id(e->serial, latest_id);
        p.ust_mono = e->ust;
        p.msc = e->msc;
        p.mode = e->mode < mode_count ? PresentMode(e->mode) : mode_copy;
        feed.presented(p);
    }
}

void X11Present::poll(PresentationFeed &feed, uint64_t latest_id)
{
    if (!connection_)
        return;
    while (xcb_generic_event_t *e = xcb_poll_for_event(connection_)) {
        take(e, feed, latest_id);
        free(e);
    }
    // An answer that never comes, as for a window the server stopped
    // showing, would end the samples for good: ask again.
    if (vblank_request_lost(asked_at_, monotonic_us(), period_us_))
        ask_for_vblank(0);
    // A lost connection only ends what it reports; the frames go on.
    if (xcb_connection_has_error(connection_))
        forget();
}
