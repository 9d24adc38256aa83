#include "accounts.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>

namespace {

uint64_t since(uint64_t before, uint64_t after)
{
    return after > before ? after - before : 0;
}

// Reads one unsigned decimal field of `text` from `at`, past spaces.
std::optional<uint64_t> field(std::string_view text, size_t &at)
{
    while (at < text.size() && text[at] == ' ')
        ++at;
    size_t from = at;
    uint64_t value = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at)
        value = value * 10 + uint64_t(text[at] - '0');
    if (at == from)
        return std::nullopt;
    return value;
}

uint64_t thread_cpu_ns()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return uint64_t(t.tv_sec) * 1000000000u + uint64_t(t.tv_nsec);
}

}  // namespace

FrameAccounts split_frame(const ThreadTimes &previous_end, const ThreadTimes &found_due,
                          const ThreadTimes &before_start, const ThreadTimes &after_end, uint64_t duration_us,
                          uint64_t woke_late_us, uint64_t held_us)
{
    FrameAccounts a;
    a.on_cpu_us = std::min(since(before_start.on_cpu_ns, after_end.on_cpu_ns) / 1000, duration_us);
    a.run_queue_us =
        std::min(since(before_start.run_queue_ns, after_end.run_queue_ns) / 1000, duration_us - a.on_cpu_us);
    a.blocked_us = duration_us - a.on_cpu_us - a.run_queue_us;
    a.woke_queued_us = std::min(since(previous_end.run_queue_ns, found_due.run_queue_ns) / 1000, woke_late_us);
    a.held_queued_us = std::min(since(found_due.run_queue_ns, before_start.run_queue_ns) / 1000, held_us);
    return a;
}

std::optional<uint64_t> parse_run_queue_ns(std::string_view schedstat)
{
    size_t at = 0;
    std::optional<uint64_t> on_cpu = field(schedstat, at), waiting = field(schedstat, at),
                            runs = field(schedstat, at);
    if (!on_cpu || !waiting || !runs || (*on_cpu == 0 && *runs == 0))
        return std::nullopt;
    return waiting;
}

std::optional<uint64_t> parse_steal_us(std::string_view proc_stat, long ticks_per_s)
{
    if (proc_stat.substr(0, 4) != "cpu " || ticks_per_s <= 0)
        return std::nullopt;
    size_t at = 4;
    std::optional<uint64_t> value;
    for (int i = 0; i < 8; ++i)
        if (!(value = field(proc_stat, at)))
            return std::nullopt;
    return *value * 1000000 / uint64_t(ticks_per_s);
}

ThreadAccounts::ThreadAccounts()
{
    const char *off = getenv("QUORVEL_NO_ACCOUNTS");
    if (off && strcmp(off, "1") == 0)
        return;
    fd_ = open("/proc/thread-self/schedstat", O_RDONLY | O_CLOEXEC);
    // A kernel without the scheduler's accounts has no such file, or keeps it at zero.
    thread_cpu_ns();  // brings the kernel's own copy of the thread's CPU time up to date
    char text[128];
    ssize_t n = fd_ >= 0 ? pread(fd_, text, sizeof text - 1, 0) : -1;
    if (n <= 0 || !parse_run_queue_ns(std::string_view(text, size_t(n)))) {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }
}

ThreadAccounts::~ThreadAccounts()
{
    if (fd_ >= 0)
        close(fd_);
}

ThreadTimes ThreadAccounts::read() const
{
    if (fd_ < 0)
        return {};
    char text[128];
    ssize_t n = pread(fd_, text, sizeof text - 1, 0);
    std::optional<uint64_t> run_queue;
    if (n > 0)
        run_queue = parse_run_queue_ns(std::string_view(text, size_t(n)));
    last_run_queue_ns_ = run_queue.value_or(last_run_queue_ns_);
    return {thread_cpu_ns(), last_run_queue_ns_};
}

std::optional<uint64_t> read_steal_us()
{
    std::ifstream file("/proc/stat");
    std::string line;
    if (!std::getline(file, line))
        return std::nullopt;
    return parse_steal_us(line, sysconf(_SC_CLK_TCK));
}
