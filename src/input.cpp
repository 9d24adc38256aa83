#include "input.h"

#include <algorithm>

// Presents come within a few frames; answers older than this many are dropped unpresented.
static const size_t kept_answers = 16;

InputLatency::InputLatency(bool listening, bool injecting)
{
    figures_.listening = listening || injecting;
    figures_.injecting = injecting;
}

void InputLatency::injected(uint64_t stamp, int key)
{
    ++figures_.injected;
    sent_.push_back({stamp, key});
}

void InputLatency::arrived(uint64_t stamp, int key)
{
    ++figures_.events;
    if (!figures_.injecting) {
        arrived_.push_back(stamp);
        return;
    }
    auto latest = std::find_if(sent_.rbegin(), sent_.rend(), [&](const Sent &s) { return s.key == key; });
    if (key == user_key || latest == sent_.rend())
        return;
    uint64_t from = latest->stamp;
    figures_.to_arrival.add(stamp > from ? stamp - from : 0);
    arrived_.push_back(from);
    // Presses of the same key sent before it never arrived, and never will.
    auto older = std::remove_if(sent_.begin(), std::prev(latest.base()), [&](const Sent &s) { return s.key == key; });
    dropped_ += uint64_t(std::prev(latest.base()) - older);
    sent_.erase(older, latest.base());
}

uint64_t InputLatency::answer(uint64_t start)
{
    if (arrived_.empty())
        return 0;
    Answer a{0, {arrived_.begin(), arrived_.end()}};
    arrived_.clear();
    for (uint64_t stamp : a.stamps)
        figures_.to_frame_start.add(start > stamp ? start - stamp : 0);
    figures_.answered += a.stamps.size();
    if (answers_.size() == kept_answers)
        answers_.pop_front();
    answers_.push_back(std::move(a));
    drawing_ = true;
    return *std::min_element(answers_.back().stamps.begin(), answers_.back().stamps.end());
}

void InputLatency::swapped(const Frame &frame)
{
    if (!drawing_)
        return;
    drawing_ = false;
    answers_.back().id = frame.id;
    for (uint64_t &stamp : answers_.back().stamps) {
        figures_.to_swap_end.add(frame.swap_end_us > stamp ? frame.swap_end_us - stamp : 0);
        stamp = monotonic_at(frame, stamp);
    }
}

void InputLatency::presented(uint64_t id, uint64_t present_mono)
{
    for (auto a = answers_.begin(); a != answers_.end(); ++a) {
        if (!id || a->id != id)
            continue;
        for (uint64_t stamp : a->stamps)
            figures_.to_present.add(present_mono > stamp ? present_mono - stamp : 0);
        answers_.erase(a);
        return;
    }
}

InputFigures InputLatency::figures() const
{
    InputFigures f = figures_;
    f.lost = dropped_ + sent_.size() + arrived_.size();
    return f;
}

uint64_t PressSchedule::after(uint64_t tick, uint64_t period_us)
{
    double u = std::uniform_real_distribution<double>()(rng_);
    return tick + 3 * period_us + uint64_t(u * double(period_us));
}
