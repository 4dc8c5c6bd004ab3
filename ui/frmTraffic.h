#pragma once

#include "TrafficCapture.h"
#include "TrafficModel.h"

#include <MonotonicClock.h>
#include <Timer.h>

#include <QElapsedTimer>
#include <QWidget>

#include <functional>
#include <memory>

class QCheckBox;
class QLabel;
class QPushButton;
class QTableView;
class QAbstractSeries;
class QLineSeries;
class QValueAxis;
class QChartView;

namespace ui {

// The traffic window: every frame sent and received since it was first
// opened, in a table, and the response times in a chart with their
// percentiles. It takes frames only while open: `attach` is called with
// its model when it opens and with null when it closes.
class frmTraffic final : public QWidget {
    Q_OBJECT

public:
    using Attach = std::function<void(client::ITrafficObserver*)>;
    frmTraffic(platform::IMonotonicClock& clock, Attach attach, QWidget* parent = nullptr);
    ~frmTraffic() override;

    // Shows the window, raised, and starts taking frames.
    void Open();

    TrafficModel& Model() { return model_; }
    // Where `Save capture...` finds the connection's addresses and ports.
    void SetLinkSource(TrafficLinks::Source source) { links_.SetSource(std::move(source)); }
    // Every frame held, whatever is shown, as a capture file; false with the reason.
    bool SaveCapture(const QString& path, QString* error) const { return SaveTrafficCapture(path, model_, links_, error); }
    // Brings the table, the chart and the labels up to date now, as the
    // next display frame would.
    void Refresh();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void CreateControls();
    // Arms the refresh for the end of the display frame, or `micros` from
    // now if that is later.
    void ArmRefresh(qint64 micros = 0);
    void UpdateLabels();
    void UpdateChart();
    void Save();
    void SaveCaptureAs();

    TrafficModel model_;
    TrafficLinks links_{model_};
    Attach attach_;
    bool attached_ = false;

    // Table, chart and labels follow the frames at most once a display frame.
    struct RefreshLater final : platform::ITimerEvents {
        frmTraffic* window = nullptr;
        bool armed = false;
        void Timer_Elapsed() override
        {
            armed = false;
            window->Refresh();
        }
    };
    RefreshLater refreshEvents_;
    std::unique_ptr<platform::ITimer> refreshTimer_ = platform::MakeFrameTimer();
    QElapsedTimer lastRefresh_;
    QElapsedTimer lastChart_;

    QCheckBox* chkErrorsOnly = nullptr;
    QPushButton* cmdPause = nullptr;
    QPushButton* cmdClear = nullptr;
    QPushButton* cmdSave = nullptr;
    QPushButton* cmdSaveCapture = nullptr;
    QLabel* lblNotShown = nullptr;
    QTableView* tblFrames = nullptr;
    QWidget* chtResponseTimes = nullptr;
    QLabel* lblPercentiles = nullptr;

    QLineSeries* timeSeries_ = nullptr;
    QValueAxis* timeX_ = nullptr;
    QValueAxis* timeY_ = nullptr;
    QLineSeries* histogramSeries_ = nullptr;
    QValueAxis* histogramX_ = nullptr;
    QValueAxis* histogramY_ = nullptr;
    std::uint64_t chartedCount_ = ~std::uint64_t{0};
};

} // namespace ui
