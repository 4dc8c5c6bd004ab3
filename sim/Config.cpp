#include "Config.h"
#include "Device.h"

#include <HexText.h>
#include <ProgramHelp.h>

#include <QCommandLineOption>
#include <QCommandLineParser>

#include <algorithm>
#include <cstdint>

namespace sim {

namespace {

constexpr int kMaxNameLength = 16;

// A type name, or X for a bit as in a direct address.
std::optional<VarType> typeFromText(const QString& text)
{
    const QByteArray t = text.toUpper().toLatin1();
    const modZeva::DeviceType* type = t == "X" ? modZeva::DeviceTypeFromLetter('X')
                                               : modZeva::DeviceTypeFromName({t.constData(), size_t(t.size())});
    if (!type)
        return std::nullopt;
    return static_cast<VarType>(type->code);
}

// Hex text most significant digit first, as a client shows it, into size
// bytes least significant first.
std::optional<QByteArray> hexToLittleEndian(const QString& text, int size)
{
    const QByteArray digits = text.toUtf8();
    QByteArray bytes(size, '\0');
    if (!modZeva::HexToBytes({digits.constData(), std::size_t(digits.size())},
                             {reinterpret_cast<std::uint8_t*>(bytes.data()), std::size_t(size)}))
        return std::nullopt;
    return bytes;
}

// Decimal digits only, or hex digits only with base 16, within min..max.
std::optional<quint64> parseWhole(const QString& text, quint64 min, quint64 max, int base = 10)
{
    const QByteArray digits = text.toUtf8();
    return modZeva::ParseWhole({digits.constData(), std::size_t(digits.size())}, min, max, base);
}

// min is 0 or more: no option takes a negative number.
std::optional<int> parseInt(const QString& text, int min, int max)
{
    const auto v = parseWhole(text, quint64(std::max(min, 0)), quint64(max));
    return v ? std::optional<int>(int(*v)) : std::nullopt;
}

// Decimal, or hexadecimal after 0x.
std::optional<quint16> parseCode(const QString& text)
{
    const bool hex = text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive);
    const auto v = parseWhole(hex ? text.mid(2) : text, 0, 0xFFFF, hex ? 16 : 10);
    return v ? std::optional<quint16>(quint16(*v)) : std::nullopt;
}

bool validName(const QString& name)
{
    if (name.isEmpty() || name.size() > kMaxNameLength)
        return false;
    for (QChar c : name)
        if (c.unicode() <= 0x20 || c.unicode() >= 0x7F)
            return false;
    return true;
}

// NAME=TYPE[:ro][:VALUE]
bool addVariable(Config& config, const QString& option, QString& error)
{
    const int eq = option.indexOf(QLatin1Char('='));
    const QString name = option.left(eq);
    if (eq < 0 || !validName(name) || name.startsWith(QLatin1Char('%'))) {
        error = QStringLiteral("bad --var '%1': expected NAME=TYPE[:ro][:VALUE], NAME 1 to 16 printable ASCII characters, not starting with %").arg(option);
        return false;
    }
    const QStringList parts = option.mid(eq + 1).split(QLatin1Char(':'));
    const auto type = typeFromText(parts.value(0));
    if (!type) {
        error = QStringLiteral("bad --var '%1': TYPE must be BIT, BYTE, WORD, DWORD or LWORD").arg(option);
        return false;
    }
    NamedVariable var{name.toLatin1(), *type, false, QByteArray(varSize(*type), '\0')};
    bool haveValue = false;
    for (int i = 1; i < parts.size(); ++i) {
        if (parts[i].compare(QLatin1String("ro"), Qt::CaseInsensitive) == 0 && !var.readOnly) {
            var.readOnly = true;
            continue;
        }
        const auto value = haveValue ? std::nullopt : hexToLittleEndian(parts[i], varSize(*type));
        if (!value || (*type == VarType::Bit && static_cast<quint8>(value->at(0)) > modZeva::kBitMax)) {
            error = QStringLiteral("bad --var '%1': '%2' is neither ro nor a hex value that fits the type").arg(option, parts[i]);
            return false;
        }
        var.initial = *value;
        haveValue = true;
    }
    std::erase_if(config.variables, [&](const NamedVariable& v) { return v.name == var.name; });
    config.variables.push_back(var);
    return true;
}

// VARIABLE=KIND, KIND counter, random, sine[=MS] or ramp[=MS]. The variable
// is one of config's named variables or a direct address.
bool addAnimation(Config& config, const QString& option, QString& error)
{
    const int eq = option.indexOf(QLatin1Char('='));
    const QByteArray variable = option.left(eq).toLatin1();
    std::optional<QByteArray> key;
    if (variable.startsWith('%'))
        key = directAddressKey(variable);
    else if (std::any_of(config.variables.begin(), config.variables.end(), [&](const NamedVariable& v) { return v.name == variable; }))
        key = variable;
    if (eq < 0 || !key) {
        error = QStringLiteral("bad --animate '%1': expected VARIABLE=KIND, VARIABLE a named variable or a direct address").arg(option);
        return false;
    }
    const QString kind = option.mid(eq + 1).section(QLatin1Char('='), 0, 0);
    const QString period = option.mid(eq + 1).section(QLatin1Char('='), 1);
    const bool hasPeriod = option.indexOf(QLatin1Char('='), eq + 1) >= 0;
    const QStringList kinds{"counter", "random", "sine", "ramp"};
    Animation animation;
    animation.kind = static_cast<Animation::Kind>(std::max<qsizetype>(0, kinds.indexOf(kind)));
    const bool timed = animation.kind == Animation::Sine || animation.kind == Animation::Ramp;
    const auto ms = hasPeriod ? parseInt(period, 1, 86400000) : std::optional<int>(animation.periodMs);
    if (!kinds.contains(kind) || (hasPeriod && !timed) || !ms) {
        error = QStringLiteral("bad --animate '%1': KIND must be counter, random, sine[=MS] or ramp[=MS], MS 1 to 86400000").arg(option);
        return false;
    }
    animation.periodMs = *ms;
    config.animations.insert(*key, animation);
    return true;
}

bool addFault(Config& config, const QString& option, QString& error)
{
    const int eq = option.indexOf(QLatin1Char('='));
    const QString kind = option.left(eq);
    const QString arg = eq < 0 ? QString() : option.mid(eq + 1);
    const bool hasArg = eq >= 0;
    Faults& f = config.faults;
    auto bad = [&](const QString& expected) {
        error = QStringLiteral("bad --fault '%1': expected %2").arg(option, expected);
        return false;
    };
    if (kind == QLatin1String("state-count")) {
        if (hasArg)
            return bad(QStringLiteral("state-count without an argument"));
        f.stateCount = true;
        return true;
    }
    if (kind == QLatin1String("flood")) {
        if (hasArg)
            return bad(QStringLiteral("flood without an argument"));
        f.flood = true;
        return true;
    }
    if (kind == QLatin1String("drop")) {
        const auto percent = hasArg ? parseInt(arg, 0, 100) : std::optional<int>(100);
        if (!percent)
            return bad(QStringLiteral("drop or drop=PERCENT, 0 to 100"));
        f.dropPercent = *percent;
        return true;
    }
    if (kind == QLatin1String("seq-offset")) {
        const auto n = parseInt(arg, 1, 65535);
        if (!n)
            return bad(QStringLiteral("seq-offset=N, 1 to 65535"));
        f.seqOffset = static_cast<quint16>(*n);
        return true;
    }
    if (kind == QLatin1String("delay") || kind == QLatin1String("split")) {
        const auto ms = parseInt(arg, 0, 3600000);
        if (!ms)
            return bad(kind + QStringLiteral("=MS, 0 to 3600000"));
        (kind == QLatin1String("delay") ? f.delayMs : f.splitMs) = *ms;
        return true;
    }
    if (kind == QLatin1String("truncate")) {
        const auto k = parseInt(arg, 0, 65535);
        if (!k)
            return bad(QStringLiteral("truncate=K, 0 to 65535"));
        f.truncate = *k;
        return true;
    }
    if (kind == QLatin1String("close-after")) {
        const auto n = parseInt(arg, 1, 1000000000);
        if (!n)
            return bad(QStringLiteral("close-after=N, N at least 1"));
        f.closeAfter = *n;
        return true;
    }
    if (kind == QLatin1String("error")) {
        const int colon = arg.lastIndexOf(QLatin1Char(':'));
        const QString name = arg.left(colon);
        const auto code = colon < 0 ? std::nullopt : parseCode(arg.mid(colon + 1));
        if (!validName(name) || !code || *code == 0)
            return bad(QStringLiteral("error=NAME:CODE, CODE 1 to 65535, decimal or 0x hex"));
        f.errors.insert(name.toLatin1(), *code);
        return true;
    }
    if (kind == QLatin1String("status-error")) {
        const auto code = parseCode(arg);
        if (!code || *code == 0)
            return bad(QStringLiteral("status-error=CODE, CODE 1 to 65535"));
        f.statusError = *code;
        return true;
    }
    error = QStringLiteral("unknown fault '%1'").arg(kind);
    return false;
}

} // namespace

int varSize(VarType type)
{
    const modZeva::DeviceType* t = modZeva::DeviceTypeFromCode(static_cast<int>(type));
    return t ? t->size : 0;
}

std::vector<NamedVariable> defaultVariables()
{
    return {
        {"SPEED", VarType::Word, false, QByteArray(2, '\0')},
        {"LIMIT", VarType::DWord, true, QByteArray::fromHex("78563412")},
        {"FLAG", VarType::Byte, false, QByteArray(1, '\0')},
        {"TOTAL", VarType::LWord, false, QByteArray(8, '\0')},
    };
}

QByteArray defaultStatusData()
{
    QByteArray data(20, '\0');
    for (int i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i + 1);
    return data;
}

namespace {

const QString kEpilogue = QStringLiteral(
    "\n"
    "Direct addresses: %<area><type><index>, area M, D (read/write) or K (read-only),\n"
    "4096 bytes each; type X, B, W, D, L; the index counts elements of the type.\n"
    "The first line on standard output names the ports bound, device by device,\n"
    "consecutive ones as a range: tcp 2004-2013 udp 3004-3013.\n"
    "A TCP connection is closed when it holds an incomplete request for more than\n"
    "10 seconds, or sends an invalid frame; it is not read from while more than\n"
    "64 KiB of its answers wait to be sent. Answers held back by the delay fault\n"
    "over UDP are limited in the same way: 64 KiB for each sender, 1 MiB in all;\n"
    "what does not fit is not sent.\n");

struct OptionSet {
    QCommandLineOption bind{"bind", "Address to listen on (default 127.0.0.1).", "ADDR"};
    QCommandLineOption tcpPort{"tcp-port", "TCP port (default 2004; 0 picks a free port).", "N"};
    QCommandLineOption udpPort{"udp-port", "UDP port (default 2005; 0 picks a free port).", "N"};
    QCommandLineOption devices{"devices",
        "Serve N devices, each with its own memory, on N consecutive TCP ports from --tcp-port and N consecutive "
        "UDP ports from --udp-port, or on N free ports of each with port 0 (default 1). "
        "--var, --animate, --fault and --max-connections apply to each.",
        "N"};
    QCommandLineOption state{"state", "State word as a client shows it (0201 is sent as bytes 01 02).", "HEX"};
    QCommandLineOption statusData{"status-data", "40 hex digits of status data as a client shows them.", "HEX"};
    QCommandLineOption var{"var",
        "Add a named variable, or replace one of the same name; TYPE BIT, BYTE, WORD, DWORD or LWORD; "
        "ro = read-only; VALUE = initial value in hex. May be given more than once. "
        "Defaults: SPEED=WORD LIMIT=DWORD:ro:12345678 FLAG=BYTE TOTAL=LWORD.",
        "NAME=TYPE[:ro][:VALUE]"};
    QCommandLineOption fault{"fault",
        "Misbehave on purpose; may be given more than once. KIND is delay=MS, "
        "drop[=PERCENT] (carry out that share of requests, default all, and send no answer), "
        "split=MS, truncate=K, close-after=N, error=NAME:CODE, status-error=CODE, seq-offset=N "
        "state-count or flood (TCP: from the first request on, sends its answer with sequence number 0 "
        "again and again without pause, and answers nothing else).",
        "KIND[=ARG]"};
    QCommandLineOption animate{"animate",
        "Make a variable, named or a direct address, change by itself; may be given more than once. "
        "KIND is counter (one more at each read after the first, wrapping), random (a new value at each read), "
        "sine[=MS] (a sine over the type's unsigned range, default period 10000 ms) or ramp[=MS] "
        "(a sawtooth over the same range).",
        "VARIABLE=KIND"};
    QCommandLineOption seed{"seed", "Seed of the drop fault's choices and of random values, for a repeatable run.", "N"};
    QCommandLineOption maxConnections{"max-connections",
        "TCP connections served at once by each device (default 64); further connections are accepted and closed at once.", "N"};
    QCommandLineOption idleTimeout{"idle-timeout",
        "Close a TCP connection that sent nothing for S seconds (default 300; 0 = never).", "S"};
    QCommandLineOption verbose{"verbose",
        "Print every request and answer in hex, connections opened, refused and closed, "
        "and answers not sent for a limit."};
    // Not in --help: the way tests drive a simulator they started.
    QCommandLineOption control{"control", "Take commands on standard input."};
    QCommandLineOption version{"version", "Print the version and exit."};
    QCommandLineOption help{{"h", "help"}, "Print this text and exit."};

    void addTo(QCommandLineParser& p) const
    {
        p.setApplicationDescription(QStringLiteral("Simulates the PLC's Ethernet service on TCP and UDP."));
        p.addOptions({bind, tcpPort, udpPort, devices, state, statusData, var, animate, fault, seed, maxConnections, idleTimeout,
                      verbose, version, help});
        QCommandLineOption hidden = control;
        hidden.setFlags(QCommandLineOption::HiddenFromHelp);
        p.addOption(hidden);
    }
};

CommandLine failure(const QString& message)
{
    CommandLine line;
    line.action = CommandLine::Error;
    line.error = message;
    return line;
}

} // namespace

QString helpText()
{
    QCommandLineParser parser;
    OptionSet options;
    options.addTo(parser);
    return platform::HelpText(parser, QStringLiteral("zeva-sim")) + kEpilogue;
}

CommandLine parseCommandLine(const QStringList& args)
{
    QCommandLineParser parser;
    OptionSet options;
    options.addTo(parser);
    if (!parser.parse(args)) {
        const QStringList unknown = parser.unknownOptionNames();
        return failure(unknown.isEmpty() ? parser.errorText()
                                         : QStringLiteral("unknown option '%1' (try --help)").arg(unknown.constFirst()));
    }
    if (!parser.positionalArguments().isEmpty())
        return failure(QStringLiteral("unknown argument '%1' (try --help)").arg(parser.positionalArguments().constFirst()));
    CommandLine line;
    if (parser.isSet(options.help)) {
        line.action = CommandLine::Help;
        return line;
    }
    if (parser.isSet(options.version)) {
        line.action = CommandLine::Version;
        return line;
    }

    Config& config = line.config;
    QString message;
    if (parser.isSet(options.bind)) {
        const QString value = parser.value(options.bind);
        const QHostAddress address = value == QLatin1String("localhost") ? QHostAddress(QHostAddress::LocalHost)
                                                                         : QHostAddress(value);
        if (address.isNull())
            return failure(QStringLiteral("bad --bind '%1': not an IP address").arg(value));
        config.bind = address;
    }
    for (const auto& [option, port] : {std::pair{&options.tcpPort, &config.tcpPort}, std::pair{&options.udpPort, &config.udpPort}}) {
        if (!parser.isSet(*option))
            continue;
        const QString value = parser.value(*option);
        const auto n = parseInt(value, 0, 65535);
        if (!n)
            return failure(QStringLiteral("bad --%1 '%2': expected 0 to 65535").arg(option->names().constFirst(), value));
        *port = static_cast<quint16>(*n);
    }
    if (parser.isSet(options.devices)) {
        const QString value = parser.value(options.devices);
        const auto n = parseInt(value, 1, 65535);
        if (!n)
            return failure(QStringLiteral("bad --devices '%1': expected 1 to 65535").arg(value));
        for (const auto& [name, first] : {std::pair{"tcp", config.tcpPort}, std::pair{"udp", config.udpPort}}) {
            if (first != 0 && first + *n - 1 > 65535)
                return failure(QStringLiteral("bad --devices '%1': %2 ports from %3 would pass 65535").arg(value, QLatin1String(name)).arg(first));
        }
        config.devices = *n;
    }
    if (parser.isSet(options.state)) {
        const QString value = parser.value(options.state);
        const auto word = hexToLittleEndian(value, 2);
        if (!word)
            return failure(QStringLiteral("bad --state '%1': expected 1 to 4 hex digits").arg(value));
        config.stateWord = static_cast<quint16>(static_cast<quint8>(word->at(0)) | (static_cast<quint8>(word->at(1)) << 8));
    }
    if (parser.isSet(options.statusData)) {
        const QString value = parser.value(options.statusData);
        const auto data = value.size() == 40 ? hexToLittleEndian(value, 20) : std::nullopt;
        if (!data)
            return failure(QStringLiteral("bad --status-data '%1': expected 40 hex digits").arg(value));
        config.statusData = *data;
    }
    for (const QString& value : parser.values(options.var)) {
        if (!addVariable(config, value, message))
            return failure(message);
    }
    for (const QString& value : parser.values(options.animate)) {
        if (!addAnimation(config, value, message))
            return failure(message);
    }
    for (const QString& value : parser.values(options.fault)) {
        if (!addFault(config, value, message))
            return failure(message);
    }
    if (parser.isSet(options.seed)) {
        const QString value = parser.value(options.seed);
        const auto seed = parseWhole(value, 0, 0xFFFFFFFF);
        if (!seed)
            return failure(QStringLiteral("bad --seed '%1': expected 0 to 4294967295").arg(value));
        config.seed = static_cast<quint32>(*seed);
    }
    if (parser.isSet(options.maxConnections)) {
        const QString value = parser.value(options.maxConnections);
        const auto n = parseInt(value, 1, 1000000);
        if (!n)
            return failure(QStringLiteral("bad --max-connections '%1': expected 1 to 1000000").arg(value));
        config.maxConnections = *n;
    }
    if (parser.isSet(options.idleTimeout)) {
        const QString value = parser.value(options.idleTimeout);
        const auto s = parseInt(value, 0, 1000000);
        if (!s)
            return failure(QStringLiteral("bad --idle-timeout '%1': expected 0 to 1000000 seconds").arg(value));
        config.idleTimeoutS = *s;
    }
    config.verbose = parser.isSet(options.verbose);
    config.control = parser.isSet(QStringLiteral("control"));
    return line;
}

std::optional<Config> parseArguments(const QStringList& args, QString* error)
{
    CommandLine line = parseCommandLine(args);
    if (line.action == CommandLine::Run)
        return std::move(line.config);
    if (error)
        *error = line.action == CommandLine::Error ? line.error : QStringLiteral("--help and --version start no run");
    return std::nullopt;
}

} // namespace sim
