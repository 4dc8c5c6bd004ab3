#include "Statistics.h"

#include <bit>
#include <cmath>

namespace client {

int RttHistogram::BucketOf(std::int64_t micros)
{
    if (micros < kExact)
        return micros < 0 ? 0 : static_cast<int>(micros);
    const auto v = static_cast<std::uint64_t>(micros);
    const int top = std::bit_width(v) - 1; // at least kSubBits + 1
    if (top >= kTopBit)
        return kBuckets - 1;
    const int shift = top - kSubBits;
    const int sub = static_cast<int>(v >> shift) - (1 << kSubBits);
    return kExact + (shift - 1) * (1 << kSubBits) + sub;
}

std::int64_t RttHistogram::MiddleOf(int bucket)
{
    if (bucket < kExact)
        return bucket;
    const int shift = (bucket - kExact) / (1 << kSubBits) + 1;
    const int sub = (bucket - kExact) % (1 << kSubBits);
    const std::int64_t low = static_cast<std::int64_t>(sub + (1 << kSubBits)) << shift;
    return low + ((std::int64_t{1} << shift) - 1) / 2;
}

void RttHistogram::Add(std::int64_t micros)
{
    ++buckets_[static_cast<std::size_t>(BucketOf(micros))];
    ++count_;
}

std::uint64_t RttHistogram::Rank(double percent, std::uint64_t count)
{
    // Multiplied first, so that 95 % of 100 samples is rank 95 exactly.
    auto rank = static_cast<std::uint64_t>(std::ceil(percent * static_cast<double>(count) / 100.0 - 1e-9));
    if (rank < 1)
        rank = 1;
    if (rank > count)
        rank = count;
    return rank;
}

std::int64_t RttHistogram::Percentile(double percent) const
{
    if (count_ == 0)
        return 0;
    const std::uint64_t rank = Rank(percent, count_);
    std::uint64_t seen = 0;
    for (int b = 0; b < kBuckets; ++b) {
        seen += buckets_[static_cast<std::size_t>(b)];
        if (seen >= rank)
            return MiddleOf(b);
    }
    return MiddleOf(kBuckets - 1);
}

double RunStatistics::LossPercent() const
{
    if (sent == 0)
        return 0;
    const std::uint64_t lost = sent > answered ? sent - answered : 0;
    return 100.0 * static_cast<double>(lost) / static_cast<double>(sent);
}

void RunStatistics::AddRtt(std::int64_t micros, std::uint16_t seq)
{
    if (rtt.Count() == 0 || micros < minMicros) {
        minMicros = micros;
        minSeq = seq;
    }
    if (rtt.Count() == 0 || micros > maxMicros) {
        maxMicros = micros;
        maxSeq = seq;
    }
    rtt.Add(micros);
    const double x = static_cast<double>(micros);
    const double delta = x - mean_;
    mean_ += delta / static_cast<double>(rtt.Count());
    m2_ += delta * (x - mean_);
}

std::int64_t RunStatistics::PercentileMicros(double percent) const
{
    const std::uint64_t count = rtt.Count();
    if (count > 0) {
        const std::uint64_t rank = RttHistogram::Rank(percent, count);
        if (rank == count)
            return maxMicros;
        if (rank == 1)
            return minMicros;
    }
    // The middle of a wide bucket may lie beyond what was seen.
    const std::int64_t p = rtt.Percentile(percent);
    return p < minMicros ? minMicros : p > maxMicros ? maxMicros : p;
}

double RunStatistics::MdevMicros() const
{
    return rtt.Count() == 0 ? 0 : std::sqrt(m2_ / static_cast<double>(rtt.Count()));
}

} // namespace client
