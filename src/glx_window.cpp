#include "glx_window.h"

#include <GL/glew.h>
#include <GL/glxew.h>
#include <X11/Xatom.h>
#include <poll.h>
#include <sys/prctl.h>

#include <cstring>

#include "run_end.h"

// GLEW's GLXEW_* flags come from the client library's list, which names swap
// control even where the screen cannot do it; the screen's list is the truth.
bool swap_control_offered()
{
    Display *display = glXGetCurrentDisplay();
    if (!display)
        return false;
    const char *list = glXQueryExtensionsString(display, DefaultScreen(display));
    std::string extensions = std::string(" ") + (list ? list : "") + " ";
    for (const char *name : {" GLX_EXT_swap_control ", " GLX_MESA_swap_control ", " GLX_SGI_swap_control "})
        if (extensions.find(name) != std::string::npos)
            return true;
    return false;
}

// Most drivers ignore __GL_SYNC_TO_VBLANK, so the request is repeated here.
// The SGI extension is not used: it cannot set an interval of 0. The interval
// is never read back: querying GLX_SWAP_INTERVAL_EXT crashes some Mesa versions.
void request_swap_interval(int on)
{
    if (!swap_control_offered())
        return;
    if (GLXEW_EXT_swap_control && glXSwapIntervalEXT)
        glXSwapIntervalEXT(glXGetCurrentDisplay(), glXGetCurrentDrawable(), on);
    else if (GLXEW_MESA_swap_control && glXSwapIntervalMESA)
        glXSwapIntervalMESA(on);
}

// GLUT stores the title as a Latin-1 WM_NAME, so window managers would show
// UTF-8 text such as "μ" garbled; they prefer _NET_WM_NAME when it is set.
void set_utf8_window_title(const char *title)
{
    Display *display = glXGetCurrentDisplay();
    GLXDrawable window = glXGetCurrentDrawable();
    if (!display || !window)
        return;
    Atom name = XInternAtom(display, "_NET_WM_NAME", False);
    Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
    XChangeProperty(display, window, name, utf8, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char *>(title),
                    static_cast<int>(strlen(title)));
}

std::string gl_string(unsigned name)
{
    const GLubyte *text = glGetString(name);
    return text ? reinterpret_cast<const char *>(text) : "";
}

void wait_for_x(uint64_t timeout_us, const volatile sig_atomic_t *stop)
{
    static bool slack_set = false;
    if (!slack_set) {
        // The default slack of 50 μs would make every wake-up late by as much.
        prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
        slack_set = true;
    }
    Display *display = glXGetCurrentDisplay();
    if (!display || XEventsQueued(display, QueuedAfterFlush) > 0)
        return;
    struct pollfd fd = {ConnectionNumber(display), POLLIN, 0};
    struct timespec timeout = {static_cast<time_t>(timeout_us / 1000000),
                               static_cast<long>(timeout_us % 1000000) * 1000};
    // The stop signals are let in only inside ppoll, so one that comes just
    // before the sleep cannot be missed for the whole of it.
    sigset_t stops = stop_signal_set(), before;
    sigprocmask(SIG_BLOCK, &stops, &before);
    if (!*stop)
        ppoll(&fd, 1, &timeout, &before);
    sigprocmask(SIG_SETMASK, &before, nullptr);
}

uint32_t current_window()
{
    return static_cast<uint32_t>(glXGetCurrentDrawable());
}

const char *current_display_name()
{
    Display *display = glXGetCurrentDisplay();
    return display ? DisplayString(display) : nullptr;
}
