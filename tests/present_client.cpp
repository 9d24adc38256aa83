// present_client WINDOW COPIES SKIPS NOTIFIES FIRST: presents pixmaps to
// another client's window through Present: COPIES that complete, and SKIPS
// more that a later present for the same vblank replaces, with serials from FIRST. Prints
// the modes it was told of. Then asks NOTIFIES times for the next vblank
// and counts the vblank answers to other clients over the 60 vblanks after.
#include <cstdio>
#include <cstdlib>
#include <xcb/present.h>
#include <xcb/xcb.h>

int main(int, char **argv)
{
    xcb_window_t window = xcb_window_t(strtoul(argv[1], nullptr, 0));
    int copies = atoi(argv[2]), skips = atoi(argv[3]), notifies = atoi(argv[4]);
    uint32_t first_serial = uint32_t(strtoul(argv[5], nullptr, 0));
    xcb_connection_t *c = xcb_connect(nullptr, nullptr);
    xcb_get_geometry_reply_t *g = xcb_get_geometry_reply(c, xcb_get_geometry(c, window), nullptr);
    if (!g)
        return 1;
    xcb_pixmap_t pixmap = xcb_generate_id(c);
    xcb_create_pixmap(c, g->depth, pixmap, window, g->width, g->height);
    free(xcb_present_query_version_reply(c, xcb_present_query_version(c, 1, 0), nullptr));
    xcb_present_select_input(c, xcb_generate_id(c), window, XCB_PRESENT_EVENT_MASK_COMPLETE_NOTIFY);
    xcb_present_notify_msc(c, window, 0, 0, 0, 0);
    xcb_flush(c);
    const xcb_query_extension_reply_t *ext = xcb_get_extension_data(c, &xcb_present_id);
    int seen[4] = {0}, total = 0, wanted = copies + skips;
    uint64_t msc0 = 0;
    for (xcb_generic_event_t *e; total < wanted && (e = xcb_wait_for_event(c)); free(e)) {
        auto *n = reinterpret_cast<xcb_present_complete_notify_event_t *>(e);
        if ((e->response_type & 0x7f) != XCB_GE_GENERIC || n->extension != ext->major_opcode)
            continue;
        if (n->kind == XCB_PRESENT_COMPLETE_KIND_NOTIFY_MSC && !msc0) {
            msc0 = n->msc;
            for (int k = 1; k <= copies; ++k)
                for (int twice = k <= skips ? 2 : 1; twice > 0; --twice)
                    xcb_present_pixmap(c, window, pixmap, first_serial + k - 1, 0, 0, 0, 0, 0, 0, 0, 0, msc0 + 2 * k, 0, 0, 0, nullptr);
            xcb_flush(c);
        } else if (n->kind == XCB_PRESENT_COMPLETE_KIND_PIXMAP) {
            ++seen[n->mode & 3];
            ++total;
        }
    }
    printf("copy %d flip %d skip %d suboptimal_copy %d\n", seen[0], seen[1], seen[2], seen[3]);
    const uint32_t mine = 7;
    for (int k = 0; k < notifies; ++k)
        xcb_present_notify_msc(c, window, mine, 0, 0, 0);
    xcb_flush(c);
    uint64_t first = 0;
    int others = 0;
    for (xcb_generic_event_t *e; (e = xcb_wait_for_event(c)); free(e)) {
        auto *n = reinterpret_cast<xcb_present_complete_notify_event_t *>(e);
        if ((e->response_type & 0x7f) != XCB_GE_GENERIC || n->extension != ext->major_opcode ||
            n->kind != XCB_PRESENT_COMPLETE_KIND_NOTIFY_MSC)
            continue;
        if (n->serial == mine && !first)
            first = n->msc;
        else if (n->serial != mine && first && n->msc > first + 60)
            break;
        else if (n->serial != mine && first)
            ++others;
    }
    printf("vblank answers to others %d\n", others);
    return 0;
}
