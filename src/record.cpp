#include "record.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

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


}  // namespace

FrameLog::~FrameLog()
{
    if (file_)
        fclose(file_);
}

bool FrameLog::open(const char *path)
{
    path_ = path;
    if (!path)
        return true;
    int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    created_ = fd >= 0;
    if (fd < 0 && errno == EEXIST)
        fd = ::open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd >= 0 && !(file_ = fdopen(fd, "w"))) {
        int failed = errno;
        ::close(fd);
        fd = -1, errno = failed;
    }
    if (fd < 0)
        return cannot_create("log", path, errno);
    setvbuf(file_, nullptr, _IOFBF, 1 << 20);
    return true;
}

void FrameLog::start(bool input_column)
{
    input_column_ = input_column;
    if (!file_)
        return;
    // Only now is an earlier run's log replaced; a pipe or device is written as it is.
    struct stat st;
    if (fstat(fileno(file_), &st) == 0 && S_ISREG(st.st_mode) && ftruncate(fileno(file_), 0) != 0)
        note_failure("log", path_, failed_);
    if (fputs("frame,start_us,swap_end_us,interval_us,duration_us,"
              "swap_end_mono_us,present_ust,present_msc,present_mode,present_flags,measured", file_) < 0 ||
        fputs(input_column_ ? ",input_us" : "", file_) < 0 ||
        fputs(",held_us,woke_late_us,animation_error_us,on_cpu_us,run_queue_us,blocked_us,woke_queued_us,"
              "held_queued_us\n",
              file_) < 0)
        note_failure("log", path_, failed_);
}

void FrameLog::abandon()
{
    if (file_)
        fclose(file_);
    file_ = nullptr;
    if (created_)
        unlink(path_);
    created_ = false;
}

// The kernel's accounts of a frame as the row's last columns, empty where it keeps none.
int FrameLog::write_accounts(const std::optional<FrameAccounts> &a)
{
    if (!a)
        return fputs(",,,,,\n", file_);
    return fprintf(file_, ",%llu,%llu,%llu,%llu,%llu\n", (unsigned long long)a->on_cpu_us,
                   (unsigned long long)a->run_queue_us, (unsigned long long)a->blocked_us,
                   (unsigned long long)a->woke_queued_us, (unsigned long long)a->held_queued_us);
}

// Rows are formatted in place, so the frame path allocates nothing; the
// stream's large buffer keeps it from writing to the file every frame.
void FrameLog::write(const FrameRecord &r)
{
    if (!file_ || failed_)
        return;
    const Frame &f = r.frame;
    char interval_text[24] = "";
    if (f.number > 1)
        snprintf(interval_text, sizeof interval_text, "%llu", (unsigned long long)f.interval_us);
    int n = fprintf(file_, "%llu,%llu,%llu,%s,%llu,%llu,", (unsigned long long)f.number,
                    (unsigned long long)f.start_us, (unsigned long long)f.swap_end_us, interval_text,
                    (unsigned long long)f.duration_us, (unsigned long long)f.swap_end_mono_us);
    // Presents are logged on CLOCK_MONOTONIC, the clock of swap_end_mono_us, whatever the
    // compositor's own; a discarded frame has no time and no count.
    char when[48] = "";
    if (r.present && r.present->ust_mono)
        snprintf(when, sizeof when, "%llu,%llu", (unsigned long long)r.present->ust_mono,
                 (unsigned long long)r.present->msc);
    if (n >= 0 && r.present)
        n = fprintf(file_, "%s,%s,%s,", *when ? when : ",", mode_name(r.present->mode),
                    flags_text(r.present->flags).c_str());
    else if (n >= 0)
        n = fputs(",,,,", file_);
    if (n >= 0)
        n = fputs(f.measured ? "1" : "0", file_);
    if (n >= 0 && input_column_)
        n = f.input_us ? fprintf(file_, ",%llu", (unsigned long long)f.input_us) : fputs(",", file_);
    if (n >= 0)
        n = fprintf(file_, ",%llu,%llu,", (unsigned long long)f.held_us, (unsigned long long)f.woke_late_us);
    if (n >= 0 && r.animation_error_us)
        n = fprintf(file_, "%lld", (long long)*r.animation_error_us);
    if (n >= 0)
        n = write_accounts(f.accounts);
    if (n < 0)
        note_failure("log", path_, failed_);
    if (!unflushed_since_)
        unflushed_since_ = f.swap_end_us;
}

void FrameLog::flush()
{
    unflushed_since_ = 0;
    if (file_ && !failed_ && fflush(file_) != 0)
        note_failure("log", path_, failed_);
}

bool FrameLog::close()
{
    close_file(file_, "log", path_, failed_);
    return !failed_;
}

bool ReportFile::check(const char *path)
{
    path_ = path;
    if (!path)
        return true;
    struct stat st;
    if (stat(path, &st) == 0 && S_ISDIR(st.st_mode))
        return cannot_create("report", path, EISDIR);
    final_ = replaced_file(path);
    if (final_.empty())
        return access(path, W_OK) == 0 || cannot_create("report", path, errno);
    std::string temp;
    FILE *probe = create_temporary(final_, temp);
    if (!probe)
        return cannot_create("report", path, errno);
    fclose(probe);
    unlink(temp.c_str());
    return true;
}

bool ReportFile::write(const std::string &text)
{
    if (!path_)
        return true;
    std::string temp;
    FILE *f = final_.empty() ? fopen(path_, "w") : create_temporary(final_, temp);
    if (!f)
        return cannot_create("report", path_, errno);
    bool failed = false;
    if (fputs(text.c_str(), f) < 0)
        note_failure("report", path_, failed);
    bool written = close_file(f, "report", path_, failed);
    if (temp.empty())
        return !failed;
    if (written && rename(temp.c_str(), final_.c_str()) != 0)
        note_failure("report", path_, failed);
    if (failed)
        unlink(temp.c_str());
    return !failed;
}
