#include "frame_ledger.h"

void FrameLedger::add(const Frame &frame, bool present_may_come)
{
    if (count_ == rows_.size()) {
        // Unrolled into a ring twice the size; rare, and never once the ring
        // has grown to the frame rate.
        std::vector<Row> grown(2 * rows_.size());
        for (size_t i = 0; i < count_; ++i)
            grown[i] = row(i);
        rows_.swap(grown);
        first_ = 0;
    }
    row(count_++) = Row{FrameRecord{frame, {}, {}}, present_may_come};
}

// Ids grow with the frames, so the newest rows are looked at first: a
// present comes a few frames after its swap at most.
FrameRecord *FrameLedger::find(uint64_t frame_id)
{
    for (size_t i = count_; frame_id && i-- > 0;) {
        Row &r = row(i);
        if (r.record.frame.id == frame_id)
            return r.awaits_present && !r.record.present ? &r.record : nullptr;
    }
    return nullptr;
}

const FrameRecord *FrameLedger::settled(uint64_t now) const
{
    if (!count_)
        return nullptr;
    const Row &oldest = row(0);
    bool settled = !oldest.awaits_present || oldest.record.present || oldest.record.frame.swap_end_us + wait_us <= now;
    return settled ? &oldest.record : nullptr;
}

void FrameLedger::pop()
{
    first_ = (first_ + 1) % rows_.size();
    --count_;
}

uint64_t FrameLedger::overdue_at() const
{
    return count_ ? row(0).record.frame.swap_end_us + wait_us : UINT64_MAX;
}
