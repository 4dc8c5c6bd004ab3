#include "Options.h"

#include <DataType.h>
#include <ExchangeCsv.h>
#include <HexText.h>
#include <HostAddress.h>
#include <Requests.h>
#include <Wire.h>

#include <ProgramHelp.h>

#include <QCommandLineParser>
#include <QFile>

#include <cctype>
#include <cmath>
#include <limits>

namespace cli {

namespace {

constexpr std::uint16_t kTcpPort = 2004;
constexpr std::uint16_t kUdpPort = 2005;

// Decimal digits only, leading zeros taken; min is 0 or more.
std::optional<qint64> WholeNumber(const QString& text, qint64 min, qint64 max)
{
    const auto v = modZeva::ParseWhole(text.toStdString(), std::uint64_t(min), std::uint64_t(max));
    return v ? std::optional<qint64>(qint64(*v)) : std::nullopt;
}

std::optional<double> Decimal(const QString& text, double min, double max)
{
    bool ok = false;
    const double v = text.toDouble(&ok);
    if (!ok || !std::isfinite(v) || v < min || v > max)
        return std::nullopt;
    return v;
}

// Enough for a run of a century in microseconds, far below overflow.
constexpr double kMaxSeconds = 3.2e9;
constexpr qint64 kMaxMs = std::numeric_limits<int>::max();

const QString kCommands = QStringLiteral(
    "Commands:\n"
    "  read VARIABLE...         read variables once (or --count rounds)\n"
    "  write VARIABLE VALUE     write a value given as --format shows it (default\n"
    "                           hexadecimal, most significant digit first)\n"
    "  status                   ask the device for its status (20 bytes)\n"
    "  poll VARIABLE...         read over and over until --count, --duration or Ctrl-C\n"
    "  send HEX...              send a frame built around the given body bytes\n"
    "\n"
    "VARIABLE is a direct address such as %MW0, whose third character gives its\n"
    "type (X bit, B byte, W word, D dword, L lword), or a named variable such as\n"
    "SPEED with its type as SPEED:WORD, or from --type. Names are upper-cased\n"
    "before use. A round reads each variable once, in the order given, from\n"
    "every device at once; one request is outstanding per device at a time.\n"
    "HEX is bytes in wire order, two hexadecimal digits each, with spaces or\n"
    "colons allowed between bytes; several arguments are joined. send puts the\n"
    "header around them (at most 65535 bytes); with --raw they are the whole\n"
    "frame, sent as they are.");

const QString kEpilogue = QStringLiteral(
    "\n"
    "Output:\n"
    "  One line per exchange on standard output: the value as --format shows it\n"
    "  (status data always in hexadecimal, 40 digits), the state word, the\n"
    "  round trip in ms and the sequence number, for example\n"
    "    value=1234 state=0000 time=0.087 ms seq=1\n"
    "  A device error shows its code and the device's message; \"timeout\" a\n"
    "  request that got no answer in time; \"late\" an answer to an earlier\n"
    "  request, which is counted and never taken as the current answer;\n"
    "  \"malformed\" an answer that cannot be read, or bytes that never became\n"
    "  a whole frame (bytes=N, reported when the request times out); \"closed\"\n"
    "  a request lost with its TCP connection.\n"
    "  With more than one device or variable, every line starts with the\n"
    "  device and the variable:\n"
    "    127.0.0.1:2004 %MW0 value=1234 state=0000 time=0.087 ms seq=1\n"
    "  A device that cannot be reached loses each round's requests (\"closed\")\n"
    "  and is tried again at most once a second; the others go on.\n"
    "  poll, and any run with --count or --duration, goes on when the device\n"
    "  closes the TCP connection: the next request connects again. A request\n"
    "  outstanding at the close is lost (\"closed\"); while no connection can\n"
    "  be made, each round's request is lost and a new connection is tried at\n"
    "  most once a second. A single read, write, status or send ends at the close.\n"
    "  poll, and any run with --count or --duration or ended by Ctrl-C, ends with\n"
    "  a summary:\n"
    "    --- 127.0.0.1 tcp %MW0 ---\n"
    "    10 sent, 10 answered, 0 timeouts, 0 closed, 0 retries, 0 late,\n"
    "    0 device errors, 0 malformed, 0 reconnects, 0% loss\n"
    "    rtt min/avg/max/mdev = 0.071/0.090/0.142/0.019 ms (min seq 4, max seq 1)\n"
    "    p50/p95/p99 = 0.085/0.142/0.142 ms\n"
    "  With more than one device or variable the summary is a table, a row per\n"
    "  device and variable and a last row, total, for the whole run:\n"
    "    --- 2 devices, 1 variable, tcp ---\n"
    "    DEVICE          VARIABLE  SENT  ANSWERED  TIMEOUTS  CLOSED  LATE  ERRORS  RECONNECTS  LOSS%  MIN    AVG    P50    P99    MAX\n"
    "    127.0.0.1:2004  %MW0      10    10        0         0       0     0       0           0      0.081  0.090  0.087  0.142  0.142\n"
    "    127.0.0.1:2005  %MW0      10    10        0         0       0     0       0           0      0.079  0.092  0.088  0.150  0.161\n"
    "    total           *         20    20        0         0       0     0       0           0      0.079  0.091  0.088  0.150  0.161\n"
    "  (CLOSED: requests lost with their connection, so that SENT is ANSWERED +\n"
    "  TIMEOUTS + CLOSED; ERRORS: device errors and malformed answers; a time is\n"
    "  - when nothing was answered; total's percentiles are over every answer of\n"
    "  the run). A device shows at most 100 late or unsolicited answers a second,\n"
    "  then one line a second, late: N answers not shown ({\"late_not_shown\":N}\n"
    "  in JSON); the summary counts them all.\n"
    "  A request and the copies sent again for it count once; over UDP the\n"
    "  answer to any copy is the answer, timed from that copy's send. Answered\n"
    "  counts every answer taken, device errors and malformed answers included;\n"
    "  a request lost with its connection counts as sent; loss is the share of\n"
    "  requests sent that got no answer; reconnects counts the connections made\n"
    "  after the first. A request still outstanding at Ctrl-C is not counted,\n"
    "  nor are the copies sent for it.\n"
    "  --json prints instead one JSON object per line, per exchange\n"
    "    {\"time\":\"2026-12-08T02:28:27.123456Z\",\"seq\":1,\"rtt_us\":87,\"state\":\"0000\",\"value\":\"1234\"}\n"
    "  (\"value\" always hexadecimal; with a --format other than hex,\n"
    "  \"formatted\" is the value as the text line shows it),\n"
    "  with \"error\" and \"text\" for a device error, \"timeout\":true,\n"
    "  \"late\":true, \"closed\":true or \"malformed\":true with \"bytes\":N, and\n"
    "  last, always, the summary\n"
    "    {\"summary\":{\"sent\":N,\"answered\":N,\"timeouts\":N,\"closed\":N,\"retries\":N,\"late\":N,\n"
    "     \"device_errors\":N,\"malformed\":N,\"reconnects\":N,\"loss_pct\":X,\n"
    "     \"min_seq\":N,\"max_seq\":N,\n"
    "     \"rtt_us\":{\"min\":N,\"avg\":X,\"max\":N,\"mdev\":X,\"p50\":N,\"p95\":N,\"p99\":N}}}\n"
    "  (\"rtt_us\" is null when nothing was answered). Every object carries\n"
    "  \"device\" and \"var\"; with more than one device or variable a summary\n"
    "  comes for each, then a last {\"total\":{...}} with the same fields.\n"
    "  send shows the answer's command byte first, then the answer as read\n"
    "  shows it (the value by the size the answer states), and every frame\n"
    "  received on a second line in hexadecimal:\n"
    "    cmd=B1 value=14131211100F0E0D0C0B0A090807060504030201 state=0000 time=0.087 ms seq=1\n"
    "    hex=564F524E2D4B454C54550000001101001E000027B10000000000000014000102...\n"
    "  JSON adds \"cmd\" and \"hex\". With --raw, the first frame back is the\n"
    "  answer, whatever its sequence number.\n"
    "  --csv writes one row per exchange:\n"
    "    time,seq,rtt_us,outcome,state,value,device,variable\n"
    "  (time in UTC, ISO 8601 with microseconds; outcome answer, device_error,\n"
    "  malformed, timeout, late or closed; value the error code for a device\n"
    "  error; device HOST:PORT).\n"
    "  --pcap writes every frame as a packet between the connection's own\n"
    "  addresses and ports, time-stamped as --trace does, flushed every second;\n"
    "  a failed write (a full disk) ends the capture, not the run.\n"
    "\n"
    "Exit status:\n"
    "  0  every exchange answered without error (or at least one answered when\n"
    "     others timed out and no --max-loss was given)\n"
    "  1  at least one device error or malformed answer\n"
    "  2  usage error, or input refused (nothing is sent)\n"
    "  3  transport failure: no connection, connection closed by the device,\n"
    "     a request lost to a closed or refused connection, or no answer at all\n"
    "  4  --max-rtt or --max-loss exceeded\n"
    "  With several, the highest over every device and variable applies. Ctrl-C or SIGTERM ends any command\n"
    "  after printing the summary; SIGQUIT prints the summary so far on standard\n"
    "  error and the run goes on.\n"
    "\n"
    "Examples:\n"
    "  zeva read %MW0\n"
    "  zeva -t WORD write SPEED 1F4\n"
    "  zeva -f signed write %MW0 -- -2\n"
    "  zeva -f float poll %MD10 -c 3\n"
    "  zeva -u --retries 2 status\n"
    "  zeva send B0 00 00 00 00 00\n"
    "  zeva poll %MD10 -i 100 -w 60 --max-loss 1 --max-rtt 50 --csv run.csv\n"
    "  zeva -H 127.0.0.1:2004-2013 -i 100 -w 60 -q poll %MW0 %MD10 SPEED:WORD\n");

struct OptionSet {
    QCommandLineOption host{{"H", "host"}, "Device: HOST, HOST:PORT, [IPv6]:PORT or HOST:FIRST-LAST (one device on each port of the range); HOST is an IPv4 or IPv6 address or a host name. May be given many times; all devices are polled at once (default 127.0.0.1).", "DEVICE"};
    QCommandLineOption hosts{"hosts", "Read devices from FILE, one a line in the syntax of --host; # starts a comment, blank lines are skipped.", "FILE"};
    QCommandLineOption udp{{"u", "udp"}, "Use UDP (default TCP)."};
    QCommandLineOption port{{"p", "port"}, "Port of a device named without one (default 2004 for TCP, 2005 for UDP).", "N"};
    QCommandLineOption type{{"t", "type"}, "Type of a named variable given without :TYPE: BIT, BYTE, WORD, DWORD or LWORD.", "TYPE"};
    QCommandLineOption timeout{"timeout", "Response timeout (default 1000).", "MS", "1000"};
    QCommandLineOption connectTimeout{"connect-timeout", "TCP connect timeout (default 3000).", "MS", "3000"};
    QCommandLineOption retries{"retries", "UDP only: send a timed-out request again up to N times, each with a fresh sequence number (default 0).", "N", "0"};
    QCommandLineOption count{{"c", "count"}, "Number of rounds; a round reads every variable once (read, write, status, send: default 1; poll: no limit).", "N"};
    QCommandLineOption duration{{"w", "duration"}, "Start no round after this many seconds.", "SECONDS"};
    QCommandLineOption interval{{"i", "interval"}, "Period from one round's start to the next; 0 starts the next round as soon as the last answer is in (default 0). A longer round is followed at once, without catching up.", "MS", "0"};
    QCommandLineOption quiet{{"q", "quiet"}, "No line per exchange; only the summary."};
    QCommandLineOption json{"json", "JSON objects instead of text lines."};
    QCommandLineOption timestamps{"D", "Start each exchange's line with the time it was received: [Unix time in seconds with microseconds]."};
    QCommandLineOption trace{"trace", "Every frame sent and received on standard error: time on the monotonic clock, decoded fields and hex."};
    QCommandLineOption format{{"f", "format"}, "How values are shown and how write reads its value: hex (default, most significant digit first), unsigned or signed (decimal), float (DWORD: IEEE 754 binary32, LWORD: binary64; no other type) or binary (most significant bit first, groups of four joined by _, which write may leave out).", "FORMAT", "hex"};
    QCommandLineOption csv{"csv", "Write one row per exchange to FILE.", "FILE"};
    QCommandLineOption pcap{"pcap", "Write every frame sent and received to FILE as a capture (pcapng) that capture tools open.", "FILE"};
    QCommandLineOption maxRtt{"max-rtt", "Exit status 4 when the largest round trip exceeds MS.", "MS"};
    QCommandLineOption maxLoss{"max-loss", "Exit status 4 when the loss exceeds PCT percent.", "PCT"};
    QCommandLineOption raw{"raw", "send: the bytes are the whole frame, sent exactly as given, without a header built."};
    QCommandLineOption help{{"h", "help"}, "Show this help."};
    QCommandLineOption version{"version", "Show the version."};

    // The parser that knows them all, in the order --help lists them.
    QCommandLineParser parser;

    OptionSet()
    {
        QCommandLineParser& p = parser;
        p.setSingleDashWordOptionMode(QCommandLineParser::ParseAsCompactedShortOptions);
        p.setApplicationDescription(QStringLiteral(
            "Reads, writes and polls PLC variables of one device or many at once, or\n"
            "asks for a device's status, and measures every exchange.\n\n") + kCommands);
        p.addOptions({host, hosts, udp, port, type, timeout, connectTimeout, retries, count, duration, interval, quiet,
                      json, timestamps, trace, format, csv, maxRtt, maxLoss, raw, help, version});
        p.addOption(pcap);
        p.addPositionalArgument("COMMAND", "read, write, status, poll or send (see Commands).",
                                "COMMAND [VARIABLE [VALUE] | HEX...]");
    }
};

// Why a request cannot be sent, in the program's own words; the window has
// its own texts for the same refusals.
QString RefusalMessage(modZeva::SendResult result)
{
    switch (result) {
    case modZeva::SendResult::NotHex: return QStringLiteral("the value is not hexadecimal");
    case modZeva::SendResult::TooLongForType: return QStringLiteral("the value is longer than its type holds");
    case modZeva::SendResult::BodyTooLong: return QStringLiteral("the request is longer than a frame may be");
    case modZeva::SendResult::BadNameChar: return QStringLiteral("the name holds a character that cannot be sent");
    case modZeva::SendResult::Empty:
    case modZeva::SendResult::Sent: break;
    }
    return QStringLiteral("the request cannot be sent");
}

// Whether hex text, most significant digit first, is more than 1; false
// for text that is not hex, which the request builder refuses itself.
bool AboveOne(const std::string& hex)
{
    bool above = false;
    for (std::size_t i = 0; i < hex.size(); ++i) {
        const char c = hex[i];
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
        if (c != '0' && (i + 1 < hex.size() || c != '1'))
            above = true;
    }
    return above;
}

// Longer files are no list of devices.
constexpr qint64 kMaxHostsFile = 16 * 1024 * 1024;

bool ReadHostsFile(const QString& path, std::uint16_t port, std::vector<Device>& out, QString* error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    if (file.size() > kMaxHostsFile) {
        *error = QStringLiteral("%1: longer than %2 bytes").arg(path).arg(kMaxHostsFile);
        return false;
    }
    const QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    for (qsizetype i = 0; i < lines.size(); ++i) {
        QString line = lines[i];
        const qsizetype hash = line.indexOf(QLatin1Char('#'));
        if (hash >= 0)
            line.truncate(hash);
        line = line.trimmed();
        if (line.isEmpty())
            continue;
        QString why;
        if (!ParseDevices(line, port, out, &why)) {
            *error = QStringLiteral("%1:%2: bad device '%3': %4").arg(path).arg(i + 1).arg(line, why);
            return false;
        }
    }
    return true;
}

Parsed Usage(const QString& message)
{
    return Parsed{Parsed::UsageError, {}, message};
}

} // namespace

bool ParseDevices(const QString& given, std::uint16_t port, std::vector<Device>& out, QString* error)
{
    std::string why;
    const auto parsed = client::ParseHostPort(given.trimmed().toStdString(),
                                              {.port = port,
                                               .portZeros = modZeva::LeadingZeros::Allowed,
                                               .portRange = true,
                                               .bareIpv6 = true,
                                               .zone = true},
                                              &why);
    if (!parsed) {
        *error = QString::fromStdString(why);
        return false;
    }
    for (std::uint32_t p = parsed->port; p <= parsed->lastPort; ++p) {
        const auto n = static_cast<std::uint16_t>(p);
        out.push_back(Device{parsed->hostText, n, client::DeviceText(parsed->hostText, n)});
    }
    return true;
}

QString HelpText()
{
    return platform::HelpText(OptionSet().parser, QStringLiteral("zeva")) + kEpilogue;
}

Parsed ParseArguments(const QStringList& args)
{
    OptionSet options;
    QCommandLineParser& parser = options.parser;
    if (!parser.parse(args))
        return Usage(parser.errorText());

    Parsed result;
    if (parser.isSet(options.help) || parser.isSet(options.version)) {
        result.kind = parser.isSet(options.help) ? Parsed::Help : Parsed::Version;
        return result;
    }

    Options& o = result.options;
    client::RunSettings& run = o.run;
    client::Request& request = o.request;

    const QStringList words = parser.positionalArguments();
    if (words.isEmpty())
        return Usage(QStringLiteral("no command given"));
    const QString command = words.front();
    const qsizetype wanted = command == QLatin1String("write") ? 3
        : command == QLatin1String("status") ? 1
        : command == QLatin1String("read") || command == QLatin1String("poll") ? 2
        : command == QLatin1String("send") ? 0 : -1;
    if (wanted < 0)
        return Usage(QStringLiteral("unknown command '%1'").arg(command));
    const bool send = wanted == 0;
    if (send && words.size() < 2)
        return Usage(QStringLiteral("usage: send HEX..."));
    const bool reads = wanted == 2;
    if (!send && (reads ? words.size() < wanted : words.size() != wanted)) {
        return Usage(command == QLatin1String("write") ? QStringLiteral("usage: write VARIABLE VALUE")
                     : command == QLatin1String("status") ? QStringLiteral("status takes no arguments")
                                                          : QStringLiteral("usage: %1 VARIABLE...").arg(command));
    }

    // Numbers.
    const auto whole = [&](const QCommandLineOption& option, qint64 min, qint64 max, qint64* out) -> bool {
        if (!parser.isSet(option))
            return true;
        const auto v = WholeNumber(parser.value(option), min, max);
        if (v)
            *out = *v;
        return v.has_value();
    };
    const auto decimal = [&](const QCommandLineOption& option, double min, double max, std::optional<double>* out) {
        if (!parser.isSet(option))
            return true;
        *out = Decimal(parser.value(option), min, max);
        return out->has_value();
    };
    const auto bad = [&](const QCommandLineOption& option, const QString& expected) {
        return Usage(QStringLiteral("bad --%1 '%2': expected %3")
                         .arg(option.names().constLast(), parser.value(option), expected));
    };

    run.protocol = parser.isSet(options.udp) ? platform::Protocol::Udp : platform::Protocol::Tcp;
    const bool udp = run.protocol == platform::Protocol::Udp;

    qint64 port = udp ? kUdpPort : kTcpPort;
    if (!whole(options.port, 1, 65535, &port))
        return bad(options.port, QStringLiteral("1 to 65535"));

    // The devices: those of --host in order, then those of --hosts.
    QString deviceError;
    for (const QString& text : parser.values(options.host)) {
        if (!ParseDevices(text, static_cast<std::uint16_t>(port), o.devices, &deviceError))
            return Usage(QStringLiteral("bad --host '%1': %2").arg(text, deviceError));
    }
    if (parser.isSet(options.hosts) && !ReadHostsFile(parser.value(options.hosts), static_cast<std::uint16_t>(port), o.devices, &deviceError))
        return Usage(deviceError);
    if (o.devices.empty() && !parser.isSet(options.hosts))
        ParseDevices(QStringLiteral("127.0.0.1"), static_cast<std::uint16_t>(port), o.devices, &deviceError);
    if (o.devices.empty())
        return Usage(QStringLiteral("%1 names no device").arg(parser.value(options.hosts)));
    run.host = o.devices.front().host;
    run.port = o.devices.front().port;

    qint64 timeoutMs = 1000, connectMs = 3000, retries = 0;
    if (!whole(options.timeout, 1, kMaxMs, &timeoutMs))
        return bad(options.timeout, QStringLiteral("1 to %1").arg(kMaxMs));
    if (!whole(options.connectTimeout, 1, kMaxMs, &connectMs))
        return bad(options.connectTimeout, QStringLiteral("1 to %1").arg(kMaxMs));
    if (!whole(options.retries, 0, 1000, &retries))
        return bad(options.retries, QStringLiteral("0 to 1000"));
    if (retries > 0 && !udp)
        return Usage(QStringLiteral("--retries is for UDP (-u); over TCP a timed-out request is not sent again"));
    run.responseTimeoutUs = timeoutMs * 1000;
    run.connectTimeoutUs = connectMs * 1000;
    run.retries = static_cast<int>(retries);

    qint64 count = 0;
    if (!whole(options.count, 1, std::numeric_limits<qint64>::max(), &count))
        return bad(options.count, QStringLiteral("a whole number from 1"));
    std::optional<double> seconds, intervalMs;
    if (!decimal(options.duration, 0, kMaxSeconds, &seconds) || (seconds && *seconds <= 0))
        return bad(options.duration, QStringLiteral("seconds, more than 0"));
    if (!decimal(options.interval, 0, kMaxSeconds * 1000, &intervalMs))
        return bad(options.interval, QStringLiteral("milliseconds, 0 or more"));
    if (!decimal(options.maxRtt, 0, kMaxSeconds * 1000, &o.maxRttMs))
        return bad(options.maxRtt, QStringLiteral("milliseconds, 0 or more"));
    if (!decimal(options.maxLoss, 0, 100, &o.maxLossPercent))
        return bad(options.maxLoss, QStringLiteral("a percentage, 0 to 100"));

    const bool poll = command == QLatin1String("poll");
    run.count = count > 0 ? static_cast<std::uint64_t>(count) : (poll || seconds ? 0 : 1);
    run.durationUs = seconds ? static_cast<std::int64_t>(std::llround(*seconds * 1e6)) : 0;
    run.intervalUs = intervalMs ? static_cast<std::int64_t>(std::llround(*intervalMs * 1000)) : 0;
    o.summary = poll || parser.isSet(options.count) || parser.isSet(options.duration);
    // A run of many exchanges outlives a connection the device closes; a
    // one-shot command ends with it.
    run.reconnect = o.summary;

    o.quiet = parser.isSet(options.quiet);
    o.json = parser.isSet(options.json);
    o.timestamps = parser.isSet(options.timestamps);
    run.trace = parser.isSet(options.trace);
    o.csvPath = parser.value(options.csv);
    if (parser.isSet(options.csv) && o.csvPath.isEmpty())
        return Usage(QStringLiteral("empty --csv file name"));
    o.pcapPath = parser.value(options.pcap);
    if (parser.isSet(options.pcap) && o.pcapPath.isEmpty())
        return Usage(QStringLiteral("empty --pcap file name"));
    const auto format = modZeva::ValueFormatFromName(parser.value(options.format).toLower().toStdString());
    if (!format)
        return bad(options.format, QStringLiteral("hex, unsigned, signed, float or binary"));
    o.format = *format;

    // The request.
    if (parser.isSet(options.raw) && !send)
        return Usage(QStringLiteral("--raw is for send"));
    if (send) {
        if (parser.isSet(options.type))
            return Usage(QStringLiteral("--type is for a named variable"));
        request.command = client::Command::Send;
        request.raw = parser.isSet(options.raw);
        o.label = QStringLiteral("send");
        for (qsizetype i = 1; i < words.size(); ++i) {
            if (!modZeva::AppendHexBytes(words[i].toStdString(), request.body))
                return Usage(QStringLiteral("bad bytes '%1': expected two hexadecimal digits a byte, with spaces or "
                                            "colons between bytes").arg(words[i]));
        }
        const std::size_t most = request.raw ? modZeva::kMaxFrame : modZeva::kMaxBody;
        if (request.body.empty())
            return Usage(QStringLiteral("send needs at least one byte"));
        if (request.body.size() > most)
            return Usage(QStringLiteral("%1 bytes given: %2 takes at most %3")
                             .arg(request.body.size())
                             .arg(request.raw ? QStringLiteral("a frame") : QStringLiteral("a body"))
                             .arg(most));
    } else if (command == QLatin1String("status")) {
        if (parser.isSet(options.type))
            return Usage(QStringLiteral("--type is for a named variable"));
        request.command = client::Command::Status;
        o.label = QStringLiteral("status");
    } else {
        const client::Command kind = command == QLatin1String("write") ? client::Command::Write : client::Command::Read;
        const QStringList given = kind == client::Command::Write ? words.mid(1, 1) : words.mid(1);
        bool typeUsed = false;
        for (const QString& word : given) {
            Variable variable;
            client::Request& r = variable.request;
            r.command = kind;
            // NAME:TYPE; a name holds no colon.
            const qsizetype colon = word.lastIndexOf(QLatin1Char(':'));
            r.name = modZeva::UpperCase((colon < 0 ? word : word.left(colon)).toStdString());
            variable.label = QString::fromStdString(r.name);
            if (r.name.empty()) {
                result.kind = Parsed::Refused;
                result.message = QStringLiteral("the variable name is empty");
                return result;
            }
            modZeva::DeviceType type{};
            if (r.name.front() == '%') {
                if (colon >= 0)
                    return Usage(QStringLiteral("%1: a direct address takes its type from its third character; "
                                                ":TYPE is for a named variable").arg(word));
                type = modZeva::DirectAddressType(r.name);
            } else {
                const bool own = colon >= 0;
                if (!own && !parser.isSet(options.type))
                    return Usage(QStringLiteral("the named variable %1 needs a type: %1:TYPE or --type").arg(variable.label));
                typeUsed = typeUsed || !own;
                const QString typeName = own ? word.mid(colon + 1) : parser.value(options.type);
                const modZeva::DeviceType* named = modZeva::DeviceTypeFromName(typeName.toUpper().toStdString());
                if (!named) {
                    return own ? Usage(QStringLiteral("bad type '%1' of %2: expected BIT, BYTE, WORD, DWORD or LWORD")
                                           .arg(typeName, variable.label))
                               : bad(options.type, QStringLiteral("BIT, BYTE, WORD, DWORD or LWORD"));
                }
                type = *named;
            }
            r.type = type.code;
            r.dataSize = type.size;
            if (o.format == modZeva::ValueFormat::Float && !modZeva::FormatSuits(o.format, std::size_t(type.size))) {
                return Usage(QStringLiteral("--format float is for DWORD and LWORD variables; %1 is %2")
                                 .arg(variable.label, type.name.empty() ? QStringLiteral("of no type")
                                                                        : QStringLiteral("a %1").arg(QLatin1String(type.name))));
            }
            if (r.command == client::Command::Write) {
                if (words[2].isEmpty()) {
                    result.kind = Parsed::Refused;
                    result.message = QStringLiteral("the value is empty");
                    return result;
                }
                std::string error;
                const auto value = modZeva::ParseValue(words[2].toStdString(), o.format, std::size_t(type.size), &error);
                if (!value) {
                    result.kind = Parsed::Refused;
                    result.message = QStringLiteral("%1: %2").arg(variable.label, QString::fromStdString(error));
                    return result;
                }
                r.value = *value;
                if (type.name == "BIT" && AboveOne(r.value)) {
                    result.kind = Parsed::Refused;
                    result.message = QStringLiteral("%1: a BIT takes 0 or 1, not %2").arg(variable.label, words[2]);
                    return result;
                }
            }
            o.variables.push_back(std::move(variable));
        }
        if (parser.isSet(options.type) && !typeUsed)
            return Usage(QStringLiteral("--type is for a named variable; a direct address takes its type "
                                        "from its third character"));
        request = o.variables.front().request;
        o.label = o.variables.front().label;
    }
    if (o.variables.empty())
        o.variables.push_back(Variable{request, o.label});

    for (const Variable& variable : o.variables) {
        const modZeva::SendResult checked = client::Engine::Check(variable.request);
        if (checked != modZeva::SendResult::Sent) {
            result.kind = Parsed::Refused;
            result.message = RefusalMessage(checked);
            if (o.variables.size() > 1)
                result.message = variable.label + QStringLiteral(": ") + result.message;
            return result;
        }
    }
    // One of many devices is tried again when it cannot be reached, and
    // every device ends when its rounds are done.
    if (o.devices.size() > 1) {
        run.reconnect = true;
        run.retryUnreachable = true;
    }
    result.kind = Parsed::Run;
    return result;
}

} // namespace cli
