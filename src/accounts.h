// The kernel's own accounts of where the main thread's time went: on a CPU,
// waiting in a run queue for one, or neither (asleep, blocked). A frame's
// drawing span and the wake-up before it are split by them, and the run's
// steal, where a hypervisor reports it, is taken at its start and its end.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

// One thread's running totals at a moment, ns. Both only grow.
struct ThreadTimes {
    uint64_t on_cpu_ns = 0, run_queue_ns = 0;
};

// A frame's accounts, μs. The first three split its duration (start tick to
// swap end) whole; the last two are the parts of its late wake-up and of the
// time the window system held it that the thread spent waiting for a CPU (a
// held thread sleeps until the release wakes it, and may then wait).
struct FrameAccounts {
    uint64_t on_cpu_us = 0, run_queue_us = 0, blocked_us = 0, woke_queued_us = 0, held_queued_us = 0;
};

// The totals read at the frame's four moments: the end of the frame before
// and of the work after it, when the loop found this one due, just before
// its start tick and just after its swap end. The reads lie outside the
// spans they bracket, so a span's time on and waiting for a CPU is capped at
// its length (the drawing's rest is blocked); a counter that went backwards
// counts nothing.
FrameAccounts split_frame(const ThreadTimes &previous_end, const ThreadTimes &found_due,
                          const ThreadTimes &before_start, const ThreadTimes &after_end, uint64_t duration_us,
                          uint64_t woke_late_us, uint64_t held_us);

// The run-queue wait, ns, from the text of /proc/<tid>/schedstat: time on
// the CPU, time waiting for one, and the count of times run. Nothing where
// the text is not that, or where the kernel keeps no accounts (all zero).
std::optional<uint64_t> parse_run_queue_ns(std::string_view schedstat);

// The steal of all CPUs, μs, from the text of /proc/stat: the eighth field
// of its `cpu` line, in ticks of `ticks_per_s`. Nothing where it is not there.
std::optional<uint64_t> parse_steal_us(std::string_view proc_stat, long ticks_per_s);

// The calling thread's accounts, read with a descriptor kept open: each read
// is a pread and a clock read, with no allocation. The time on the CPU comes
// from the thread's CPU clock, which the kernel brings up to date as it is
// read; schedstat's own copy of it moves only at the scheduler's ticks.
// QUORVEL_NO_ACCOUNTS=1 in the environment turns them off.
class ThreadAccounts {
public:
    ThreadAccounts();
    ~ThreadAccounts();
    ThreadAccounts(const ThreadAccounts &) = delete;
    ThreadAccounts &operator=(const ThreadAccounts &) = delete;

    bool available() const { return fd_ >= 0; }
    // The totals now; all zero where the accounts are not available.
    ThreadTimes read() const;

private:
    int fd_ = -1;
    // A read that fails gives the last good total, so that the span around
    // it counts no wait rather than the whole run's.
    mutable uint64_t last_run_queue_ns_ = 0;
};

// The steal of all CPUs so far, μs, where the kernel reports it.
std::optional<uint64_t> read_steal_us();
