#include "glx_window.h"

#include <GL/glew.h>
#include <GL/glxew.h>
#include <X11/Xatom.h>

#include <cstring>

// Most drivers ignore __GL_SYNC_TO_VBLANK, so the request is repeated here.
// The SGI extension is not used: it cannot set an interval of 0. The interval
// is never read back: querying GLX_SWAP_INTERVAL_EXT crashes some Mesa versions.
void request_swap_interval(int on)
{
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
