#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace exporter {

// Exposition text written by hand for a probe's answer: prometheus-cpp
// writes values with 16 significant digits, which cannot carry every 64-bit
// value or every float exactly. Values here are the shortest text that
// reads back to the same double.
class Exposition {
public:
    using Labels = std::vector<std::pair<std::string_view, std::string_view>>;

    // A gauge family's HELP and TYPE lines; its samples follow.
    void Gauge(std::string_view name, std::string_view help);
    void Sample(std::string_view name, const Labels& labels, double value);

    const std::string& Text() const { return text_; }

    // The shortest decimal text that reads back to `value`, with an exponent
    // from 1e+06 and below 1e-04 (as Prometheus writes them); NaN, +Inf, -Inf.
    static std::string Number(double value);

private:
    std::string text_;
};

} // namespace exporter
