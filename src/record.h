// The run's record files: the per-frame CSV log and the JSON report, each
// an object of its own. A failed write is reported once on standard error,
// and the run's end says whether any failed.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "frame.h"

class FrameLog {
public:
    // How long a row waits in the stream's buffer before it is flushed.
    static constexpr uint64_t flush_after_us = 500000;

    FrameLog() = default;
    FrameLog(const FrameLog &) = delete;
    FrameLog &operator=(const FrameLog &) = delete;
    ~FrameLog();

    // Opens the log at `path` without changing it, so that a run that fails
    // to start leaves an existing file as it was; null for no log. Returns
    // false after a line on standard error when it cannot be created.
    bool open(const char *path);
    // The run has started: the log is emptied and gets its header, with the
    // input_us column when presses are timed.
    void start(bool input_column);
    // The run failed before it started: the log is closed, and removed if
    // this run created it.
    void abandon();

    // Writes a frame's row into the buffer; the frame path allocates nothing.
    void write(const FrameRecord &r);
    // The tick by which the rows in the buffer are due to be flushed; UINT64_MAX for none.
    uint64_t flush_due() const { return unflushed_since_ ? unflushed_since_ + flush_after_us : UINT64_MAX; }
    void flush();
    // Closes the log. False, after a message on standard error, when a
    // write failed, now or during the run.
    bool close();

private:
    int write_accounts(const std::optional<FrameAccounts> &a);
    const char *path_ = nullptr;
    FILE *file_ = nullptr;
    bool failed_ = false, created_ = false, input_column_ = false;
    uint64_t unflushed_since_ = 0;  // swap end of the oldest row not yet flushed; 0 for none
};

// The report is written to a temporary file beside it and renamed into
// place, so that a reader never sees half of one. A path that is not a
// regular file, such as /dev/stdout, is written directly.
class ReportFile {
public:
    // Checks at the start that a report can be written at `path` at the
    // end, leaving nothing behind; null for no report. Returns false after a
    // line on standard error when it cannot.
    bool check(const char *path);
    // Writes `text` as the report. False after a message on standard error.
    bool write(const std::string &text);

private:
    const char *path_ = nullptr;
    std::string final_;  // the file it replaces; empty where the path is written directly
};
