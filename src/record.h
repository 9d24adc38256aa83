// The run's record files: the per-frame CSV log, the JSON report and the
// summary on standard output.
#pragma once

#include <cstdint>

#include "figures.h"

// Creates the files named by --log and --report. Returns false after a line
// on standard error when one cannot be created.
bool open_records();

// Logs one frame: its number (from 1), the tick at its start, the tick and
// the CLOCK_MONOTONIC time at the end of its swap. The row is written once
// the display has reported the frame's present, or once it is too old to be.
void record_frame(uint64_t frame, uint64_t start_us, uint64_t swap_end_us, uint64_t swap_end_mono_us);

// A present the X server completed on the window, taken as the oldest
// logged frame that has none yet. Returns that frame's start as a
// CLOCK_MONOTONIC time, or 0 when no frame is waiting.
uint64_t record_present(uint64_t ust, uint64_t msc, PresentMode mode);

// Writes what is still pending, the summary and the report, once; later
// calls do nothing. Returns false after a message on standard error when a
// write failed, now or during the run.
bool finish_records(const RunFigures &figures);
