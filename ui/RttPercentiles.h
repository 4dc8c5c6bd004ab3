#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

namespace ui {

// Every round trip since the last Clear(), for nearest-rank percentiles of
// the exact microsecond times. Memory stays bounded however many answers
// come: a count per microsecond below kExactLimit (about a second), in
// blocks allocated as times reach them (8 KB each, at most 8 MB), and above
// that a count per 1/1024 of a power of two (a percentile that falls there
// is within 0.1 % of the time, never above the maximum). The maximum is
// always exact.
class RttPercentiles {
public:
    static constexpr std::int64_t kExactLimit = std::int64_t{1} << 20;

    void Add(std::int64_t micros);
    void Clear();

    std::uint64_t Count() const { return count_; }
    std::int64_t Max() const { return max_; }
    std::int64_t Min() const { return min_; }
    // The time at nearest rank: the smallest time with at least `percent` %
    // of the answers at or below it. 0 when there are none.
    std::int64_t Percentile(double percent) const;

    // Answers per bin of `bins` equal bins from `from` to `to` microseconds;
    // times outside count in the first or the last bin.
    std::vector<std::uint64_t> Histogram(int bins, std::int64_t from, std::int64_t to) const;

private:
    static constexpr int kBlockBits = 10;
    static constexpr std::size_t kBlockSize = std::size_t{1} << kBlockBits;
    static constexpr std::size_t kBlocks = static_cast<std::size_t>(kExactLimit) >> kBlockBits;
    static constexpr int kSubBits = 10;
    static constexpr int kFirstTailBit = 20;
    static constexpr int kTailPowers = 63 - kFirstTailBit;
    using Block = std::array<std::uint64_t, kBlockSize>;

    // The smallest time a tail bucket counts.
    static std::int64_t TailValue(int power, std::size_t sub);
    std::int64_t AtRank(std::uint64_t rank) const;

    std::array<std::unique_ptr<Block>, kBlocks> exact_;
    std::array<std::unique_ptr<Block>, kTailPowers> tail_;
    // Answers per block, so that a rank is found without walking every count.
    std::array<std::uint64_t, kBlocks> exactTotals_{};
    std::array<std::uint64_t, kTailPowers> tailTotals_{};
    std::uint64_t count_ = 0;
    std::int64_t min_ = 0;
    std::int64_t max_ = 0;
};

} // namespace ui
