#pragma once

#include <QList>
#include <QPointF>

#include <vector>

namespace ui {

// An axis whose ticks fall on round values: multiples of 1, 2 or 5 times a
// power of ten, with as many decimals as the step needs and no more, so that
// no two tick labels read the same and none is in exponent notation.
struct NiceScale {
    double min = 0;
    double max = 1;
    double step = 0.2;
    int ticks = 6;    // from min to max, both included
    int decimals = 1; // for a label of "%.<decimals>f"
};

// The smallest round scale that covers low..high with about `ticks` ticks and
// a step of at least `minStep` (0: none). An empty or reversed range is
// widened around `low` first.
NiceScale MakeNiceScale(double low, double high, int ticks = 5, double minStep = 0);

// Where a line through answers ordered by arrival (x) is broken: the index
// of each answer that starts a new piece because the pause before it is
// longer than `factor` times the median gap between neighbours. The pause
// leaves out the answer's own round trip (y times `yToX` in units of x): a
// slow answer is a spike in the line, not a pause in it.
std::vector<qsizetype> GapBreaks(const QList<QPointF>& points, double yToX, double factor = 10);

} // namespace ui
