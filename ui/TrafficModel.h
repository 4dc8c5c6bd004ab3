#pragma once

#include "RttPercentiles.h"

#include <TrafficObserver.h>

#include <MonotonicClock.h>

#include <QAbstractTableModel>
#include <QPointF>
#include <QString>

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace ui {

// One line of the traffic table: a frame sent or received, or a socket event.
struct TrafficRow {
    enum class Dir : std::uint8_t { Tx, Rx, Event };
    std::int64_t micros = 0;     // when, on the monotonic clock
    std::int64_t rttMicros = -1; // the round trip of a timed answer, -1 otherwise
    std::uint32_t length = 0;    // the frame's length in bytes
    Dir dir = Dir::Event;
    bool error = false;          // a device error, a malformed answer or a socket event
    std::string decoded;
    std::vector<std::uint8_t> bytes; // the frame's first kMaxBytesKept bytes
};

// The traffic since the view was first opened: the last kMaxRows rows in a
// ring, the round trips of the last kChartPoints timed answers, and the
// percentiles of every timed answer since opened or cleared.
//
// Frames are taken in as they come; the view is told of new and dropped
// rows only by Sync(), which the window calls at most once a display frame,
// so that the table never follows the exchange rate.
class TrafficModel final : public QAbstractTableModel, public client::ITrafficObserver {
    Q_OBJECT

public:
    static constexpr std::size_t kMaxRows = 100000;
    static constexpr std::size_t kChartPoints = 10000;
    // Every frame the window sends fits; a longer answer keeps its first bytes.
    static constexpr std::size_t kMaxBytesKept = modZeva::kMaxRequestFrame;
    enum Column { ColTime, ColDir, ColBytes, ColDecoded, ColRtt, ColHex, kColumns };

    explicit TrafficModel(platform::IMonotonicClock& clock, QObject* parent = nullptr);

    // client::ITrafficObserver
    void FrameSent(std::span<const std::uint8_t> frame, std::int64_t sentMicros) override;
    void FrameReceived(std::span<const std::uint8_t> frame, const modZeva::Answer& answer,
                       std::int64_t arrivedMicros, std::optional<std::int64_t> rttMicros) override;
    void SocketEventHappened(client::SocketEvent event, std::string_view detail) override;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // Tells the view of the rows dropped and added since the last call;
    // returns how many were dropped from the top of the view.
    std::uint64_t Sync();
    // Called once when something arrives after a Sync(): time to arm one.
    void SetChangedHandler(std::function<void()> handler) { onChanged_ = std::move(handler); }

    void SetErrorsOnly(bool on);
    bool ErrorsOnly() const { return errorsOnly_; }
    // While paused, frames add no rows and are counted instead.
    void SetPaused(bool on);
    bool Paused() const { return paused_; }
    std::uint64_t NotShown() const { return notShown_; }
    // Empties the table, the chart and the percentiles.
    void Clear();

    const RttPercentiles& Percentiles() const { return percentiles_; }
    // The newest timed answers, oldest first: seconds since the view was
    // opened and round trip in milliseconds.
    QList<QPointF> ChartPoints() const;

    // A cell's text as the table shows it.
    QString CellText(std::size_t seq, int column) const;
    // The rows shown, as RFC 4180 CSV with the column names first. False,
    // with the reason, when the file cannot be written.
    bool SaveCsv(const QString& path, QString* error) const;
    // Every row held, oldest first, whatever is shown.
    void ForEachHeld(const std::function<void(const TrafficRow&)>& visit) const;
    // A row's time as microseconds since 1970, as the Time column shows it.
    std::int64_t WallMicros(std::int64_t micros) const { return openedWallMs_ * 1000 + (micros - openedMicros_); }

private:
    TrafficRow& NewRow(TrafficRow::Dir dir, std::int64_t micros, bool error);
    void Changed();
    // The rows shown as a range of ordinals: sequence numbers of all rows,
    // or places in the list of error rows.
    std::uint64_t ShownBegin() const;
    std::uint64_t ShownEnd() const;
    // The sequence number of the row at an ordinal shown; false when it has
    // been dropped since the view was told.
    bool SeqOf(std::uint64_t ordinal, std::uint64_t* seq) const;

    platform::IMonotonicClock& clock_;
    std::int64_t openedMicros_ = 0;
    qint64 openedWallMs_ = 0;

    std::vector<TrafficRow> rows_; // ring: row `seq` at seq % kMaxRows
    std::uint64_t firstSeq_ = 0;   // the oldest row held
    std::uint64_t nextSeq_ = 0;
    std::deque<std::uint64_t> errorSeqs_; // the error rows held, in order
    std::uint64_t errorsDropped_ = 0;     // error rows gone from the front

    bool errorsOnly_ = false;
    bool paused_ = false;
    std::uint64_t notShown_ = 0;

    // What the view was last told: the first ordinal and the row count.
    std::uint64_t toldBegin_ = 0;
    std::uint64_t toldCount_ = 0;

    RttPercentiles percentiles_;
    struct Point {
        std::int64_t micros;
        std::int64_t rtt;
    };
    std::vector<Point> points_; // ring of kChartPoints
    std::size_t pointNext_ = 0;

    bool changed_ = false;
    std::function<void()> onChanged_;
};

// The Decoded column of a request, of an answer and of a socket event.
std::string DescribeRequest(std::span<const std::uint8_t> frame);
std::string DescribeAnswer(std::span<const std::uint8_t> frame, const modZeva::Answer& answer);
std::string DescribeEvent(client::SocketEvent event, std::string_view detail);

// Microseconds as milliseconds with three decimals: 1234 -> "1.234".
QString Millis(std::int64_t micros);

} // namespace ui
