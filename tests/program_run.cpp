#include "program_run.h"

#include <X11/Xutil.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>

static double seconds_since(const struct timespec &start)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec - start.tv_sec) + double(now.tv_nsec - start.tv_nsec) / 1e9;
}

static struct timespec now()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t;
}

ProgramRun::ProgramRun(const std::vector<std::string> &args, const std::vector<std::string> &env,
                       const std::string &dir, const std::string &program)
{
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        abort();
    pid_ = fork();
    if (pid_ == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (auto &e : env)
            putenv(const_cast<char *>(e.c_str()));
        std::vector<char *> argv{const_cast<char *>(program.c_str())};
        for (auto &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        if (chdir(dir.c_str()) == 0)
            execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    out_fd_ = out[0];
    err_fd_ = err[0];
}

ProgramRun::~ProgramRun()
{
    if (status_ == -1)
        stop(SIGKILL);
    close(out_fd_);
    close(err_fd_);
}

void ProgramRun::pump(int timeout_ms)
{
    struct pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
    if (poll(fds, 2, timeout_ms) <= 0)
        return;
    char buf[4096];
    for (auto &f : fds) {
        if (!(f.revents & (POLLIN | POLLHUP)))
            continue;
        ssize_t n = read(f.fd, buf, sizeof buf);
        if (n > 0)
            (f.fd == out_fd_ ? out : err).append(buf, size_t(n));
    }
}

bool ProgramRun::wait_for(const std::string &needle, double seconds)
{
    auto start = now();
    while (out.find(needle) == std::string::npos) {
        if (seconds_since(start) > seconds || status_ != -1)
            return false;
        pump(50);
    }
    return true;
}

int ProgramRun::wait_exit(double seconds)
{
    auto start = now();
    while (status_ == -1 && seconds_since(start) <= seconds) {
        pump(20);
        if (waitpid(pid_, &status_, WNOHANG) != pid_)
            status_ = -1;
    }
    if (status_ != -1)
        for (int i = 0; i < 50; ++i)
            pump(0);  // drain what the pipes still hold
    return status_;
}

int ProgramRun::stop(int sig)
{
    if (status_ == -1)
        kill(pid_, sig);
    return wait_exit(60);
}

// A window may vanish or change between two requests; the default handler
// would end the test process.
static int ignore_x_error(Display *, XErrorEvent *)
{
    return 0;
}

XProbe::XProbe() : dpy(XOpenDisplay(nullptr))
{
    XSetErrorHandler(ignore_x_error);
}

XProbe::~XProbe()
{
    if (dpy)
        XCloseDisplay(dpy);
}

std::string XProbe::title(Window w)
{
    Atom utf8 = XInternAtom(dpy, "UTF8_STRING", False);
    Atom net_name = XInternAtom(dpy, "_NET_WM_NAME", False);
    Atom type;
    int format;
    unsigned long count, after;
    unsigned char *data = nullptr;
    std::string text;
    if (XGetWindowProperty(dpy, w, net_name, 0, 1024, False, utf8, &type, &format, &count,
                           &after, &data) == Success && data)
        text.assign(reinterpret_cast<char *>(data), count);
    else if (char *name = nullptr; XFetchName(dpy, w, &name) && name) {
        text = name;
        XFree(name);
    }
    XFree(data);
    return text;
}

Window XProbe::find(const std::string &prefix, double seconds)
{
    auto start = now();
    do {
        Window root, parent, *children = nullptr;
        unsigned n = 0;
        XQueryTree(dpy, DefaultRootWindow(dpy), &root, &parent, &children, &n);
        Window found = 0;
        for (unsigned i = 0; i < n && !found; ++i) {
            XWindowAttributes a;
            if (XGetWindowAttributes(dpy, children[i], &a) && a.map_state == IsViewable &&
                title(children[i]).rfind(prefix, 0) == 0)
                found = children[i];
        }
        XFree(children);
        if (found)
            return found;
        usleep(50000);
    } while (seconds_since(start) < seconds);
    return 0;
}

std::vector<unsigned> XProbe::grab(Window w, int &width, int &height)
{
    XWindowAttributes a;
    XGetWindowAttributes(dpy, w, &a);
    width = a.width;
    height = a.height;
    std::vector<unsigned> pixels;
    XImage *image = XGetImage(dpy, w, 0, 0, unsigned(width), unsigned(height), AllPlanes, ZPixmap);
    if (!image) {
        width = height = 0;
        return pixels;
    }
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            pixels.push_back(unsigned(XGetPixel(image, x, y)) & 0xffffff);
    XDestroyImage(image);
    return pixels;
}

void XProbe::resize(Window w, int width, int height)
{
    XResizeWindow(dpy, w, unsigned(width), unsigned(height));
    XSync(dpy, False);
}
