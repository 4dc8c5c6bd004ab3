#include "frmTraffic.h"

#ifdef ZEVA_CHARTS
#include <QAreaSeries>
#include <QChart>
#include <QChartView>
#endif
#include <QCheckBox>
#include <QCloseEvent>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#ifdef ZEVA_CHARTS
#include <QLineSeries>
#endif
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QSplitter>
#include <QTableView>
#include <QVBoxLayout>
#ifdef ZEVA_CHARTS
#include <QValueAxis>
#endif

#include <algorithm>

namespace ui {

namespace {

// One frame of a 60 Hz screen.
constexpr qint64 kFrameNs = 16000000;
// The chart is drawn again at most this often: the eye follows a plot of
// thousands of points no better at a display's frame rate, and drawing it
// costs more than the table.
constexpr qint64 kChartNs = 100000000;
constexpr int kHistogramBins = 40;

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

QString PercentilesText(const RttPercentiles& p)
{
    if (p.Count() == 0)
        return QStringLiteral("no answers yet");
    return QStringLiteral("p50 %1 ms  p95 %2 ms  p99 %3 ms  max %4 ms  (%5 %6)")
        .arg(Millis(p.Percentile(50)), Millis(p.Percentile(95)), Millis(p.Percentile(99)), Millis(p.Max()),
             QString::number(p.Count()), p.Count() == 1 ? QStringLiteral("answer") : QStringLiteral("answers"));
}

QString NotShownText(std::uint64_t n)
{
    return QStringLiteral("%1 %2 not shown").arg(n).arg(n == 1 ? QStringLiteral("frame") : QStringLiteral("frames"));
}

// A label's text is not otherwise told to assistive technology.
void SetLabelText(QLabel* label, const QString& text)
{
    if (label->text() == text)
        return;
    label->setText(text);
    label->setAccessibleDescription(text);
}

#ifdef ZEVA_CHARTS
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
    axis->setLabelFormat(QStringLiteral("%.3g"));
    axis->setTickCount(5);
    chart->addAxis(axis, side);
    return axis;
}
#endif

} // namespace

frmTraffic::frmTraffic(platform::IMonotonicClock& clock, Attach attach, QWidget* parent)
    : QWidget(parent, Qt::Window), model_(clock), attach_(std::move(attach))
{
    setObjectName(QStringLiteral("frmTraffic"));
    setWindowTitle(QStringLiteral("Traffic - Zeva Client"));
    resize(920, 640);
    CreateControls();
    refreshEvents_.window = this;
    refreshTimer_->SetListener(&refreshEvents_);
    model_.SetChangedHandler([this] { ArmRefresh(); });
    UpdateLabels();
}

frmTraffic::~frmTraffic()
{
    refreshTimer_->Stop();
    refreshTimer_->SetListener(nullptr);
    if (attached_)
        attach_(nullptr);
}

void frmTraffic::CreateControls()
{
    chkErrorsOnly = new QCheckBox(QStringLiteral("Errors only"), this);
    chkErrorsOnly->setObjectName(QStringLiteral("chkErrorsOnly"));
    chkErrorsOnly->setAccessibleName(QStringLiteral("Errors only"));
    cmdPause = new QPushButton(QStringLiteral("Pause"), this);
    cmdPause->setObjectName(QStringLiteral("cmdPause"));
    cmdPause->setAccessibleName(QStringLiteral("Pause"));
    cmdClear = new QPushButton(QStringLiteral("Clear"), this);
    cmdClear->setObjectName(QStringLiteral("cmdClear"));
    cmdClear->setAccessibleName(QStringLiteral("Clear"));
    cmdSave = new QPushButton(QStringLiteral("Save..."), this);
    cmdSave->setObjectName(QStringLiteral("cmdSave"));
    cmdSave->setAccessibleName(QStringLiteral("Save..."));
    lblNotShown = new QLabel(this);
    lblNotShown->setObjectName(QStringLiteral("lblNotShown"));
    lblNotShown->setAccessibleName(QStringLiteral("Not shown"));

    tblFrames = new QTableView(this);
    tblFrames->setObjectName(QStringLiteral("tblFrames"));
    tblFrames->setAccessibleName(QStringLiteral("Frames"));
    tblFrames->setModel(&model_);
    tblFrames->setSelectionBehavior(QAbstractItemView::SelectRows);
    tblFrames->setWordWrap(false);
    // Fixed row heights and column widths: nothing is measured per row,
    // however many rows there are.
    tblFrames->verticalHeader()->hide();
    tblFrames->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    tblFrames->verticalHeader()->setDefaultSectionSize(tblFrames->fontMetrics().height() + 4);
    tblFrames->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    tblFrames->horizontalHeader()->setStretchLastSection(true);
    const int digit = tblFrames->fontMetrics().horizontalAdvance(QLatin1Char('0'));
    tblFrames->setColumnWidth(TrafficModel::ColTime, digit * 14);
    tblFrames->setColumnWidth(TrafficModel::ColDir, digit * 5);
    tblFrames->setColumnWidth(TrafficModel::ColBytes, digit * 7);
    tblFrames->setColumnWidth(TrafficModel::ColDecoded, digit * 40);
    tblFrames->setColumnWidth(TrafficModel::ColRtt, digit * 10);

    // The round trip of each answer over time, and how the times spread.
    chtResponseTimes = new QWidget(this);
    chtResponseTimes->setObjectName(QStringLiteral("chtResponseTimes"));
    chtResponseTimes->setAccessibleName(QStringLiteral("Response times"));
    chtResponseTimes->setAccessibleDescription(
        QStringLiteral("Round trip of each of the last 10,000 answers over time, and a histogram of every answer"));

#ifdef ZEVA_CHARTS
    QChart* timeChart = MakeChart(QStringLiteral("Round trip of the last answers"));
    timeSeries_ = new QLineSeries;
    timeChart->addSeries(timeSeries_);
    timeX_ = MakeAxis(timeChart, QStringLiteral("s since opened"), Qt::AlignBottom);
    timeY_ = MakeAxis(timeChart, QStringLiteral("ms"), Qt::AlignLeft);
    timeSeries_->attachAxis(timeX_);
    timeSeries_->attachAxis(timeY_);
    auto* timeView = new QChartView(timeChart, chtResponseTimes);
    timeView->setObjectName(QStringLiteral("chtTimes"));
    timeView->setAccessibleName(QStringLiteral("Round trip over time"));

    QChart* histogramChart = MakeChart(QStringLiteral("Answers by round trip, up to p99"));
    // The area series does not own its line; the line is its child.
    auto* area = new QAreaSeries;
    histogramSeries_ = new QLineSeries(area);
    area->setUpperSeries(histogramSeries_);
    histogramChart->addSeries(area);
    histogramX_ = MakeAxis(histogramChart, QStringLiteral("ms (slower: last bin)"), Qt::AlignBottom);
    histogramY_ = MakeAxis(histogramChart, QStringLiteral("answers"), Qt::AlignLeft);
    histogramY_->setLabelFormat(QStringLiteral("%.0f"));
    area->attachAxis(histogramX_);
    area->attachAxis(histogramY_);
    auto* histogramView = new QChartView(histogramChart, chtResponseTimes);
    histogramView->setObjectName(QStringLiteral("chtHistogram"));
    histogramView->setAccessibleName(QStringLiteral("Round trip histogram"));

    auto* charts = new QHBoxLayout(chtResponseTimes);
    charts->setContentsMargins(0, 0, 0, 0);
    charts->addWidget(timeView, 3);
    charts->addWidget(histogramView, 2);
#else
    auto* noChart = new QVBoxLayout(chtResponseTimes);
    noChart->addWidget(new QLabel(QStringLiteral("This build has no chart (built without Qt Charts)."), chtResponseTimes));
#endif

    lblPercentiles = new QLabel(this);
    lblPercentiles->setObjectName(QStringLiteral("lblPercentiles"));
    lblPercentiles->setAccessibleName(QStringLiteral("Percentiles"));
    lblPercentiles->setTextInteractionFlags(Qt::TextSelectableByMouse);

    auto* bar = new QHBoxLayout;
    bar->addWidget(chkErrorsOnly);
    bar->addWidget(cmdPause);
    bar->addWidget(cmdClear);
    bar->addWidget(cmdSave);
    bar->addStretch(1);
    bar->addWidget(lblNotShown);

    auto* lower = new QWidget(this);
    lower->setMinimumHeight(260);
    auto* lowerLayout = new QVBoxLayout(lower);
    lowerLayout->setContentsMargins(0, 0, 0, 0);
    lowerLayout->addWidget(chtResponseTimes, 1);
    lowerLayout->addWidget(lblPercentiles);

    auto* splitter = new QSplitter(Qt::Vertical, this);
    splitter->addWidget(tblFrames);
    splitter->addWidget(lower);
    splitter->setStretchFactor(0, 1);
    splitter->setStretchFactor(1, 1);
    splitter->setChildrenCollapsible(false);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(bar);
    layout->addWidget(splitter, 1);

    QWidget::setTabOrder(chkErrorsOnly, cmdPause);
    QWidget::setTabOrder(cmdPause, cmdClear);
    QWidget::setTabOrder(cmdClear, cmdSave);
    QWidget::setTabOrder(cmdSave, tblFrames);

    connect(chkErrorsOnly, &QCheckBox::toggled, this, [this](bool on) {
        model_.SetErrorsOnly(on);
        tblFrames->scrollToBottom();
    });
    connect(cmdPause, &QPushButton::clicked, this, [this] {
        const bool pause = !model_.Paused();
        model_.SetPaused(pause);
        const QString caption = pause ? QStringLiteral("Resume") : QStringLiteral("Pause");
        cmdPause->setText(caption);
        cmdPause->setAccessibleName(caption);
        UpdateLabels();
    });
    connect(cmdClear, &QPushButton::clicked, this, [this] {
        model_.Clear();
        Refresh();
    });
    connect(cmdSave, &QPushButton::clicked, this, [this] { Save(); });
}

void frmTraffic::Open()
{
    if (!attached_) {
        attached_ = true;
        attach_(&model_);
    }
    show();
    raise();
    activateWindow();
    Refresh();
}

void frmTraffic::closeEvent(QCloseEvent* event)
{
    // Frames that come while the window is closed are not kept.
    if (attached_) {
        attached_ = false;
        attach_(nullptr);
    }
    QWidget::closeEvent(event);
}

void frmTraffic::ArmRefresh(qint64 micros)
{
    if (refreshEvents_.armed)
        return;
    refreshEvents_.armed = true;
    const qint64 since = lastRefresh_.isValid() ? lastRefresh_.nsecsElapsed() : kFrameNs;
    refreshTimer_->Start(std::max<qint64>({(kFrameNs - since) / 1000, micros, 1}));
}

void frmTraffic::Refresh()
{
    if (refreshEvents_.armed) {
        refreshEvents_.armed = false;
        refreshTimer_->Stop();
    }
    lastRefresh_.start();
    QScrollBar* scroll = tblFrames->verticalScrollBar();
    // The view follows the newest row unless the user has scrolled up; then
    // the rows in view stay in view as the oldest are dropped.
    const bool following = scroll->value() >= scroll->maximum();
    const int firstShown = scroll->value();
    const std::uint64_t dropped = model_.Sync();
    if (following)
        tblFrames->scrollToBottom();
    else if (dropped > 0)
        scroll->setValue(std::max(0, firstShown - static_cast<int>(dropped)));
    UpdateLabels();
    if (!lastChart_.isValid() || lastChart_.nsecsElapsed() >= kChartNs)
        UpdateChart();
    else if (model_.Percentiles().Count() != chartedCount_)
        ArmRefresh((kChartNs - lastChart_.nsecsElapsed()) / 1000);
}

void frmTraffic::UpdateLabels()
{
    SetLabelText(lblNotShown, NotShownText(model_.NotShown()));
    SetLabelText(lblPercentiles, PercentilesText(model_.Percentiles()));
}

void frmTraffic::UpdateChart()
{
    const RttPercentiles& p = model_.Percentiles();
    if (p.Count() == chartedCount_)
        return;
    chartedCount_ = p.Count();
    lastChart_.start();
#ifdef ZEVA_CHARTS

    const QList<QPointF> points = model_.ChartPoints();
    timeSeries_->replace(Thin(points, static_cast<int>(timeSeries_->chart()->plotArea().width())));
    if (points.isEmpty()) {
        timeX_->setRange(0, 1);
        timeY_->setRange(0, 1);
    } else {
        double top = 0;
        for (const QPointF& point : points)
            top = std::max(top, point.y());
        timeX_->setRange(points.front().x(), std::max(points.back().x(), points.front().x() + 1e-3));
        timeY_->setRange(0, std::max(top * 1.1, 1e-3));
    }

    // A step line over equal bins from the smallest time to the 99th
    // percentile; the slowest answers count in the last bin, so that a few
    // stalls do not squeeze the rest into one bar (the plot beside shows them).
    QList<QPointF> steps;
    if (p.Count() > 0) {
        const std::int64_t from = p.Min();
        const std::int64_t to = std::max(p.Percentile(99), from + kHistogramBins);
        const std::vector<std::uint64_t> bins = p.Histogram(kHistogramBins, from, to);
        const double width = static_cast<double>(to - from) / kHistogramBins / 1000.0;
        double tallest = 0;
        steps.reserve(2 * kHistogramBins);
        for (int i = 0; i < kHistogramBins; ++i) {
            const double left = static_cast<double>(from) / 1000.0 + width * i;
            const auto count = static_cast<double>(bins[static_cast<std::size_t>(i)]);
            steps.append(QPointF(left, count));
            steps.append(QPointF(left + width, count));
            tallest = std::max(tallest, count);
        }
        histogramX_->setRange(static_cast<double>(from) / 1000.0, static_cast<double>(to) / 1000.0);
        histogramY_->setRange(0, std::max(tallest * 1.1, 1.0));
    } else {
        histogramX_->setRange(0, 1);
        histogramY_->setRange(0, 1);
    }
    histogramSeries_->replace(steps);
#endif
}

void frmTraffic::Save()
{
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Save the rows shown"),
                                                      QStringLiteral("traffic.csv"),
                                                      QStringLiteral("CSV files (*.csv);;All files (*)"));
    if (path.isEmpty())
        return;
    Refresh();
    QString error;
    if (!model_.SaveCsv(path, &error))
        QMessageBox::critical(this, windowTitle(), QStringLiteral("%1 cannot be written (%2).").arg(path, error));
}

} // namespace ui
