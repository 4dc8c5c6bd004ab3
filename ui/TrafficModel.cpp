#include "TrafficModel.h"

#include <QDateTime>
#include <QSaveFile>

#include <algorithm>
#include <cstdio>

namespace ui {

namespace {

constexpr const char* kColumnNames[] = {"Time", "Dir", "Bytes", "Decoded", "RTT (ms)", "Hex"};

QString FromUtf8(std::string_view text)
{
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

std::string Hex2(unsigned value, int digits)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

// A field as RFC 4180 has it: quoted, with its quotes doubled, when it holds
// a comma, a quote or a line break.
void AppendCsvField(QString& out, const QString& field)
{
    if (!field.contains(QLatin1Char(',')) && !field.contains(QLatin1Char('"')) && !field.contains(QLatin1Char('\n'))
        && !field.contains(QLatin1Char('\r'))) {
        out += field;
        return;
    }
    QString quoted = field;
    quoted.replace(QLatin1String("\""), QLatin1String("\"\""));
    out += QLatin1Char('"') + quoted + QLatin1Char('"');
}

} // namespace

std::string DescribeRequest(std::span<const std::uint8_t> frame)
{
    const auto command = modZeva::FrameCommand(frame);
    if (!command)
        return "malformed";
    const auto has = [&](std::size_t at, std::size_t size) { return at <= frame.size() && size <= frame.size() - at; };
    if (*command == modZeva::kStatusRequest)
        return "status";
    if ((*command != modZeva::kReadRequest && *command != modZeva::kWriteRequest) || !has(modZeva::kNameLength, 2))
        return "command " + Hex2(*command, 2);
    const std::size_t nameLength = modZeva::getLe16(frame, modZeva::kNameLength);
    if (!has(modZeva::kName, nameLength) || !has(modZeva::kDataType, 2))
        return "malformed";
    const std::string name(frame.begin() + modZeva::kName, frame.begin() + modZeva::kName + nameLength);
    if (*command == modZeva::kReadRequest) {
        const int type = modZeva::getLe16(frame, modZeva::kDataType);
        if (type < modZeva::Byte || type > modZeva::LWord)
            return "read " + name;
        return "read " + name + " (" + std::string(modZeva::kTypeNames[type - 1]) + ")";
    }
    const std::size_t sizeAt = modZeva::kName + nameLength;
    if (!has(sizeAt, 2))
        return "malformed";
    const std::size_t size = modZeva::getLe16(frame, sizeAt);
    if (!has(sizeAt + 2, size))
        return "malformed";
    return "write " + name + " = " + modZeva::BytesToHex(frame, sizeAt + 2, size);
}

std::string DescribeAnswer(std::span<const std::uint8_t> frame, const modZeva::Answer& answer)
{
    const std::string state = answer.stateText ? *answer.stateText : std::string();
    switch (answer.kind) {
    case modZeva::AnswerKind::Read:
        return "value " + answer.valueText + ", state " + state;
    case modZeva::AnswerKind::Status:
        return "status " + answer.valueText + ", state " + state;
    case modZeva::AnswerKind::DeviceError:
        return "error " + Hex2(answer.errorCode, 2) + ": " + modZeva::ErrorText(answer.errorCode);
    case modZeva::AnswerKind::Malformed:
        return "malformed";
    case modZeva::AnswerKind::Other: {
        const auto command = modZeva::FrameCommand(frame);
        if (command && *command == modZeva::kWriteAnswer)
            return "write done, state " + state;
        return "answer " + Hex2(command.value_or(0), 2) + ", state " + state;
    }
    }
    return "malformed";
}

std::string DescribeEvent(client::SocketEvent event, std::string_view detail)
{
    switch (event) {
    case client::SocketEvent::Connected:
        return "connected to " + std::string(detail);
    case client::SocketEvent::ClosedByDevice:
        return "closed by the device";
    case client::SocketEvent::Error:
        return "error: " + std::string(detail);
    }
    return std::string(detail);
}

QString Millis(std::int64_t micros)
{
    char text[32];
    std::snprintf(text, sizeof text, "%lld.%03lld", static_cast<long long>(micros / 1000),
                  static_cast<long long>(micros % 1000));
    return QString::fromLatin1(text);
}

TrafficModel::TrafficModel(platform::IMonotonicClock& clock, QObject* parent)
    : QAbstractTableModel(parent), clock_(clock), openedMicros_(clock.NowMicros()),
      openedWallMs_(QDateTime::currentMSecsSinceEpoch())
{
}

TrafficRow& TrafficModel::NewRow(TrafficRow::Dir dir, std::int64_t micros, bool error)
{
    // While the ring fills, row `seq` is the last one; once full, the oldest
    // row goes and its storage is the new row's.
    const std::uint64_t seq = nextSeq_++;
    if (rows_.size() < kMaxRows)
        rows_.emplace_back();
    if (nextSeq_ - firstSeq_ > kMaxRows) {
        ++firstSeq_;
        if (!errorSeqs_.empty() && errorSeqs_.front() < firstSeq_) {
            errorSeqs_.pop_front();
            ++errorsDropped_;
        }
    }
    TrafficRow& row = rows_[seq % kMaxRows];
    row.micros = micros;
    row.rttMicros = -1;
    row.dir = dir;
    row.error = error;
    if (error)
        errorSeqs_.push_back(seq);
    Changed();
    return row;
}

void TrafficModel::Changed()
{
    if (changed_)
        return;
    changed_ = true;
    if (onChanged_)
        onChanged_();
}

void TrafficModel::FrameSent(std::span<const std::uint8_t> frame, std::int64_t sentMicros)
{
    if (paused_) {
        ++notShown_;
        Changed();
        return;
    }
    TrafficRow& row = NewRow(TrafficRow::Dir::Tx, sentMicros, false);
    row.length = static_cast<std::uint32_t>(frame.size());
    row.bytes.assign(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(std::min(frame.size(), kMaxBytesKept)));
    row.decoded = DescribeRequest(frame);
}

void TrafficModel::FrameReceived(std::span<const std::uint8_t> frame, const modZeva::Answer& answer,
                                 std::int64_t arrivedMicros, std::optional<std::int64_t> rttMicros)
{
    // Every timed answer counts in the chart and the percentiles, shown or not.
    if (rttMicros) {
        percentiles_.Add(*rttMicros);
        if (points_.size() < kChartPoints)
            points_.push_back({arrivedMicros, *rttMicros});
        else
            points_[pointNext_] = {arrivedMicros, *rttMicros};
        pointNext_ = (pointNext_ + 1) % kChartPoints;
    }
    if (paused_) {
        ++notShown_;
        Changed();
        return;
    }
    const bool error = answer.kind == modZeva::AnswerKind::DeviceError || answer.kind == modZeva::AnswerKind::Malformed;
    TrafficRow& row = NewRow(TrafficRow::Dir::Rx, arrivedMicros, error);
    row.length = static_cast<std::uint32_t>(frame.size());
    row.bytes.assign(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(std::min(frame.size(), kMaxBytesKept)));
    row.rttMicros = rttMicros ? std::max<std::int64_t>(*rttMicros, 0) : -1;
    row.decoded = DescribeAnswer(frame, answer);
}

void TrafficModel::SocketEventHappened(client::SocketEvent event, std::string_view detail)
{
    if (paused_) {
        ++notShown_;
        Changed();
        return;
    }
    TrafficRow& row = NewRow(TrafficRow::Dir::Event, clock_.NowMicros(), true);
    row.length = 0;
    row.bytes.clear();
    row.decoded = DescribeEvent(event, detail);
}

std::uint64_t TrafficModel::ShownBegin() const
{
    return errorsOnly_ ? errorsDropped_ : firstSeq_;
}

std::uint64_t TrafficModel::ShownEnd() const
{
    return errorsOnly_ ? errorsDropped_ + errorSeqs_.size() : nextSeq_;
}

bool TrafficModel::SeqOf(std::uint64_t ordinal, std::uint64_t* seq) const
{
    if (ordinal < ShownBegin() || ordinal >= ShownEnd())
        return false;
    *seq = errorsOnly_ ? errorSeqs_[static_cast<std::size_t>(ordinal - errorsDropped_)] : ordinal;
    return true;
}

std::uint64_t TrafficModel::Sync()
{
    changed_ = false;
    const std::uint64_t begin = ShownBegin();
    const std::uint64_t end = ShownEnd();
    // Dropped from the front since the view was told.
    const std::uint64_t gone = std::min(toldCount_, begin > toldBegin_ ? begin - toldBegin_ : 0);
    if (gone > 0) {
        beginRemoveRows({}, 0, static_cast<int>(gone - 1));
        toldBegin_ += gone;
        toldCount_ -= gone;
        endRemoveRows();
    }
    if (toldCount_ == 0)
        toldBegin_ = begin;
    const std::uint64_t told = toldBegin_ + toldCount_;
    if (end > told) {
        const auto first = static_cast<int>(toldCount_);
        beginInsertRows({}, first, first + static_cast<int>(end - told) - 1);
        toldCount_ = end - toldBegin_;
        endInsertRows();
    }
    return gone;
}

void TrafficModel::SetErrorsOnly(bool on)
{
    if (on == errorsOnly_)
        return;
    beginResetModel();
    errorsOnly_ = on;
    toldBegin_ = ShownBegin();
    toldCount_ = ShownEnd() - toldBegin_;
    endResetModel();
}

void TrafficModel::SetPaused(bool on)
{
    paused_ = on;
    // Resume starts the count again.
    if (!on)
        notShown_ = 0;
    Changed();
}

void TrafficModel::Clear()
{
    beginResetModel();
    // The rows' storage stays for the rows to come.
    firstSeq_ = nextSeq_;
    errorSeqs_.clear();
    errorsDropped_ = 0;
    toldBegin_ = ShownBegin();
    toldCount_ = 0;
    notShown_ = 0;
    percentiles_.Clear();
    points_.clear();
    pointNext_ = 0;
    endResetModel();
    Changed();
}

QList<QPointF> TrafficModel::ChartPoints() const
{
    QList<QPointF> out;
    out.reserve(static_cast<qsizetype>(points_.size()));
    const std::size_t start = points_.size() < kChartPoints ? 0 : pointNext_;
    for (std::size_t i = 0; i < points_.size(); ++i) {
        const Point& p = points_[(start + i) % points_.size()];
        out.append(QPointF(static_cast<double>(p.micros - openedMicros_) / 1e6, static_cast<double>(p.rtt) / 1000.0));
    }
    return out;
}

int TrafficModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(toldCount_);
}

int TrafficModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : kColumns;
}

QString TrafficModel::CellText(std::size_t seq, int column) const
{
    const TrafficRow& row = rows_[seq % kMaxRows];
    switch (column) {
    case ColTime:
        return QDateTime::fromMSecsSinceEpoch(openedWallMs_ + (row.micros - openedMicros_) / 1000)
            .toLocalTime()
            .toString(QStringLiteral("HH:mm:ss.zzz"));
    case ColDir:
        return row.dir == TrafficRow::Dir::Tx   ? QStringLiteral("TX")
               : row.dir == TrafficRow::Dir::Rx ? QStringLiteral("RX")
                                                : QStringLiteral("--");
    case ColBytes:
        return row.dir == TrafficRow::Dir::Event ? QString() : QString::number(row.length);
    case ColDecoded:
        return FromUtf8(row.decoded);
    case ColRtt:
        return row.rttMicros < 0 ? QString() : Millis(row.rttMicros);
    case ColHex: {
        static constexpr char kDigits[] = "0123456789ABCDEF";
        QString hex;
        hex.reserve(static_cast<qsizetype>(row.bytes.size() * 3 + 2));
        for (std::size_t i = 0; i < row.bytes.size(); ++i) {
            if (i > 0)
                hex += QLatin1Char(' ');
            hex += QLatin1Char(kDigits[row.bytes[i] >> 4]);
            hex += QLatin1Char(kDigits[row.bytes[i] & 0xF]);
        }
        // A frame longer than what a row keeps ends in an ellipsis.
        if (row.length > row.bytes.size())
            hex += QStringLiteral(" \u2026");
        return hex;
    }
    default:
        return {};
    }
}

QVariant TrafficModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() < 0 || (role != Qt::DisplayRole && role != Qt::TextAlignmentRole))
        return {};
    std::uint64_t seq = 0;
    if (!SeqOf(toldBegin_ + static_cast<std::uint64_t>(index.row()), &seq))
        return {};
    if (role == Qt::TextAlignmentRole) {
        if (index.column() == ColBytes || index.column() == ColRtt)
            return QVariant::fromValue(Qt::Alignment(Qt::AlignRight | Qt::AlignVCenter));
        return {};
    }
    return CellText(static_cast<std::size_t>(seq), index.column());
}

QVariant TrafficModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= kColumns)
        return {};
    return QString::fromLatin1(kColumnNames[section]);
}

void TrafficModel::ForEachHeld(const std::function<void(const TrafficRow&)>& visit) const
{
    for (std::uint64_t seq = firstSeq_; seq < nextSeq_; ++seq)
        visit(rows_[static_cast<std::size_t>(seq % kMaxRows)]);
}

bool TrafficModel::SaveCsv(const QString& path, QString* error) const
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        if (error)
            *error = file.errorString();
        return false;
    }
    QString text;
    for (int c = 0; c < kColumns; ++c) {
        if (c > 0)
            text += QLatin1Char(',');
        AppendCsvField(text, QString::fromLatin1(kColumnNames[c]));
    }
    text += QLatin1String("\r\n");
    const auto flush = [&] {
        const QByteArray bytes = text.toUtf8();
        text.clear();
        return file.write(bytes) == bytes.size();
    };
    bool ok = true;
    for (std::uint64_t ordinal = toldBegin_; ok && ordinal < toldBegin_ + toldCount_; ++ordinal) {
        std::uint64_t seq = 0;
        if (!SeqOf(ordinal, &seq))
            continue;
        for (int c = 0; c < kColumns; ++c) {
            if (c > 0)
                text += QLatin1Char(',');
            AppendCsvField(text, CellText(static_cast<std::size_t>(seq), c));
        }
        text += QLatin1String("\r\n");
        if (text.size() > 1 << 16)
            ok = flush();
    }
    ok = ok && flush();
    if (!ok || !file.commit()) {
        if (error)
            *error = file.errorString();
        return false;
    }
    return true;
}

} // namespace ui
