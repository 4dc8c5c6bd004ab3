#include "Statistics.h"

#include <bit>
#include <cmath>
#include <utility>

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

RttHistogram::RttHistogram(const RttHistogram& other)
    : count_(other.count_)
{
    for (std::size_t i = 0; i < blocks_.size(); ++i)
        if (other.blocks_[i])
            blocks_[i] = std::make_unique<Block>(*other.blocks_[i]);
}

RttHistogram& RttHistogram::operator=(const RttHistogram& other)
{
    if (this != &other) {
        RttHistogram copy(other);
        *this = std::move(copy);
    }
    return *this;
}

RttHistogram::RttHistogram(RttHistogram&& other) noexcept
    : blocks_(std::move(other.blocks_)),
      count_(std::exchange(other.count_, 0))
{
}

RttHistogram& RttHistogram::operator=(RttHistogram&& other) noexcept
{
    if (this != &other) {
        blocks_ = std::move(other.blocks_);
        count_ = std::exchange(other.count_, 0);
    }
    return *this;
}

RttHistogram::Block& RttHistogram::BlockAt(std::size_t index)
{
    if (!blocks_[index])
        blocks_[index] = std::make_unique<Block>(); // zeroed
    return *blocks_[index];
}

void RttHistogram::Add(std::int64_t micros)
{
    const auto bucket = static_cast<std::size_t>(BucketOf(micros));
    ++BlockAt(bucket / kBlockSize)[bucket % kBlockSize];
    ++count_;
}

void RttHistogram::Merge(const RttHistogram& other)
{
    // Read block by block, so that merging a histogram into itself doubles it.
    for (std::size_t i = 0; i < blocks_.size(); ++i) {
        if (!other.blocks_[i])
            continue;
        const Block& theirs = *other.blocks_[i];
        Block& mine = BlockAt(i);
        for (std::size_t j = 0; j < mine.size(); ++j)
            mine[j] += theirs[j];
    }
    count_ += other.count_;
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
    for (std::size_t i = 0; i < blocks_.size(); ++i) {
        if (!blocks_[i])
            continue;
        const Block& block = *blocks_[i];
        for (std::size_t j = 0; j < block.size(); ++j) {
            seen += block[j];
            if (seen >= rank)
                return MiddleOf(static_cast<int>(i * kBlockSize + j));
        }
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

void RunStatistics::Merge(const RunStatistics& other)
{
    sent += other.sent;
    answered += other.answered;
    timeouts += other.timeouts;
    retries += other.retries;
    late += other.late;
    deviceErrors += other.deviceErrors;
    malformed += other.malformed;
    closed += other.closed;
    reconnects += other.reconnects;

    const std::uint64_t theirs = other.rtt.Count();
    if (theirs == 0)
        return;
    const std::uint64_t mine = rtt.Count();
    if (mine == 0 || other.minMicros < minMicros) {
        minMicros = other.minMicros;
        minSeq = other.minSeq;
    }
    if (mine == 0 || other.maxMicros > maxMicros) {
        maxMicros = other.maxMicros;
        maxSeq = other.maxSeq;
    }
    if (mine == 0) {
        mean_ = other.mean_;
        m2_ = other.m2_;
    } else {
        // Chan, Golub and LeVeque's pairwise update of the mean and the sum
        // of squared differences. Read before writing: other may be this.
        const double na = static_cast<double>(mine);
        const double nb = static_cast<double>(theirs);
        const double n = na + nb;
        const double delta = other.mean_ - mean_;
        const double otherM2 = other.m2_;
        mean_ += delta * nb / n;
        m2_ += otherM2 + delta * delta * na * nb / n;
    }
    rtt.Merge(other.rtt);
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
