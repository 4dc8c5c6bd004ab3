#include "TrafficChart.h"

#include "ChartScale.h"

#include <QAreaSeries>
#include <QChart>
#include <QChartView>
#include <QHBoxLayout>
#include <QLineSeries>
#include <QScatterSeries>
#include <QValueAxis>

#include <algorithm>

namespace ui {

namespace {

constexpr int kHistogramBins = 40;
// Pieces of the line drawn at most; past that, the last piece bridges the
// remaining pauses.
constexpr std::size_t kMaxPieces = 64;
// Round trips of a second or more are written in seconds.
constexpr double kSecondMs = 1000;

// At most two points per pixel column of the plot: the shortest and the
// longest round trip in it, in the order they came. The line still passes
// through every answer's column from its smallest to its largest time, and
// costs a few hundred points to draw instead of thousands.
QList<QPointF> Thin(const QList<QPointF>& points, int columns)
{
    columns = std::max(columns, 1);
    if (points.size() <= 2 * columns)
        return points;
    const double from = points.front().x();
    const double width = std::max(points.back().x() - from, 1e-9) / columns;
    QList<QPointF> out;
    out.reserve(2 * columns + 2);
    qsizetype low = 0, high = 0;
    int column = 0;
    const auto flush = [&] {
        out.append(points[std::min(low, high)]);
        if (low != high)
            out.append(points[std::max(low, high)]);
    };
    for (qsizetype i = 0; i < points.size(); ++i) {
        const int c = std::min(columns - 1, static_cast<int>((points[i].x() - from) / width));
        if (i == 0 || c != column) {
            if (i > 0)
                flush();
            column = c;
            low = high = i;
            continue;
        }
        if (points[i].y() < points[low].y())
            low = i;
        if (points[i].y() > points[high].y())
            high = i;
    }
    flush();
    return out;
}

QChart* MakeChart(const QString& title)
{
    auto* chart = new QChart;
    chart->setTitle(title);
    chart->legend()->hide();
    chart->setAnimationOptions(QChart::NoAnimation);
    chart->setMargins(QMargins(4, 4, 4, 4));
    return chart;
}

QValueAxis* MakeAxis(QChart* chart, const QString& title, Qt::Alignment side)
{
    auto* axis = new QValueAxis;
    axis->setTitleText(title);
    chart->addAxis(axis, side);
    return axis;
}

void Apply(QValueAxis* axis, const NiceScale& scale)
{
    axis->setRange(scale.min, scale.max);
    axis->setTickCount(scale.ticks);
    axis->setLabelFormat(QStringLiteral("%.") + QString::number(scale.decimals) + QLatin1Char('f'));
}

QChartView* MakeView(QChart* chart, QWidget* parent, const char* name, const QString& accessibleName)
{
    auto* view = new QChartView(chart, parent);
    view->setObjectName(QLatin1String(name));
    view->setAccessibleName(accessibleName);
    // A picture: Tab goes past it.
    view->setFocusPolicy(Qt::NoFocus);
    return view;
}

} // namespace

TrafficChart::TrafficChart(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("chtResponseTimes"));
    setAccessibleName(QStringLiteral("Response times"));
    setAccessibleDescription(
        QStringLiteral("Round trip of each of the last 10,000 answers over time, and a histogram of every answer"));
    setFocusPolicy(Qt::NoFocus);

    timeChart_ = MakeChart(QStringLiteral("Round trip of the last 10,000 answers"));
    timeX_ = MakeAxis(timeChart_, QStringLiteral("s since opened"), Qt::AlignBottom);
    timeY_ = MakeAxis(timeChart_, QStringLiteral("ms"), Qt::AlignLeft);
    Piece(0);
    lonePoints_ = new QScatterSeries;
    lonePoints_->setMarkerSize(7);
    timeChart_->addSeries(lonePoints_);
    lonePoints_->attachAxis(timeX_);
    lonePoints_->attachAxis(timeY_);
    lonePoints_->setColor(pieces_.front()->color());
    lonePoints_->setBorderColor(pieces_.front()->color());
    auto* timeView = MakeView(timeChart_, this, "chtTimes", QStringLiteral("Round trip over time"));

    QChart* histogramChart = MakeChart(QStringLiteral("Answers by round trip, up to p99"));
    // The area series does not own its line; the line is its child.
    auto* area = new QAreaSeries;
    histogramSeries_ = new QLineSeries(area);
    area->setUpperSeries(histogramSeries_);
    histogramChart->addSeries(area);
    histogramX_ = MakeAxis(histogramChart, QStringLiteral("ms (slower: last bin)"), Qt::AlignBottom);
    histogramY_ = MakeAxis(histogramChart, QStringLiteral("answers"), Qt::AlignLeft);
    area->attachAxis(histogramX_);
    area->attachAxis(histogramY_);
    auto* histogramView = MakeView(histogramChart, this, "chtHistogram", QStringLiteral("Round trip histogram"));

    auto* charts = new QHBoxLayout(this);
    charts->setContentsMargins(0, 0, 0, 0);
    charts->addWidget(timeView, 3);
    charts->addWidget(histogramView, 2);

    Apply(timeX_, MakeNiceScale(0, 1));
    Apply(timeY_, MakeNiceScale(0, 1));
    Apply(histogramX_, MakeNiceScale(0, 1));
    Apply(histogramY_, MakeNiceScale(0, 1, 5, 1));
}

QLineSeries* TrafficChart::Piece(std::size_t index)
{
    while (pieces_.size() <= index) {
        auto* series = new QLineSeries;
        timeChart_->addSeries(series);
        series->attachAxis(timeX_);
        series->attachAxis(timeY_);
        // Every piece in the colour of the first.
        if (!pieces_.empty())
            series->setColor(pieces_.front()->color());
        pieces_.push_back(series);
    }
    return pieces_[index];
}

TrafficChart::AxisShown TrafficChart::Axis(int which) const
{
    const QValueAxis* axes[] = {timeX_, timeY_, histogramX_, histogramY_};
    if (which < 0 || which >= 4)
        return {};
    const QValueAxis* axis = axes[which];
    return {axis->titleText(), axis->labelFormat(), axis->min(), axis->max(), axis->tickCount()};
}

int TrafficChart::Pieces() const
{
    return static_cast<int>(piecesUsed_);
}

void TrafficChart::Update(const TrafficModel& model)
{
    const client::RttHistogram& p = model.Percentiles();

    QList<QPointF> points = model.ChartPoints();
    // A pause in the answers breaks the line, rather than a slope across it
    // (seconds since opened against milliseconds).
    std::vector<qsizetype> starts = GapBreaks(points, 1e-3);
    double top = 0;
    for (const QPointF& point : points)
        top = std::max(top, point.y());
    // Milliseconds up to a second, seconds from there on.
    const bool inSeconds = top >= kSecondMs;
    if (inSeconds) {
        for (QPointF& point : points)
            point.setY(point.y() / kSecondMs);
        top /= kSecondMs;
    }
    timeY_->setTitleText(inSeconds ? QStringLiteral("s") : QStringLiteral("ms"));

    if (starts.size() >= kMaxPieces)
        starts.resize(kMaxPieces - 1);
    starts.insert(starts.begin(), 0);
    const int plotWidth = std::max(1, static_cast<int>(timeChart_->plotArea().width()));
    const double span = points.isEmpty() ? 1 : std::max(points.back().x() - points.front().x(), 1e-9);
    QList<QPointF> lone;
    std::size_t used = 0;
    for (std::size_t i = 0; i < starts.size() && !points.isEmpty(); ++i) {
        const qsizetype from = starts[i];
        const qsizetype to = i + 1 < starts.size() ? starts[i + 1] : points.size();
        if (to - from == 1) {
            lone.append(points[from]);
            continue;
        }
        const QList<QPointF> piece = points.mid(from, to - from);
        const int columns = static_cast<int>(plotWidth * (piece.back().x() - piece.front().x()) / span) + 1;
        Piece(used)->replace(Thin(piece, columns));
        ++used;
    }
    for (std::size_t i = used; i < piecesUsed_; ++i)
        pieces_[i]->clear();
    piecesUsed_ = used;
    lonePoints_->replace(lone);
    if (points.isEmpty()) {
        Apply(timeX_, MakeNiceScale(0, 1));
        Apply(timeY_, MakeNiceScale(0, 1));
    } else {
        Apply(timeX_, MakeNiceScale(points.front().x(), points.back().x()));
        Apply(timeY_, MakeNiceScale(0, top));
    }

    // A step line over equal bins from the smallest time to the 99th
    // percentile; the slowest answers count in the last bin, so that a few
    // stalls do not squeeze the rest into one bar (the plot beside shows them).
    QList<QPointF> steps;
    if (p.Count() > 0) {
        const std::int64_t from = p.Min();
        const std::int64_t to = std::max(p.Percentile(99), from + kHistogramBins);
        const std::vector<std::uint64_t> bins = p.Histogram(kHistogramBins, from, to);
        const double unit = to >= 1000 * kSecondMs ? 1000 * kSecondMs : 1000; // micros per unit shown
        const double width = static_cast<double>(to - from) / kHistogramBins / unit;
        double tallest = 0;
        steps.reserve(2 * kHistogramBins);
        for (int i = 0; i < kHistogramBins; ++i) {
            const double left = static_cast<double>(from) / unit + width * i;
            const auto count = static_cast<double>(bins[static_cast<std::size_t>(i)]);
            steps.append(QPointF(left, count));
            steps.append(QPointF(left + width, count));
            tallest = std::max(tallest, count);
        }
        histogramX_->setTitleText(unit > 1000 ? QStringLiteral("s (slower: last bin)")
                                              : QStringLiteral("ms (slower: last bin)"));
        Apply(histogramX_, MakeNiceScale(static_cast<double>(from) / unit, static_cast<double>(to) / unit));
        Apply(histogramY_, MakeNiceScale(0, tallest, 5, 1));
    } else {
        Apply(histogramX_, MakeNiceScale(0, 1));
        Apply(histogramY_, MakeNiceScale(0, 1, 5, 1));
    }
    histogramSeries_->replace(steps);
}

} // namespace ui
