// X11: a GLUT window with a GLX context, what GLUT leaves undone (swap
// control, a UTF-8 title, waiting on its X connection, XTest presses), and
// the Present extension on a connection of its own. GLUT's main loop runs
// the pipeline's passes as its idle callback and draws the frames they ask
// for in its display callback; between passes it handles the X events, and
// its callbacks note what the pipeline needs to know.
#include <GL/freeglut.h>
#include <GL/glx.h>
#include <X11/Xatom.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <poll.h>

#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "backend/backend.h"
#include "backend/x11/present.h"
#include "clock.h"
#include "stop.h"

namespace {

// Injected presses use F5 to F8, one after the other: keys nobody types
// during a timing run.
const int first_press_key = GLUT_KEY_F5;
const KeySym first_press_keysym = XK_F5;

class X11Backend;
// GLUT calls plain functions; they hand the work to the backend running the loop.
X11Backend *running = nullptr;

class X11Backend final : public Backend {
public:
    int open(const WindowRequest &request) override;
    DisplayDescription describe() override;
    WindowResults results() override { return {}; }
    Events pump(uint64_t timeout_us, const volatile sig_atomic_t *stop) override;
    bool run(FrameLoop &loop) override;
    unsigned in_flight() override { return 0; }
    uint64_t swap() override
    {
        glutSwapBuffers();
        return ++swaps_;
    }
    void size(int &width, int &height) override
    {
        width = glutGet(GLUT_WINDOW_WIDTH);
        height = glutGet(GLUT_WINDOW_HEIGHT);
    }
    void set_title(const char *title) override;
    void poll_presentation(PresentationFeed &feed) override { present_.poll(feed, swaps_); }
    uint64_t inject_press(int key) override;

    void idle();
    void display();
    void closed();

    Events events_;  // what GLUT's callbacks have noted since the last pump

private:
    bool swap_control_offered();
    void request_swap_interval(int on);
    void listen_for_input();
    bool can_take_press(Display *d, Window window);

    X11Present present_;
    FrameLoop *loop_ = nullptr;
    bool input_ = false;
    bool asked_ = false;  // a pass asked for a frame, and GLUT has not drawn it yet
    uint64_t swaps_ = 0;  // Mesa's DRI3 serial counts the same swaps
    bool focus_given_ = false;
    // Asked once with the context: the end of a run, perhaps in exit(1) for a
    // lost server, makes no GLX calls.
    bool swap_control_ = false;
};

void note_press(int key)
{
    if (running)
        running->events_.presses.push_back({getsystemtick(), key});
}

void key_pressed(unsigned char, int, int)
{
    note_press(user_key);
}

void special_key_pressed(int key, int, int)
{
    bool injected = key >= first_press_key && key < first_press_key + press_keys;
    note_press(injected ? key - first_press_key : user_key);
}

void button_changed(int, int state, int, int)
{
    if (state == GLUT_DOWN)
        note_press(user_key);
}

int X11Backend::open(const WindowRequest &r)
{
    std::vector<char *> args{r.program};
    args.insert(args.end(), r.options.begin(), r.options.end());
    int count = static_cast<int>(args.size());
    args.push_back(nullptr);
    glutInit(&count, args.data());
    // Closing the window ends the run like any other end, records and all:
    // the close callback's pass finishes them, and GLUT's loop returns
    // instead of ending the process.
    glutSetOption(GLUT_ACTION_ON_WINDOW_CLOSE, GLUT_ACTION_CONTINUE_EXECUTION);
    glutInitContextVersion(2, 0);
    glutInitDisplayMode(GLUT_RGBA | GLUT_DOUBLE);
    int x = r.x, room = glutGet(GLUT_SCREEN_WIDTH) - r.width;
    if (r.keep_on_screen && room < x)
        x = room > 0 ? room : 0;
    glutInitWindowPosition(x, r.y);
    glutInitWindowSize(r.width, r.height);
    glutCreateWindow(r.title);
    swap_control_ = swap_control_offered();
    request_swap_interval(r.vsync);
    Display *d = glXGetCurrentDisplay();
    present_.watch(d ? DisplayString(d) : nullptr, static_cast<uint32_t>(glXGetCurrentDrawable()));
    input_ = r.input;
    return 0;
}

DisplayDescription X11Backend::describe()
{
    DisplayDescription d{present_.identity(), {}, present_.wording()};
    d.can.feedback = present_.connected() ? Feedback::vblank_clock : Feedback::none;
    d.can.swap_control = swap_control_;
    d.words.feedback_source = "Present vblank clock";
    d.words.no_presents = "none reported by the X server for this window";
    return d;
}

// GLUT handles the events between passes and its callbacks note them; a
// pass with nothing noted waits here for the next to come.
Events X11Backend::pump(uint64_t timeout_us, const volatile sig_atomic_t *stop)
{
    Display *d = glXGetCurrentDisplay();
    bool noted = events_.closed || !events_.presses.empty();
    if (timeout_us && d && !noted && XEventsQueued(d, QueuedAfterFlush) == 0) {
        struct pollfd fd = {ConnectionNumber(d), POLLIN, 0};
        struct timespec timeout = {static_cast<time_t>(timeout_us / 1000000),
                                   static_cast<long>(timeout_us % 1000000) * 1000};
        sleep_unless_stopped(stop, [&](const sigset_t *mask) { ppoll(&fd, 1, &timeout, mask); });
    }
    return std::exchange(events_, {});
}

// A lost X connection never comes back from here: Xlib ends the process
// through exit(1), and only atexit handlers can still finish the records.
bool X11Backend::run(FrameLoop &loop)
{
    loop_ = &loop;
    running = this;
    glutDisplayFunc([] { running->display(); });
    glutIdleFunc([] { running->idle(); });
    if (input_)
        listen_for_input();
    glutCloseFunc([] { running->closed(); });
    glutMainLoop();
    running = nullptr;
    return true;
}

// GLUT calls no display callback for a window it takes to be hidden
// (unmapped, iconified or covered): a frame asked for and still not drawn
// when the next pass comes is drawn here, so that the pace and the run go
// on whether the window is seen or not.
void X11Backend::idle()
{
    if (std::exchange(asked_, false))
        loop_->display();
    switch (loop_->pass()) {
    case Next::draw:
        asked_ = true;
        glutPostRedisplay();
        break;
    case Next::end:
        glutLeaveMainLoop();
        break;
    case Next::pass:
        break;
    }
}

// A frame asked for, or one the window system needs, as after an expose.
void X11Backend::display()
{
    asked_ = false;
    loop_->display();
}

// GLUT takes the window and its context down right after this, when the
// window is closed and when its loop returns: the pass that takes the close
// ends the run while both are there. GLUT's loop ends by itself once the
// window is gone.
void X11Backend::closed()
{
    events_.closed = true;
    loop_->pass();
}

// GLUT stores the title as a Latin-1 WM_NAME, so window managers would show
// UTF-8 text such as "μ" garbled; they prefer _NET_WM_NAME when it is set.
void X11Backend::set_title(const char *title)
{
    glutSetWindowTitle(title);
    Display *d = glXGetCurrentDisplay();
    GLXDrawable window = glXGetCurrentDrawable();
    if (!d || !window)
        return;
    XChangeProperty(d, window, XInternAtom(d, "_NET_WM_NAME", False), XInternAtom(d, "UTF8_STRING", False), 8,
                    PropModeReplace, reinterpret_cast<const unsigned char *>(title), static_cast<int>(strlen(title)));
}

// The client library's list names swap control even where the screen cannot
// do it; the screen's list is the truth.
std::string screen_extensions()
{
    Display *d = glXGetCurrentDisplay();
    const char *list = d ? glXQueryExtensionsString(d, DefaultScreen(d)) : nullptr;
    return std::string(" ") + (list ? list : "") + " ";
}

bool X11Backend::swap_control_offered()
{
    std::string extensions = screen_extensions();
    for (const char *name : {" GLX_EXT_swap_control ", " GLX_MESA_swap_control ", " GLX_SGI_swap_control "})
        if (extensions.find(name) != std::string::npos)
            return true;
    return false;
}

// Most drivers ignore __GL_SYNC_TO_VBLANK, so the request is repeated here.
// The SGI extension is not used: it cannot set an interval of 0. The interval
// is never read back: querying GLX_SWAP_INTERVAL_EXT crashes some Mesa versions.
void X11Backend::request_swap_interval(int on)
{
    std::string extensions = screen_extensions();
    auto proc = [](const char *name) { return glXGetProcAddressARB(reinterpret_cast<const GLubyte *>(name)); };
    if (extensions.find(" GLX_EXT_swap_control ") != std::string::npos) {
        if (auto set = reinterpret_cast<void (*)(Display *, GLXDrawable, int)>(proc("glXSwapIntervalEXT")))
            set(glXGetCurrentDisplay(), glXGetCurrentDrawable(), on);
    } else if (extensions.find(" GLX_MESA_swap_control ") != std::string::npos) {
        if (auto set = reinterpret_cast<int (*)(unsigned)>(proc("glXSwapIntervalMESA")))
            set(unsigned(on));
    }
}

void X11Backend::listen_for_input()
{
    // Key repeats are not presses.
    glutIgnoreKeyRepeat(1);
    glutKeyboardFunc(key_pressed);
    glutSpecialFunc(special_key_pressed);
    glutMouseFunc(button_changed);
}

// XTest's presses go to whichever window has the focus, so a press is sent
// only while the window is on the screen and has it. The window takes the
// focus once, at the first press; a user who gives it to another window
// later keeps it there, and the presses wait.
bool X11Backend::can_take_press(Display *d, Window window)
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

uint64_t X11Backend::inject_press(int key)
{
    Display *d = glXGetCurrentDisplay();
    Window window = glXGetCurrentDrawable();
    int event, error, major, minor;
    if (!d || !window || !XTestQueryExtension(d, &event, &error, &major, &minor))
        return 0;
    KeyCode code = XKeysymToKeycode(d, first_press_keysym + KeySym(key));
    if (!code)
        return 0;
    // Held, no other client can move the focus between the check and the
    // press, which would then go to whatever window the user chose instead.
    XGrabServer(d);
    bool can = can_take_press(d, window);
    if (can) {
        XTestFakeKeyEvent(d, code, True, CurrentTime);
        XTestFakeKeyEvent(d, code, False, CurrentTime);
    }
    XUngrabServer(d);
    uint64_t stamp = getsystemtick();
    XFlush(d);
    return can ? stamp : press_held;
}

}  // namespace

std::unique_ptr<Backend> x11_backend()
{
    return std::make_unique<X11Backend>();
}
