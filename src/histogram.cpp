#include "histogram.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr uint64_t exact_limit = 100000;
// Above the exact range each power of two is split into 256 bins.
constexpr int sub_bits = 8;
constexpr int first_exponent = 16;  // 2^16 < 100000 < 2^17
constexpr size_t log_bins = size_t(64 - first_exponent) << sub_bits;

int exponent(uint64_t value)
{
    return 63 - __builtin_clzll(value);
}

}  // namespace

Histogram::Histogram() : bins_(exact_limit + log_bins, 0) {}

size_t Histogram::bin(uint64_t value)
{
    if (value < exact_limit)
        return value;
    int e = exponent(value);
    size_t sub = (value >> (e - sub_bits)) & ((1u << sub_bits) - 1);
    return exact_limit + (size_t(e - first_exponent) << sub_bits) + sub;
}

uint64_t Histogram::bin_floor(size_t index)
{
    if (index < exact_limit)
        return index;
    size_t i = index - exact_limit;
    int e = int(i >> sub_bits) + first_exponent;
    uint64_t sub = i & ((1u << sub_bits) - 1);
    return ((uint64_t(1) << sub_bits) + sub) << (e - sub_bits);
}

void Histogram::add(uint64_t value)
{
    ++bins_[bin(value)];
    ++count_;
    min_ = std::min(min_, value);
    max_ = std::max(max_, value);
    sum_ += value;
    double delta = double(value) - mean_;
    mean_ += delta / double(count_);
    squares_ += delta * (double(value) - mean_);
}

double Histogram::mean() const
{
    return count_ ? double(sum_) / double(count_) : 0;
}

double Histogram::stddev() const
{
    return count_ ? std::sqrt(squares_ / double(count_)) : 0;
}

uint64_t Histogram::percentile(double p) const
{
    if (!count_)
        return 0;
    // The epsilon keeps products such as 99.9 / 100 * 1000 from rounding up a rank.
    double exact = p / 100 * double(count_);
    uint64_t rank = std::max<uint64_t>(1, uint64_t(std::ceil(exact - 1e-9)));
    if (rank == count_)
        return max_;
    uint64_t seen = 0;
    size_t i = 0;
    while ((seen += bins_[i]) < rank)
        ++i;
    if (i < exact_limit)
        return i;
    // The middle of a wide bin halves the worst error; it cannot lie outside what was seen.
    uint64_t middle = (bin_floor(i) + bin_floor(i + 1)) / 2;
    return std::clamp(middle, std::max(min_, exact_limit), max_);
}
