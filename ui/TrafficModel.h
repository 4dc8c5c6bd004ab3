#pragma once

#include <Statistics.h>

#include <TrafficObserver.h>

#include <MonotonicClock.h>

#include <QAbstractTableModel>
#include <QPointF>
#include <QString>

#include <atomic>
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
    bool error = false;          // shown under Errors only: see TrafficModel::FrameReceived
    std::uint64_t pair = ~std::uint64_t{0}; // the other row of a request and its answer, by sequence number
    std::string decoded;
    std::vector<std::uint8_t> bytes; // the frame's first kMaxBytesKept bytes
};

// What a frame's header and command say against what the protocol requires;
// a field too short to be there is not judged.
struct FrameCheck {
    bool companyId = true; // bytes 0..9 are the company id
    bool checksum = true;  // byte 19 is the sum of bytes 0..18
    bool length = true;    // bytes 16..17 count the bytes after the header
    bool command = true;   // bytes 20..21 are a command of the protocol
    bool Sound() const { return companyId && checksum && length && command; }
    // "checksum wrong", several joined by ", "; empty when sound.
    std::string Text() const;
};
FrameCheck CheckFrame(std::span<const std::uint8_t> frame);

// Rows copied out of the model for a file, taken a slice at a time by
// TrafficModel::CopySome() so that the exchange loop goes on meanwhile, then
// written by WriteCsv(), which needs nothing of the model and may run on
// another thread.
struct TrafficRows {
    std::vector<TrafficRow> rows;
    std::int64_t openedMicros = 0; // the model's time base, for the Time column
    qint64 openedWallMs = 0;
    // The rows to copy, by sequence number: those of `seqs` (a filter was
    // set), or from `next` to `end`; `next` counts what is copied either way.
    std::vector<std::uint64_t> seqs;
    bool filtered = false;
    std::uint64_t next = 0;
    std::uint64_t end = 0;
    bool Done() const { return next >= end; }
};

// Writes rows as RFC 4180 CSV with the column names first, through a file
// that replaces `path` only when whole. False, with the reason, when it
// cannot be written or `cancel` was set meanwhile.
bool WriteCsv(const TrafficRows& rows, const QString& path, QString* error, const std::atomic<bool>* cancel = nullptr);

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
    static constexpr std::uint64_t kNoPair = ~std::uint64_t{0};
    // Requests awaiting their answers that are remembered for pairing.
    static constexpr std::size_t kMaxPending = 4096;
    enum Column { ColNo, ColTime, ColDelta, ColDir, ColBytes, ColDecoded, ColRtt, ColPair, ColHex, kColumns };
    // The columns a saved file has, in this order.
    static constexpr Column kCsvColumns[] = {ColTime, ColDir, ColBytes, ColDecoded, ColRtt, ColHex};
    enum class DirFilter { All, Tx, Rx, Events };
    enum class TimeFormat { LocalTime, SinceFirst };

    explicit TrafficModel(platform::IMonotonicClock& clock, QObject* parent = nullptr);

    // client::ITrafficObserver
    void FrameSent(std::span<const std::uint8_t> frame, std::int64_t sentMicros, std::uint64_t request = 0) override;
    // An answer to no outstanding request gets no round trip, counts under
    // Errors only and stays out of the chart and the percentiles.
    void FrameReceived(std::span<const std::uint8_t> frame, const modZeva::Answer& answer,
                       std::int64_t arrivedMicros, std::optional<std::int64_t> rttMicros,
                       client::AnswerTo to = client::AnswerTo::Request, std::uint64_t request = 0) override;
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

    // Which rows are shown: all, or those that pass every filter set.
    // Text: rows whose Decoded or Hex text holds it, case-insensitive.
    void SetErrorsOnly(bool on);
    bool ErrorsOnly() const { return errorsOnly_; }
    void SetDirFilter(DirFilter dir);
    void SetTextFilter(const QString& text);
    // Rows shown, and rows held.
    std::uint64_t ShownCount() const { return ShownEnd() - ShownBegin(); }
    std::uint64_t HeldCount() const { return nextSeq_ - firstSeq_; }

    // The Time column: local time of day, or seconds since the first row held.
    void SetTimeFormat(TimeFormat format);
    TimeFormat GetTimeFormat() const { return timeFormat_; }

    // The view's row of a row held, by sequence number; -1 when not shown.
    int RowOfSeq(std::uint64_t seq) const;
    // The row shown at a view row; null when there is none.
    const TrafficRow* RowAt(int row, std::uint64_t* seq = nullptr) const;
    // The view row of the request or answer that goes with a view row; -1
    // when it has none or it is not shown.
    int PairRow(int row) const;
    // While paused, frames add no rows and are counted instead; on resume
    // one row marks the gap.
    void SetPaused(bool on);
    bool Paused() const { return paused_; }
    // Frames not shown because of a pause since the view was opened or cleared.
    std::uint64_t NotShown() const { return notShown_; }
    // Empties the table, the chart and the percentiles.
    void Clear();

    const client::RttHistogram& Percentiles() const { return percentiles_; }
    // The newest timed answers, oldest first: seconds since the view was
    // opened and round trip in milliseconds.
    QList<QPointF> ChartPoints() const;

    // A cell's text as the table shows it, at a row of the view.
    QString CellText(int row, int column) const;
    // Starts a copy of the rows shown now; CopySome() copies up to `count`
    // more of them, oldest first, and says whether the copy is complete.
    // Rows dropped before they were copied are left out, unless the copy is
    // the one kept whole (KeepWhole): a row of it about to be dropped is
    // copied first, however fast new rows come.
    TrafficRows StartCopy() const;
    bool CopySome(TrafficRows& copy, std::size_t count) const;
    // The copy under way that loses no row; nullptr when there is none. It
    // must stay where it is until it is done or this is called again.
    void KeepWhole(TrafficRows* copy) { keptWhole_ = copy; }
    // The rows shown, as WriteCsv() writes them, copied and written at once.
    bool SaveCsv(const QString& path, QString* error) const;
    // Some rows of the view, copied at once (a selection).
    TrafficRows CopyRows(const std::vector<int>& rows) const;
    // Every row held, oldest first, whatever is shown.
    void ForEachHeld(const std::function<void(const TrafficRow&)>& visit) const;
    // A row's time as microseconds since 1970, as the Time column shows it.
    std::int64_t WallMicros(std::int64_t micros) const { return openedWallMs_ * 1000 + (micros - openedMicros_); }

private:
    TrafficRow& NewRow(TrafficRow::Dir dir, std::int64_t micros, bool error);
    // The sequence number of the copy's next row; the copy is not done.
    static std::uint64_t NextToCopy(const TrafficRows& copy);
    // A new row is complete: shown if it passes the filters.
    void Admit(std::uint64_t seq);
    bool Passes(const TrafficRow& row) const;
    bool Filtered() const { return errorsOnly_ || dirFilter_ != DirFilter::All || !textFilter_.empty(); }
    // Shows again the rows that pass the filters now.
    void Refilter();
    void Changed();
    // While paused a frame or an event is counted, not shown: true then.
    bool HeldByPause();
    // The rows shown as a range of ordinals: sequence numbers of all rows,
    // or places in the list of rows that pass the filters.
    std::uint64_t ShownBegin() const;
    std::uint64_t ShownEnd() const;
    // The sequence number of the row at an ordinal shown; false when it has
    // been dropped since the view was told.
    bool SeqOf(std::uint64_t ordinal, std::uint64_t* seq) const;
    const TrafficRow& Row(std::uint64_t seq) const { return rows_[static_cast<std::size_t>(seq % kMaxRows)]; }
    TrafficRow& Row(std::uint64_t seq) { return rows_[static_cast<std::size_t>(seq % kMaxRows)]; }
    bool Held(std::uint64_t seq) const { return seq >= firstSeq_ && seq < nextSeq_; }

    platform::IMonotonicClock& clock_;
    std::int64_t openedMicros_ = 0;
    qint64 openedWallMs_ = 0;

    std::vector<TrafficRow> rows_; // ring: row `seq` at seq % kMaxRows
    std::uint64_t firstSeq_ = 0;   // the oldest row held
    std::uint64_t nextSeq_ = 0;
    std::uint64_t numberBase_ = 0; // the first row since opened or cleared, No. 1
    std::deque<std::uint64_t> shownSeqs_; // with a filter: the rows held that pass it, in order
    std::uint64_t shownDropped_ = 0;      // ordinals gone from its front
    TrafficRows* keptWhole_ = nullptr;

    bool errorsOnly_ = false;
    DirFilter dirFilter_ = DirFilter::All;
    std::string textFilter_; // lower case
    bool textFilterHexLike_ = true;
    TimeFormat timeFormat_ = TimeFormat::LocalTime;
    // Requests shown and not yet answered, oldest first: the client's
    // number of each and its row.
    struct Pending {
        std::uint64_t request;
        std::uint64_t seq;
    };
    std::deque<Pending> pending_;
    bool paused_ = false;
    std::uint64_t notShown_ = 0;
    std::uint64_t notShownInPause_ = 0;

    // What the view was last told: the first ordinal and the row count.
    std::uint64_t toldBegin_ = 0;
    std::uint64_t toldCount_ = 0;

    client::RttHistogram percentiles_{client::RttHistogram::kFine};
    struct Point {
        std::int64_t micros;
        std::int64_t rtt;
    };
    std::vector<Point> points_; // ring of kChartPoints
    std::size_t pointNext_ = 0;

    bool changed_ = false;
    std::function<void()> onChanged_;
};

// The Decoded column of a request, of an answer and of a socket event. A
// name's bytes outside printable ASCII are written \xHH.
std::string DescribeRequest(std::span<const std::uint8_t> frame);
std::string DescribeAnswer(std::span<const std::uint8_t> frame, const modZeva::Answer& answer,
                           client::AnswerTo to = client::AnswerTo::Request);
std::string DescribeEvent(client::SocketEvent event, std::string_view detail);

// A cell's text as the table shows it; times from the model's time base.
QString CellText(const TrafficRow& row, int column, std::int64_t openedMicros, qint64 openedWallMs);

// The detail pane's text for a row, as HTML: every field of the frame by
// name, with its byte offsets, bytes and value; a field that is not what the
// protocol requires in red, with what was expected.
QString DetailHtml(const TrafficRow& row);

// Microseconds as milliseconds with three decimals: 1234 -> "1.234".
QString Millis(std::int64_t micros);

} // namespace ui
