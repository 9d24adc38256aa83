// The run's record files: the per-frame CSV log, the JSON report and the
// summary on standard output.
#pragma once

#include <cstdint>
#include <optional>

#include "figures.h"
#include "frame.h"

// Checks that a report can be written beside its path, then opens the log
// without changing it; either path may be null. Returns false after a line
// on standard error when one cannot be created.
bool open_records(const char *log_path, const char *report_path);

// The run has started: the log is emptied and gets its header, with the
// input_us column when presses are timed.
void start_records(bool input_column);

// The run failed before it started: the log is closed, and removed if this
// run created it; nothing else is written, now or later.
void abandon_records();

// Logs a frame. When a present may come for it, the row waits for it, for
// half a second at most; otherwise it is written at once.
void record_frame(const Frame &frame, bool present_may_come);

// The frame whose row waits for the present `p`. A present of a frame
// already written, or of none of the program's frames, is not found.
PresentedFrame record_find(const Presentation &p);

// Gives the present `p` to the row of the frame it names, with the
// animation error between that frame and the one shown before it, where
// there is one; a present record_find does not find changes no row.
void record_present(const Presentation &p, std::optional<int64_t> animation_error_us);

// The tick by which record_catch_up has work to do: a row whose present is
// overdue, rows that have waited long enough in the buffer, or half a
// second since the last catch-up.
uint64_t record_deadline();

// Writes the rows whose present is overdue at tick `now` and flushes the
// rows that have waited, so that a row reaches the file about a second
// after its frame at the latest.
void record_catch_up(uint64_t now);

// Writes what is still pending, then the report (through its temporary file,
// renamed into place), then the summary when asked for; once, later calls
// do nothing.
// Returns false after a message on standard error when a write failed, now
// or during the run.
bool finish_records(const RunFigures &figures, bool summary);
