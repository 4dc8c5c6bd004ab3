#include "RttPercentiles.h"

#include <Statistics.h>

#include <algorithm>
#include <bit>

namespace ui {

void RttPercentiles::Add(std::int64_t micros)
{
    micros = std::max<std::int64_t>(micros, 0);
    if (count_ == 0 || micros < min_)
        min_ = micros;
    if (count_ == 0 || micros > max_)
        max_ = micros;
    ++count_;
    if (micros < kExactLimit) {
        const std::size_t b = static_cast<std::size_t>(micros) >> kBlockBits;
        if (!exact_[b])
            exact_[b] = std::make_unique<Block>();
        ++(*exact_[b])[static_cast<std::size_t>(micros) & (kBlockSize - 1)];
        ++exactTotals_[b];
        return;
    }
    const int power = std::bit_width(static_cast<std::uint64_t>(micros)) - 1; // 20..62
    const auto p = static_cast<std::size_t>(power - kFirstTailBit);
    if (!tail_[p])
        tail_[p] = std::make_unique<Block>();
    ++(*tail_[p])[(static_cast<std::uint64_t>(micros) >> (power - kSubBits)) & (kBlockSize - 1)];
    ++tailTotals_[p];
}

void RttPercentiles::Clear()
{
    for (auto& block : exact_)
        block.reset();
    for (auto& block : tail_)
        block.reset();
    exactTotals_.fill(0);
    tailTotals_.fill(0);
    count_ = 0;
    min_ = 0;
    max_ = 0;
}

std::int64_t RttPercentiles::TailValue(int power, std::size_t sub)
{
    return static_cast<std::int64_t>((std::uint64_t{1} << power) | (std::uint64_t{sub} << (power - kSubBits)));
}

std::int64_t RttPercentiles::Percentile(double percent) const
{
    if (count_ == 0)
        return 0;
    return AtRank(client::RttHistogram::Rank(percent, count_));
}

std::int64_t RttPercentiles::AtRank(std::uint64_t rank) const
{
    if (rank >= count_)
        return max_;
    std::uint64_t seen = 0;
    for (std::size_t b = 0; b < exact_.size(); ++b) {
        if (seen + exactTotals_[b] < rank) {
            seen += exactTotals_[b];
            continue;
        }
        const Block& block = *exact_[b];
        for (std::size_t i = 0; i < kBlockSize; ++i) {
            seen += block[i];
            if (seen >= rank)
                return static_cast<std::int64_t>((b << kBlockBits) | i);
        }
    }
    for (std::size_t p = 0; p < tail_.size(); ++p) {
        if (seen + tailTotals_[p] < rank) {
            seen += tailTotals_[p];
            continue;
        }
        const Block& block = *tail_[p];
        for (std::size_t i = 0; i < kBlockSize; ++i) {
            seen += block[i];
            if (seen >= rank)
                return std::min(max_, TailValue(static_cast<int>(p) + kFirstTailBit, i));
        }
    }
    return max_;
}

std::vector<std::uint64_t> RttPercentiles::Histogram(int bins, std::int64_t from, std::int64_t to) const
{
    std::vector<std::uint64_t> counts(static_cast<std::size_t>(std::max(bins, 1)), 0);
    const double width = static_cast<double>(std::max<std::int64_t>(to - from, 1)) / static_cast<double>(counts.size());
    const auto add = [&](std::int64_t micros, std::uint64_t n) {
        const double at = static_cast<double>(micros - from) / width;
        const auto bin = static_cast<std::size_t>(std::clamp(at, 0.0, static_cast<double>(counts.size() - 1)));
        counts[bin] += n;
    };
    for (std::size_t b = 0; b < exact_.size(); ++b) {
        if (!exact_[b])
            continue;
        const Block& block = *exact_[b];
        for (std::size_t i = 0; i < kBlockSize; ++i) {
            if (block[i])
                add(static_cast<std::int64_t>((b << kBlockBits) | i), block[i]);
        }
    }
    for (std::size_t p = 0; p < tail_.size(); ++p) {
        if (!tail_[p])
            continue;
        const Block& block = *tail_[p];
        for (std::size_t i = 0; i < kBlockSize; ++i) {
            if (block[i])
                add(TailValue(static_cast<int>(p) + kFirstTailBit, i), block[i]);
        }
    }
    return counts;
}

} // namespace ui
