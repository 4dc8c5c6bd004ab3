#include "TrafficModel.h"

#include <QDateTime>
#include <QSaveFile>

#include <algorithm>
#include <cstdio>

namespace ui {

namespace {

constexpr const char* kColumnNames[] = {"No.", "Time", "Delta (ms)", "Dir", "Bytes", "Decoded", "RTT (ms)", "Pair", "Hex"};

QString FromUtf8(std::string_view text)
{
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

std::string Hex2(unsigned value, std::size_t digits)
{
    return "0x" + modZeva::NumberToHex(value, digits);
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

// A name as the device got it: printable ASCII as it is, other bytes as \xHH,
// so that no byte becomes a replacement character.
std::string Name(std::span<const std::uint8_t> bytes)
{
    std::string out;
    out.reserve(bytes.size());
    for (const std::uint8_t b : bytes) {
        if (b >= 0x20 && b < 0x7F) {
            out += static_cast<char>(b);
        } else {
            out += "\\x";
            modZeva::AppendHex(out, {&b, 1});
        }
    }
    return out;
}

QString NotShownWhilePaused(std::uint64_t n)
{
    return QStringLiteral("%1 %2 not shown while paused").arg(n).arg(n == 1 ? QStringLiteral("frame") : QStringLiteral("frames"));
}

} // namespace

std::string FrameCheck::Text() const
{
    std::string text;
    const auto add = [&](bool ok, const char* what) {
        if (ok)
            return;
        if (!text.empty())
            text += ", ";
        text += what;
    };
    add(companyId, "company id wrong");
    add(checksum, "checksum wrong");
    add(length, "length wrong");
    add(command, "unknown command");
    return text;
}

FrameCheck CheckFrame(std::span<const std::uint8_t> frame)
{
    FrameCheck check;
    if (frame.size() >= modZeva::kCompanyIdAt + modZeva::kCompanyId.size())
        check.companyId = std::equal(modZeva::kCompanyId.begin(), modZeva::kCompanyId.end(),
                                     frame.begin() + modZeva::kCompanyIdAt);
    if (frame.size() >= modZeva::kHeaderSize) {
        check.checksum = modZeva::CalcBcc(frame, 0, modZeva::kBccLast) == frame[modZeva::kBcc];
        check.length = modZeva::getLe16(frame, modZeva::kBodyLength) == frame.size() - modZeva::kHeaderSize;
    }
    if (frame.size() >= modZeva::kCommand + 2) {
        const unsigned command = modZeva::getLe16(frame, modZeva::kCommand);
        check.command = command == modZeva::kReadRequest || command == modZeva::kReadAnswer
                        || command == modZeva::kWriteRequest || command == modZeva::kWriteAnswer
                        || command == modZeva::kStatusRequest || command == modZeva::kStatusAnswer;
    }
    return check;
}

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
    const std::string name = Name(frame.subspan(modZeva::kName, nameLength));
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

std::string DescribeAnswer(std::span<const std::uint8_t> frame, const modZeva::Answer& answer, client::AnswerTo to)
{
    if (to == client::AnswerTo::Duplicate)
        return "duplicate: " + DescribeAnswer(frame, answer);
    if (to == client::AnswerTo::Unsolicited)
        return "unsolicited: " + DescribeAnswer(frame, answer);
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

namespace {

// The rows of the detail pane's table.
class Fields {
public:
    explicit Fields(std::span<const std::uint8_t> frame) : frame_(frame) {}

    bool Has(std::size_t at, std::size_t size) const { return at <= frame_.size() && size <= frame_.size() - at; }
    unsigned Le16(std::size_t at) const { return Has(at, 2) ? modZeva::getLe16(frame_, at) : 0; }
    // A field of `size` bytes at `at`; `expected` non-empty marks it wrong.
    void Add(const QString& name, std::size_t at, std::size_t size, const QString& value, const QString& expected = {})
    {
        const QString offsets = size <= 1 ? QString::number(at) : QStringLiteral("%1-%2").arg(at).arg(at + size - 1);
        // What the frame holds of the field, all of it or the start.
        const std::size_t from = std::min(at, frame_.size());
        const QString bytes = QString::fromStdString(
            modZeva::BytesToHex(frame_.subspan(from, std::min(size, frame_.size() - from)), ' '));
        QString shown = value;
        QString wrong = expected;
        if (!Has(at, size)) {
            shown.clear();
            wrong = QStringLiteral("missing");
        }
        const QString style = wrong.isEmpty() ? QString() : QStringLiteral(" style=\"color:#C00000\"");
        html_ += QStringLiteral("<tr%1><td>%2</td><td align=\"right\">%3</td><td>%4</td><td>%5%6</td></tr>")
                     .arg(style, name.toHtmlEscaped(), offsets, bytes, shown.toHtmlEscaped(),
                          wrong.isEmpty() ? QString()
                                          : QStringLiteral(" (%1%2)")
                                                .arg(wrong == QLatin1String("missing") ? QString()
                                                                                       : QStringLiteral("expected "),
                                                     wrong.toHtmlEscaped()));
    }
    QString Html() const
    {
        return QStringLiteral("<table cellspacing=\"0\" cellpadding=\"3\"><tr><th align=\"left\">field</th>"
                              "<th align=\"right\">bytes</th><th align=\"left\">hex</th>"
                              "<th align=\"left\">value</th></tr>")
               + html_ + QStringLiteral("</table>");
    }

private:
    std::span<const std::uint8_t> frame_;
    QString html_;
};

QString Hex(unsigned value, std::size_t digits)
{
    return QString::fromStdString(modZeva::NumberToHex(value, digits));
}

QString CommandName(unsigned command)
{
    switch (command) {
    case modZeva::kReadRequest: return QStringLiteral("read request");
    case modZeva::kReadAnswer: return QStringLiteral("read answer");
    case modZeva::kWriteRequest: return QStringLiteral("write request");
    case modZeva::kWriteAnswer: return QStringLiteral("write answer");
    case modZeva::kStatusRequest: return QStringLiteral("status request");
    case modZeva::kStatusAnswer: return QStringLiteral("status answer");
    default: return QStringLiteral("unknown");
    }
}

QString TypeText(unsigned type)
{
    if (type >= modZeva::Byte && type <= modZeva::LWord)
        return QString::fromLatin1(modZeva::kTypeNames[type - 1]);
    return QString::number(type);
}

} // namespace

QString DetailHtml(const TrafficRow& row)
{
    if (row.dir == TrafficRow::Dir::Event)
        return FromUtf8(row.decoded).toHtmlEscaped();
    const std::span<const std::uint8_t> frame(row.bytes);
    FrameCheck check = CheckFrame(frame);
    // A row keeps the first bytes of a long frame: its length is the frame's.
    if (row.length > row.bytes.size() && frame.size() >= modZeva::kHeaderSize)
        check.length = modZeva::getLe16(frame, modZeva::kBodyLength) == row.length - modZeva::kHeaderSize;
    Fields f(frame);
    const std::string company(modZeva::kCompanyId.begin(), modZeva::kCompanyId.end());
    QString companyText;
    for (std::size_t i = 0; i < modZeva::kCompanyId.size() && i < frame.size(); ++i)
        companyText += frame[i] >= 0x20 && frame[i] < 0x7F ? QChar(frame[i]) : QChar(u'.');
    f.Add(QStringLiteral("company id"), modZeva::kCompanyIdAt, modZeva::kCompanyId.size(), companyText,
          check.companyId ? QString() : QString::fromLatin1("56 4F 52 4E 2D 4B 45 4C 54 55 (") + QString::fromStdString(company) + QLatin1Char(')'));
    f.Add(QStringLiteral("PLC information (state word)"), modZeva::kStateWord, 2, Hex(f.Le16(modZeva::kStateWord), 4));
    f.Add(QStringLiteral("CPU information"), 12, 1, f.Has(12, 1) ? Hex(frame[12], 2) : QString());
    const bool fromDevice = f.Has(modZeva::kDirection, 1) && frame[modZeva::kDirection] == modZeva::kFromDevice;
    f.Add(QStringLiteral("source"), modZeva::kDirection, 1,
          f.Has(modZeva::kDirection, 1) ? Hex(frame[modZeva::kDirection], 2)
                                             + (fromDevice ? QStringLiteral(" (device)")
                                                           : frame[modZeva::kDirection] == modZeva::kToDevice
                                                                 ? QStringLiteral(" (client)")
                                                                 : QString())
                                        : QString());
    f.Add(QStringLiteral("invoke id"), modZeva::kInvokeId, 2, QString::number(f.Le16(modZeva::kInvokeId)));
    const std::size_t body = frame.size() >= modZeva::kHeaderSize ? row.length - modZeva::kHeaderSize : 0;
    f.Add(QStringLiteral("length"), modZeva::kBodyLength, 2, QString::number(f.Le16(modZeva::kBodyLength)),
          check.length ? QString() : QString::number(body));
    f.Add(QStringLiteral("position"), 18, 1, f.Has(18, 1) ? Hex(frame[18], 2) : QString());
    f.Add(QStringLiteral("checksum"), modZeva::kBcc, 1, f.Has(modZeva::kBcc, 1) ? Hex(frame[modZeva::kBcc], 2) : QString(),
          check.checksum || !f.Has(modZeva::kBcc, 1) ? QString() : Hex(modZeva::CalcBcc(frame, 0, modZeva::kBccLast), 2));
    if (!f.Has(modZeva::kCommand, 2))
        return f.Html();

    const unsigned command = f.Le16(modZeva::kCommand);
    f.Add(QStringLiteral("command"), modZeva::kCommand, 2, Hex(command, 4) + QStringLiteral(" (") + CommandName(command) + QLatin1Char(')'),
          check.command ? QString() : QStringLiteral("a command of the protocol"));
    f.Add(QStringLiteral("data type"), modZeva::kDataType, 2, TypeText(f.Le16(modZeva::kDataType)));
    f.Add(QStringLiteral("reserved"), modZeva::kReserved, 2, Hex(f.Le16(modZeva::kReserved), 4));
    if (command == modZeva::kReadRequest || command == modZeva::kWriteRequest) {
        f.Add(QStringLiteral("block count"), modZeva::kBlockCount, 2, QString::number(f.Le16(modZeva::kBlockCount)));
        const std::size_t nameLength = f.Le16(modZeva::kNameLength);
        f.Add(QStringLiteral("variable name length"), modZeva::kNameLength, 2, QString::number(nameLength));
        f.Add(QStringLiteral("variable name"), modZeva::kName, nameLength,
              f.Has(modZeva::kName, nameLength) ? FromUtf8(Name(frame.subspan(modZeva::kName, nameLength))) : QString());
        if (command == modZeva::kWriteRequest) {
            const std::size_t sizeAt = modZeva::kName + nameLength;
            const std::size_t size = f.Le16(sizeAt);
            f.Add(QStringLiteral("data size"), sizeAt, 2, QString::number(size));
            f.Add(QStringLiteral("value"), sizeAt + 2, size,
                  f.Has(sizeAt + 2, size) ? FromUtf8(modZeva::BytesToHex(frame, sizeAt + 2, size)) : QString());
        }
    } else if (command == modZeva::kReadAnswer || command == modZeva::kWriteAnswer
               || command == modZeva::kStatusAnswer) {
        const unsigned status = f.Le16(modZeva::kErrorStatus);
        f.Add(QStringLiteral("error status"), modZeva::kErrorStatus, 2, Hex(status, 4));
        if (status != 0) {
            const unsigned code = f.Le16(modZeva::kErrorCode);
            f.Add(QStringLiteral("error code"), modZeva::kErrorCode, 2,
                  Hex(code, 4) + QStringLiteral(": ") + FromUtf8(modZeva::ErrorText(static_cast<std::uint16_t>(code))));
        } else if (command == modZeva::kStatusAnswer) {
            f.Add(QStringLiteral("status data length"), modZeva::kStatusDataLength, 2,
                  QString::number(f.Le16(modZeva::kStatusDataLength)));
            f.Add(QStringLiteral("status data"), modZeva::kStatusData, modZeva::kStatusDataSize,
                  f.Has(modZeva::kStatusData, modZeva::kStatusDataSize)
                      ? FromUtf8(modZeva::BytesToHex(frame, modZeva::kStatusData, modZeva::kStatusDataSize))
                      : QString());
        } else {
            f.Add(QStringLiteral("block count"), modZeva::kAnswerBlockCount, 2,
                  QString::number(f.Le16(modZeva::kAnswerBlockCount)));
            if (command == modZeva::kReadAnswer) {
                const std::size_t size = f.Le16(modZeva::kReadDataSize);
                f.Add(QStringLiteral("data size"), modZeva::kReadDataSize, 2, QString::number(size));
                f.Add(QStringLiteral("value"), modZeva::kReadValue, size,
                      f.Has(modZeva::kReadValue, size) ? FromUtf8(modZeva::BytesToHex(frame, modZeva::kReadValue, size))
                                                       : QString());
            }
        }
    }
    return f.Html();
}

QString Millis(std::int64_t micros)
{
    // A row stamped before the one shown above it (a request held while
    // the connection was made) gives a negative difference.
    const unsigned long long magnitude =
        micros < 0 ? 0ULL - static_cast<unsigned long long>(micros) : static_cast<unsigned long long>(micros);
    char text[32];
    std::snprintf(text, sizeof text, "%s%llu.%03llu", micros < 0 ? "-" : "", magnitude / 1000, magnitude % 1000);
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
        // The oldest row goes: a copy that must stay whole takes it first.
        while (keptWhole_ && !keptWhole_->Done() && NextToCopy(*keptWhole_) <= firstSeq_)
            CopySome(*keptWhole_, 1);
        ++firstSeq_;
        if (!shownSeqs_.empty() && shownSeqs_.front() < firstSeq_) {
            shownSeqs_.pop_front();
            ++shownDropped_;
        }
    }
    TrafficRow& row = Row(seq);
    row.micros = micros;
    row.rttMicros = -1;
    row.dir = dir;
    row.error = error;
    row.pair = kNoPair;
    Changed();
    return row;
}

void TrafficModel::Admit(std::uint64_t seq)
{
    if (Filtered() && Passes(Row(seq)))
        shownSeqs_.push_back(seq);
}

namespace {

// Whether `text` holds `needle` (lower case), ASCII letters of any case.
bool HoldsFolded(std::string_view text, std::string_view needle)
{
    if (needle.size() > text.size())
        return false;
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    for (std::size_t i = 0; i + needle.size() <= text.size(); ++i) {
        std::size_t k = 0;
        while (k < needle.size() && lower(text[i + k]) == needle[k])
            ++k;
        if (k == needle.size())
            return true;
    }
    return false;
}

// The Hex column's text without the ellipsis, into `out`.
void HexText(const TrafficRow& row, std::string& out)
{
    out.clear();
    modZeva::AppendHex(out, row.bytes, ' ');
}

// Whether a filter could be found in a Hex column at all: hexadecimal
// digits and spaces only.
bool HexLike(std::string_view needle)
{
    return std::all_of(needle.begin(), needle.end(), [](char c) {
        return c == ' ' || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
    });
}

} // namespace

bool TrafficModel::Passes(const TrafficRow& row) const
{
    if (errorsOnly_ && !row.error)
        return false;
    switch (dirFilter_) {
    case DirFilter::All: break;
    case DirFilter::Tx: if (row.dir != TrafficRow::Dir::Tx) return false; break;
    case DirFilter::Rx: if (row.dir != TrafficRow::Dir::Rx) return false; break;
    case DirFilter::Events: if (row.dir != TrafficRow::Dir::Event) return false; break;
    }
    if (textFilter_.empty() || HoldsFolded(row.decoded, textFilter_))
        return true;
    if (!textFilterHexLike_)
        return false;
    thread_local std::string hex;
    HexText(row, hex);
    return HoldsFolded(hex, textFilter_);
}

void TrafficModel::Changed()
{
    if (changed_)
        return;
    changed_ = true;
    if (onChanged_)
        onChanged_();
}

bool TrafficModel::HeldByPause()
{
    if (!paused_)
        return false;
    ++notShown_;
    ++notShownInPause_;
    Changed();
    return true;
}

void TrafficModel::FrameSent(std::span<const std::uint8_t> frame, std::int64_t sentMicros, std::uint64_t request)
{
    if (HeldByPause())
        return;
    const std::uint64_t seq = nextSeq_;
    TrafficRow& row = NewRow(TrafficRow::Dir::Tx, sentMicros, false);
    row.length = static_cast<std::uint32_t>(frame.size());
    row.bytes.assign(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(std::min(frame.size(), kMaxBytesKept)));
    row.decoded = DescribeRequest(frame);
    Admit(seq);
    if (request != 0) {
        // Requests a device never answers go, oldest first, past a bound.
        if (pending_.size() >= kMaxPending)
            pending_.pop_front();
        pending_.push_back({request, seq});
    }
}

void TrafficModel::FrameReceived(std::span<const std::uint8_t> frame, const modZeva::Answer& answer,
                                 std::int64_t arrivedMicros, std::optional<std::int64_t> rttMicros, client::AnswerTo to,
                                 std::uint64_t request)
{
    const bool stray = to != client::AnswerTo::Request;
    if (stray)
        rttMicros.reset();
    // Every timed answer counts in the chart and the percentiles, shown or not.
    if (rttMicros) {
        percentiles_.Add(*rttMicros);
        if (points_.size() < kChartPoints)
            points_.push_back({arrivedMicros, *rttMicros});
        else
            points_[pointNext_] = {arrivedMicros, *rttMicros};
        pointNext_ = (pointNext_ + 1) % kChartPoints;
    }
    // The request this answers, if its row is held; those before it got none.
    std::uint64_t requestSeq = kNoPair;
    if (!stray && request != 0) {
        while (!pending_.empty() && pending_.front().request < request)
            pending_.pop_front();
        if (!pending_.empty() && pending_.front().request == request) {
            requestSeq = pending_.front().seq;
            pending_.pop_front();
        }
    }
    if (HeldByPause())
        return;
    const FrameCheck check = CheckFrame(frame);
    const bool error = stray || !check.Sound() || answer.kind == modZeva::AnswerKind::DeviceError
                       || answer.kind == modZeva::AnswerKind::Malformed;
    const std::uint64_t seq = nextSeq_;
    TrafficRow& row = NewRow(TrafficRow::Dir::Rx, arrivedMicros, error);
    row.length = static_cast<std::uint32_t>(frame.size());
    row.bytes.assign(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(std::min(frame.size(), kMaxBytesKept)));
    row.rttMicros = rttMicros ? std::max<std::int64_t>(*rttMicros, 0) : -1;
    row.decoded = check.Sound() || answer.kind == modZeva::AnswerKind::Malformed ? DescribeAnswer(frame, answer, to)
                                                                                 : check.Text();
    if (requestSeq != kNoPair && Held(requestSeq)) {
        row.pair = requestSeq;
        Row(requestSeq).pair = seq;
    }
    Admit(seq);
}

void TrafficModel::SocketEventHappened(client::SocketEvent event, std::string_view detail)
{
    if (HeldByPause())
        return;
    // A connection made is no fault; its loss is.
    const std::uint64_t seq = nextSeq_;
    TrafficRow& row = NewRow(TrafficRow::Dir::Event, clock_.NowMicros(), event != client::SocketEvent::Connected);
    row.length = 0;
    row.bytes.clear();
    row.decoded = DescribeEvent(event, detail);
    Admit(seq);
}

std::uint64_t TrafficModel::ShownBegin() const
{
    return Filtered() ? shownDropped_ : firstSeq_;
}

std::uint64_t TrafficModel::ShownEnd() const
{
    return Filtered() ? shownDropped_ + shownSeqs_.size() : nextSeq_;
}

bool TrafficModel::SeqOf(std::uint64_t ordinal, std::uint64_t* seq) const
{
    if (ordinal < ShownBegin() || ordinal >= ShownEnd())
        return false;
    *seq = Filtered() ? shownSeqs_[static_cast<std::size_t>(ordinal - shownDropped_)] : ordinal;
    return true;
}

int TrafficModel::RowOfSeq(std::uint64_t seq) const
{
    if (!Held(seq))
        return -1;
    std::uint64_t ordinal = seq;
    if (Filtered()) {
        const auto it = std::lower_bound(shownSeqs_.begin(), shownSeqs_.end(), seq);
        if (it == shownSeqs_.end() || *it != seq)
            return -1;
        ordinal = shownDropped_ + static_cast<std::uint64_t>(it - shownSeqs_.begin());
    }
    if (ordinal < toldBegin_ || ordinal >= toldBegin_ + toldCount_)
        return -1;
    return static_cast<int>(ordinal - toldBegin_);
}

const TrafficRow* TrafficModel::RowAt(int row, std::uint64_t* seq) const
{
    std::uint64_t s = 0;
    if (row < 0 || static_cast<std::uint64_t>(row) >= toldCount_ || !SeqOf(toldBegin_ + static_cast<std::uint64_t>(row), &s))
        return nullptr;
    if (seq)
        *seq = s;
    return &Row(s);
}

int TrafficModel::PairRow(int row) const
{
    const TrafficRow* r = RowAt(row);
    return r && r->pair != kNoPair ? RowOfSeq(r->pair) : -1;
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

void TrafficModel::Refilter()
{
    beginResetModel();
    // Ordinals only grow, so that a place in the old list is never taken
    // for one in the new.
    shownDropped_ += shownSeqs_.size();
    shownSeqs_.clear();
    if (Filtered()) {
        for (std::uint64_t seq = firstSeq_; seq < nextSeq_; ++seq) {
            if (Passes(Row(seq)))
                shownSeqs_.push_back(seq);
        }
    }
    toldBegin_ = ShownBegin();
    toldCount_ = ShownEnd() - toldBegin_;
    endResetModel();
}

void TrafficModel::SetErrorsOnly(bool on)
{
    if (on == errorsOnly_)
        return;
    errorsOnly_ = on;
    Refilter();
}

void TrafficModel::SetDirFilter(DirFilter dir)
{
    if (dir == dirFilter_)
        return;
    dirFilter_ = dir;
    Refilter();
}

void TrafficModel::SetTextFilter(const QString& text)
{
    std::string folded = text.toUtf8().toStdString();
    for (char& c : folded) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    if (folded == textFilter_)
        return;
    textFilter_ = std::move(folded);
    textFilterHexLike_ = HexLike(textFilter_);
    Refilter();
}

void TrafficModel::SetTimeFormat(TimeFormat format)
{
    if (format == timeFormat_)
        return;
    timeFormat_ = format;
    if (toldCount_ > 0)
        emit dataChanged(index(0, ColTime), index(static_cast<int>(toldCount_) - 1, ColTime));
}

void TrafficModel::SetPaused(bool on)
{
    if (on == paused_)
        return;
    paused_ = on;
    // The gap in the table is marked where it is; the count stays on the
    // label until Clear.
    if (!on && notShownInPause_ > 0) {
        const std::uint64_t seq = nextSeq_;
        TrafficRow& row = NewRow(TrafficRow::Dir::Event, clock_.NowMicros(), false);
        row.length = 0;
        row.bytes.clear();
        row.decoded = NotShownWhilePaused(notShownInPause_).toStdString();
        Admit(seq);
    }
    notShownInPause_ = 0;
    Changed();
}

void TrafficModel::Clear()
{
    beginResetModel();
    // The rows' storage stays for the rows to come.
    firstSeq_ = nextSeq_;
    numberBase_ = nextSeq_;
    shownDropped_ += shownSeqs_.size();
    shownSeqs_.clear();
    pending_.clear();
    toldBegin_ = ShownBegin();
    toldCount_ = 0;
    notShown_ = 0;
    notShownInPause_ = 0;
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

QString TrafficModel::CellText(int viewRow, int column) const
{
    std::uint64_t seq = 0;
    const TrafficRow* row = RowAt(viewRow, &seq);
    if (!row)
        return {};
    switch (column) {
    case ColNo:
        return QString::number(seq - numberBase_ + 1);
    case ColTime:
        if (timeFormat_ == TimeFormat::SinceFirst) {
            const std::int64_t since = row->micros - Row(firstSeq_).micros;
            return QString::asprintf("%lld.%06lld", static_cast<long long>(since / 1000000),
                                     static_cast<long long>(since % 1000000));
        }
        break;
    case ColDelta: {
        std::uint64_t before = 0;
        if (viewRow == 0 || !SeqOf(toldBegin_ + static_cast<std::uint64_t>(viewRow) - 1, &before))
            return {};
        return Millis(row->micros - Row(before).micros);
    }
    case ColPair:
        return row->pair != kNoPair && row->pair >= numberBase_ ? QString::number(row->pair - numberBase_ + 1)
                                                                : QString();
    default:
        break;
    }
    return ui::CellText(*row, column, openedMicros_, openedWallMs_);
}

QString CellText(const TrafficRow& row, int column, std::int64_t openedMicros, qint64 openedWallMs)
{
    switch (column) {
    case TrafficModel::ColTime:
        return QDateTime::fromMSecsSinceEpoch(openedWallMs + (row.micros - openedMicros) / 1000)
            .toLocalTime()
            .toString(QStringLiteral("HH:mm:ss.zzz"));
    case TrafficModel::ColDir:
        return row.dir == TrafficRow::Dir::Tx   ? QStringLiteral("TX")
               : row.dir == TrafficRow::Dir::Rx ? QStringLiteral("RX")
                                                : QStringLiteral("--");
    case TrafficModel::ColBytes:
        return row.dir == TrafficRow::Dir::Event ? QString() : QString::number(row.length);
    case TrafficModel::ColDecoded:
        return FromUtf8(row.decoded);
    case TrafficModel::ColRtt:
        return row.rttMicros < 0 ? QString() : Millis(row.rttMicros);
    case TrafficModel::ColHex: {
        std::string hex;
        HexText(row, hex);
        QString text = QString::fromLatin1(hex.data(), static_cast<qsizetype>(hex.size()));
        // A frame longer than what a row keeps ends in an ellipsis.
        if (row.length > row.bytes.size())
            text += QStringLiteral(" \u2026");
        return text;
    }
    default:
        return {};
    }
}

QVariant TrafficModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() < 0 || (role != Qt::DisplayRole && role != Qt::TextAlignmentRole))
        return {};
    if (role == Qt::TextAlignmentRole) {
        switch (index.column()) {
        case ColNo: case ColDelta: case ColBytes: case ColRtt: case ColPair:
            return QVariant::fromValue(Qt::Alignment(Qt::AlignRight | Qt::AlignVCenter));
        default:
            return {};
        }
    }
    return CellText(index.row(), index.column());
}

QVariant TrafficModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= kColumns)
        return {};
    return QString::fromLatin1(kColumnNames[section]);
}

TrafficRows TrafficModel::StartCopy() const
{
    TrafficRows copy;
    copy.openedMicros = openedMicros_;
    copy.openedWallMs = openedWallMs_;
    copy.filtered = Filtered();
    if (copy.filtered) {
        // The rows shown now, whatever the filters are by the end of the copy.
        for (std::uint64_t ordinal = toldBegin_; ordinal < toldBegin_ + toldCount_; ++ordinal) {
            std::uint64_t seq = 0;
            if (SeqOf(ordinal, &seq))
                copy.seqs.push_back(seq);
        }
        copy.next = 0;
        copy.end = copy.seqs.size();
    } else {
        copy.next = toldBegin_;
        copy.end = toldBegin_ + toldCount_;
    }
    copy.rows.reserve(static_cast<std::size_t>(copy.end - copy.next));
    return copy;
}

std::uint64_t TrafficModel::NextToCopy(const TrafficRows& copy)
{
    return copy.filtered ? copy.seqs[static_cast<std::size_t>(copy.next)] : copy.next;
}

bool TrafficModel::CopySome(TrafficRows& copy, std::size_t count) const
{
    for (; count > 0 && !copy.Done(); ++copy.next) {
        const std::uint64_t seq = NextToCopy(copy);
        if (!Held(seq))
            continue;
        copy.rows.push_back(Row(seq));
        --count;
    }
    return copy.Done();
}

TrafficRows TrafficModel::CopyRows(const std::vector<int>& rows) const
{
    TrafficRows copy;
    copy.openedMicros = openedMicros_;
    copy.openedWallMs = openedWallMs_;
    for (const int r : rows) {
        if (const TrafficRow* row = RowAt(r))
            copy.rows.push_back(*row);
    }
    return copy;
}

void TrafficModel::ForEachHeld(const std::function<void(const TrafficRow&)>& visit) const
{
    for (std::uint64_t seq = firstSeq_; seq < nextSeq_; ++seq)
        visit(rows_[static_cast<std::size_t>(seq % kMaxRows)]);
}

bool TrafficModel::SaveCsv(const QString& path, QString* error) const
{
    TrafficRows copy = StartCopy();
    CopySome(copy, static_cast<std::size_t>(copy.end - copy.next));
    return WriteCsv(copy, path, error);
}

bool WriteCsv(const TrafficRows& rows, const QString& path, QString* error, const std::atomic<bool>* cancel)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        if (error)
            *error = file.errorString();
        return false;
    }
    QString text;
    for (const int c : TrafficModel::kCsvColumns) {
        if (c != TrafficModel::kCsvColumns[0])
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
    for (std::size_t i = 0; ok && i < rows.rows.size(); ++i) {
        for (const int c : TrafficModel::kCsvColumns) {
            if (c != TrafficModel::kCsvColumns[0])
                text += QLatin1Char(',');
            AppendCsvField(text, CellText(rows.rows[i], c, rows.openedMicros, rows.openedWallMs));
        }
        text += QLatin1String("\r\n");
        if (text.size() > 1 << 16) {
            ok = flush();
            if (cancel && cancel->load(std::memory_order_relaxed)) {
                file.cancelWriting();
                if (error)
                    *error = QStringLiteral("cancelled");
                return false;
            }
        }
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
