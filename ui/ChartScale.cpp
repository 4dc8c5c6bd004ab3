#include "ChartScale.h"

#include <algorithm>
#include <cmath>

namespace ui {

NiceScale MakeNiceScale(double low, double high, int ticks, double minStep)
{
    ticks = std::max(ticks, 2);
    if (!std::isfinite(low) || !std::isfinite(high)) {
        low = 0;
        high = 1;
    }
    if (!(high > low)) {
        // One value: a range of one step around it, as small as the value
        // allows without the labels reading alike.
        const double magnitude = std::max({std::abs(low), minStep, 1e-3});
        high = low + std::max(minStep, std::pow(10.0, std::floor(std::log10(magnitude))));
    }
    const double raw = (high - low) / (ticks - 1);
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    double step = 10 * power;
    for (const double m : {1.0, 2.0, 5.0}) {
        if (m * power >= raw * (1 - 1e-9)) {
            step = m * power;
            break;
        }
    }
    step = std::max(step, minStep);

    NiceScale scale;
    scale.step = step;
    scale.min = std::floor(low / step + 1e-9) * step;
    scale.max = std::ceil(high / step - 1e-9) * step;
    if (scale.max <= scale.min)
        scale.max = scale.min + step;
    scale.ticks = static_cast<int>(std::lround((scale.max - scale.min) / step)) + 1;
    scale.decimals = step >= 1 ? 0 : static_cast<int>(std::ceil(-std::log10(step) - 1e-9));
    return scale;
}

std::vector<qsizetype> GapBreaks(const QList<QPointF>& points, double yToX, double factor)
{
    std::vector<qsizetype> breaks;
    if (points.size() < 3)
        return breaks;
    std::vector<double> gaps;
    gaps.reserve(static_cast<std::size_t>(points.size() - 1));
    for (qsizetype i = 1; i < points.size(); ++i)
        gaps.push_back(points[i].x() - points[i - 1].x());
    std::vector<double> sorted = gaps;
    const auto middle = sorted.begin() + static_cast<std::ptrdiff_t>(sorted.size() / 2);
    std::nth_element(sorted.begin(), middle, sorted.end());
    const double median = *middle;
    // Answers that mostly came together give no measure of a pause.
    if (median <= 0)
        return breaks;
    for (std::size_t i = 0; i < gaps.size(); ++i) {
        const double pause = gaps[i] - points[static_cast<qsizetype>(i + 1)].y() * yToX;
        if (pause > factor * median)
            breaks.push_back(static_cast<qsizetype>(i + 1));
    }
    return breaks;
}

} // namespace ui
