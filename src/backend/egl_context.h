// An OpenGL 2.0 context through EGL, on a window system's display and
// window, or with no display server at all on a pbuffer: what the window
// systems that draw through EGL share.
#pragma once

#include <EGL/egl.h>

class EglContext {
public:
    ~EglContext();
    // Makes the context current on `platform`'s `native_display`: on
    // `window`, or, where it is null, on a pbuffer of `width` x `height`.
    // Returns 0, or 1 after a message as GLX's failures give: "Error: ...".
    int open(EGLenum platform, void *native_display, void *window, int width, int height);
    bool swap();
    // Whether the config offers a swap interval of 1 or more.
    bool swap_control_offered() const;
    // Asks for a swap interval of `on`, saying on standard error where EGL refuses it.
    void swap_interval(int on);

private:
    EGLDisplay display_ = EGL_NO_DISPLAY;
    EGLConfig config_ = nullptr;
    EGLContext context_ = EGL_NO_CONTEXT;
    EGLSurface surface_ = EGL_NO_SURFACE;
};
