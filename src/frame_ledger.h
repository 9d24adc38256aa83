// The frames whose present may still come, oldest first. A present finds
// its own frame's record here, by the id the frame's swap returned, and the
// log takes the records in order once their present has come or has waited
// too long. No file here: the ledger only keeps.
#pragma once

#include <cstdint>
#include <vector>

#include "frame.h"

class FrameLedger {
public:
    // How long a frame waits for its present: with the log's own wait in its
    // buffer, a reader of the file is never much more than a second behind.
    static constexpr uint64_t wait_us = 500000;

    // Takes a frame; one that no present can come for is settled at once.
    void add(const Frame &frame, bool present_may_come);
    // The record of the frame whose swap returned `frame_id`, while it still
    // waits for its present; null for a frame already taken by the log, one
    // that has its present, or none of the program's (id 0).
    FrameRecord *find(uint64_t frame_id);
    // Hands `take` the records settled by tick `now`, oldest first, and
    // drops them: those whose present has come, or none can, or that have
    // waited `wait_us`. The first still waiting keeps those after it.
    template <typename Take>
    void drain(uint64_t now, Take &&take)
    {
        for (; const FrameRecord *r = settled(now); pop())
            take(*r);
    }
    // The tick at which the oldest record will have waited long enough;
    // UINT64_MAX with none waiting.
    uint64_t overdue_at() const;

private:
    const FrameRecord *settled(uint64_t now) const;
    void pop();

    struct Row {
        FrameRecord record;
        bool awaits_present;
    };
    Row &row(size_t i) { return rows_[(first_ + i) % rows_.size()]; }
    const Row &row(size_t i) const { return rows_[(first_ + i) % rows_.size()]; }

    // A ring that doubles when full, so that it holds every frame of the
    // last wait_us at any frame rate, and allocates nothing once it does.
    std::vector<Row> rows_ = std::vector<Row>(64);
    size_t first_ = 0, count_ = 0;
};
