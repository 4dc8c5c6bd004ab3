#include "frmTraffic.h"

#if ZEVA_CHARTS
#include "TrafficChart.h"
#endif

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QCloseEvent>
#include <QComboBox>
#include <QLineEdit>
#include <QSettings>
#include <QTextEdit>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QShortcut>
#include <QSplitter>
#include <QTableView>
#include <QVBoxLayout>

#include <algorithm>

namespace ui {

namespace {

// One frame of a 60 Hz screen.
constexpr qint64 kFrameNs = 16000000;
// The chart is drawn again at most this often: the eye follows a plot of
// thousands of points no better at a display's frame rate, and drawing it
// costs more than the table.
constexpr qint64 kChartNs = 100000000;
// Rows copied for a save per turn of the event loop: a fraction of a
// millisecond each, so that an exchange waits no longer than that.
constexpr std::size_t kSaveSlice = 1000;

QString PercentilesText(const client::RttHistogram& p)
{
    if (p.Count() == 0)
        return QStringLiteral("no answers yet");
    return QStringLiteral("p50 %1 ms  p95 %2 ms  p99 %3 ms  max %4 ms  (%5 %6)")
        .arg(Millis(p.Percentile(50)), Millis(p.Percentile(95)), Millis(p.Percentile(99)), Millis(p.Max()),
             QString::number(p.Count()), p.Count() == 1 ? QStringLiteral("answer") : QStringLiteral("answers"));
}

QString NotShownText(std::uint64_t n)
{
    if (n == 0)
        return {};
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
    saveSlices_.setInterval(0);
    connect(&saveSlices_, &QTimer::timeout, this, [this] { CopyForSave(kSaveSlice); });
    UpdateLabels();
}

frmTraffic::~frmTraffic()
{
    // A file half written is not left behind.
    cancelSave_ = true;
    if (saveThread_.joinable())
        saveThread_.join();
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
    chkFollow = new QCheckBox(QStringLiteral("Follow"), this);
    chkFollow->setObjectName(QStringLiteral("chkFollow"));
    chkFollow->setAccessibleName(QStringLiteral("Follow"));
    chkFollow->setToolTip(QStringLiteral("Keep the newest row in view"));
    chkFollow->setChecked(true);
    cmdPause = new QPushButton(QStringLiteral("Pause"), this);
    cmdPause->setObjectName(QStringLiteral("cmdPause"));
    cmdPause->setAccessibleName(QStringLiteral("Pause"));
    cmdClear = new QPushButton(QStringLiteral("Clear"), this);
    cmdClear->setObjectName(QStringLiteral("cmdClear"));
    cmdClear->setAccessibleName(QStringLiteral("Clear"));
    cmdSave = new QPushButton(QStringLiteral("Save..."), this);
    cmdSave->setObjectName(QStringLiteral("cmdSave"));
    cmdSave->setAccessibleName(QStringLiteral("Save..."));
    cmdSaveCapture = new QPushButton(QStringLiteral("Save capture..."), this);
    cmdSaveCapture->setObjectName(QStringLiteral("cmdSaveCapture"));
    cmdSaveCapture->setAccessibleName(QStringLiteral("Save capture..."));
    lblNotShown = new QLabel(this);
    lblNotShown->setObjectName(QStringLiteral("lblNotShown"));
    lblNotShown->setAccessibleName(QStringLiteral("Not shown"));

    txtFilter = new QLineEdit(this);
    txtFilter->setObjectName(QStringLiteral("txtFilter"));
    txtFilter->setAccessibleName(QStringLiteral("Filter"));
    txtFilter->setPlaceholderText(QStringLiteral("Filter (Ctrl+F): text of Decoded or Hex"));
    txtFilter->setClearButtonEnabled(true);
    auto* lblDir = new QLabel(QStringLiteral("Dir"), this);
    cboDir = new QComboBox(this);
    cboDir->setObjectName(QStringLiteral("cboDir"));
    cboDir->setAccessibleName(QStringLiteral("Dir"));
    cboDir->addItems({QStringLiteral("all"), QStringLiteral("TX"), QStringLiteral("RX"), QStringLiteral("events")});
    lblDir->setBuddy(cboDir);
    auto* lblTime = new QLabel(QStringLiteral("Time"), this);
    cboTime = new QComboBox(this);
    cboTime->setObjectName(QStringLiteral("cboTime"));
    cboTime->setAccessibleName(QStringLiteral("Time"));
    cboTime->addItems({QStringLiteral("time of day"), QStringLiteral("seconds since first")});
    lblTime->setBuddy(cboTime);
    lblRows = new QLabel(this);
    lblRows->setObjectName(QStringLiteral("lblRows"));
    lblRows->setAccessibleName(QStringLiteral("Rows"));
    txtDetail = new QTextEdit(this);
    txtDetail->setObjectName(QStringLiteral("txtDetail"));
    txtDetail->setAccessibleName(QStringLiteral("Detail"));
    txtDetail->setReadOnly(true);
    txtDetail->setTabChangesFocus(true);
    txtDetail->setLineWrapMode(QTextEdit::NoWrap);

    tblFrames = new QTableView(this);
    tblFrames->setObjectName(QStringLiteral("tblFrames"));
    tblFrames->setAccessibleName(QStringLiteral("Frames"));
    tblFrames->setModel(&model_);
    tblFrames->setSelectionBehavior(QAbstractItemView::SelectRows);
    tblFrames->setWordWrap(false);
    // Tab leaves the table for the next control; arrows move between rows.
    tblFrames->setTabKeyNavigation(false);
    // Fixed row heights and column widths: nothing is measured per row,
    // however many rows there are.
    tblFrames->verticalHeader()->hide();
    tblFrames->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    tblFrames->verticalHeader()->setDefaultSectionSize(tblFrames->fontMetrics().height() + 4);
    tblFrames->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    tblFrames->horizontalHeader()->setStretchLastSection(true);
    const int digit = tblFrames->fontMetrics().horizontalAdvance(QLatin1Char('0'));
    tblFrames->setColumnWidth(TrafficModel::ColNo, digit * 8);
    tblFrames->setColumnWidth(TrafficModel::ColTime, digit * 14);
    tblFrames->setColumnWidth(TrafficModel::ColDelta, digit * 10);
    tblFrames->setColumnWidth(TrafficModel::ColDir, digit * 5);
    tblFrames->setColumnWidth(TrafficModel::ColBytes, digit * 7);
    tblFrames->setColumnWidth(TrafficModel::ColDecoded, digit * 40);
    tblFrames->setColumnWidth(TrafficModel::ColRtt, digit * 10);
    tblFrames->setColumnWidth(TrafficModel::ColPair, digit * 8);

    // Copy (Ctrl+C), Copy hex and Save selected... on the selected rows.
    auto* copy = new QAction(QStringLiteral("Copy"), tblFrames);
    copy->setObjectName(QStringLiteral("actCopy"));
    copy->setShortcut(QKeySequence::Copy);
    copy->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    auto* copyHex = new QAction(QStringLiteral("Copy hex"), tblFrames);
    copyHex->setObjectName(QStringLiteral("actCopyHex"));
    auto* saveSelected = new QAction(QStringLiteral("Save selected..."), tblFrames);
    actSaveSelected_ = saveSelected;
    saveSelected->setObjectName(QStringLiteral("actSaveSelected"));
    tblFrames->addActions({copy, copyHex, saveSelected});
    tblFrames->setContextMenuPolicy(Qt::ActionsContextMenu);
    connect(copy, &QAction::triggered, this, [this] { QApplication::clipboard()->setText(SelectedText(false)); });
    connect(copyHex, &QAction::triggered, this, [this] { QApplication::clipboard()->setText(SelectedText(true)); });
    connect(saveSelected, &QAction::triggered, this, [this] {
        const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Save the rows selected"),
                                                          QStringLiteral("traffic.csv"),
                                                          QStringLiteral("CSV files (*.csv);;All files (*)"));
        if (!path.isEmpty())
            SaveSelectedTo(path);
    });

    // The round trip of each answer over time, and how the times spread.
#if ZEVA_CHARTS
    chart_ = new TrafficChart(this);
#endif

    lblPercentiles = new QLabel(this);
    lblPercentiles->setObjectName(QStringLiteral("lblPercentiles"));
    lblPercentiles->setAccessibleName(QStringLiteral("Percentiles"));
    lblPercentiles->setTextInteractionFlags(Qt::TextSelectableByMouse);

    auto* find = new QHBoxLayout;
    find->addWidget(txtFilter, 1);
    find->addWidget(lblDir);
    find->addWidget(cboDir);
    find->addWidget(lblTime);
    find->addWidget(cboTime);

    auto* bar = new QHBoxLayout;
    bar->addWidget(chkErrorsOnly);
    bar->addWidget(chkFollow);
    bar->addWidget(cmdPause);
    bar->addWidget(cmdClear);
    bar->addWidget(cmdSave);
    bar->addWidget(cmdSaveCapture);
    bar->addStretch(1);
    bar->addWidget(lblNotShown);

    auto* lower = new QWidget(this);
    lower->setMinimumHeight(chart_ ? 260 : 0);
    auto* lowerLayout = new QVBoxLayout(lower);
    lowerLayout->setContentsMargins(0, 0, 0, 0);
#if ZEVA_CHARTS
    lowerLayout->addWidget(chart_, 1);
#endif
    lowerLayout->addWidget(lblPercentiles, chart_ ? 0 : 1, Qt::AlignTop);

    auto* upper = new QWidget(this);
    auto* upperLayout = new QVBoxLayout(upper);
    upperLayout->setContentsMargins(0, 0, 0, 0);
    upperLayout->addWidget(tblFrames, 1);
    upperLayout->addWidget(lblRows);

    auto* splitter = new QSplitter(Qt::Vertical, this);
    splitter->addWidget(upper);
    splitter->addWidget(txtDetail);
    splitter->addWidget(lower);
    splitter->setStretchFactor(0, 3);
    splitter->setStretchFactor(1, 1);
    splitter->setStretchFactor(2, 2);
    splitter->setChildrenCollapsible(false);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(find);
    layout->addLayout(bar);
    layout->addWidget(splitter, 1);

    QWidget::setTabOrder(txtFilter, cboDir);
    QWidget::setTabOrder(cboDir, cboTime);
    QWidget::setTabOrder(cboTime, chkErrorsOnly);
    QWidget::setTabOrder(chkErrorsOnly, chkFollow);
    QWidget::setTabOrder(chkFollow, cmdPause);
    QWidget::setTabOrder(cmdPause, cmdClear);
    QWidget::setTabOrder(cmdClear, cmdSave);
    QWidget::setTabOrder(cmdSave, cmdSaveCapture);
    QWidget::setTabOrder(cmdSaveCapture, tblFrames);
    QWidget::setTabOrder(tblFrames, txtDetail);

    // A filter changes the rows shown at once; Follow decides where the view is then.
    const auto filtered = [this] {
        Refresh();
        if (chkFollow->isChecked()) {
            scrolling_ = true;
            tblFrames->scrollToBottom();
            scrolling_ = false;
        }
    };
    connect(chkErrorsOnly, &QCheckBox::toggled, this, [this, filtered](bool on) {
        model_.SetErrorsOnly(on);
        filtered();
    });
    connect(txtFilter, &QLineEdit::textChanged, this, [this, filtered](const QString& text) {
        model_.SetTextFilter(text);
        filtered();
    });
    connect(cboDir, &QComboBox::currentIndexChanged, this, [this, filtered](int index) {
        model_.SetDirFilter(static_cast<TrafficModel::DirFilter>(std::clamp(index, 0, 3)));
        filtered();
    });
    auto* findShortcut = new QShortcut(QKeySequence::Find, this);
    connect(findShortcut, &QShortcut::activated, this, [this] {
        txtFilter->setFocus(Qt::ShortcutFocusReason);
        txtFilter->selectAll();
    });
    // The choice of time is kept between runs.
    cboTime->setCurrentIndex(Settings()->value(QStringLiteral("traffic/time")).toString()
                                     == QLatin1String("since-first")
                                 ? 1
                                 : 0);
    model_.SetTimeFormat(cboTime->currentIndex() == 1 ? TrafficModel::TimeFormat::SinceFirst
                                                      : TrafficModel::TimeFormat::LocalTime);
    connect(cboTime, &QComboBox::currentIndexChanged, this, [this](int index) {
        model_.SetTimeFormat(index == 1 ? TrafficModel::TimeFormat::SinceFirst : TrafficModel::TimeFormat::LocalTime);
        Settings()->setValue(QStringLiteral("traffic/time"),
                            index == 1 ? QStringLiteral("since-first") : QStringLiteral("time-of-day"));
    });
    // Selecting a request selects its answer too, and the other way round.
    connect(tblFrames->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this](const QItemSelection& selected) { SelectPairs(selected); });
    connect(tblFrames->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex& current) { ShowDetail(current.row()); });
    connect(cmdPause, &QPushButton::clicked, this, [this] {
        const bool pause = !model_.Paused();
        model_.SetPaused(pause);
        const QString caption = pause ? QStringLiteral("Resume") : QStringLiteral("Pause");
        cmdPause->setText(caption);
        cmdPause->setAccessibleName(caption);
        UpdateLabels();
    });
    connect(cmdClear, &QPushButton::clicked, this, [this] {
        // A save under way keeps the rows it was started with.
        if (saveCopy_)
            CopyForSave(static_cast<std::size_t>(saveCopy_->end - saveCopy_->next));
        model_.Clear();
        Refresh();
    });
    connect(chkFollow, &QCheckBox::toggled, this, [this](bool on) {
        if (on && !scrolling_) {
            scrolling_ = true;
            tblFrames->scrollToBottom();
            scrolling_ = false;
        }
    });
    // Scrolling up or picking a row stops following; scrolling back to the
    // bottom follows again.
    connect(tblFrames->verticalScrollBar(), &QScrollBar::valueChanged, this, [this](int value) {
        if (!scrolling_)
            SetFollow(value >= tblFrames->verticalScrollBar()->maximum());
    });
    connect(tblFrames, &QTableView::pressed, this, [this] { SetFollow(false); });

    // Escape closes the window, and F12 closes it as it opens it.
    for (const QKeySequence& key : {QKeySequence(Qt::Key_Escape), QKeySequence(Qt::Key_F12)}) {
        auto* shortcut = new QShortcut(key, this);
        connect(shortcut, &QShortcut::activated, this, &QWidget::close);
    }
    connect(cmdSave, &QPushButton::clicked, this, [this] { Save(); });
    connect(cmdSaveCapture, &QPushButton::clicked, this, [this] { SaveCaptureAs(); });
}

void frmTraffic::Open()
{
    if (!attached_) {
        attached_ = true;
        attach_(&links_);
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
    // The view follows the newest row while Follow is checked; otherwise
    // the rows in view stay in view as the oldest are dropped.
    const int firstShown = scroll->value();
    scrolling_ = true;
    const std::uint64_t dropped = model_.Sync();
    if (chkFollow->isChecked())
        tblFrames->scrollToBottom();
    else if (dropped > 0)
        scroll->setValue(std::max(0, firstShown - static_cast<int>(dropped)));
    scrolling_ = false;
    UpdateLabels();
    if (!lastChart_.isValid() || lastChart_.nsecsElapsed() >= kChartNs)
        UpdateChart();
    else if (model_.Percentiles().Count() != chartedCount_)
        ArmRefresh((kChartNs - lastChart_.nsecsElapsed()) / 1000);
}

std::unique_ptr<QSettings> frmTraffic::Settings()
{
    return std::make_unique<QSettings>(QStringLiteral("zeva"), QStringLiteral("zeva-client"));
}

void frmTraffic::SelectPairs(const QItemSelection& selected)
{
    if (selectingPairs_)
        return;
    selectingPairs_ = true;
    QItemSelection pairs;
    for (const QModelIndex& index : selected.indexes()) {
        if (index.column() != 0)
            continue;
        const int pair = model_.PairRow(index.row());
        if (pair >= 0 && !tblFrames->selectionModel()->isRowSelected(pair, {}))
            pairs.select(model_.index(pair, 0), model_.index(pair, TrafficModel::kColumns - 1));
    }
    if (!pairs.isEmpty())
        tblFrames->selectionModel()->select(pairs, QItemSelectionModel::Select);
    selectingPairs_ = false;
}

std::vector<int> frmTraffic::SelectedRows() const
{
    std::vector<int> rows;
    for (const QModelIndex& index : tblFrames->selectionModel()->selectedRows())
        rows.push_back(index.row());
    std::sort(rows.begin(), rows.end());
    return rows;
}

QString frmTraffic::SelectedText(bool hexOnly) const
{
    QString text;
    if (!hexOnly) {
        for (int c = 0; c < TrafficModel::kColumns; ++c) {
            if (c > 0)
                text += QLatin1Char('\t');
            text += model_.headerData(c, Qt::Horizontal, Qt::DisplayRole).toString();
        }
        text += QLatin1Char('\n');
    }
    for (const int row : SelectedRows()) {
        if (hexOnly) {
            // The bytes as typed into zeva send --raw; events have none.
            const TrafficRow* r = model_.RowAt(row);
            if (!r || r->bytes.empty())
                continue;
            QString hex = model_.CellText(row, TrafficModel::ColHex);
            if (r->length > r->bytes.size())
                hex.chop(2); // the ellipsis of a frame longer than a row keeps
            text += hex + QLatin1Char('\n');
            continue;
        }
        for (int c = 0; c < TrafficModel::kColumns; ++c) {
            if (c > 0)
                text += QLatin1Char('\t');
            text += model_.CellText(row, c);
        }
        text += QLatin1Char('\n');
    }
    return text;
}

void frmTraffic::SaveSelectedTo(const QString& path)
{
    if (Saving())
        return;
    StartWriter(std::make_shared<TrafficRows>(model_.CopyRows(SelectedRows())), path);
}

void frmTraffic::ShowDetail(int row)
{
    const TrafficRow* r = model_.RowAt(row);
    txtDetail->setHtml(r ? DetailHtml(*r) : QString());
}

void frmTraffic::UpdateLabels()
{
    SetLabelText(lblRows, QStringLiteral("%1 of %2 rows").arg(model_.ShownCount()).arg(model_.HeldCount()));
    SetLabelText(lblNotShown, NotShownText(model_.NotShown()));
    SetLabelText(lblPercentiles, PercentilesText(model_.Percentiles()));
}

void frmTraffic::SetFollow(bool on)
{
    if (chkFollow->isChecked() == on)
        return;
    scrolling_ = true;
    chkFollow->setChecked(on);
    scrolling_ = false;
}

void frmTraffic::UpdateChart()
{
    const client::RttHistogram& p = model_.Percentiles();
    if (p.Count() == chartedCount_)
        return;
    chartedCount_ = p.Count();
    lastChart_.start();
#if ZEVA_CHARTS
    chart_->Update(model_);
#endif
}

void frmTraffic::Save()
{
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Save the rows shown"),
                                                      QStringLiteral("traffic.csv"),
                                                      QStringLiteral("CSV files (*.csv);;All files (*)"));
    if (!path.isEmpty())
        SaveTo(path);
}

void frmTraffic::SaveTo(const QString& path)
{
    if (Saving())
        return;
    Refresh();
    saveCopy_ = model_.StartCopy();
    // Rows that come faster than the slices copy them push the oldest out:
    // those of the save are copied as they go, so the file loses none.
    model_.KeepWhole(&*saveCopy_);
    savePath_ = path;
    cmdSave->setEnabled(false);
    actSaveSelected_->setEnabled(false);
    CopyForSave(kSaveSlice);
}

void frmTraffic::CopyForSave(std::size_t rows)
{
    if (!saveCopy_)
        return;
    if (!model_.CopySome(*saveCopy_, rows)) {
        saveSlices_.start();
        return;
    }
    saveSlices_.stop();
    model_.KeepWhole(nullptr);
    auto copy = std::make_shared<TrafficRows>(std::move(*saveCopy_));
    saveCopy_.reset();
    StartWriter(std::move(copy), savePath_);
}

void frmTraffic::StartWriter(std::shared_ptr<TrafficRows> copy, const QString& path)
{
    cmdSave->setEnabled(false);
    actSaveSelected_->setEnabled(false);
    cancelSave_ = false;
    saveThread_ = std::thread([this, copy, path] {
        QString error;
        const bool ok = WriteCsv(*copy, path, &error, &cancelSave_);
        // Told on the window's thread; not at all if the window is gone.
        QMetaObject::invokeMethod(
            this, [this, ok, path, error] { Saved(ok, path, error); }, Qt::QueuedConnection);
    });
}

void frmTraffic::Saved(bool ok, const QString& path, const QString& error)
{
    if (saveThread_.joinable())
        saveThread_.join();
    cmdSave->setEnabled(true);
    actSaveSelected_->setEnabled(true);
    if (!ok)
        QMessageBox::critical(this, windowTitle(), QStringLiteral("%1 cannot be written (%2).").arg(path, error));
}

void frmTraffic::SaveCaptureAs()
{
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Save every frame as a capture"),
                                                      QStringLiteral("traffic.pcapng"),
                                                      QStringLiteral("Captures (*.pcapng);;All files (*)"));
    if (path.isEmpty())
        return;
    QString error;
    if (!SaveCapture(path, &error))
        QMessageBox::critical(this, windowTitle(), QStringLiteral("%1 cannot be written (%2).").arg(path, error));
}

} // namespace ui
