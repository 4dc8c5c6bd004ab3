#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>

namespace client {

// Round-trip times in microseconds, counted in buckets: exact below 256 us,
// above that 128 buckets per power of two (each at most 1/128 of its value
// wide). Times of 2^40 us (about 12.7 days) and more count in the last
// bucket. No storage per sample, so a run of days holds flat memory.
//
// The buckets come in blocks of 128 (two for the exact part, then one per
// power of two), each allocated when a time first falls in it: a run whose
// times stay within a few powers of two holds a few KB, and a process that
// keeps thousands of histograms pays only for the ranges each has seen.
class RttHistogram {
public:
    RttHistogram() = default;
    RttHistogram(const RttHistogram& other);
    RttHistogram& operator=(const RttHistogram& other);
    // A histogram moved from is empty.
    RttHistogram(RttHistogram&& other) noexcept;
    RttHistogram& operator=(RttHistogram&& other) noexcept;
    ~RttHistogram() = default;

    void Add(std::int64_t micros);
    // Bucket-wise sum: afterwards this holds what one histogram fed the
    // samples of both would hold.
    void Merge(const RttHistogram& other);
    std::uint64_t Count() const { return count_; }
    // The nearest rank of a percentile among `count` samples: 1 to count.
    static std::uint64_t Rank(double percent, std::uint64_t count);
    // The smallest bucket value with at least `percent` % of the samples at
    // or below it (nearest rank), as the middle of its bucket. 0 when empty.
    std::int64_t Percentile(double percent) const;

    static constexpr int kSubBits = 7;
    static constexpr int kExact = 2 << kSubBits;    // 0..255 us, one bucket each
    static constexpr int kTopBit = 40;              // 2^40 us and more: last bucket
    static constexpr int kBuckets = kExact + (kTopBit - kSubBits - 1) * (1 << kSubBits);
    static constexpr int kBlockSize = 1 << kSubBits;
    static constexpr int kBlocks = kBuckets / kBlockSize;
    static_assert(kExact % kBlockSize == 0 && kBuckets % kBlockSize == 0);

private:
    using Block = std::array<std::uint64_t, kBlockSize>;

    static int BucketOf(std::int64_t micros);
    static std::int64_t MiddleOf(int bucket);
    // The block, allocated zeroed if it was not yet.
    Block& BlockAt(std::size_t index);

    std::array<std::unique_ptr<Block>, kBlocks> blocks_;
    std::uint64_t count_ = 0;
};

// What a run did. A request and the copies sent again for it count once.
struct RunStatistics {
    std::uint64_t sent = 0;
    std::uint64_t answered = 0;      // answers taken: values, device errors and malformed answers
    std::uint64_t timeouts = 0;
    std::uint64_t retries = 0;       // extra copies sent
    std::uint64_t late = 0;          // answers to an earlier request, never taken
    std::uint64_t deviceErrors = 0;
    std::uint64_t malformed = 0;
    std::uint64_t closed = 0;        // requests lost to a connection closed or not made again
    std::uint64_t reconnects = 0;    // connections made after the first

    // Requests that never got an answer, out of requests sent; 0 when none were sent.
    double LossPercent() const;

    // Round trips of the answers taken.
    void AddRtt(std::int64_t micros, std::uint16_t seq);
    // Adds another run's figures to these: every counter summed, the round
    // trips as if this one had taken them all. Of a minimum or maximum
    // held by both, this one's seq is kept.
    void Merge(const RunStatistics& other);
    std::uint64_t RttCount() const { return rtt.Count(); }
    double AvgMicros() const { return mean_; }
    // A percentile of the histogram, kept within the minimum and maximum;
    // one whose rank falls on the smallest or the largest answer is its time.
    std::int64_t PercentileMicros(double percent) const;
    // Standard deviation of the round trips, as ping's mdev.
    double MdevMicros() const;

    RttHistogram rtt;
    std::int64_t minMicros = 0;
    std::int64_t maxMicros = 0;
    std::uint16_t minSeq = 0;
    std::uint16_t maxSeq = 0;

private:
    // Running mean and sum of squared differences (Welford), stable over
    // any number of samples.
    double mean_ = 0;
    double m2_ = 0;
};

} // namespace client
