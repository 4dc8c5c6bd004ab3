#include "Report.h"

#include <HexText.h>

#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <array>
#include <optional>

namespace cli {

namespace {

using client::Outcome;

// CSV rows reach the file at least this often.
constexpr std::int64_t kCsvFlushMicros = 1'000'000;

QString Q(std::string_view s)
{
    return QString::fromUtf8(s.data(), qsizetype(s.size()));
}

std::string Ms(std::int64_t micros)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", static_cast<double>(micros) / 1000.0);
    return text;
}

std::string Ms(double micros)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", micros / 1000.0);
    return text;
}

std::string Percent(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.4g", value);
    return text;
}

std::string StateOf(const client::ExchangeReport& r)
{
    return r.answer && r.answer->stateText ? *r.answer->stateText : std::string();
}

// send shows the command byte of what came back, as two hex digits.
std::optional<std::string> CommandText(const client::ExchangeReport& r)
{
    const auto command = modZeva::FrameCommand(r.frame);
    if (!command)
        return std::nullopt;
    return modZeva::NumberToHex(*command, 2);
}

template <typename... Parts>
void Append(std::string& line, const Parts&... parts)
{
    (line.append(std::string_view(parts)), ...);
}

// The summary's fields, as --json prints them for a device and variable
// and for the total.
QJsonObject SummaryObject(const client::RunStatistics& s)
{
    QJsonObject o{
        {"sent", qint64(s.sent)},
        {"answered", qint64(s.answered)},
        {"timeouts", qint64(s.timeouts)},
        {"closed", qint64(s.closed)},
        {"retries", qint64(s.retries)},
        {"late", qint64(s.late)},
        {"device_errors", qint64(s.deviceErrors)},
        {"malformed", qint64(s.malformed)},
        {"reconnects", qint64(s.reconnects)},
        {"loss_pct", s.LossPercent()},
    };
    if (s.RttCount() > 0) {
        o.insert(QStringLiteral("min_seq"), int(s.minSeq));
        o.insert(QStringLiteral("max_seq"), int(s.maxSeq));
        o.insert(QStringLiteral("rtt_us"), QJsonObject{
                                               {"min", qint64(s.minMicros)},
                                               {"avg", s.AvgMicros()},
                                               {"max", qint64(s.maxMicros)},
                                               {"mdev", s.MdevMicros()},
                                               {"p50", qint64(s.PercentileMicros(50))},
                                               {"p95", qint64(s.PercentileMicros(95))},
                                               {"p99", qint64(s.PercentileMicros(99))},
                                           });
    } else {
        o.insert(QStringLiteral("rtt_us"), QJsonValue::Null);
    }
    return o;
}

void Put(std::FILE* f, const std::string& line)
{
    std::fwrite(line.data(), 1, line.size(), f);
    std::fflush(f);
}

} // namespace

Report::Report(const Options& options, std::FILE* out, std::FILE* err)
    : options_(options), out_(out), err_(err), unsolicited_(options.devices.size())
{
}

bool Report::OpenCsv(QString* error)
{
    if (options_.csvPath.isEmpty())
        return true;
    std::string reason;
    if (!csv_.Open(QFileInfo(options_.csvPath).filesystemFilePath(), client::CsvFile::Mode::Replace, &reason)) {
        *error = QStringLiteral("cannot write %1: %2").arg(options_.csvPath, QString::fromLocal8Bit(reason.c_str()));
        return false;
    }
    return true;
}

bool Report::Shows(std::size_t device, std::int64_t nowMicros)
{
    Unsolicited& u = unsolicited_[device];
    if (nowMicros - u.since >= 1'000'000) {
        NotShownLine(device);
        u.since = nowMicros;
        u.shown = 0;
    }
    if (u.shown < kUnsolicitedPerSecond) {
        ++u.shown;
        return true;
    }
    ++u.notShown;
    return false;
}

void Report::NotShownLine(std::size_t device)
{
    Unsolicited& u = unsolicited_[device];
    if (u.notShown == 0)
        return;
    const std::uint64_t count = u.notShown;
    u.notShown = 0;
    if (options_.quiet)
        return;
    if (options_.json) {
        line_ = QJsonDocument(QJsonObject{{"device", QString::fromStdString(options_.devices[device].label)},
                                          {"late_not_shown", qint64(count)}})
                    .toJson(QJsonDocument::Compact)
                    .toStdString();
        line_ += '\n';
    } else {
        line_.clear();
        if (options_.Many())
            Append(line_, options_.devices[device].label, " ");
        Append(line_, "late: ", std::to_string(count), " answers not shown\n");
    }
    Put(out_, line_);
}

void Report::FlushNotShown()
{
    for (std::size_t d = 0; d < unsolicited_.size(); ++d)
        NotShownLine(d);
}

void Report::Exchange(std::size_t device, const client::ExchangeReport& report, std::int64_t nowMicros)
{
    // An answer not taken comes whenever the device sends one, as fast as
    // it likes: past the bound it is counted, not shown.
    const bool unsolicited = report.outcome == Outcome::Late
        || (report.outcome == Outcome::Malformed && !report.rttMicros);
    if (unsolicited && !Shows(device, nowMicros))
        return;
    if (!unsolicited && nowMicros - unsolicited_[device].since >= 1'000'000)
        NotShownLine(device);
    const WallTime when = std::chrono::system_clock::now();
    if (csv_.IsOpen())
        CsvRow(device, report, nowMicros, when);
    if (options_.quiet)
        return;
    if (options_.json)
        JsonLine(device, report, when);
    else
        TextLine(device, report, when);
}

void Report::TextLine(std::size_t device, const client::ExchangeReport& r, WallTime when)
{
    std::string& l = line_;
    char stamp[48] = "";
    if (options_.timestamps) {
        // As ping -D: "[1765190000.123456] "
        const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(when.time_since_epoch()).count();
        std::snprintf(stamp, sizeof stamp, "[%lld.%06lld] ", static_cast<long long>(micros / 1000000),
                      static_cast<long long>(micros % 1000000));
    }
    l = stamp;
    // "127.0.0.1:2004 %MW0 " when there is more than one of either.
    std::string prefix;
    if (options_.Many())
        prefix = options_.devices[device].label + ' ' + options_.variables[r.variable].label.toStdString() + ' ';
    l += prefix;
    const bool send = options_.request.command == client::Command::Send;
    if (send) {
        if (const auto command = CommandText(r))
            Append(l, "cmd=", *command, " ");
    }
    const modZeva::Answer* a = r.answer;
    switch (r.outcome) {
    case Outcome::Answer:
        if (a->kind == modZeva::AnswerKind::Read || a->kind == modZeva::AnswerKind::Status)
            Append(l, "value=", Shown(*a));
        else
            l += "done";
        break;
    case Outcome::DeviceError: Append(l, "error=", std::to_string(a->errorCode)); break;
    case Outcome::Malformed: l += "malformed"; break;
    case Outcome::Timeout: l += "timeout"; break;
    case Outcome::Closed: l += "closed"; break;
    case Outcome::Late:
        l += "late";
        if (a->kind == modZeva::AnswerKind::Read || a->kind == modZeva::AnswerKind::Status)
            Append(l, " value=", Shown(*a));
        break;
    }
    if (r.answer && r.answer->stateText)
        Append(l, " state=", *r.answer->stateText);
    if (r.rttMicros)
        Append(l, " time=", Ms(*r.rttMicros), " ms");
    if (r.seq)
        Append(l, " seq=", std::to_string(*r.seq));
    if (r.retries > 0)
        Append(l, " retries=", std::to_string(r.retries));
    if (r.outcome == Outcome::Malformed)
        Append(l, " bytes=", std::to_string(r.bytes));
    if (r.outcome == Outcome::DeviceError)
        Append(l, " ", modZeva::ErrorText(a->errorCode));
    else if (r.outcome == Outcome::Malformed)
        Append(l, " ", modZeva::kTextMalformed);
    else if (r.outcome == Outcome::Closed)
        Append(l, " ", r.reason);
    l += '\n';
    if (send && !r.frame.empty())
        Append(l, stamp, prefix, "hex=", modZeva::BytesToHex(r.frame), "\n");
    Put(out_, l);
}

void Report::JsonLine(std::size_t device, const client::ExchangeReport& r, WallTime when)
{
    QJsonObject o;
    o.insert(QStringLiteral("time"), QString::fromStdString(client::IsoTime(when)));
    o.insert(QStringLiteral("device"), QString::fromStdString(options_.devices[device].label));
    o.insert(QStringLiteral("var"), options_.variables[r.variable].label);
    if (options_.request.command == client::Command::Send) {
        if (const auto command = CommandText(r))
            o.insert(QStringLiteral("cmd"), QString::fromStdString(*command));
        if (!r.frame.empty())
            o.insert(QStringLiteral("hex"), QString::fromStdString(modZeva::BytesToHex(r.frame)));
    }
    if (r.seq)
        o.insert(QStringLiteral("seq"), int(*r.seq));
    if (r.rttMicros)
        o.insert(QStringLiteral("rtt_us"), qint64(*r.rttMicros));
    if (r.retries > 0)
        o.insert(QStringLiteral("retries"), r.retries);
    if (r.answer && r.answer->stateText)
        o.insert(QStringLiteral("state"), Q(*r.answer->stateText));
    const modZeva::Answer* a = r.answer;
    switch (r.outcome) {
    case Outcome::Answer: o.insert(QStringLiteral("value"), Q(a->valueText)); break;
    case Outcome::DeviceError:
        o.insert(QStringLiteral("error"), int(a->errorCode));
        o.insert(QStringLiteral("text"), Q(modZeva::ErrorText(a->errorCode)));
        break;
    case Outcome::Malformed:
        o.insert(QStringLiteral("malformed"), true);
        o.insert(QStringLiteral("bytes"), qint64(r.bytes));
        break;
    case Outcome::Timeout: o.insert(QStringLiteral("timeout"), true); break;
    case Outcome::Closed: o.insert(QStringLiteral("closed"), true); break;
    case Outcome::Late:
        o.insert(QStringLiteral("late"), true);
        if (a->kind == modZeva::AnswerKind::Read || a->kind == modZeva::AnswerKind::Status)
            o.insert(QStringLiteral("value"), Q(a->valueText));
        break;
    }
    if (o.contains(QStringLiteral("value")) && a->kind == modZeva::AnswerKind::Read
        && options_.format != modZeva::ValueFormat::Hex)
        o.insert(QStringLiteral("formatted"), Q(Shown(*a)));
    line_ = QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString();
    line_ += '\n';
    Put(out_, line_);
}

std::string Report::Shown(const modZeva::Answer& a) const
{
    return a.kind == modZeva::AnswerKind::Read ? modZeva::FormatHexValue(a.valueText, options_.format) : a.valueText;
}

void Report::CsvRow(std::size_t device, const client::ExchangeReport& r, std::int64_t nowMicros, WallTime when)
{
    client::ExchangeRow row;
    row.device = options_.devices[device].label;
    row.variable = options_.variables[r.variable].label.toStdString();
    row.when = when;
    row.seq = r.seq.value_or(0);
    row.rttMicros = r.rttMicros;
    row.outcome = r.outcome;
    row.state = StateOf(r);
    if (r.outcome == Outcome::DeviceError)
        row.value = std::to_string(r.answer->errorCode);
    else if (r.answer && (r.outcome == Outcome::Answer || r.outcome == Outcome::Late))
        row.value = r.answer->valueText;
    client::AppendCsvRow(csvRows_, row);
    if (nowMicros - csvFlushed_ >= kCsvFlushMicros) {
        Flush();
        csvFlushed_ = nowMicros;
    }
}

void Report::Flush()
{
    if (!csv_.IsOpen() || csvRows_.empty())
        return;
    std::string reason;
    if (!csv_.Write(csvRows_, &reason)) {
        Put(err_, QStringLiteral("zeva: writing %1 failed (%2); no more CSV rows are written\n")
                      .arg(options_.csvPath, QString::fromLocal8Bit(reason.c_str()))
                      .toLocal8Bit()
                      .toStdString());
    }
    csvRows_.clear();
}

void Report::Frame(std::size_t device, std::size_t variable, bool sent, std::span<const std::uint8_t> frame,
                   std::int64_t micros)
{
    std::string& l = line_;
    char stamp[48];
    const std::int64_t t = micros - start_;
    std::snprintf(stamp, sizeof stamp, "[%lld.%06lld] ", static_cast<long long>(t / 1000000),
                  static_cast<long long>(t % 1000000));
    l = stamp;
    if (options_.Many())
        Append(l, options_.devices[device].label, " ", options_.variables[variable].label.toStdString(), " ");
    l += sent ? "send" : "recv";
    if (const auto seq = modZeva::FrameSequence(frame))
        Append(l, " seq=", std::to_string(*seq));
    if (const auto command = modZeva::FrameCommand(frame)) {
        Append(l, " cmd=", modZeva::NumberToHex(*command, 2));
    }
    if (!sent) {
        const modZeva::Answer a = modZeva::DecodeResponse(
            frame, client::Engine::AnswerDataSize(options_.variables[variable].request, frame));
        if (a.stateText)
            Append(l, " state=", *a.stateText);
        switch (a.kind) {
        case modZeva::AnswerKind::Read:
        case modZeva::AnswerKind::Status: Append(l, " value=", a.valueText); break;
        case modZeva::AnswerKind::DeviceError: Append(l, " error=", std::to_string(a.errorCode)); break;
        case modZeva::AnswerKind::Malformed: l += " malformed"; break;
        case modZeva::AnswerKind::Other: break;
        }
    }
    Append(l, " | ", modZeva::BytesToHex(frame, ' '), "\n");
    Put(err_, l);
}

void Report::Summary(const std::vector<const client::Engine*>& engines, std::FILE* to)
{
    if (!to) {
        FlushNotShown();
        to = out_;
    }
    if (!options_.Many()) {
        SingleSummary(engines.front()->Stats(), to);
        return;
    }
    // The total merges every histogram; a device's connections made again
    // are counted once, not once a variable.
    client::RunStatistics total;
    std::uint64_t reconnects = 0;
    for (const client::Engine* engine : engines) {
        for (std::size_t v = 0; v < engine->Variables(); ++v)
            total.Merge(engine->Stats(v));
        reconnects += engine->Stats().reconnects;
    }
    total.reconnects = reconnects;
    if (!options_.json) {
        Table(engines, total, to);
        return;
    }
    for (std::size_t d = 0; d < engines.size(); ++d) {
        for (std::size_t v = 0; v < engines[d]->Variables(); ++v) {
            QJsonObject o = SummaryObject(engines[d]->Stats(v));
            o.insert(QStringLiteral("device"), QString::fromStdString(options_.devices[d].label));
            o.insert(QStringLiteral("var"), options_.variables[v].label);
            line_ = QJsonDocument(QJsonObject{{"summary", o}}).toJson(QJsonDocument::Compact).toStdString();
            line_ += '\n';
            Put(to, line_);
        }
    }
    line_ = QJsonDocument(QJsonObject{{"total", SummaryObject(total)}}).toJson(QJsonDocument::Compact).toStdString();
    line_ += '\n';
    Put(to, line_);
}

void Report::Table(const std::vector<const client::Engine*>& engines, const client::RunStatistics& total,
                   std::FILE* to)
{
    using Row = std::array<std::string, 15>;
    std::vector<Row> rows;
    rows.push_back(Row{"DEVICE", "VARIABLE", "SENT", "ANSWERED", "TIMEOUTS", "CLOSED", "LATE", "ERRORS", "RECONNECTS",
                       "LOSS%", "MIN", "AVG", "P50", "P99", "MAX"});
    const auto add = [&rows](std::string device, std::string variable, const client::RunStatistics& s) {
        const bool timed = s.RttCount() > 0;
        const auto time = [timed](auto micros) { return timed ? Ms(micros) : std::string("-"); };
        rows.push_back(Row{std::move(device), std::move(variable), std::to_string(s.sent), std::to_string(s.answered),
                           std::to_string(s.timeouts), std::to_string(s.closed), std::to_string(s.late),
                           std::to_string(s.deviceErrors + s.malformed), std::to_string(s.reconnects),
                           Percent(s.LossPercent()),
                           time(s.minMicros), time(s.AvgMicros()), time(s.PercentileMicros(50)),
                           time(s.PercentileMicros(99)), time(s.maxMicros)});
    };
    for (std::size_t d = 0; d < engines.size(); ++d) {
        for (std::size_t v = 0; v < engines[d]->Variables(); ++v)
            add(options_.devices[d].label, options_.variables[v].label.toStdString(), engines[d]->Stats(v));
    }
    add("total", "*", total);

    std::array<std::size_t, 15> width{};
    for (const Row& row : rows) {
        for (std::size_t c = 0; c < row.size(); ++c)
            width[c] = std::max(width[c], row[c].size());
    }
    const std::size_t devices = engines.size();
    const std::size_t variables = options_.variables.size();
    std::string& l = line_;
    l.clear();
    Append(l, "--- ", std::to_string(devices), devices == 1 ? " device, " : " devices, ", std::to_string(variables),
           variables == 1 ? " variable, " : " variables, ",
           options_.run.protocol == platform::Protocol::Udp ? "udp" : "tcp", " ---\n");
    for (const Row& row : rows) {
        for (std::size_t c = 0; c < row.size(); ++c) {
            l += row[c];
            if (c + 1 < row.size())
                l.append(width[c] - row[c].size() + 2, ' ');
        }
        l += '\n';
    }
    Put(to, l);
}

void Report::SingleSummary(const client::RunStatistics& s, std::FILE* to)
{
    const double loss = s.LossPercent();
    const bool timed = s.RttCount() > 0;
    if (options_.json) {
        QJsonObject o = SummaryObject(s);
        o.insert(QStringLiteral("device"), QString::fromStdString(options_.devices.front().label));
        o.insert(QStringLiteral("var"), options_.label);
        line_ = QJsonDocument(QJsonObject{{"summary", o}}).toJson(QJsonDocument::Compact).toStdString();
        line_ += '\n';
        Put(to, line_);
        return;
    }
    std::string& l = line_;
    l.clear();
    Append(l, "--- ", options_.run.host, options_.run.protocol == platform::Protocol::Udp ? " udp " : " tcp ",
           options_.label.toStdString(), " ---\n");
    Append(l, std::to_string(s.sent), " sent, ", std::to_string(s.answered), " answered, ",
           std::to_string(s.timeouts), " timeouts, ", std::to_string(s.closed), " closed, ",
           std::to_string(s.retries), " retries, ", std::to_string(s.late),
           " late, ", std::to_string(s.deviceErrors), " device errors, ", std::to_string(s.malformed),
           " malformed, ", std::to_string(s.reconnects), " reconnects, ", Percent(loss), "% loss\n");
    if (timed) {
        Append(l, "rtt min/avg/max/mdev = ", Ms(s.minMicros), "/", Ms(s.AvgMicros()), "/", Ms(s.maxMicros), "/",
               Ms(s.MdevMicros()), " ms (min seq ", std::to_string(s.minSeq), ", max seq ",
               std::to_string(s.maxSeq), ")\n");
        Append(l, "p50/p95/p99 = ", Ms(s.PercentileMicros(50)), "/", Ms(s.PercentileMicros(95)), "/",
               Ms(s.PercentileMicros(99)), " ms\n");
    }
    Put(to, l);
}

} // namespace cli
