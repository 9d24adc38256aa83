#include "record.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "options.h"

namespace {

struct Row {
    uint64_t frame, start_us, swap_end_us, swap_end_mono_us;
    bool presented;
    uint64_t ust, msc;
    PresentMode mode;
};

// Frames wait here for their present: a real stack reports one a frame or
// two after the swap, so this many is ample, and a stack that reports none
// delays the rows by no more than this.
constexpr size_t pending_rows = 64;
Row pending[pending_rows];
size_t first_pending = 0, pending_count = 0;
uint64_t previous_swap_end = 0;

FILE *log_file = nullptr;
FILE *report_file = nullptr;
bool log_failed = false, report_failed = false;
bool finished = false;

FILE *create(const char *option, const char *path)
{
    FILE *f = fopen(path, "w");
    if (!f)
        fprintf(stderr, "quorvel: --%s: cannot create %s: %s\n", option, path, strerror(errno));
    return f;
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
    char interval_text[24] = "";
    if (r.frame > 1)
        snprintf(interval_text, sizeof interval_text, "%llu",
                 (unsigned long long)(r.swap_end_us - previous_swap_end));
    previous_swap_end = r.swap_end_us;
    int n = fprintf(log_file, "%llu,%llu,%llu,%s,%llu,%llu,", (unsigned long long)r.frame,
                    (unsigned long long)r.start_us, (unsigned long long)r.swap_end_us, interval_text,
                    (unsigned long long)(r.swap_end_us - r.start_us),
                    (unsigned long long)r.swap_end_mono_us);
    if (n >= 0 && r.presented)
        n = fprintf(log_file, "%llu,%llu,%s\n", (unsigned long long)r.ust,
                    (unsigned long long)r.msc, mode_name(r.mode));
    else if (n >= 0)
        n = fputs(",,\n", log_file);
    if (n < 0)
        note_failure("log", log_path, log_failed);
}

void write_oldest()
{
    write_row(pending[first_pending]);
    first_pending = (first_pending + 1) % pending_rows;
    --pending_count;
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

bool write_report(const RunFigures &figures)
{
    if (!report_file)
        return true;
    // A driver's strings need not be UTF-8; dump would throw on them rather than replace.
    std::string text = report_json(figures).dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    if (fputs(text.c_str(), report_file) < 0)
        note_failure("report", report_path, report_failed);
    return close_file(report_file, "report", report_path, report_failed);
}

}  // namespace

bool open_records()
{
    if (log_path && !(log_file = create("log", log_path)))
        return false;
    if (report_path && !(report_file = create("report", report_path)))
        return false;
    if (log_file) {
        setvbuf(log_file, nullptr, _IOFBF, 1 << 20);
        if (fputs("frame,start_us,swap_end_us,interval_us,duration_us,"
                  "swap_end_mono_us,present_ust,present_msc,present_mode\n", log_file) < 0)
            note_failure("log", log_path, log_failed);
    }
    return true;
}

void record_frame(uint64_t frame, uint64_t start_us, uint64_t swap_end_us, uint64_t swap_end_mono_us)
{
    if (pending_count == pending_rows)
        write_oldest();
    pending[(first_pending + pending_count++) % pending_rows] =
        Row{frame, start_us, swap_end_us, swap_end_mono_us, false, 0, 0, mode_copy};
}

uint64_t record_present(uint64_t ust, uint64_t msc, PresentMode mode)
{
    for (size_t i = 0; i < pending_count; ++i) {
        Row &r = pending[(first_pending + i) % pending_rows];
        if (r.presented)
            continue;
        r.presented = true;
        r.ust = ust;
        r.msc = msc;
        r.mode = mode;
        // The raw and monotonic clocks differ by an offset that barely moves within a frame.
        return r.start_us + (r.swap_end_mono_us - r.swap_end_us);
    }
    return 0;
}

bool finish_records(const RunFigures &figures)
{
    if (finished)
        return true;
    finished = true;
    while (pending_count)
        write_oldest();
    close_file(log_file, "log", log_path, log_failed);
    if (summary_on)
        fputs(summary_text(figures).c_str(), stdout);
    write_report(figures);
    return !log_failed && !report_failed;
}
