// Offscreen: the GL stack with no display server at all, through Mesa's
// surfaceless EGL platform and a pbuffer of the window's size. Nothing is
// shown, so nothing is presented, no swap interval can be set and no key
// pressed: what is left is the GL stack's own cost of a frame.
#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <GL/gl.h>
#include <poll.h>

#include <memory>
#include <string>

#include "backend/backend.h"
#include "backend/egl_context.h"
#include "stop.h"

std::string offscreen_inject_refusal()
{
    return "--inject offscreen: there is no window to press keys on";
}

namespace {

class OffscreenBackend final : public Backend {
public:
    int open(const WindowRequest &r) override
    {
        width_ = r.width;
        height_ = r.height;
        return egl_.open(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, nullptr, width_, height_);
    }

    DisplayDescription describe() override
    {
        DisplayDescription d;
        d.identity.window_system = "offscreen";
        d.identity.server = "none";
        d.can.inject_refusal = offscreen_inject_refusal();
        d.words.named = true;
        d.words.no_presents = "none: offscreen, nothing is shown";
        return d;
    }

    WindowResults results() override { return {}; }

    // Nothing can come; the wait is the pace's alone.
    Events pump(uint64_t timeout_us, const volatile sig_atomic_t *stop) override
    {
        struct timespec timeout = {time_t(timeout_us / 1000000), long(timeout_us % 1000000) * 1000};
        if (timeout_us)
            sleep_unless_stopped(stop, [&](const sigset_t *mask) { ppoll(nullptr, 0, &timeout, mask); });
        return {};
    }

    unsigned in_flight() override { return 0; }

    // A pbuffer's swap shows nothing and waits for nothing; finishing the
    // frame is what a display's swap would have waited for at the least.
    uint64_t swap() override
    {
        glFinish();
        return ++swaps_;
    }

    void size(int &width, int &height) override
    {
        width = width_;
        height = height_;
    }

    void set_title(const char *) override {}
    void poll_presentation(PresentationFeed &) override {}
    uint64_t inject_press(int) override { return 0; }

private:
    EglContext egl_;
    int width_ = 0, height_ = 0;
    uint64_t swaps_ = 0;
};

}  // namespace

std::unique_ptr<Backend> offscreen_backend()
{
    return std::make_unique<OffscreenBackend>();
}
