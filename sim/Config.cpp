#include "Config.h"

#include <algorithm>
#include <cctype>

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

// Hex text most significant digit first, as a client shows it, into
// size bytes least significant first.
std::optional<QByteArray> hexToLittleEndian(const QString& text, int size)
{
    if (text.isEmpty() || (text.size() + 1) / 2 > size)
        return std::nullopt;
    for (QChar c : text)
        if (c.unicode() > 0x7F || !std::isxdigit(static_cast<unsigned char>(c.toLatin1())))
            return std::nullopt;
    QString padded = text.size() % 2 ? QLatin1Char('0') + text : text;
    QByteArray big = QByteArray::fromHex(padded.toLatin1());
    QByteArray little(size, '\0');
    for (int i = 0; i < big.size(); ++i)
        little[i] = big[big.size() - 1 - i];
    return little;
}

std::optional<int> parseInt(const QString& text, int min, int max)
{
    bool ok = false;
    const qlonglong v = text.toLongLong(&ok, 10);
    if (!ok || v < min || v > max || text.startsWith(QLatin1Char('+')))
        return std::nullopt;
    return static_cast<int>(v);
}

std::optional<quint16> parseCode(const QString& text)
{
    bool ok = false;
    const uint v = text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive)
        ? text.mid(2).toUInt(&ok, 16) : text.toUInt(&ok, 10);
    if (!ok || v > 0xFFFF || text.startsWith(QLatin1Char('+')))
        return std::nullopt;
    return static_cast<quint16>(v);
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

bool helpRequested(const QStringList& args)
{
    return args.mid(1).contains(QLatin1String("--help")) || args.mid(1).contains(QLatin1String("-h"));
}

bool versionRequested(const QStringList& args)
{
    return args.mid(1).contains(QLatin1String("--version"));
}

QString usageText()
{
    return QStringLiteral(
        "Usage: zeva-sim [--bind ADDR] [--tcp-port N] [--udp-port N] [--state HEX]\n"
        "                [--status-data HEX] [--var NAME=TYPE[:ro][:VALUE]]...\n"
        "                [--fault KIND[=ARG]]... [--seed N] [--max-connections N]\n"
        "                [--idle-timeout S] [--verbose]\n"
        "Simulates the PLC's Ethernet service on TCP and UDP.\n"
        "\n"
        "  --bind ADDR        address to listen on (default 127.0.0.1)\n"
        "  --tcp-port N       TCP port (default 2004; 0 picks a free port)\n"
        "  --udp-port N       UDP port (default 2005; 0 picks a free port)\n"
        "  --state HEX        state word as a client shows it (0201 -> bytes 01 02)\n"
        "  --status-data HEX  40 hex digits of status data as a client shows them\n"
        "  --var NAME=TYPE[:ro][:VALUE]\n"
        "                     add a named variable; TYPE BIT, BYTE, WORD, DWORD, LWORD;\n"
        "                     ro = read-only; VALUE = initial value in hex\n"
        "                     (defaults: SPEED=WORD LIMIT=DWORD:ro:12345678 FLAG=BYTE TOTAL=LWORD)\n"
        "  --fault KIND[=ARG] delay=MS, drop[=PERCENT], split=MS, truncate=K,\n"
        "                     close-after=N, error=NAME:CODE, status-error=CODE,\n"
        "                     seq-offset=N, state-count\n"
        "  --seed N           seed of the drop fault's choices, for a repeatable run\n"
        "  --max-connections N\n"
        "                     TCP connections served at once (default 64); further\n"
        "                     connections are accepted and closed at once\n"
        "  --idle-timeout S   close a TCP connection that sent nothing for S seconds\n"
        "                     (default 300; 0 = never)\n"
        "  --verbose          print every request and answer in hex, connections\n"
        "                     opened, refused and closed\n"
        "  --version          print the version and exit\n"
        "  --help             this text\n"
        "\n"
        "Direct addresses: %<area><type><index>, area M, D (read/write) or K (read-only),\n"
        "4096 bytes each; type X, B, W, D, L; the index counts elements of the type.\n"
        "The first line on standard output names the ports bound.\n"
        "A TCP connection is closed when it holds an incomplete request for more than\n"
        "10 seconds, or sends an invalid frame; it is not read from while more than\n"
        "64 KiB of its answers wait to be sent.\n");
}

std::optional<Config> parseArguments(const QStringList& args, QString* error)
{
    Config config;
    QString message;
    auto fail = [&](const QString& text) -> std::optional<Config> {
        if (error)
            *error = text;
        return std::nullopt;
    };
    for (int i = 1; i < args.size(); ++i) {
        QString option = args[i];
        QString value;
        bool inlineValue = false;
        if (option.startsWith(QLatin1String("--")) && option.contains(QLatin1Char('='))) {
            value = option.section(QLatin1Char('='), 1);
            option = option.section(QLatin1Char('='), 0, 0);
            inlineValue = true;
        }
        const bool takesValue = option == QLatin1String("--bind") || option == QLatin1String("--tcp-port")
            || option == QLatin1String("--udp-port") || option == QLatin1String("--state")
            || option == QLatin1String("--status-data") || option == QLatin1String("--var")
            || option == QLatin1String("--fault") || option == QLatin1String("--seed")
            || option == QLatin1String("--max-connections") || option == QLatin1String("--idle-timeout");
        if (takesValue && !inlineValue) {
            if (i + 1 >= args.size())
                return fail(QStringLiteral("option %1 needs a value").arg(option));
            value = args[++i];
        }
        if (!takesValue && inlineValue)
            return fail(QStringLiteral("option %1 takes no value").arg(option));

        if (option == QLatin1String("--bind")) {
            const QHostAddress address = value == QLatin1String("localhost") ? QHostAddress(QHostAddress::LocalHost)
                                                                             : QHostAddress(value);
            if (address.isNull())
                return fail(QStringLiteral("bad --bind '%1': not an IP address").arg(value));
            config.bind = address;
        } else if (option == QLatin1String("--tcp-port") || option == QLatin1String("--udp-port")) {
            const auto port = parseInt(value, 0, 65535);
            if (!port)
                return fail(QStringLiteral("bad %1 '%2': expected 0 to 65535").arg(option, value));
            (option == QLatin1String("--tcp-port") ? config.tcpPort : config.udpPort) = static_cast<quint16>(*port);
        } else if (option == QLatin1String("--state")) {
            const auto word = hexToLittleEndian(value, 2);
            if (!word)
                return fail(QStringLiteral("bad --state '%1': expected 1 to 4 hex digits").arg(value));
            config.stateWord = static_cast<quint16>(static_cast<quint8>(word->at(0)) | (static_cast<quint8>(word->at(1)) << 8));
        } else if (option == QLatin1String("--status-data")) {
            const auto data = value.size() == 40 ? hexToLittleEndian(value, 20) : std::nullopt;
            if (!data)
                return fail(QStringLiteral("bad --status-data '%1': expected 40 hex digits").arg(value));
            config.statusData = *data;
        } else if (option == QLatin1String("--var")) {
            if (!addVariable(config, value, message))
                return fail(message);
        } else if (option == QLatin1String("--fault")) {
            if (!addFault(config, value, message))
                return fail(message);
        } else if (option == QLatin1String("--seed")) {
            bool ok = false;
            const uint seed = value.toUInt(&ok, 10);
            if (!ok || value.startsWith(QLatin1Char('+')))
                return fail(QStringLiteral("bad --seed '%1': expected 0 to 4294967295").arg(value));
            config.seed = seed;
        } else if (option == QLatin1String("--max-connections")) {
            const auto n = parseInt(value, 1, 1000000);
            if (!n)
                return fail(QStringLiteral("bad --max-connections '%1': expected 1 to 1000000").arg(value));
            config.maxConnections = *n;
        } else if (option == QLatin1String("--idle-timeout")) {
            const auto s = parseInt(value, 0, 1000000);
            if (!s)
                return fail(QStringLiteral("bad --idle-timeout '%1': expected 0 to 1000000 seconds").arg(value));
            config.idleTimeoutS = *s;
        } else if (option == QLatin1String("--verbose")) {
            config.verbose = true;
        } else {
            return fail(QStringLiteral("unknown argument '%1' (try --help)").arg(args[i]));
        }
    }
    return config;
}

} // namespace sim
