// quorvel: redraws the raw monotonic tick at a fixed pace and reports how
// evenly the frames arrive. This unit holds main(): the start-up, each step
// before the one that needs it (the vsync variable before any context, the
// GL check before the renderer, the renderer before the first frame), and
// the end of the run.
#include <GL/glew.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "clock.h"
#include "data_files.h"
#include "fingerprint.h"
#include "frame_pipeline.h"
#include "frame_stats.h"
#include "options.h"
#include "qr_layout.h"
#include "record.h"
#include "run_end.h"
#include "stop.h"
#include "text_renderer.h"
#include "backend/table.h"

static Settings settings;
static GlIdentity gl;
static FrameLog frame_log;
static ReportFile report;
static FramePipeline *pipeline = nullptr;
static bool started = false;  // the frames have begun: from now on the records are published
static std::vector<std::string> command_line;
static HostFacts host;

static std::string gl_string(GLenum name)
{
    const GLubyte *text = glGetString(name);
    return text ? reinterpret_cast<const char *>(text) : "";
}

static int check_gl()
{
    GLenum err = glewInit();
    // On EGL, GLEW finds no GLX display, but only after it has loaded GL itself.
    if (err != GLEW_OK && err != GLEW_ERROR_NO_GLX_DISPLAY) {
        fprintf(stderr, "Error: %s\n", reinterpret_cast<const char *>(glewGetErrorString(err)));
        return 1;
    }
    if (!GLEW_VERSION_2_0) {
        fprintf(stderr, "No support for OpenGL 2.0 found\n");
        return 1;
    }
    gl = {gl_string(GL_RENDERER), gl_string(GL_VENDOR), gl_string(GL_VERSION)};
    return 0;
}

// Whether presses can be injected on `row`; where they cannot, says why in one line.
static bool can_inject(const BackendRow &row)
{
    std::string refusal = row.inject_refusal();
    if (!refusal.empty())
        fprintf(stderr, "quorvel: %s\n", refusal.c_str());
    return refusal.empty();
}

// What the command line asks for instead of a run, on standard output alone:
// no banner, no window, no server.
static void answer(Request asked, int argc, char **argv)
{
    if (asked == Request::version)
        printf("quorvel %s\n", QUORVEL_VERSION);
    else if (asked == Request::help)
        help(argc, argv);
    else
        printf("%s\n", backend_list(getenv).dump(2).c_str());
}

// Writes the records once, however a started run ends. Also runs when the
// process exits from inside a library, as Xlib does when the X server goes
// away, so that the records still hold every finished frame.
static bool finish_run()
{
    static bool finished = false, written = true;
    if (finished)
        return written;
    finished = true;
    DisplayFigures display = pipeline ? pipeline->finish() : DisplayFigures{};
    RunFigures figures = gather_figures(gl, pace_name(settings.pace), frame_figures(), display);
    if (pipeline)
        figures.input = pipeline->input_figures(), figures.stolen_us = pipeline->stolen_us();
    figures.fingerprint = fingerprint_json(host, command_line, figures);
    if (pipeline && settings.pace == Pace::hybrid)
        figures.sleeps = {true, pipeline->wake_margin().margin_us(), pipeline->wake_margin().overshoots()};
    FigureList list = figure_list(figures);
    written = frame_log.close();
    written = report.write(report_text(list)) && written;
    if (settings.summary)
        fputs(summary_text(list).c_str(), stdout);
    return written;
}

// A run that never started, such as one without an X server, where GLUT
// exits from inside glutInit, publishes nothing.
static void finish_at_exit()
{
    if (started)
        finish_run();
    else
        frame_log.abandon();
}

int main(int argc, char **argv)
{
    // Line buffering keeps every finished statistics line when a pipe or file
    // reader stops the run with a signal, the usual way to end it. An answer
    // that ends at once goes out in one write, so that a reader that takes its
    // first lines and leaves (head) still has the whole of it.
    static char answer_buffer[1 << 16];
    Request asked = early_request(argc, argv);
    if (asked == Request::run)
        setvbuf(stdout, nullptr, _IOLBF, 0);
    else
        setvbuf(stdout, answer_buffer, _IOFBF, sizeof answer_buffer);
    guard_standard_streams();
    catch_stop_signals();
    if (asked != Request::run) {
        answer(asked, argc, argv);
        bool written = finish_stdout();
        if (stop_signal)
            end_by_signal();
        return written ? 0 : 1;
    }
    command_line.assign(argv, argv + argc);
    // Each write to standard output is checked before errno can change.
    printf("\nquorvel is running...\n");
    watch_stdout();
    settings = parse_options(argc, argv);
    watch_stdout();
    const BackendRow *row = choose_backend(settings.winsys, getenv);
    if (!settings.ok || (settings.inject && !can_inject(*row)) || !report.check(settings.report_path) ||
        !frame_log.open(settings.log_path))
        return 2;
    host = read_host_facts();
    atexit(finish_at_exit);
    // The driver reads this when the context is made, so it must come first.
    putenv(vsync_request(vsync_on));
    if (show_help)
        usage(argc, argv);
    watch_stdout();

    std::unique_ptr<Backend> backend = row->create();
    // The code gets a column of its own, right of where the longest ticks end.
    if (int status = backend->open({400, 30, 1024 + (settings.qr ? qr_column_px : 0), 800, "High Resolution Timer",
                                    argv[0], own_options(*row, settings.window_system_args), settings.qr,
                                    settings.duration_limit, vsync_on, settings.input})) {
        // A stop signal ended the start: nothing is published, as at exit, and the process ends by it.
        if (stop_signal) {
            frame_log.abandon();
            end_by_signal();
        }
        return status;
    }
    static const std::string font = data_file("FreeSans.ttf");
    fontfilename = font.c_str();
    if (int status = check_gl())
        return status;
    FramePipeline frames(*backend, settings, frame_log);
    pipeline = &frames;

    bool written = true;
    if (init_resources()) {
        started = true;
        frame_log.start(settings.input);
        // The loop's last pass ends the run while the window and its context
        // are there: GLUT takes them down as its loop returns.
        written = frames.run(getsystemtick(), [] {
            bool done = finish_run();
            free_resources();
            return done;
        });
    } else {
        frame_log.abandon();
        free_resources();
    }
    written = finish_stdout() && written;
    if (stop_signal)
        end_by_signal();
    return written ? 0 : 1;
}
