// The run's record files: the per-frame CSV log, the JSON report and the
// summary on standard output.
#pragma once

#include <cstdint>

#include "figures.h"

// Creates the log named by --log and a temporary file beside the report
// named by --report. Returns false after a line on standard error when one
// cannot be created.
bool open_records();

// Logs one frame: its number (from 1), the tick at its start, the tick and
// the CLOCK_MONOTONIC time at the end of its swap. When a present may come
// for it, the row waits for it, for half a second at most; otherwise it is
// written at once.
void record_frame(uint64_t frame, uint64_t start_us, uint64_t swap_end_us, uint64_t swap_end_mono_us,
                  bool present_may_come);

// The frame a present belongs to, as CLOCK_MONOTONIC times.
struct PresentedFrame {
    bool found = false;
    uint64_t start_mono_us = 0, swap_end_mono_us = 0;
};

// A present the X server completed on the window, taken as the oldest
// logged frame that has none yet.
PresentedFrame record_present(uint64_t ust, uint64_t msc, PresentMode mode);

// The tick by which record_catch_up has work to do: a row whose present is
// overdue, or rows that have waited long enough in the buffer.
uint64_t record_deadline();

// Writes the rows whose present is overdue at tick `now` and flushes the
// rows that have waited, so that a row reaches the file about a second
// after its frame at the latest.
void record_catch_up(uint64_t now);

// Writes what is still pending, then the report (through its temporary file,
// renamed into place), then the summary; once, later calls do nothing.
// Returns false after a message on standard error when a write failed, now
// or during the run.
bool finish_records(const RunFigures &figures);
