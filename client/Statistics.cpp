#include "Statistics.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cmath>
#include <utility>

namespace client {

RttHistogram::RttHistogram(Precision precision)
    : precision_(precision)
{
}

std::size_t RttHistogram::Buckets() const
{
    return (std::size_t{1} << precision_.exactBits) + std::size_t(precision_.topBit - precision_.exactBits) * BlockSize();
}

std::size_t RttHistogram::BucketOf(std::int64_t micros) const
{
    const auto v = static_cast<std::uint64_t>(micros);
    const int top = std::bit_width(v) - 1;
    if (top < precision_.exactBits)
        return static_cast<std::size_t>(v);
    if (top >= precision_.topBit)
        return Buckets() - 1;
    const int shift = top - precision_.subBits;
    const std::size_t sub = static_cast<std::size_t>(v >> shift) - BlockSize();
    return (std::size_t{1} << precision_.exactBits) + std::size_t(top - precision_.exactBits) * BlockSize() + sub;
}

std::int64_t RttHistogram::ValueOf(std::size_t bucket) const
{
    const std::size_t exact = std::size_t{1} << precision_.exactBits;
    std::int64_t middle = static_cast<std::int64_t>(bucket);
    if (bucket >= exact) {
        const int shift = precision_.exactBits - precision_.subBits + int((bucket - exact) / BlockSize());
        const std::size_t sub = (bucket - exact) % BlockSize();
        const std::int64_t low = static_cast<std::int64_t>(BlockSize() + sub) << shift;
        middle = low + ((std::int64_t{1} << shift) - 1) / 2;
    }
    // The middle of a wide bucket may lie beyond what was seen.
    return std::clamp(middle, min_, max_);
}

RttHistogram::RttHistogram(const RttHistogram& other)
    : precision_(other.precision_),
      blocks_(other.blocks_.size()),
      count_(other.count_),
      min_(other.min_),
      max_(other.max_)
{
    for (std::size_t i = 0; i < blocks_.size(); ++i) {
        if (other.blocks_[i]) {
            blocks_[i] = std::make_unique<std::uint64_t[]>(BlockSize() + 1);
            std::copy_n(other.blocks_[i].get(), BlockSize() + 1, blocks_[i].get());
        }
    }
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
    : precision_(other.precision_),
      blocks_(std::move(other.blocks_)),
      count_(std::exchange(other.count_, 0)),
      min_(std::exchange(other.min_, 0)),
      max_(std::exchange(other.max_, 0))
{
    other.blocks_.clear();
}

RttHistogram& RttHistogram::operator=(RttHistogram&& other) noexcept
{
    if (this != &other) {
        precision_ = other.precision_;
        blocks_ = std::move(other.blocks_);
        other.blocks_.clear();
        count_ = std::exchange(other.count_, 0);
        min_ = std::exchange(other.min_, 0);
        max_ = std::exchange(other.max_, 0);
    }
    return *this;
}

std::uint64_t* RttHistogram::BlockAt(std::size_t index)
{
    if (blocks_.empty())
        blocks_.resize(Buckets() / BlockSize());
    if (!blocks_[index])
        blocks_[index] = std::make_unique<std::uint64_t[]>(BlockSize() + 1); // zeroed
    return blocks_[index].get();
}

void RttHistogram::Add(std::int64_t micros)
{
    micros = std::max<std::int64_t>(micros, 0);
    if (count_ == 0 || micros < min_)
        min_ = micros;
    if (count_ == 0 || micros > max_)
        max_ = micros;
    const std::size_t bucket = BucketOf(micros);
    std::uint64_t* block = BlockAt(bucket / BlockSize());
    ++block[0];
    ++block[1 + bucket % BlockSize()];
    ++count_;
}

void RttHistogram::Merge(const RttHistogram& other)
{
    assert(precision_.exactBits == other.precision_.exactBits && precision_.subBits == other.precision_.subBits
           && precision_.topBit == other.precision_.topBit);
    if (other.count_ == 0)
        return;
    min_ = count_ == 0 ? other.min_ : std::min(min_, other.min_);
    max_ = count_ == 0 ? other.max_ : std::max(max_, other.max_);
    // Read block by block, so that merging a histogram into itself doubles it.
    for (std::size_t i = 0; i < other.blocks_.size(); ++i) {
        if (!other.blocks_[i])
            continue;
        const std::uint64_t* theirs = other.blocks_[i].get();
        std::uint64_t* mine = BlockAt(i);
        for (std::size_t j = 0; j <= BlockSize(); ++j)
            mine[j] += theirs[j];
    }
    count_ += other.count_;
}

void RttHistogram::Clear()
{
    blocks_.clear();
    count_ = 0;
    min_ = 0;
    max_ = 0;
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
    if (rank == count_)
        return max_;
    if (rank == 1)
        return min_;
    std::uint64_t seen = 0;
    for (std::size_t i = 0; i < blocks_.size(); ++i) {
        const std::uint64_t* block = blocks_[i].get();
        if (!block)
            continue;
        if (seen + block[0] < rank) {
            seen += block[0];
            continue;
        }
        for (std::size_t j = 0; j < BlockSize(); ++j) {
            seen += block[1 + j];
            if (seen >= rank)
                return ValueOf(i * BlockSize() + j);
        }
    }
    return max_;
}

std::vector<std::uint64_t> RttHistogram::Histogram(int bins, std::int64_t from, std::int64_t to) const
{
    std::vector<std::uint64_t> counts(static_cast<std::size_t>(std::max(bins, 1)), 0);
    const double width = static_cast<double>(std::max<std::int64_t>(to - from, 1)) / static_cast<double>(counts.size());
    for (std::size_t i = 0; i < blocks_.size(); ++i) {
        const std::uint64_t* block = blocks_[i].get();
        if (!block)
            continue;
        for (std::size_t j = 0; j < BlockSize(); ++j) {
            if (!block[1 + j])
                continue;
            const double at = static_cast<double>(ValueOf(i * BlockSize() + j) - from) / width;
            counts[static_cast<std::size_t>(std::clamp(at, 0.0, static_cast<double>(counts.size() - 1)))] += block[1 + j];
        }
    }
    return counts;
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
    return rtt.Percentile(percent);
}

double RunStatistics::MdevMicros() const
{
    return rtt.Count() == 0 ? 0 : std::sqrt(m2_ / static_cast<double>(rtt.Count()));
}

} // namespace client
