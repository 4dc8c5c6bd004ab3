#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace client {

// Round-trip times in microseconds, counted in buckets: exact below
// 2^exactBits us, above that 2^subBits buckets per power of two (each at
// most 1/2^subBits of its value wide); times of 2^topBit us and more count in
// the last bucket. No storage per sample, so a run of days holds flat memory.
//
// The buckets come in blocks of 2^subBits (one per power of two above the
// exact part), each allocated with its total when a time first falls in it:
// a histogram pays only for the ranges it has seen, and a rank skips whole
// blocks by their totals.
class RttHistogram {
public:
    struct Precision {
        std::uint8_t exactBits;
        std::uint8_t subBits;
        std::uint8_t topBit;
    };
    // A run's summary, where a process keeps thousands: exact below 256 us,
    // then within 1/128, up to 2^40 us (about 12.7 days). A few KB a run.
    static constexpr Precision kCompact{8, 7, 40};
    // The traffic window's one: exact below 2^20 us (about a second), then
    // within 1/1024, for any time. At most about 8 MB.
    static constexpr Precision kFine{20, 10, 63};

    explicit RttHistogram(Precision precision = kCompact);
    RttHistogram(const RttHistogram& other);
    RttHistogram& operator=(const RttHistogram& other);
    // A histogram moved from is empty.
    RttHistogram(RttHistogram&& other) noexcept;
    RttHistogram& operator=(RttHistogram&& other) noexcept;
    ~RttHistogram() = default;

    // A negative time counts as 0.
    void Add(std::int64_t micros);
    // Bucket-wise sum, of a histogram of the same precision: afterwards this
    // holds what one histogram fed the samples of both would hold.
    void Merge(const RttHistogram& other);
    void Clear();
    std::uint64_t Count() const { return count_; }
    std::int64_t Min() const { return min_; }
    std::int64_t Max() const { return max_; }
    // The nearest rank of a percentile among `count` samples: 1 to count.
    static std::uint64_t Rank(double percent, std::uint64_t count);
    // The time at nearest rank: the smallest and the largest time exactly,
    // otherwise the middle of the bucket that holds the rank, kept within
    // them (exact below 2^exactBits us). 0 when empty.
    std::int64_t Percentile(double percent) const;
    // Times per bin of `bins` equal bins from `from` to `to` microseconds,
    // each bucket's at its middle; times outside count in the first or the
    // last bin.
    std::vector<std::uint64_t> Histogram(int bins, std::int64_t from, std::int64_t to) const;

private:
    std::size_t BlockSize() const { return std::size_t{1} << precision_.subBits; }
    std::size_t Buckets() const;
    std::size_t BucketOf(std::int64_t micros) const;
    // The middle of a bucket, kept within the smallest and the largest time.
    std::int64_t ValueOf(std::size_t bucket) const;
    // The block's total then its counts, allocated zeroed if it was not yet.
    std::uint64_t* BlockAt(std::size_t index);

    Precision precision_;
    std::vector<std::unique_ptr<std::uint64_t[]>> blocks_; // sized at the first time
    std::uint64_t count_ = 0;
    std::int64_t min_ = 0;
    std::int64_t max_ = 0;
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
    // The histogram's percentile: within the minimum and maximum, and one
    // whose rank falls on the smallest or the largest answer is its time.
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
