#include "backend/egl_context.h"

#include <EGL/eglext.h>

#include <cstdio>
#include <initializer_list>

EglContext::~EglContext()
{
    if (display_ != EGL_NO_DISPLAY) {
        eglMakeCurrent(display_, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
        eglTerminate(display_);
    }
}

int EglContext::open(EGLenum platform, void *native_display, void *window, int width, int height)
{
    const EGLint config_attribs[] = {EGL_SURFACE_TYPE, window ? EGL_WINDOW_BIT : EGL_PBUFFER_BIT, EGL_RED_SIZE, 8,
                                     EGL_GREEN_SIZE, 8, EGL_BLUE_SIZE, 8, EGL_RENDERABLE_TYPE, EGL_OPENGL_BIT, EGL_NONE};
    static const EGLint context_attribs[] = {EGL_CONTEXT_MAJOR_VERSION, 2, EGL_CONTEXT_MINOR_VERSION, 0, EGL_NONE};
    // eglGetDisplay would guess the platform, and follow EGL_PLATFORM where it names another.
    display_ = eglGetPlatformDisplay(platform, native_display, nullptr);
    EGLint count = 0;
    bool ok = display_ != EGL_NO_DISPLAY && eglInitialize(display_, nullptr, nullptr) && eglBindAPI(EGL_OPENGL_API) &&
              eglChooseConfig(display_, config_attribs, &config_, 1, &count) && count == 1;
    // Where no 2.0 context can be had, any context lets the GL check say so, as on X11.
    static const EGLint any_version[] = {EGL_NONE};
    for (const EGLint *attribs : {context_attribs, any_version})
        if (ok && context_ == EGL_NO_CONTEXT)
            context_ = eglCreateContext(display_, config_, EGL_NO_CONTEXT, attribs);
    const EGLint pbuffer_attribs[] = {EGL_WIDTH, width, EGL_HEIGHT, height, EGL_NONE};
    if (context_ != EGL_NO_CONTEXT)
        surface_ = window ? eglCreateWindowSurface(display_, config_, reinterpret_cast<EGLNativeWindowType>(window), nullptr)
                          : eglCreatePbufferSurface(display_, config_, pbuffer_attribs);
    if (surface_ == EGL_NO_SURFACE || !eglMakeCurrent(display_, surface_, surface_, context_)) {
        fprintf(stderr, "Error: no OpenGL context through EGL (EGL error 0x%04x)\n", unsigned(eglGetError()));
        return 1;
    }
    return 0;
}

bool EglContext::swap()
{
    return eglSwapBuffers(display_, surface_);
}

bool EglContext::swap_control_offered() const
{
    EGLint most = 0;
    return config_ && eglGetConfigAttrib(display_, config_, EGL_MAX_SWAP_INTERVAL, &most) && most >= 1;
}

void EglContext::swap_interval(int on)
{
    if (!eglSwapInterval(display_, on))
        fprintf(stderr, "quorvel: EGL refused swap interval %d (EGL error 0x%04x)\n", on, unsigned(eglGetError()));
}
