// The X11 window system: a GLUT window with a GLX context, what GLUT leaves
// undone (swap control, a UTF-8 title, waiting on its X connection), and the
// Present extension on a connection of its own.
#include <GL/glew.h>
#include <GL/freeglut.h>
#include <GL/glxew.h>
#include <X11/Xatom.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <poll.h>

#include <cstring>
#include <string>

#include "clock.h"
#include "run_end.h"
#include "window_system.h"
#include "x11_present.h"

namespace {

// GLUT calls plain functions; they hand the work to the loop being run.
FrameLoop *running = nullptr;

void display()
{
    running->display();
}

void idle()
{
    running->idle();
}

// Key repeats are not presses; GLUT is told to drop them.
// Injected presses use F5 to F8, one after the other.
const int first_press_key = GLUT_KEY_F5;
const KeySym first_press_keysym = XK_F5;

void key_pressed(unsigned char, int, int)
{
    running->input(user_key);
}

void special_key_pressed(int key, int, int)
{
    bool injected = key >= first_press_key && key < first_press_key + press_keys;
    running->input(injected ? key - first_press_key : user_key);
}

void button_changed(int, int state, int, int)
{
    if (state == GLUT_DOWN)
        running->input(user_key);
}

class X11WindowSystem final : public WindowSystem {
public:
    int open(const WindowRequest &r) override
    {
        std::vector<char *> args{r.program};
        args.insert(args.end(), r.options.begin(), r.options.end());
        int count = static_cast<int>(args.size());
        args.push_back(nullptr);
        glutInit(&count, args.data());
        // Closing the window ends the run like any other end, records and all.
        glutSetOption(GLUT_ACTION_ON_WINDOW_CLOSE, GLUT_ACTION_GLUTMAINLOOP_RETURNS);
        glutInitContextVersion(2, 0);
        glutInitDisplayMode(GLUT_RGBA | GLUT_DOUBLE);
        int x = r.x, room = glutGet(GLUT_SCREEN_WIDTH) - r.width;
        if (r.keep_on_screen && room < x)
            x = room > 0 ? room : 0;
        glutInitWindowPosition(x, r.y);
        glutInitWindowSize(r.width, r.height);
        glutCreateWindow(r.title);
        return 0;
    }

    void run(FrameLoop &loop) override
    {
        running = &loop;
        glutDisplayFunc(display);
        glutIdleFunc(idle);
        glutMainLoop();
        running = nullptr;
    }

    bool connection_lost() override { return false; }

    void redisplay() override { glutPostRedisplay(); }
    void leave() override { glutLeaveMainLoop(); }
    void swap() override { glutSwapBuffers(); }

    // GLUT stores the title as a Latin-1 WM_NAME, so window managers would show
    // UTF-8 text such as "μ" garbled; they prefer _NET_WM_NAME when it is set.
    void set_title(const char *title) override
    {
        glutSetWindowTitle(title);
        Display *d = glXGetCurrentDisplay();
        GLXDrawable window = glXGetCurrentDrawable();
        if (!d || !window)
            return;
        XChangeProperty(d, window, XInternAtom(d, "_NET_WM_NAME", False), XInternAtom(d, "UTF8_STRING", False),
                        8, PropModeReplace, reinterpret_cast<const unsigned char *>(title),
                        static_cast<int>(strlen(title)));
    }

    void size(int &width, int &height) override
    {
        width = glutGet(GLUT_WINDOW_WIDTH);
        height = glutGet(GLUT_WINDOW_HEIGHT);
    }

    void wait(uint64_t timeout_us, const volatile sig_atomic_t *stop) override;

    // GLEW's GLXEW_* flags come from the client library's list, which names swap
    // control even where the screen cannot do it; the screen's list is the truth.
    bool swap_control_offered() override
    {
        Display *d = glXGetCurrentDisplay();
        if (!d)
            return false;
        const char *list = glXQueryExtensionsString(d, DefaultScreen(d));
        std::string extensions = std::string(" ") + (list ? list : "") + " ";
        for (const char *name : {" GLX_EXT_swap_control ", " GLX_MESA_swap_control ", " GLX_SGI_swap_control "})
            if (extensions.find(name) != std::string::npos)
                return true;
        return false;
    }

    // Most drivers ignore __GL_SYNC_TO_VBLANK, so the request is repeated here.
    // The SGI extension is not used: it cannot set an interval of 0. The interval
    // is never read back: querying GLX_SWAP_INTERVAL_EXT crashes some Mesa versions.
    void request_swap_interval(int on) override
    {
        if (!swap_control_offered())
            return;
        if (GLXEW_EXT_swap_control && glXSwapIntervalEXT)
            glXSwapIntervalEXT(glXGetCurrentDisplay(), glXGetCurrentDrawable(), on);
        else if (GLXEW_MESA_swap_control && glXSwapIntervalMESA)
            glXSwapIntervalMESA(on);
    }

    void watch_presentation() override
    {
        Display *d = glXGetCurrentDisplay();
        present_.watch(d ? DisplayString(d) : nullptr, static_cast<uint32_t>(glXGetCurrentDrawable()));
    }

    void poll_presentation(PresentationFeed &feed) override { present_.poll(feed); }
    bool presents_may_come() override { return present_.connected(); }
    DisplayIdentity identity() override { return present_.identity(); }

    void listen_for_input() override
    {
        glutIgnoreKeyRepeat(1);
        glutKeyboardFunc(key_pressed);
        glutSpecialFunc(special_key_pressed);
        glutMouseFunc(button_changed);
    }

    uint64_t inject_press(int key) override;

private:
    bool can_take_press(Display *d, Window window);

    X11Present present_;
    bool focus_given_ = false;
};

void X11WindowSystem::wait(uint64_t timeout_us, const volatile sig_atomic_t *stop)
{
    Display *d = glXGetCurrentDisplay();
    if (!d || XEventsQueued(d, QueuedAfterFlush) > 0)
        return;
    struct pollfd fd = {ConnectionNumber(d), POLLIN, 0};
    struct timespec timeout = {static_cast<time_t>(timeout_us / 1000000),
                               static_cast<long>(timeout_us % 1000000) * 1000};
    sleep_unless_stopped(stop, [&](const sigset_t *mask) { ppoll(&fd, 1, &timeout, mask); });
}

// XTest's presses go to whichever window has the focus, so a press is sent
// only while the window is on the screen and has it. The window takes the
// focus once, at the first press; a user who gives it to another window
// later keeps it there, and the presses wait.
bool X11WindowSystem::can_take_press(Display *d, Window window)
{
    XWindowAttributes attributes;
    if (!XGetWindowAttributes(d, window, &attributes) || attributes.map_state != IsViewable)
        return false;
    if (!focus_given_) {
        XSetInputFocus(d, window, RevertToParent, CurrentTime);
        focus_given_ = true;
    }
    Window focus;
    int revert;
    XGetInputFocus(d, &focus, &revert);
    return focus == window;
}

uint64_t X11WindowSystem::inject_press(int key)
{
    Display *d = glXGetCurrentDisplay();
    Window window = glXGetCurrentDrawable();
    int event, error, major, minor;
    if (!d || !window || !XTestQueryExtension(d, &event, &error, &major, &minor))
        return 0;
    if (!can_take_press(d, window))
        return press_held;
    KeyCode code = XKeysymToKeycode(d, first_press_keysym + KeySym(key));
    if (!code)
        return 0;
    XTestFakeKeyEvent(d, code, True, CurrentTime);
    XTestFakeKeyEvent(d, code, False, CurrentTime);
    uint64_t stamp = getsystemtick();
    XFlush(d);
    return stamp;
}

}  // namespace

std::unique_ptr<WindowSystem> x11_window_system()
{
    return std::make_unique<X11WindowSystem>();
}
