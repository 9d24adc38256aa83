// The display's vblank clock, fitted from (MSC, UST) samples, and the vsync
// verdict from the phase of the swap ends against it. No X here: the times
// are CLOCK_MONOTONIC microseconds, as the X server's UST.
#pragma once

#include <cstdint>
#include <string>

// A least-squares line through UST against MSC; its slope is the refresh period.
class VblankFit {
public:
    void add(uint64_t msc, uint64_t ust);
    // Known once the samples span a few vblanks.
    bool known() const;
    double period_us() const;
    // The fitted UST of the latest vblank seen: steadier than the sample's
    // own, which a server may take when it answers rather than at the vblank.
    uint64_t last_vblank_ust() const;
    // How many vblanks after the first one at or after `t` a present that
    // completed at `msc` came: 0 for a present on time.
    uint64_t vblanks_late(uint64_t msc, uint64_t t) const;

private:
    uint64_t n_ = 0, first_msc_ = 0, first_ust_ = 0, last_msc_ = 0;
    double sm_ = 0, su_ = 0, smm_ = 0, smu_ = 0;  // sums, relative to the first sample
};

// The period between two vblank samples, or `known` when they cannot tell it.
double vblank_period(uint64_t msc0, uint64_t ust0, uint64_t msc1, uint64_t ust1, double known);

// Whether a vblank request asked at `asked_at` μs has had no answer for so
// long at `now` that it never will: a few periods (`period_us`, 0 unknown).
bool vblank_request_lost(uint64_t asked_at, uint64_t now, double period_us);

// Where swap ends fall within the refresh period, kept as running sums.
class PhaseStats {
public:
    static constexpr int bins = 16;
    // A swap end at `t`, against a vblank at `vblank_ust` and the period.
    void add(uint64_t t, uint64_t vblank_ust, double period_us);
    uint64_t count() const { return n_; }
    // The mean resultant length: 1 for one fixed phase, near 0 for phases all round.
    double concentration() const;
    int bins_hit() const;

private:
    uint64_t n_ = 0;
    double cos_ = 0, sin_ = 0;
    uint64_t hits_[bins] = {};
};

// Whether frames `mean_interval_us` apart come faster than a refresh period
// allows: vsync cannot be holding them.
bool faster_than(double mean_interval_us, double period_us);

// "locked", "not locked" or "unknown", from the phases of the measured
// frames, their mean interval and the requested one (0 for none); a period
// of 0 means no vblank clock.
std::string vsync_verdict(const PhaseStats &phases, double period_us, double mean_interval_us,
                          int32_t requested_us);

// What a compositor's per-frame feedback says of vsync: discards, the vsync
// flag, and the steps between successive presentations against its refresh.
class FeedbackStats {
public:
    void discarded() { ++discarded_; }
    // A presentation at `t` μs, with its flags and the refresh period (0 unknown).
    void presented(uint64_t t, bool vsync, double refresh_us);
    uint64_t presented_count() const { return presented_; }
    uint64_t discarded_count() const { return discarded_; }

    // "locked": nothing discarded, every presentation marked vsync, and each
    // step a whole number of refresh periods (within a tenth of one).
    // "not locked": frames discarded, presentations faster than the refresh
    // on average, or some unmarked where the compositor marks others.
    // "unknown": nothing presented (nothing or every frame discarded), none
    // marked vsync, or steps that are not whole periods.
    std::string verdict() const;

private:
    uint64_t presented_ = 0, discarded_ = 0, vsync_ = 0;
    uint64_t first_ = 0, last_ = 0, steps_ = 0, whole_steps_ = 0;
    double refresh_us_ = 0;
};
