#include "record.h"

#include <fcntl.h>
#include <libgen.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace {

struct Row {
    Frame frame;
    bool presented;
    Presentation present;
    std::optional<int64_t> animation_error_us;
};

// How long a row waits for its present, and then in the stream's buffer:
// together about a second, so that a reader of the file is never far behind.
constexpr uint64_t row_wait_us = 500000;

// Frames wait here for their present, in a ring that doubles when full, so
// that it holds every frame of the last row_wait_us at any frame rate.
std::vector<Row> pending(64);
size_t first_pending = 0, pending_count = 0;
uint64_t unflushed_since = 0;  // swap end of the oldest row not yet flushed; 0 for none
uint64_t last_catch_up = 0;

const char *log_path = nullptr;
FILE *log_file = nullptr;
bool log_failed = false, log_created = false, input_column = false;

// The report is written to a temporary file beside it and renamed into
// place, so that a reader never sees half of one. A path that is not a
// regular file, such as /dev/stdout, is written directly.
const char *report_path = nullptr;
std::string report_final;
bool report_failed = false;

bool finished = false;

bool cannot_create(const char *option, const char *path, int error)
{
    fprintf(stderr, "quorvel: --%s: cannot create %s: %s\n", option, path, strerror(error));
    return false;
}

// Each file's first failure is reported; what follows it would say the same.
void note_failure(const char *option, const char *path, bool &failed)
{
    if (!failed)
        fprintf(stderr, "quorvel: --%s: cannot write %s: %s\n", option, path, strerror(errno));
    failed = true;
}

// Rows are formatted in place, so the frame path allocates nothing; the
// stream's large buffer keeps it from writing to the file every frame.
void write_row(const Row &r)
{
    if (!log_file || log_failed)
        return;
    const Frame &f = r.frame;
    char interval_text[24] = "";
    if (f.number > 1)
        snprintf(interval_text, sizeof interval_text, "%llu", (unsigned long long)f.interval_us);
    int n = fprintf(log_file, "%llu,%llu,%llu,%s,%llu,%llu,", (unsigned long long)f.number,
                    (unsigned long long)f.start_us, (unsigned long long)f.swap_end_us, interval_text,
                    (unsigned long long)f.duration_us, (unsigned long long)f.swap_end_mono_us);
    // Presents are logged on CLOCK_MONOTONIC, the clock of swap_end_mono_us, whatever the
    // compositor's own; a discarded frame has no time and no count.
    char when[48] = "";
    if (r.presented && r.present.ust_mono)
        snprintf(when, sizeof when, "%llu,%llu", (unsigned long long)r.present.ust_mono,
                 (unsigned long long)r.present.msc);
    if (n >= 0 && r.presented)
        n = fprintf(log_file, "%s,%s,%s,", *when ? when : ",", mode_name(r.present.mode),
                    flags_text(r.present.flags).c_str());
    else if (n >= 0)
        n = fputs(",,,,", log_file);
    if (n >= 0)
        n = fputs(f.measured ? "1" : "0", log_file);
    if (n >= 0 && input_column)
        n = f.input_us ? fprintf(log_file, ",%llu", (unsigned long long)f.input_us) : fputs(",", log_file);
    if (n >= 0)
        n = fprintf(log_file, ",%llu,%llu,", (unsigned long long)f.held_us, (unsigned long long)f.woke_late_us);
    if (n >= 0)
        n = r.animation_error_us ? fprintf(log_file, "%lld\n", (long long)*r.animation_error_us) : fputs("\n", log_file);
    if (n < 0)
        note_failure("log", log_path, log_failed);
    if (!unflushed_since)
        unflushed_since = f.swap_end_us;
}

Row &pending_row(size_t i)
{
    return pending[(first_pending + i) % pending.size()];
}

// The row waiting for the present `p` names; null where none is.
Row *waiting_row(const Presentation &p)
{
    for (size_t i = 0; i < pending_count; ++i) {
        Row &r = pending_row(i);
        if (!r.presented && p.frame_id && r.frame.id == p.frame_id)
            return &r;
    }
    return nullptr;
}

void write_oldest()
{
    write_row(pending[first_pending]);
    first_pending = (first_pending + 1) % pending.size();
    --pending_count;
}

// Unrolls the full ring into one twice its size; rare, and never once the
// ring has grown to the frame rate.
void grow_pending()
{
    std::vector<Row> grown(2 * pending.size());
    for (size_t i = 0; i < pending_count; ++i)
        grown[i] = pending_row(i);
    pending.swap(grown);
    first_pending = 0;
}

void flush_log()
{
    unflushed_since = 0;
    if (log_file && !log_failed && fflush(log_file) != 0)
        note_failure("log", log_path, log_failed);
}

bool close_file(FILE *&f, const char *option, const char *path, bool &failed)
{
    if (!f)
        return true;
    bool ok = !ferror(f);
    ok = (fclose(f) == 0) && ok;
    f = nullptr;
    if (!ok)
        note_failure(option, path, failed);
    return ok;
}

// Opens the log without truncating it, so that a run that fails to start
// leaves an existing file as it was, and one it created can be removed.
bool open_log()
{
    if (!log_path)
        return true;
    int fd = open(log_path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    log_created = fd >= 0;
    if (fd < 0 && errno == EEXIST)
        fd = open(log_path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd >= 0 && !(log_file = fdopen(fd, "w"))) {
        int failed = errno;
        close(fd);
        fd = -1, errno = failed;
    }
    if (fd < 0)
        return cannot_create("log", log_path, errno);
    setvbuf(log_file, nullptr, _IOFBF, 1 << 20);
    return true;
}

// The file a report at `path` replaces: the target of a link, so that the
// link stays; empty when the path is to be written directly.
std::string replaced_file(const char *path)
{
    struct stat st;
    if (lstat(path, &st) != 0)
        return errno == ENOENT ? path : "";
    if (S_ISREG(st.st_mode))
        return path;
    char target[PATH_MAX];
    if (S_ISLNK(st.st_mode) && stat(path, &st) == 0 && S_ISREG(st.st_mode) && realpath(path, target))
        return target;
    return "";
}

// A temporary file beside `final`, made as fopen would have made it, not
// with mkstemp's 0600; null with errno set when it cannot be created.
FILE *create_temporary(const std::string &final, std::string &temp)
{
    temp = final + ".XXXXXX";
    int fd = mkstemp(temp.data());
    if (fd < 0)
        return nullptr;
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    FILE *f = fdopen(fd, "w");
    if (!f) {
        int failed = errno;
        close(fd);
        unlink(temp.c_str());
        errno = failed;
    }
    return f;
}

// Checks at start that the report can be written at the end, leaving nothing behind.
bool check_report()
{
    if (!report_path)
        return true;
    struct stat st;
    if (stat(report_path, &st) == 0 && S_ISDIR(st.st_mode))
        return cannot_create("report", report_path, EISDIR);
    report_final = replaced_file(report_path);
    if (report_final.empty())
        return access(report_path, W_OK) == 0 || cannot_create("report", report_path, errno);
    std::string temp;
    FILE *probe = create_temporary(report_final, temp);
    if (!probe)
        return cannot_create("report", report_path, errno);
    fclose(probe);
    unlink(temp.c_str());
    return true;
}

void write_report(const RunFigures &figures)
{
    if (!report_path)
        return;
    std::string temp;
    FILE *f = report_final.empty() ? fopen(report_path, "w") : create_temporary(report_final, temp);
    if (!f) {
        cannot_create("report", report_path, errno);
        report_failed = true;
        return;
    }
    // A driver's strings need not be UTF-8; dump would throw on them rather than replace.
    std::string text = report_json(figures).dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    if (fputs(text.c_str(), f) < 0)
        note_failure("report", report_path, report_failed);
    bool written = close_file(f, "report", report_path, report_failed);
    if (temp.empty())
        return;
    if (written && rename(temp.c_str(), report_final.c_str()) != 0)
        note_failure("report", report_path, report_failed);
    if (report_failed)
        unlink(temp.c_str());
}

}  // namespace

bool open_records(const char *log, const char *report)
{
    finished = false;
    log_path = log;
    report_path = report;
    return check_report() && open_log();
}

void start_records(bool with_input)
{
    input_column = with_input;
    if (!log_file)
        return;
    // Only now is an earlier run's log replaced; a pipe or device is written as it is.
    struct stat st;
    if (fstat(fileno(log_file), &st) == 0 && S_ISREG(st.st_mode) && ftruncate(fileno(log_file), 0) != 0)
        note_failure("log", log_path, log_failed);
    if (fputs("frame,start_us,swap_end_us,interval_us,duration_us,"
              "swap_end_mono_us,present_ust,present_msc,present_mode,present_flags,measured", log_file) < 0 ||
        fputs(input_column ? ",input_us" : "", log_file) < 0 || fputs(",held_us,woke_late_us,animation_error_us\n", log_file) < 0)
        note_failure("log", log_path, log_failed);
}

void abandon_records()
{
    if (log_file)
        fclose(log_file);
    log_file = nullptr;
    if (log_created)
        unlink(log_path);
    finished = true;
}

void record_frame(const Frame &frame, bool present_may_come)
{
    if (pending_count == pending.size())
        grow_pending();
    pending_row(pending_count++) = Row{frame, false, {}, {}};
    if (!present_may_come)
        while (pending_count)
            write_oldest();
}

PresentedFrame record_find(const Presentation &p)
{
    Row *r = waiting_row(p);
    if (!r)
        return {};
    // The raw and monotonic clocks differ by an offset that barely moves within a frame.
    const Frame &f = r->frame;
    return {true, f.start_us + (f.swap_end_mono_us - f.swap_end_us), f.swap_end_mono_us};
}

void record_present(const Presentation &p, std::optional<int64_t> animation_error_us)
{
    Row *r = waiting_row(p);
    if (!r)
        return;
    r->presented = true;
    r->present = p;
    r->animation_error_us = animation_error_us;
    while (pending_count && pending[first_pending].presented)
        write_oldest();
}

uint64_t record_deadline()
{
    uint64_t due = last_catch_up + row_wait_us;
    if (pending_count && pending[first_pending].frame.swap_end_us + row_wait_us < due)
        due = pending[first_pending].frame.swap_end_us + row_wait_us;
    if (unflushed_since && unflushed_since + row_wait_us < due)
        due = unflushed_since + row_wait_us;
    return due;
}

void record_catch_up(uint64_t now)
{
    last_catch_up = now;
    while (pending_count && pending[first_pending].frame.swap_end_us + row_wait_us <= now)
        write_oldest();
    if (unflushed_since && unflushed_since + row_wait_us <= now)
        flush_log();
}

bool finish_records(const RunFigures &figures, bool summary)
{
    if (finished)
        return true;
    finished = true;
    while (pending_count)
        write_oldest();
    close_file(log_file, "log", log_path, log_failed);
    write_report(figures);
    if (summary)
        fputs(summary_text(figures).c_str(), stdout);
    return !log_failed && !report_failed;
}
