#include "swap_control.h"

#include <GL/glew.h>
#include <GL/glxew.h>

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
