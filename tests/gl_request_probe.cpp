// An LD_PRELOAD probe of what the program asks of the GL driver: the vsync
// variable when the context is made, and the swap interval. It offers swap
// control, which Xvfb's screen lacks, so that the interval is asked for at all.
// With GL_REQUEST_PROBE_FINISH_US, glFinish takes that long: offscreen, a
// frame that draws long at will.
#include <GL/glx.h>
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

using Proc = void (*)();

static void note(const char *what, const char *value)
{
    if (FILE *f = fopen(getenv("GL_REQUEST_PROBE"), "a")) {
        fprintf(f, "%s %s\n", what, value ? value : "unset");
        fclose(f);
    }
}

extern "C" GLXContext glXCreateNewContext(Display *d, GLXFBConfig c, int type, GLXContext share, Bool direct)
{
    note("context", getenv("__GL_SYNC_TO_VBLANK"));
    using Create = GLXContext (*)(Display *, GLXFBConfig, int, GLXContext, Bool);
    return reinterpret_cast<Create>(dlsym(RTLD_NEXT, "glXCreateNewContext"))(d, c, type, share, direct);
}

static void swap_interval(Display *, GLXDrawable, int interval)
{
    note("swap interval", std::to_string(interval).c_str());
}

extern "C" Proc glXGetProcAddressARB(const GLubyte *name)
{
    const char *n = reinterpret_cast<const char *>(name);
    if (strcmp(n, "glXSwapIntervalEXT") == 0)
        return reinterpret_cast<Proc>(swap_interval);
    return reinterpret_cast<Proc (*)(const GLubyte *)>(dlsym(RTLD_NEXT, "glXGetProcAddressARB"))(name);
}

extern "C" const char *glXQueryExtensionsString(Display *d, int screen)
{
    static char list[16384];
    auto query = reinterpret_cast<const char *(*)(Display *, int)>(dlsym(RTLD_NEXT, "glXQueryExtensionsString"));
    snprintf(list, sizeof list, "%s GLX_EXT_swap_control ", query(d, screen));
    return list;
}

extern "C" void glFinish()
{
    if (const char *us = getenv("GL_REQUEST_PROBE_FINISH_US"))
        usleep(useconds_t(atoi(us)));
    reinterpret_cast<void (*)()>(dlsym(RTLD_NEXT, "glFinish"))();
}
