#pragma once

#include "TrafficCapture.h"
#include "TrafficModel.h"

#include <MonotonicClock.h>
#include <Timer.h>

#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <thread>

class QAction;
class QCheckBox;
class QComboBox;
class QItemSelection;
class QLineEdit;
class QSettings;
class QTextEdit;
class QLabel;
class QPushButton;
class QTableView;

namespace ui {

class TrafficChart;

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

    // Saves the rows shown now as CSV (Save... after its dialog). The rows
    // are copied a slice per turn of the event loop and written on a thread
    // of their own, so that the exchange loop never waits for the file.
    void SaveTo(const QString& path);
    // A save is under way (Save... is disabled meanwhile).
    bool Saving() const { return saveCopy_.has_value() || saveThread_.joinable(); }

    // Saves the rows selected as CSV (Save selected... after its dialog).
    void SaveSelectedTo(const QString& path);
    // The rows selected as Copy puts them on the clipboard: tab-separated
    // with the column names first, or (hexOnly) each frame's bytes.
    QString SelectedText(bool hexOnly) const;

    // The charts; null in a build without them.
    TrafficChart* Chart() const { return chart_; }

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
    // Copies the next slice of rows to save; once all are copied, the
    // writing thread starts.
    void CopyForSave(std::size_t rows);
    void StartWriter(std::shared_ptr<TrafficRows> copy, const QString& path);
    void SelectPairs(const QItemSelection& selected);
    std::vector<int> SelectedRows() const;
    void ShowDetail(int row);
    static std::unique_ptr<QSettings> Settings();
    void Saved(bool ok, const QString& path, const QString& error);
    // The table follows the newest row while Follow is checked.
    void SetFollow(bool on);
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

    std::optional<TrafficRows> saveCopy_;
    QString savePath_;
    QTimer saveSlices_;
    std::thread saveThread_;
    std::atomic<bool> cancelSave_{false};
    // The table's scroll bar is moved by Refresh, not by the user.
    bool scrolling_ = false;

    bool selectingPairs_ = false;
    // Save... and Save selected... wait while a save is under way.
    QAction* actSaveSelected_ = nullptr;

    QLineEdit* txtFilter = nullptr;
    QComboBox* cboDir = nullptr;
    QComboBox* cboTime = nullptr;
    QLabel* lblRows = nullptr;
    QTextEdit* txtDetail = nullptr;
    QCheckBox* chkErrorsOnly = nullptr;
    QCheckBox* chkFollow = nullptr;
    QPushButton* cmdPause = nullptr;
    QPushButton* cmdClear = nullptr;
    QPushButton* cmdSave = nullptr;
    QPushButton* cmdSaveCapture = nullptr;
    QLabel* lblNotShown = nullptr;
    QTableView* tblFrames = nullptr;
    TrafficChart* chart_ = nullptr;
    QLabel* lblPercentiles = nullptr;
    std::uint64_t chartedCount_ = ~std::uint64_t{0};
};

} // namespace ui
